#!/bin/sh
# Instructions per sample that one build's pipelined chunks and its
# per-sample voice execute, settled, counted under qemu: every translated
# block's instructions (-d in_asm) times its executions (-d exec, unchained),
# for two runs that differ by 256 chunks. No hardware counter is needed, so
# it works for aarch64 on an x86-64 machine and in virtual machines.
#
#   bench/voice_instructions.sh BUILD_DIR [neon|avx2|baseline]
# BUILD_DIR: a build with tests whose libzq_core.a the driver links: for
# neon (the default) an aarch64 one (tools/suite.sh aarch64 makes
# build/suite-aarch64), else a native x86-64 one. qemu's x86-64 has AVX2 but
# no AVX-512.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
isa=${2:-neon}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case $isa in
neon)
    cxx=aarch64-linux-gnu-g++
    sysroot=/usr/aarch64-linux-gnu
    run() { qemu-aarch64 -L "$sysroot" -E LD_LIBRARY_PATH="$sysroot/lib" "$@"; }
    ;;
avx2 | baseline)
    cxx=g++
    run() { qemu-x86_64 -cpu max "$@"; }
    ;;
*)
    echo "usage: $0 BUILD_DIR [neon|avx2|baseline]" >&2
    exit 2
    ;;
esac
$cxx -std=c++20 -O2 -ffp-contract=off -DZQ_TEST_ROUTES -I"$src" -I"$src/bench" \
    $(pkg-config --cflags lv2) "$src/bench/voice_instructions.cpp" "$build/libzq_core.a" -o "$work/driver"

# Instructions executed by one run of the driver: each block's length as it
# was last translated, summed over its executions. A line of the listing
# with only bytes on it continues the instruction above it.
count() {
    run -d in_asm,exec,nochain -D "$work/log" "$work/driver" "$isa" "$1" "$2" >/dev/null
    awk '
        function key(hex) { sub(/^(0x)?0*/, "", hex); return hex }
        /^IN:/ { pc = ""; next }
        /^0x[0-9a-f]+:/ {
            a = key(substr($1, 1, length($1) - 1))
            if (pc == "") { pc = a; size[pc] = 0 }
            for (i = 2; i <= NF && $i ~ /^[0-9a-f][0-9a-f]$/; i++) {}
            if (i <= NF) size[pc]++
            next
        }
        /^Trace / { split($4, f, "/"); total += size[key(f[2])]; next }
        END { printf "%d\n", total }
    ' "$work/log"
}

for path in chunks reference; do
    short=$(count "$path" 256)
    long=$(count "$path" 512)
    echo "$isa $path: $(awk -v a="$short" -v b="$long" 'BEGIN { printf "%.1f", (b - a) / (256 * 16) }') instructions per sample"
done
