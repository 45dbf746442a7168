#!/bin/sh
# Instructions per sample that the NEON build's pipelined chunks and the
# per-sample voice execute, settled, counted under qemu-aarch64: every
# translated block's instructions (-d in_asm) times its executions
# (-d exec, unchained), for two runs that differ by 256 chunks.
#
#   bench/voice_instructions.sh AARCH64_BUILD_DIR
# AARCH64_BUILD_DIR: an aarch64 build with tests (tools/suite.sh aarch64
# makes build/suite-aarch64), whose libzq_core.a the driver links.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
sysroot=/usr/aarch64-linux-gnu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
aarch64-linux-gnu-g++ -std=c++20 -O2 -ffp-contract=off -DZQ_TEST_ROUTES -I"$src" -I"$src/bench" \
    $(pkg-config --cflags lv2) "$src/bench/voice_instructions.cpp" "$build/libzq_core.a" -o "$work/driver"

# Instructions executed by one run of the driver: each block's length as it
# was last translated, summed over its executions.
count() {
    qemu-aarch64 -L "$sysroot" -E LD_LIBRARY_PATH="$sysroot/lib" -d in_asm,exec,nochain -D "$work/log" \
        "$work/driver" neon "$1" "$2" >/dev/null
    awk '
        function key(hex) { sub(/^(0x)?0*/, "", hex); return hex }
        /^IN:/ { pc = ""; next }
        /^0x[0-9a-f]+:/ { a = key(substr($1, 1, length($1) - 1)); if (pc == "") { pc = a; size[pc] = 0 } size[pc]++; next }
        /^Trace / { split($4, f, "/"); total += size[key(f[2])]; next }
        END { printf "%d\n", total }
    ' "$work/log"
}

for path in chunks reference; do
    short=$(count "$path" 256)
    long=$(count "$path" 512)
    echo "neon $path: $(awk -v a="$short" -v b="$long" 'BEGIN { printf "%.1f", (b - a) / (256 * 16) }') instructions per sample"
done
