#!/usr/bin/env bash
# Bounded coverage-guided fuzzing run of the plug-in with libFuzzer.
#
#   tests/fuzz/run_fuzz.sh [PLUGIN.so] [SECONDS]
#
# PLUGIN.so defaults to $ZQ_PLUGIN_SO, else the sanitizer build of the
# plug-in at build-fuzz/zwirbelton-quorvel.lv2/libzwirbelton-quorvel.so.
# That library should be compiled with clang and
#   -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
# (coverage feedback + memory errors inside the plug-in); a plain g++ build
# also works, guided by the harness' coverage only and checked through the
# guard pages and properties alone.
#
# The harness is compiled here with clang++ (Debian packages clang-14 and
# libclang-rt-14-dev) unless ZQ_FUZZ_BIN points to a built one. The seed
# corpus is copied to a scratch working corpus, so the checked-in seeds stay
# as generated. Any finding is written to $ZQ_FUZZ_OUT (default
# build-fuzz/fuzz-out) as crash-*, and the script exits non-zero.
#
# Environment: ZQ_FUZZ_JOBS (parallel jobs, default 1), ZQ_FUZZ_MAX_LEN
# (default 2048), ZQ_FUZZ_OUT_BOUND (see fuzz_plugin.cpp).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
plugin="${1:-${ZQ_PLUGIN_SO:-$root/build-fuzz/zwirbelton-quorvel.lv2/libzwirbelton-quorvel.so}}"
seconds="${2:-60}"
out="${ZQ_FUZZ_OUT:-$root/build-fuzz/fuzz-out}"
jobs="${ZQ_FUZZ_JOBS:-1}"
max_len="${ZQ_FUZZ_MAX_LEN:-2048}"

if [[ ! -f "$plugin" ]]; then
  echo "run_fuzz.sh: no plug-in library at $plugin" >&2
  exit 2
fi
mkdir -p "$out/work-corpus"

bin="${ZQ_FUZZ_BIN:-}"
if [[ -z "$bin" ]]; then
  cxx="$(command -v clang++-14 || command -v clang++ || true)"
  if [[ -z "$cxx" ]]; then
    echo "run_fuzz.sh: clang++ not found (apt-get install clang-14 libclang-rt-14-dev)" >&2
    exit 2
  fi
  bin="$out/fuzz_plugin"
  if [[ ! -x "$bin" || "$here/fuzz_plugin.cpp" -nt "$bin" ]]; then
    # The plug-in's URI as its bundle's manifest names it.
    uri=$(sed -n 's/^<\([^#>]*\)>$/\1/p' "$(dirname "$plugin")/manifest.ttl" | head -n 1)
    "$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off \
      -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
      -I"$here/../.." -DZQ_PLUGIN_URI="\"$uri\"" -o "$bin" "$here/fuzz_plugin.cpp" -ldl
  fi
fi

# Seeds: the checked-in corpus plus whatever earlier runs found.
cp -n "$here"/corpus/*.bin "$out/work-corpus/" 2>/dev/null || true

echo "run_fuzz.sh: fuzzing $plugin for ${seconds}s ($jobs job(s)), findings in $out"
parallel=()
if [[ "$jobs" -gt 1 ]]; then
  parallel=(-fork="$jobs")  # libFuzzer's -jobs would send the log to fuzz-N.log files
fi
set +e
ZQ_PLUGIN_SO="$plugin" "$bin" "$out/work-corpus" \
  -max_total_time="$seconds" -max_len="$max_len" -timeout=30 -rss_limit_mb=4096 \
  "${parallel[@]}" -print_final_stats=1 \
  -artifact_prefix="$out/" 2>&1 | tee "$out/fuzz.log" | grep -E 'property violated|ERROR|runtime error|SUMMARY|DONE|stat::|Done [0-9]+ runs'
rc=${PIPESTATUS[0]}
set -e
if [[ $rc -ne 0 ]] || compgen -G "$out/crash-*" > /dev/null || compgen -G "$out/timeout-*" > /dev/null; then
  echo "run_fuzz.sh: FAILED (exit $rc); see $out/fuzz.log; reproduce with:"
  echo "  ZQ_PLUGIN_SO=$plugin $bin $out/crash-<id>   (ZQ_FUZZ_VERBOSE=1 logs every call)"
  exit 1
fi
echo "run_fuzz.sh: no finding in ${seconds}s"
