#!/bin/bash
# Times this plug-in and installed delay plug-ins of other projects with the
# same noise-fed host (zq_peer_host: white noise on every audio input, the
# thread's CPU time, the best of five 2-second runs after 4 seconds of
# warm-up) and prints each one's cost relative to this plug-in.
#
# usage: bench/compare_peers.sh [BUILD_DIR] [BLOCK...]
#   BUILD_DIR  a build with -DZQ_BUILD_BENCH=ON (default: build-fast)
#   BLOCK      block sizes (default: 64 512)
# Peers: mda DubDelay (mda-lv2), Calf Vintage Delay (calf-plugins), Invada
# Delay mono (invada-studio-plugins-lv2); a missing one is reported and
# skipped. Every plug-in runs at its default controls, except this one, which
# runs settled at 250 ms, tap ratio 50 %, feedback 60 %, diffusion 66.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-fast}
shift || true
blocks=("$@")
[ ${#blocks[@]} -gt 0 ] || blocks=(64 512)

build=$(cd "$build" && pwd)
host=$build/bench/zq_peer_host
[ -x "$host" ] || { echo "no $host: configure with -DZQ_BUILD_BENCH=ON and build zq_peer_host" >&2; exit 1; }
[ -d "$build/zwirbelton-quorvel.lv2" ] || { echo "no bundle in $build" >&2; exit 1; }
# Only the bundle from the build folder, beside the system's plug-ins.
lv2dir=$(mktemp -d)
trap 'rm -rf "$lv2dir"' EXIT
ln -s "$build/zwirbelton-quorvel.lv2" "$lv2dir/"
export LV2_PATH="$lv2dir:/usr/lib/lv2:/usr/local/lib/lv2"

ours=$(sed -n 's/^<\([^#>]*\)>$/\1/p' "$build/zwirbelton-quorvel.lv2/manifest.ttl" | head -n 1)
ours_set=(--set delay_ms=250 --set tap_ratio=50 --set feedback=60 --set diffusion=66)
peers=(
  "mda DubDelay|http://drobilla.net/plugins/mda/DubDelay"
  "Calf Vintage Delay|http://calf.sourceforge.net/plugins/VintageDelay"
  "Invada Delay (mono)|http://invadarecords.com/plugins/lv2/delay/mono"
)

printf '%-22s %6s %14s %12s %10s\n' plug-in block ns/sample x_realtime vs_ours
for block in "${blocks[@]}"; do
  line=$("$host" --block "$block" "${ours_set[@]}" "$ours")
  read -r _ _ ours_ns ours_rt <<<"$line"
  printf '%-22s %6s %14s %12s %10s\n' "this plug-in" "$block" "$ours_ns" "$ours_rt" "1.00"
  for entry in "${peers[@]}"; do
    name=${entry%%|*}
    uri=${entry#*|}
    if line=$("$host" --block "$block" "$uri" 2>/dev/null); then
      read -r _ _ ns rt <<<"$line"
      ratio=$(awk -v a="$ns" -v b="$ours_ns" 'BEGIN { printf "%.2f", a / b }')
      printf '%-22s %6s %14s %12s %10s\n' "$name" "$block" "$ns" "$rt" "$ratio"
    else
      printf '%-22s %6s %14s\n' "$name" "$block" "not installed"
    fi
  done
done
echo "vs_ours: the plug-in's CPU time per sample over this plug-in's (above 1: costlier)."
