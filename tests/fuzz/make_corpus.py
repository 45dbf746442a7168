#!/usr/bin/env python3
"""Writes the seed corpus for fuzz_plugin.cpp (same encoding as described at
the top of that file). Each seed is a short, meaningful session: the fuzzer
mutates from there.

    python3 tests/fuzz/make_corpus.py tests/fuzz/corpus          # write
    python3 tests/fuzz/make_corpus.py --check tests/fuzz/corpus  # compare

--check exits 1 if a seed file is missing or differs from what this script
would write (so the checked-in corpus cannot silently drift from the
encoding the harness reads).
"""
import os
import struct
import sys

# Opcodes
INSTANTIATE, CLEANUP, ACTIVATE, DEACTIVATE, CONTROL, CONNECT_FAR, ROUTING, \
    RUN, RUN_MANY, EXTENSION, MOVE_CTRL, CONNECT_NULL = range(12)

# Rate selectors (index into the harness' rate table)
RATE = {44100: 0, 48000: 1, 88200: 2, 96000: 3, 192000: 4, 768000: 5,
        8000: 6, 11025: 7, 22050: 8, 32000: 9, 1: 14, 2: 15, 3: 16,
        44100.5: 19, 0: 24}
RATE_NAN, RATE_RAW = 240, 243  # 240 % 4 == 0 -> NaN; 243 % 4 == 3 -> raw f64

# Control indices (port - 3)
DELAY, TAP, LEVEL, PAN_TAP, PAN_LOOP, DIFFUSION, FEEDBACK, LOWPASS, HIGHPASS = range(9)
RANGES = [(1, 500), (0, 100), (-90, 6), (-100, 100), (-100, 100), (0, 100),
          (0, 100), (200, 20000), (10, 2000)]

# Control kinds
K_NAN, K_NNAN, K_SNAN, K_INF, K_NINF, K_MAX, K_NMAX = 0, 1, 2, 3, 4, 5, 6
K_DENORM, K_ZERO, K_LO, K_HI, K_BITS, K_UNIFORM = 9, 11, 13, 14, 20, 21

# Audio kinds
A_SILENCE, A_SINE, A_NOISE, A_CLICKS, A_DC, A_SQUARE = 0, 1, 2, 3, 4, 6
A_DENORM, A_BURST, A_NAN, A_INF, A_HUGE, A_BITS, A_NANSPRINKLE = 8, 10, 12, 13, 15, 17, 18

# Routings
SEPARATE, OUT1_IN, OUT2_IN, BOTH_IN, OUTS_SHARED = range(5)


def inst(slot, rate, feat=0, raw=None):
    if raw is not None:
        return bytes([INSTANTIATE, slot, RATE_RAW]) + struct.pack('<d', raw) + bytes([feat])
    sel = RATE_NAN if rate != rate else RATE[rate]
    return bytes([INSTANTIATE, slot, sel, feat])


def ctl(slot, c, kind, payload=0):
    return bytes([CONTROL, slot, c, kind]) + struct.pack('<I', payload)


def ctl_value(slot, c, value):
    """In-range value via the uniform kind (payload is a 24-bit fraction)."""
    lo, hi = RANGES[c]
    frac = round((value - lo) / (hi - lo) * 0xFFFFFF)
    return ctl(slot, c, K_UNIFORM, max(0, min(0xFFFFFF, frac)))


def ctl_bits(slot, c, f):
    return ctl(slot, c, K_BITS, struct.unpack('<I', struct.pack('<f', f))[0])


def run(slot, n, audio=A_NOISE, seed=1, at_end=True):
    return bytes([RUN, slot]) + struct.pack('<H', n) + bytes([audio, seed, int(at_end)])


def run_many(slot, n, count, audio=A_NOISE, seed=1, at_end=True):
    return bytes([RUN_MANY, slot]) + struct.pack('<H', n) + bytes([audio, seed, int(at_end), count - 1])


def simple(*parts):
    return b''.join(parts)


def typical(slot=0):
    return simple(ctl_value(slot, DELAY, 120), ctl_value(slot, TAP, 50), ctl_value(slot, LEVEL, -6),
                  ctl_value(slot, PAN_TAP, -30), ctl_value(slot, PAN_LOOP, 30), ctl_value(slot, DIFFUSION, 40),
                  ctl_value(slot, FEEDBACK, 60), ctl_value(slot, LOWPASS, 8000), ctl_value(slot, HIGHPASS, 80))


