#!/bin/bash
# Renders a test signal through lv2proc and checks that the stereo output is
# bit-identical to the project's reference renderer.
#
# lv2proc facts this test relies on (lv2proc 0.5.1):
#   * "-n N" sets the run() size (default 512); the last call is SHORT (only
#     the frames left in the file), nothing is padded;
#   * "-c SYMBOL:VALUE" sets a control before the first run();
#   * output keeps the input's sample format and rate (float in -> float
#     out) but every sample is HARD-CLIPPED to [-1, 1] (with a warning), so
#     the reference is clamped the same way before comparing; --normalize
#     would rescale and is never used;
#   * no preset option; latency compensation only acts on plug-ins that
#     report latency (this one does not).
# usage: test_lv2proc.sh LV2_DIR [ZQ_RENDER]
ZQ_TEST_NAME=lv2proc
. "$(dirname "$0")/common.sh"
zq_init "$@"
zq_need_tools lv2proc sox
zq_need_render

IN="$WORK/in.wav"
make_input "$IN" 48000 1

run_case() {
    local name=$1 block=$2; shift 2
    local host=() ref=() kv
    for kv in "$@"; do
        host+=(-c "${kv%%=*}:${kv#*=}")
        ref+=(--set "$kv")
    done
    local out="$WORK/lv2proc-$name.wav"
    timeout 60 lv2proc -n "$block" -i "$IN" -o "$out" "${host[@]}" "$ZQ_URI" \
        >"$WORK/host.log" 2>&1 || { cat "$WORK/host.log"; fail "case $name: lv2proc exited with an error"; }
    grep -qi clipping "$WORK/host.log" && log "case $name: lv2proc clipped its output (reference clamped too)"
    "$PY" "$WAVTOOL" stats "$out" --min-peak 0.01 || fail "case $name: output not finite or silent"
    compare_to_ref "$name" "$out" "$block" "$IN" --clip -- "${ref[@]}"
}

run_case defaults 512
# long delay, heavy diffusion and feedback, hard pans, narrow band,
# odd block size so that the last run() is short
run_case controls 333 delay_ms=333 tap_ratio=25 level_db=0 pan_tap=100 pan_loop=-100 \
    diffusion=100 feedback=85 lowpass_hz=2500 highpass_hz=300
# longest delay the plug-in offers, taps panned the other way
run_case longest 4099 delay_ms=500 tap_ratio=80 level_db=-12 pan_tap=-75 pan_loop=20 \
    diffusion=50 feedback=40 lowpass_hz=12000 highpass_hz=40

expect_different "$WORK/ref-defaults.wav" "$WORK/ref-controls.wav" "lv2proc -c values"
log "PASS"
exit 0
