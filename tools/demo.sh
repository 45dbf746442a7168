#!/bin/sh
# Builds the plug-in, installs the bundle into the user's LV2 folder and renders
# a demo through real LV2 hosts into demo-out/: a plucked phrase, one WAV per
# factory preset, a spectrogram of each and a plot of each preset's echoes.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sh tools/deps.sh demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)"
cmake --install build
lv2_dir=$(sed -n 's/^ZQ_LV2_INSTALL_DIR:PATH=//p' build/CMakeCache.txt)
export LV2_PATH="$lv2_dir"
bundle=build/zwirbelton-quorvel.lv2
uri=$(sed -n 's/^<\([^#>]*\)>$/\1/p' "$bundle/manifest.ttl" | head -n 1)
out="$root/demo-out"
rm -rf "$out"
mkdir -p "$out"

# At start the delay opens up from zero to its time at 0.3 ms per ms (1.5 s
# for the longest preset), so both test signals start after 1.6 s of silence.
# A plucked phrase with room for the echoes to speak:
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
i=0
for note in A3 C4 E4 A4 G4 E4; do
    i=$((i + 1))
    sox -n -r 48000 -b 32 -e floating-point -c 1 "$tmp/note$i.wav" synth 0.22 pluck "$note" fade 0 0.22 0.05
done
sox "$tmp"/note1.wav "$tmp"/note2.wav "$tmp"/note3.wav "$tmp"/note4.wav \
    "$tmp"/note5.wav "$tmp"/note6.wav "$out/phrase.wav" gain -10 pad 1.6 2.5
# ... and one click at 1.6 s, for the echo pattern.
sox -n -r 48000 -b 32 -e floating-point -c 1 "$out/impulse.wav" \
    synth 1s sine 0 trim 0 1s vol 0 pad 76800s 143999s
python3 - "$out/impulse.wav" <<'PY'
import struct, sys
# Sets the sample at 1.6 s to 0.5: sox has no one-sample generator.
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
at = data.find(b"data") + 8 + 4 * 76800
data[at:at + 4] = struct.pack("<f", 0.5)
open(path, "wb").write(bytes(data))
PY

# The plain run, through lv2apply, with a tap on the left at half time.
lv2apply -i "$out/phrase.wav" -o "$out/phrase-echo.wav" \
    -c delay_ms 300 -c feedback 55 -c tap_ratio 50 -c pan_tap -60 -c pan_loop 60 "$uri"

# lv2file writes float WAVs with the 16-byte format chunk of integer PCM;
# sox expects the 18-byte one of the float formats and warns on every read.
# This gives each file the (empty) extension, the samples untouched.
complete_fmt_chunk() {
    python3 - "$1" <<'PY'
import struct, sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
at = 12
while at + 8 <= len(data):
    tag, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
    if tag == b"fmt ":
        if size == 16 and struct.unpack_from("<H", data, at + 8)[0] != 1:
            data[at + 24:at + 24] = b"\0\0"
            struct.pack_into("<I", data, at + 4, 18)
            struct.pack_into("<I", data, 4, len(data) - 8)
            open(path, "wb").write(bytes(data))
        break
    at += 8 + size + (size & 1)
PY
}

# One render per factory preset, through lv2file, which loads presets by name.
sed -n 's/.*#preset-\([a-z-]*\)>$/\1/p; s/^\trdfs:label "\(.*\)" ;$/\1/p' "$bundle/presets.ttl" |
while read -r slug && read -r label; do
    lv2file -i "$out/phrase.wav" -o "$out/$slug.wav" -P "$label" "$uri" >/dev/null
    lv2file -i "$out/impulse.wav" -o "$out/$slug-impulse.wav" -P "$label" "$uri" >/dev/null
    complete_fmt_chunk "$out/$slug.wav"
    complete_fmt_chunk "$out/$slug-impulse.wav"
    sox "$out/$slug.wav" -n trim 1.5 remix 1,2 spectrogram -x 800 -y 257 -z 90 \
        -t "$label: plucked phrase" -c "zwirbelton-quorvel" -o "$out/$slug-spectrogram.png"
    # Peak level per millisecond of each channel, from the click on.
    sox "$out/$slug-impulse.wav" -t dat - trim 1.6 | awk '
        /^;/ { next }
        { l = $2 < 0 ? -$2 : $2; r = $3 < 0 ? -$3 : $3
          if (l > pl) pl = l; if (r > pr) pr = r
          if (++n == 48) { printf "%.3f %g %g\n", t, pl, pr; t += 0.001; n = 0; pl = 0; pr = 0 } }' \
        > "$tmp/$slug.dat"
    gnuplot -e "set terminal png size 800,300 font ',9'; set output '$out/$slug-echoes.png';
        set title '$label: echoes of one click, peak level per millisecond'; set xlabel 'seconds after the click';
        set ylabel 'dB'; set yrange [-70:0]; set xrange [0:2.5]; set grid;
        plot '$tmp/$slug.dat' using 1:(20*log10(\$2+1e-9)) with lines lc rgb '#c03030' title 'left',
             '' using 1:(20*log10(\$3+1e-9)) with lines lc rgb '#3050c0' title 'right'"
    echo "rendered $label"
done
cp "$out/wide-stereo-echoes.png" "$root/docs/wide-stereo-echoes.png"
echo "demo written to $out"
