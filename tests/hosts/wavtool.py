#!/usr/bin/env python3
"""Small WAV helper for the host tests (python3 standard library only).

The stdlib ``wave`` module refuses IEEE-float WAV files, which is what the
hosts and the reference renderer write, so the RIFF chunks are parsed here.

Sub-commands:
  info FILE                        print format, channels, rate, frames
  stats FILE [--min-peak X]        print per-channel peak/RMS; fail (exit 1)
                                   on any NaN/Inf sample, on a peak above
                                   --max-peak, or when every channel stays
                                   below --min-peak (i.e. silent output)
  compare REF TEST [--tol X] [--frames N] [--skip N] [--require-float] [--clip]
                                   sample-by-sample comparison of all channels;
                                   exit 1 on the first mismatch above X (default
                                   0 = bit-identical), on differing channel
                                   count/rate, or when TEST is shorter than REF;
                                   --clip clamps REF to [-1, 1] first (for hosts
                                   that hard-clip what they write)
  windows FILE --win SECONDS [--skip SECONDS] [--min-peak X] [--max-peak X]
                                   split the file into windows and require
                                   every window (after --skip) to be finite,
                                   to reach --min-peak on some channel (the
                                   plug-in kept producing sound) and to stay
                                   below --max-peak
  impulse OUT --rate R --seconds S [--seed N]
                                   write a mono float32 test signal: impulses
                                   followed by deterministic noise bursts and
                                   silence, so delay taps and feedback tails
                                   are easy to see
"""
import math
import random
import struct
import sys

FMT_PCM = 1
FMT_FLOAT = 3
FMT_EXTENSIBLE = 0xFFFE


class WavError(Exception):
    pass


def read_wav(path):
    """Return dict(format, bits, channels, rate, frames, data) where data is a
    list of channels, each a list of python floats (PCM scaled to [-1, 1))."""
    with open(path, "rb") as f:
        raw = f.read()
    if len(raw) < 12 or raw[0:4] not in (b"RIFF", b"RF64") or raw[8:12] != b"WAVE":
        raise WavError("%s: not a RIFF/WAVE file" % path)
    pos = 12
    fmt = None
    data = None
    while pos + 8 <= len(raw):
        cid = raw[pos:pos + 4]
        size = struct.unpack_from("<I", raw, pos + 4)[0]
        body = raw[pos + 8:pos + 8 + size]
        if cid == b"fmt ":
            tag, ch, rate, _br, align, bits = struct.unpack_from("<HHIIHH", body, 0)
            if tag == FMT_EXTENSIBLE and len(body) >= 40:
                # the first two bytes of the SubFormat GUID hold the real tag
                tag = struct.unpack_from("<H", body, 24)[0]
            fmt = (tag, ch, rate, align, bits)
        elif cid == b"data":
            # some writers leave 0 or 0xFFFFFFFF for streamed files
            if size in (0, 0xFFFFFFFF) or pos + 8 + size > len(raw):
                body = raw[pos + 8:]
            data = body
        pos += 8 + size + (size & 1)
    if fmt is None or data is None:
        raise WavError("%s: missing fmt or data chunk" % path)
    tag, ch, rate, align, bits = fmt
    if ch < 1:
        raise WavError("%s: zero channels" % path)
    frames = len(data) // (ch * (bits // 8))
    n = frames * ch
    if tag == FMT_FLOAT and bits == 32:
        flat = struct.unpack_from("<%df" % n, data, 0)
        kind = "float32"
    elif tag == FMT_FLOAT and bits == 64:
        flat = struct.unpack_from("<%dd" % n, data, 0)
        kind = "float64"
    elif tag == FMT_PCM and bits == 16:
        flat = [v / 32768.0 for v in struct.unpack_from("<%dh" % n, data, 0)]
        kind = "pcm16"
    elif tag == FMT_PCM and bits == 32:
        flat = [v / 2147483648.0 for v in struct.unpack_from("<%di" % n, data, 0)]
        kind = "pcm32"
    elif tag == FMT_PCM and bits == 24:
        flat = []
        for i in range(n):
            b = data[3 * i:3 * i + 3]
            v = int.from_bytes(b, "little", signed=True)
            flat.append(v / 8388608.0)
        kind = "pcm24"
    else:
        raise WavError("%s: unsupported sample format tag=%d bits=%d" % (path, tag, bits))
    chans = [list(flat[c::ch]) for c in range(ch)]
    return {"format": kind, "bits": bits, "channels": ch, "rate": rate,
            "frames": frames, "data": chans}


