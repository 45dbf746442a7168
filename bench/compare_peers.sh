#!/bin/bash
# Times this plug-in (one or more builds of it) and installed delay plug-ins of
# other projects with the same noise-fed host (zq_peer_host: white noise on
# every audio input, the thread's CPU time, the best of five runs of
# ZQ_COMPARE_SECONDS (60) seconds of audio after 4 seconds of warm-up), in
# interleaved rounds, and prints each one's cost relative to mda DubDelay.
#
# usage: bench/compare_peers.sh [BUILD_DIR...] [BLOCK...]
#   BUILD_DIR  builds with -DZQ_BUILD_BENCH=ON (default: build-fast); a build
#              configured with -DZQ_WIDEST_ISA=avx2 shows the AVX2 voice on a
#              processor with AVX-512
#   BLOCK      block sizes (default: 64 512)
# Peers: mda DubDelay (mda-lv2), Calf Vintage Delay (calf-plugins), Invada
# Delay mono (invada-studio-plugins-lv2), found on ZQ_PEER_LV2_PATH (default:
# the system's LV2 folders); a missing one is reported and skipped. Every
# plug-in runs at its default controls, except this one, which runs settled
# at 250 ms, tap ratio 50 %, feedback 60 %, diffusion 66.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
builds=()
blocks=()
for a in "$@"; do
  if [ -d "$a" ]; then builds+=("$(cd "$a" && pwd)"); else blocks+=("$a"); fi
done
[ ${#builds[@]} -gt 0 ] || builds=("$here/build-fast")
[ ${#blocks[@]} -gt 0 ] || blocks=(64 512)
rounds=${ZQ_COMPARE_ROUNDS:-5}
# Seconds of audio per timed run: long enough that a busy neighbour on a
# shared machine rarely spoils every run of a round.
seconds=${ZQ_COMPARE_SECONDS:-60}
system=${ZQ_PEER_LV2_PATH:-/usr/lib/lv2:/usr/local/lib/lv2}

ours=$(sed -n 's/^<\([^#>]*\)>$/\1/p' "${builds[0]}/zwirbelton-quorvel.lv2/manifest.ttl" | head -n 1)
ours_set=(--set delay_ms=250 --set tap_ratio=50 --set feedback=60 --set diffusion=66)
peers=(
  "mda DubDelay|http://drobilla.net/plugins/mda/DubDelay"
  "Calf Vintage Delay|http://calf.sourceforge.net/plugins/VintageDelay"
  "Invada Delay (mono)|http://invadarecords.com/plugins/lv2/delay/mono"
)

# Each build's bundle alone on its own LV2 path, beside the system's plug-ins.
names=()
paths=()
# Only the folders made here are removed: the peers' paths are the system's.
scratch=()
trap 'rm -rf "${scratch[@]}"' EXIT
uris=()
sets=()
for build in "${builds[@]}"; do
  [ -x "$build/bench/zq_peer_host" ] || { echo "no $build/bench/zq_peer_host: configure with -DZQ_BUILD_BENCH=ON" >&2; exit 1; }
  voice=$(sed -n 's/^ZQ_WIDEST_ISA:STRING=\(..*\)/\1/p' "$build/CMakeCache.txt")
  dir=$(mktemp -d)
  scratch+=("$dir")
  ln -s "$build/zwirbelton-quorvel.lv2" "$dir/"
  names+=("this plug-in (${voice:-widest}, $(basename "$build"))")
  paths+=("$dir:$system")
  uris+=("$ours")
  sets+=("${ours_set[*]}")
done
for entry in "${peers[@]}"; do
  names+=("${entry%%|*}")
  paths+=("$system")
  uris+=("${entry#*|}")
  sets+=("")
done
host=${builds[0]}/bench/zq_peer_host

printf '%-42s %6s %12s %14s\n' plug-in block ns/sample vs_DubDelay
for block in "${blocks[@]}"; do
  best=()
  for ((r = 0; r < rounds; r++)); do
    for i in "${!names[@]}"; do
      # shellcheck disable=SC2086
      if line=$(LV2_PATH=${paths[$i]} "$host" --block "$block" --seconds "$seconds" ${sets[$i]} "${uris[$i]}" 2>/dev/null); then
        read -r _ _ ns _ <<<"$line"
        best[$i]=$(awk -v a="$ns" -v b="${best[$i]:-}" 'BEGIN { print (b == "" || a < b) ? a : b }')
      fi
    done
  done
  dub=""
  for i in "${!names[@]}"; do [ "${names[$i]}" = "mda DubDelay" ] && dub=${best[$i]:-}; done
  for i in "${!names[@]}"; do
    if [ -z "${best[$i]:-}" ]; then
      printf '%-42s %6s %12s\n' "${names[$i]}" "$block" "not installed"
    elif [ -n "$dub" ]; then
      printf '%-42s %6s %12s %14s\n' "${names[$i]}" "$block" "${best[$i]}" \
        "$(awk -v a="${best[$i]}" -v b="$dub" 'BEGIN { printf "%.2f", a / b }')"
    else
      printf '%-42s %6s %12s %14s\n' "${names[$i]}" "$block" "${best[$i]}" "-"
    fi
  done
done
echo "vs_DubDelay: CPU time per sample over mda DubDelay's, best of $rounds interleaved rounds (below 1: cheaper)."
