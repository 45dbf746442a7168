#!/bin/sh
# Builds one variant of the project in its own folder and runs its tests; the
# main test run calls it once per variant, so that one command runs them all.
#
#   tools/suite.sh asan-ubsan|thread|aarch64|fuzz|clang SOURCE_DIR NATIVE_BUILD_DIR
set -eu
name=$1
src=$2
native=$3
dir=$native/suite-$name
jobs=$(nproc)

case $name in
asan-ubsan)
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_SANITIZE=address-undefined
    cmake --build "$dir" -j"$jobs"
    # The harness self-tests plant faults in a stand-in plug-in; the plain
    # build runs them, here the sanitizers would report the plants first.
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$dir" --output-on-failure -j"$jobs" -E '^fuzz[.]self[.]'
    ;;
thread)
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_SANITIZE=thread
    cmake --build "$dir" -j"$jobs" --target zq_unit_tests
    TSAN_OPTIONS=halt_on_error=1 "$dir/tests/zq_unit_tests" --gtest_filter='ParallelInstances.*:LogSwitch.*:RunCycle.*'
    ;;
aarch64)
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake"
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
    # The arithmetic is fully fixed: both architectures give the same bits.
    bash "$src/tests/fuzz/compare_arch.sh" "$native" "$dir"
    ;;
fuzz)
    # The library built by clang with coverage and sanitizers, every voice
    # build held to the per-sample voice's bits: the corpus replayed under
    # full instrumentation, then a bounded coverage-guided run.
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_FUZZ=ON \
        -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 -DZQ_FUZZ_SECONDS="${ZQ_FUZZ_SECONDS:-60}"
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure
    cmake --build "$dir" --target fuzz
    ;;
clang)
    # The library and its tests built by clang: every voice build must give
    # the bits the gcc build gives (the recorded runs, the equivalence
    # tests) and keep its code to itself. The hosts' own tests run in the
    # native build.
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" -E '^host_'
    ;;
*)
    echo "usage: $0 asan-ubsan|thread|aarch64|fuzz|clang SOURCE_DIR NATIVE_BUILD_DIR" >&2
    exit 2
    ;;
esac