def write_wav_float(path, rate, chans):
    nch = len(chans)
    frames = len(chans[0])
    inter = [0.0] * (frames * nch)
    for c in range(nch):
        inter[c::nch] = chans[c]
    payload = struct.pack("<%df" % len(inter), *inter)
    # float WAV: 18-byte fmt chunk (with cbSize) plus the fact chunk
    fmt = struct.pack("<HHIIHHH", FMT_FLOAT, nch, rate, rate * nch * 4, nch * 4, 32, 0)
    fact = struct.pack("<I", frames)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"fact" + struct.pack("<I", len(fact)) + fact
    body += b"data" + struct.pack("<I", len(payload)) + payload
    hdr = b"RIFF" + struct.pack("<I", len(body))
    with open(path, "wb") as f:
        f.write(hdr + body)


def _arg(args, name, default, conv):
    if name in args:
        i = args.index(name)
        val = conv(args[i + 1])
        del args[i:i + 2]
        return val
    return default


def _flag(args, name):
    if name in args:
        args.remove(name)
        return True
    return False


def cmd_info(args):
    w = read_wav(args[0])
    print("%s %dch %dHz %d frames" % (w["format"], w["channels"], w["rate"], w["frames"]))
    return 0


def cmd_stats(args):
    min_peak = _arg(args, "--min-peak", 0.0, float)
    max_peak = _arg(args, "--max-peak", float("inf"), float)
    skip = _arg(args, "--skip", 0, int)
    w = read_wav(args[0])
    ok = True
    peaks = []
    for c, chan in enumerate(w["data"]):
        chan = chan[skip:]
        bad = [i for i, v in enumerate(chan) if not math.isfinite(v)]
        if bad:
            print("channel %d: %d non-finite samples, first at frame %d"
                  % (c, len(bad), bad[0] + skip))
            ok = False
            continue
        peak = max((abs(v) for v in chan), default=0.0)
        rms = math.sqrt(sum(v * v for v in chan) / len(chan)) if chan else 0.0
        peaks.append(peak)
        print("channel %d: peak %.6g rms %.6g frames %d" % (c, peak, rms, len(chan)))
        if peak > max_peak:
            print("channel %d: peak %.6g above limit %.6g" % (c, peak, max_peak))
            ok = False
    if ok and max(peaks, default=0.0) < min_peak:
        print("output is (near) silent: peak %.6g below %.6g" % (max(peaks, default=0.0), min_peak))
        ok = False
    print("%s: %s, %dch %dHz %d frames" % (args[0], w["format"], w["channels"], w["rate"], w["frames"]))
    return 0 if ok else 1


def cmd_compare(args):
    tol = _arg(args, "--tol", 0.0, float)
    frames = _arg(args, "--frames", None, int)
    skip = _arg(args, "--skip", 0, int)
    require_float = _flag(args, "--require-float")
    clip = _flag(args, "--clip")
    ref_path, test_path = args[0], args[1]
    ref = read_wav(ref_path)
    test = read_wav(test_path)
    print("reference %s: %s %dch %dHz %d frames" % (ref_path, ref["format"], ref["channels"], ref["rate"], ref["frames"]))
    print("test      %s: %s %dch %dHz %d frames" % (test_path, test["format"], test["channels"], test["rate"], test["frames"]))
    if require_float and test["format"] != "float32":
        print("FAIL: test file is %s, not float32" % test["format"])
        return 1
    if ref["channels"] != test["channels"]:
        print("FAIL: channel count differs")
        return 1
    if ref["rate"] != test["rate"]:
        print("FAIL: sample rate differs")
        return 1
    n = ref["frames"] if frames is None else frames
    if n > ref["frames"] or n > test["frames"]:
        print("FAIL: need %d frames, reference has %d, test has %d" % (n, ref["frames"], test["frames"]))
        return 1
    if n - skip <= 0:
        print("FAIL: nothing to compare")
        return 1
    if clip:
        # emulate a host that hard-clips its output to [-1, 1]
        ref["data"] = [[min(1.0, max(-1.0, v)) if math.isfinite(v) else v for v in ch]
                       for ch in ref["data"]]
    worst = 0.0
    worst_at = None
    first_bad = None
    mismatches = 0
    energy = 0.0
    for c in range(ref["channels"]):
        a = ref["data"][c]
        b = test["data"][c]
        for i in range(skip, n):
            x, y = a[i], b[i]
            energy += x * x
            if not (math.isfinite(x) and math.isfinite(y)):
                if not (x != x and y != y) and x != y:  # NaN vs NaN counts as equal
                    mismatches += 1
                    if first_bad is None:
                        first_bad = (c, i, x, y)
                continue
            d = abs(x - y)
            if d > worst:
                worst, worst_at = d, (c, i, x, y)
            if d > tol:
                mismatches += 1
                if first_bad is None:
                    first_bad = (c, i, x, y)
    print("compared %d frames x %d channels: max |diff| %.9g, %d samples over tolerance %.3g"
          % (n - skip, ref["channels"], worst, mismatches, tol))
    if worst_at is not None:
        c, i, x, y = worst_at
        print("largest difference: channel %d frame %d ref %.9g test %.9g" % (c, i, x, y))
    if first_bad is not None:
        c, i, x, y = first_bad
        print("FAIL: first mismatch at channel %d frame %d: ref %.9g test %.9g" % (c, i, x, y))
        return 1
    if energy == 0.0:
        # identical silence proves nothing about the plug-in
        print("FAIL: reference is all zeros over the compared range")
        return 1
    print("OK")
    return 0


