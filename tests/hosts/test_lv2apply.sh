#!/bin/bash
# Renders a test signal through lv2apply (lilv-utils) and checks that the
# stereo output is bit-identical to the project's reference renderer.
#
# lv2apply facts this test relies on (lilv-utils 0.24.14):
#   * it calls run() with ONE frame per call for the whole file, so this is
#     the most extreme block splitting any host does;
#   * "-c SYMBOL VALUE" values are written to the control ports before the
#     first run(); ports not named keep their lv2:default;
#   * the plug-in runs at the input file's sample rate and the output file
#     keeps the input's sample format (float in -> float out, no dither, no
#     clipping, no gain), and has exactly as many frames as the input;
#   * there is no preset option; an unknown symbol makes it exit non-zero.
# usage: test_lv2apply.sh LV2_DIR [ZQ_RENDER]
ZQ_TEST_NAME=lv2apply
. "$(dirname "$0")/common.sh"
zq_init "$@"
zq_need_tools lv2apply sox
zq_need_render

IN="$WORK/in.wav"
make_input "$IN" 48000 1
IN44="$WORK/in44.wav"
make_input "$IN44" 44100 1

# set_args SYM=VAL ... -> lv2apply "-c SYM VAL" pairs in HOST_ARGS,
#                          zq-render "--set SYM=VAL" in REF_ARGS
set_args() {
    HOST_ARGS=(); REF_ARGS=()
    local kv
    for kv in "$@"; do
        HOST_ARGS+=(-c "${kv%%=*}" "${kv#*=}")
        REF_ARGS+=(--set "$kv")
    done
}

# run_case NAME INPUT [SYM=VAL ...]
run_case() {
    local name=$1 in=$2; shift 2
    set_args "$@"
    local out="$WORK/lv2apply-$name.wav"
    timeout 60 lv2apply -i "$in" -o "$out" "${HOST_ARGS[@]}" "$ZQ_URI" >"$WORK/host.log" 2>&1 || {
        cat "$WORK/host.log"; fail "case $name: lv2apply exited with an error"; }
    "$PY" "$WAVTOOL" stats "$out" --min-peak 0.01 || fail "case $name: output not finite or silent"
    compare_to_ref "$name" "$out" 1 "$in" -- "${REF_ARGS[@]}"
}

# plug-in defaults: nothing set on the command line
run_case defaults "$IN"
# every control away from its default: short delay, partial tap, both pans
# off-centre, moderate diffusion and feedback, narrowed band
run_case controls "$IN" delay_ms=37.5 tap_ratio=60 level_db=-4.5 pan_tap=-40 pan_loop=70 \
    diffusion=30 feedback=55 lowpass_hz=9000 highpass_hz=80
# the plug-in runs at the file's rate: 44.1 kHz, long delay, strong feedback
run_case rate44k "$IN44" delay_ms=499 tap_ratio=35 level_db=-1 pan_tap=55 pan_loop=-80 \
    diffusion=90 feedback=75 lowpass_hz=4000 highpass_hz=150

# the control case must sound different from the default case, otherwise the
# "-c" values never reached the plug-in and the comparison proves little
expect_different "$WORK/ref-defaults.wav" "$WORK/ref-controls.wav" "lv2apply -c values"
log "PASS"
exit 0
