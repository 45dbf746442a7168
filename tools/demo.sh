#!/bin/sh
# Builds the plug-in, installs the bundle into the user's LV2 folder and renders
# a short demo through a real LV2 host (lv2apply) into demo-out/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sh tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)"
cmake --install build
lv2_dir=$(sed -n 's/^ZQ_LV2_INSTALL_DIR:PATH=//p' build/CMakeCache.txt)
out="$root/demo-out"
mkdir -p "$out"
# A plucked phrase with gaps for the echoes to speak in.
sox -n -r 48000 -b 32 -e floating-point -c 1 "$out/phrase.wav" \
    synth 0.25 pluck A3 synth 0.25 pluck C4 synth 0.25 pluck E4 pad 0 0.75 \
    : synth 0.25 pluck G3 pad 0 1.75 gain -12
uri=http://zwirbelton.audio/plugins/zwirbelton-quorvel
export LV2_PATH="$lv2_dir${LV2_PATH:+:$LV2_PATH}"
lv2apply -i "$out/phrase.wav" -o "$out/echo.wav" \
    -c delay_ms 300 -c feedback 55 -c tap_ratio 50 -c pan_tap -60 -c pan_loop 60 "$uri"
sox "$out/echo.wav" -n stat 2>&1 | sed -n '1,6p'
echo "demo written to $out"