def seeds():
    s = {}
    # Three seconds of noise at 48 kHz in 4096-sample blocks: reaches the
    # bounded-output check.
    s['typical_48k'] = simple(inst(0, 48000), typical(), run_many(0, 4096, 36, A_NOISE))
    # Loud burst, then silence at maximum feedback and diffusion.
    s['burst_max_feedback'] = simple(
        inst(0, 48000), typical(), ctl(0, FEEDBACK, K_HI), ctl(0, DIFFUSION, K_HI), ctl(0, DELAY, K_LO),
        run(0, 512, A_SQUARE), run_many(0, 8192, 24, A_SILENCE))
    # Non-finite input, then recovery on clean input.
    s['nan_input_recovery'] = simple(
        inst(0, 44100), typical(), ctl(0, FEEDBACK, K_HI), run(0, 256, A_NAN), run(0, 256, A_INF),
        run(0, 256, A_HUGE), run_many(0, 4096, 30, A_SINE))
    # Every control non-finite or extreme, then back in range.
    bad = b''.join(ctl(0, c, k) for c in range(9) for k in (K_NAN, K_INF, K_NINF, K_MAX, K_DENORM))
    s['wild_controls'] = simple(inst(0, 48000), bad, run(0, 1024, A_NOISE), typical(), run_many(0, 4096, 30))
    # Block sizes at the edges, both placements.
    s['block_edges'] = simple(
        inst(0, 96000), typical(), run(0, 0, at_end=True), run(0, 0, at_end=False), run(0, 1), run(0, 2),
        run(0, 16384), run(0, 16384, at_end=False), run(0, 0x8000 | 20), run(0, 0x8000 | 2))
    # In-place processing in every routing.
    s['in_place'] = simple(
        inst(0, 48000), typical(),
        *[bytes([ROUTING, 0, r]) + run_many(0, 1000, 4, A_SINE, seed=r) for r in range(5)])
    # Sample rates at and beyond the extremes.
    s['rates'] = simple(
        inst(0, 1), typical(), run_many(0, 16, 4), inst(0, 768000), typical(), run(0, 16384),
        inst(0, 44100.5), run(0, 300), inst(0, 0), run(0, 64), inst(0, float('nan')), run(0, 64),
        inst(0, 0, raw=-1.0), run(0, 64), inst(0, 0, raw=1e300), run(0, 64), inst(0, 0, raw=5e-324),
        run(0, 64), inst(0, 2), run(0, 8), inst(0, 3, feat=1), run(0, 8))
    # Slow instantiation at 1 Hz, reaching the bounded check after two samples.
    s['one_hertz'] = simple(inst(0, 1), typical(), ctl(0, LOWPASS, K_HI), run_many(0, 64, 4, A_SQUARE))
    # Several instances interleaved, one of them in place.
    s['three_instances'] = simple(
        inst(0, 48000), inst(1, 44100, feat=2), inst(2, 96000, feat=1), typical(0), typical(1), typical(2),
        bytes([ROUTING, 1, OUT2_IN]), run(0, 512), run(1, 128), run(2, 4096), bytes([DEACTIVATE, 1]),
        run(0, 512), bytes([CLEANUP, 2]), run(1, 333), bytes([ACTIVATE, 0]), run(0, 1))
    # activate/deactivate cycles, ports connected past 11, to NULL and moved.
    s['lifecycle'] = simple(
        inst(0, 48000), bytes([ACTIVATE, 0, DEACTIVATE, 0, ACTIVATE, 0]), typical(),
        bytes([CONNECT_FAR, 0]) + struct.pack('<I', 12), bytes([CONNECT_FAR, 0]) + struct.pack('<I', 0xFFFFFFFF),
        bytes([CONNECT_NULL, 0, 5, CONNECT_NULL, 0, 1, MOVE_CTRL, 0, DELAY, 7]), run(0, 256),
        bytes([DEACTIVATE, 0, ACTIVATE, 0]), run(0, 256), bytes([EXTENSION, 0, 0, EXTENSION, 0, 5]))
    # Denormal input and denormal controls.
    s['denormals'] = simple(inst(0, 48000), typical(), ctl(0, LEVEL, K_DENORM), ctl(0, FEEDBACK, K_HI),
                            run_many(0, 2048, 8, A_DENORM), run_many(0, 2048, 8, A_SILENCE))
    # Delay time swept while running.
    s['delay_sweep'] = simple(inst(0, 48000), typical(),
                              *[ctl_value(0, DELAY, d) + run(0, 256, A_SINE) for d in (1, 500, 2, 250, 1.5, 499.9)])
    # Odd bit patterns for every control.
    s['bit_patterns'] = simple(inst(0, 22050), *[ctl_bits(0, c, v) for c, v in
                                                 enumerate((-1.0, 1e-45, 3e38, -5.0, 1e9, 50.0, 100.0, 1e6, -1e-3))],
                               run(0, 777, A_BITS), run(0, 777, A_NANSPRINKLE))
    # A tap position far out of range held until the smoother rests (about
    # 5 s), in whole blocks: the runs of settled chunks must not read the
    # output tap outside the line.
    s['settled_far_tap'] = simple(inst(0, 48000), typical(), ctl_bits(0, TAP, 1.0e6),
                                  run_many(0, 4096, 64, A_NOISE))
    return s


def main():
    args = [a for a in sys.argv[1:] if a != '--check']
    check = '--check' in sys.argv[1:]
    out = args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
    if check:
        bad = []
        for name, data in sorted(seeds().items()):
            path = os.path.join(out, name + '.bin')
            if not os.path.exists(path):
                bad.append(name + ' (missing)')
                continue
            with open(path, 'rb') as f:
                if f.read() != data:
                    bad.append(name + ' (differs)')
        for b in bad:
            print('seed out of date:', b)
        print(f'{len(seeds()) - len(bad)} passed, {len(bad)} failed')
        sys.exit(1 if bad else 0)
    os.makedirs(out, exist_ok=True)
    for name, data in sorted(seeds().items()):
        with open(os.path.join(out, name + '.bin'), 'wb') as f:
            f.write(data)
    print(f'wrote {len(seeds())} seeds to {out}')


if __name__ == '__main__':
    main()
