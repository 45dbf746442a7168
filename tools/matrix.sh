#!/bin/sh
# One row of the build matrix: the library built by another compiler, with
# the flags distributions inject, or run on another processor, renders the
# recorded runs (each held to its recording) and the longer renders of
# tests/matrix_render.cpp. Every row must print what the main build prints,
# byte for byte. The main test run calls it once per row.
#
#   tools/matrix.sh ROW SOURCE_DIR NATIVE_BUILD_DIR
#
#   gcc              the main build (the reference the other rows compare with)
#   clang-14 clang-16  the library built by clang
#   hostile          CFLAGS/CXXFLAGS -O3 -ffast-math -march=native
#   no-fma           the main build on an x86-64 without FMA (qemu64)
#   aarch64          the aarch64 suite's build (tools/suite.sh) under qemu
#   aarch64-hostile  the same with CFLAGS/CXXFLAGS -O3 -ffast-math
#
# A row that cannot run here says why and exits 77 (skipped).
set -eu
row=$1
src=$2
native=$3
jobs=$(nproc)
lib=zwirbelton-quorvel.lv2/libzwirbelton-quorvel.so
render=tests/zq_matrix_render
cross=$native/suite-aarch64
sysroot=/usr/aarch64-linux-gnu
out=$native/matrix
mkdir -p "$out"

skip() {
    echo "SKIPPED: $*"
    exit 77
}

need() {
    command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed (tools/deps.sh installs it)"
}

# The library alone, in its own folder; any further arguments go to CMake.
build_library() {
    dir=$1
    shift
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_TESTS=OFF "$@" >/dev/null
    cmake --build "$dir" -j"$jobs" --target zwirbelton-quorvel
}

# Renders with the given command line (a runner, the renderer, the library)
# into $out/$row.txt; fails when a recorded run differs from its recording.
render() {
    "$@" >"$out/$row.txt" || { cat "$out/$row.txt"; echo "$row: a recorded run differs"; exit 1; }
    grep '^#' "$out/$row.txt" || true
}

# The row's renders against the main build's.
compare() {
    [ -f "$out/gcc.txt" ] || { echo "$row: no renders of the main build (the gcc row makes them)"; exit 1; }
    grep -v '^#' "$out/gcc.txt" >"$out/gcc.bytes"
    grep -v '^#' "$out/$row.txt" >"$out/$row.bytes"
    if ! diff "$out/gcc.bytes" "$out/$row.bytes"; then
        echo "$row: renders differ from the main build's"
        exit 1
    fi
    echo "$row: $(wc -l <"$out/$row.bytes") lines, identical to the main build's"
}

case $row in
gcc)
    render "$native/$render" "$native/$lib"
    echo "gcc: every recorded run identical to its recording"
    exit 0
    ;;
clang-*)
    version=${row#clang-}
    need "clang++-$version"
    dir=$native/matrix-$row
    build_library "$dir" -DCMAKE_C_COMPILER="clang-$version" -DCMAKE_CXX_COMPILER="clang++-$version"
    sh "$src/tests/check_exports.sh" "$dir/$lib"
    render "$native/$render" "$dir/$lib"
    ;;
hostile)
    dir=$native/matrix-hostile
    # CMake reads CFLAGS/CXXFLAGS when it first configures a folder.
    rm -f "$dir/CMakeCache.txt"
    CFLAGS="-O3 -ffast-math -march=native" CXXFLAGS="-O3 -ffast-math -march=native" build_library "$dir"
    sh "$src/tests/check_exports.sh" "$dir/$lib"
    render "$native/$render" "$dir/$lib"
    ;;
no-fma)
    need qemu-x86_64
    render qemu-x86_64 -cpu qemu64 "$native/$render" "$native/$lib"
    # The emulated processor must really lack FMA, or the row tests nothing.
    grep -q '^# x86-64, fma no' "$out/$row.txt" || { echo "no-fma: the emulated processor has FMA"; exit 1; }
    ;;
aarch64 | aarch64-hostile)
    need qemu-aarch64
    [ -x "$cross/$render" ] || { echo "$row: no aarch64 build in $cross (tools/suite.sh aarch64 makes it)"; exit 1; }
    dir=$cross
    if [ "$row" = aarch64-hostile ]; then
        dir=$native/matrix-aarch64-hostile
        rm -f "$dir/CMakeCache.txt"
        CFLAGS="-O3 -ffast-math" CXXFLAGS="-O3 -ffast-math" \
            build_library "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake"
    fi
    sh "$src/tests/check_exports.sh" "$dir/$lib"
    # The cross libraries named outright, as cmake/aarch64-linux-gnu.cmake does.
    render qemu-aarch64 -L "$sysroot" -E LD_LIBRARY_PATH="$sysroot/lib" "$cross/$render" "$dir/$lib"
    ;;
*)
    echo "usage: $0 gcc|clang-14|clang-16|hostile|no-fma|aarch64|aarch64-hostile SOURCE_DIR NATIVE_BUILD_DIR" >&2
    exit 2
    ;;
esac
compare
