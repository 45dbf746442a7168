#!/usr/bin/env bash
# Compares libm float results of an x86-64 and an aarch64 build of mathprobe
# (the latter under qemu-user), bit for bit.
#
#   cmake/cross-check/compare_math.sh X86_MATHPROBE AARCH64_MATHPROBE [quick|full]
#
# quick (default, about 2 minutes): for each function 2^20 arguments in each
#   of four windows typical of audio code (around 0.02, 0.5, 3 and -5),
#   powf on 2 million pairs, and the fp-contract probe.
# full: every one of the 2^32 float arguments, per function (x86 about 20 s,
#   qemu 7-10 minutes per function).
# Prints one line per function; exits 1 if any result differs.
set -uo pipefail
x86="${1:?x86 mathprobe}"
a64="${2:?aarch64 mathprobe}"
mode="${3:-quick}"
sysroot="${ZQ_QEMU_SYSROOT:-/usr/aarch64-linux-gnu}"
# The cross libraries by name: a native arm64 libc (multiarch) must not pair with the cross loader.
run_a64() { "${ZQ_QEMU:-qemu-aarch64}" -L "$sysroot" -E LD_LIBRARY_PATH="$sysroot/lib" "$a64" "$@"; }

fail=0 pass=0
compare() {  # label, then mathprobe arguments
  local label="$1"; shift
  if diff <("$x86" "$@") <(run_a64 "$@") > /dev/null; then
    echo "same      $label"; pass=$((pass + 1))
  else
    echo "DIFFERENT $label"; fail=$((fail + 1))
  fi
}

fns="expf exp2f logf log10f sinf cosf tanf tanhf sincosf modff pow10db"
compare "smoke (fma, fp-contract probe)" smoke
if [[ "$mode" == full ]]; then
  for f in $fns; do compare "$f (all 2^32 arguments)" unary "$f" 24; done
else
  for f in $fns; do
    for w in 0x3CA3D70A 0x3F000000 0x40400000 0xC0A00000; do
      compare "$f (2^20 arguments from bits $w)" unary "$f" 20 "$w" 1048576
    done
  done
fi
compare "powf (2M random pairs + dB grid)" powf 2000000 7
echo "$pass passed, $fail failed"
[[ $fail -eq 0 ]]
