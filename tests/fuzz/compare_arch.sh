#!/usr/bin/env bash
# Bit-identity of the plug-in's output on x86-64 and aarch64: replays the
# seed corpus with a native build and with an aarch64 build under qemu-user,
# and compares the output hash that zq_fuzz_replay prints for every seed.
#
#   tests/fuzz/compare_arch.sh NATIVE_BUILD_DIR AARCH64_BUILD_DIR [PLUGIN_REL]
#
# Each build directory must contain tests/fuzz/zq_fuzz_replay and the plug-in
# at PLUGIN_REL (default zwirbelton-quorvel.lv2/libzwirbelton-quorvel.so).
# The aarch64 one is configured with -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake.
# Exit status 0 if every seed gives the same output on both, 1 otherwise.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
native="${1:?native build dir}"
cross="${2:?aarch64 build dir}"
rel="${3:-zwirbelton-quorvel.lv2/libzwirbelton-quorvel.so}"
corpus="$here/corpus"
qemu="${ZQ_QEMU:-qemu-aarch64}"
sysroot="${ZQ_QEMU_SYSROOT:-/usr/aarch64-linux-gnu}"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
"$native/tests/fuzz/zq_fuzz_replay" --plugin="$native/$rel" "$corpus" | grep '^ok ' | sed 's|^ok .*/||' > "$tmp/native"
"$qemu" -L "$sysroot" -E LD_LIBRARY_PATH="$sysroot/lib" "$cross/tests/fuzz/zq_fuzz_replay" --plugin="$cross/$rel" "$corpus" | grep '^ok ' \
  | sed 's|^ok .*/||' > "$tmp/cross"
seeds=$(wc -l < "$tmp/native")
if [[ "$seeds" -eq 0 ]]; then
  echo "compare_arch.sh: no seed replayed" >&2
  exit 1
fi
differ=$(diff "$tmp/native" "$tmp/cross" | grep -c '^<' || true)
diff "$tmp/native" "$tmp/cross" | sed -n 's/^< \([^ ]*\).*/output differs between x86-64 and aarch64: \1/p'
echo "$((seeds - differ)) passed, $differ failed"
[[ "$differ" -eq 0 ]]