def cmd_windows(args):
    win = _arg(args, "--win", 0.5, float)
    skip = _arg(args, "--skip", 0.0, float)
    min_peak = _arg(args, "--min-peak", 1e-4, float)
    max_peak = _arg(args, "--max-peak", float("inf"), float)
    w = read_wav(args[0])
    rate = w["rate"]
    n = int(win * rate)
    start = int(skip * rate)
    print("%s: %s %dch %dHz %d frames (%.2f s)" % (args[0], w["format"], w["channels"], rate,
                                                 w["frames"], w["frames"] / float(rate)))
    if n <= 0 or start + n > w["frames"]:
        print("FAIL: file too short for one %.2f s window after %.2f s" % (win, skip))
        return 1
    ok = True
    k = 0
    for a in range(start, w["frames"] - n + 1, n):
        peak = 0.0
        bad = 0
        for chan in w["data"]:
            for v in chan[a:a + n]:
                if not math.isfinite(v):
                    bad += 1
                elif abs(v) > peak:
                    peak = abs(v)
        t = a / float(rate)
        status = "ok"
        if bad:
            status = "FAIL: %d non-finite samples" % bad
        elif peak < min_peak:
            status = "FAIL: silent (peak below %.3g)" % min_peak
        elif peak > max_peak:
            status = "FAIL: peak above %.3g" % max_peak
        if status != "ok":
            ok = False
        print("  %6.2f-%6.2f s  peak %-12.6g %s" % (t, t + win, peak, status))
        k += 1
    print("%d windows checked: %s" % (k, "OK" if ok else "FAIL"))
    return 0 if ok else 1


def cmd_impulse(args):
    rate = _arg(args, "--rate", 48000, int)
    seconds = _arg(args, "--seconds", 3.0, float)
    seed = _arg(args, "--seed", 1234, int)
    rng = random.Random(seed)
    n = int(rate * seconds)
    x = [0.0] * n
    # isolated clicks first (clean echoes), then noise bursts, then silence
    # so that feedback tails ring out at the end
    for t in (0.01, 0.25, 0.6):
        k = int(t * rate)
        if k < n:
            x[k] = 0.9
    a, b = int(0.9 * rate), int(1.7 * rate)
    for i in range(a, min(b, n)):
        x[i] = rng.uniform(-0.4, 0.4)
    c = int(2.0 * rate)
    for i in range(c, min(c + rate // 10, n)):
        x[i] = 0.5 * math.sin(2 * math.pi * 440.0 * (i - c) / rate)
    write_wav_float(args[0], rate, [x])
    print("wrote %s: %d frames at %d Hz" % (args[0], n, rate))
    return 0


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    cmd, args = argv[1], list(argv[2:])
    try:
        if cmd == "info":
            return cmd_info(args)
        if cmd == "stats":
            return cmd_stats(args)
        if cmd == "compare":
            return cmd_compare(args)
        if cmd == "windows":
            return cmd_windows(args)
        if cmd == "impulse":
            return cmd_impulse(args)
    except (WavError, OSError, struct.error) as e:
        print("error: %s" % e)
        return 1
    print("unknown command %s" % cmd)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
