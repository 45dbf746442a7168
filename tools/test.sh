#!/bin/sh
# Builds the plug-in and every test, then runs them all.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sh tools/deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_TESTS=ON -DZQ_EXTENDED_TESTS=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
