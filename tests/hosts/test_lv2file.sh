#!/bin/bash
# Renders a test signal through lv2file and checks that the stereo output is
# bit-identical to the project's reference renderer, with plain control
# values, with a factory preset (by label) and with a preset plus an override.
#
# lv2file facts this test relies on (lv2file 0.95):
#   * "-b N" sets the run() size (default 512); EVERY call is N frames: the
#     last block is padded past the end of the file and the output is cut
#     back to the input's length, so a causal plug-in gives the same frames;
#   * "-p SYMBOL:VALUE" sets a control before the first run(); "-P LABEL"
#     loads a preset by its rdfs:label (not by URI) and "-p" values given
#     with it override the preset's values; an unknown label or symbol
#     makes it exit 1 without writing anything;
#   * the output keeps the input's sample format and rate (float in ->
#     float out, no dither, no gain), BUT when a block clips it prints a
#     warning and clamps samples to [-1, 1] unless --ignore-clipping is given,
#     so that option is always passed here.
# usage: test_lv2file.sh LV2_DIR [ZQ_RENDER]
ZQ_TEST_NAME=lv2file
. "$(dirname "$0")/common.sh"
zq_init "$@"
zq_need_tools lv2file sox
zq_need_render

IN="$WORK/in.wav"
make_input "$IN" 48000 1

PRESET_URI=${ZQ_PRESET_URI:-$ZQ_URI#preset-slapback}
PRESET_LABEL=$(preset_label "$PRESET_URI") || PRESET_LABEL=${ZQ_PRESET_LABEL:-Slap-back}
log "preset $PRESET_URI has label '$PRESET_LABEL'"

# run_case NAME BLOCK [-P LABEL] [--ref-preset URI] [SYM=VAL ...]
run_case() {
    local name=$1 block=$2; shift 2
    local host=() ref=() kv
    while [ $# -gt 0 ]; do
        case $1 in
            -P) host+=(-P "$2"); shift 2 ;;
            --ref-preset) ref+=(--preset "$2"); shift 2 ;;
            *) kv=$1; host+=(-p "${kv%%=*}:${kv#*=}"); ref+=(--set "$kv"); shift ;;
        esac
    done
    local out="$WORK/lv2file-$name.wav"
    timeout 60 lv2file --ignore-clipping -b "$block" -i "$IN" -o "$out" "${host[@]}" "$ZQ_URI" \
        >"$WORK/host.log" 2>&1 || { cat "$WORK/host.log"; fail "case $name: lv2file exited with an error"; }
    # an unknown label already makes lv2file exit 1; this catches a future
    # version that only warns
    if grep -qi "not found" "$WORK/host.log"; then cat "$WORK/host.log"; fail "case $name: lv2file did not find the preset"; fi
    "$PY" "$WAVTOOL" stats "$out" --min-peak 0.01 || fail "case $name: output not finite or silent"
    compare_to_ref "$name" "$out" "$block" "$IN" -- "${ref[@]}"
}

# lv2file's own default block size
run_case defaults 512
# non-power-of-two blocks; short delay with strong feedback and +6 dB makes
# the output exceed full scale, which must come through unclipped
run_case hot 1000 delay_ms=1 tap_ratio=100 level_db=6 pan_tap=100 pan_loop=-100 \
    diffusion=0 feedback=90 lowpass_hz=20000 highpass_hz=10
run_case preset 777 -P "$PRESET_LABEL" --ref-preset "$PRESET_URI"
run_case preset-override 64 -P "$PRESET_LABEL" --ref-preset "$PRESET_URI" feedback=60 pan_loop=-35

expect_different "$WORK/ref-defaults.wav" "$WORK/ref-preset.wav" "preset '$PRESET_LABEL'"
expect_different "$WORK/ref-preset.wav" "$WORK/ref-preset-override.wav" "preset plus -p override"
expect_different "$WORK/ref-defaults.wav" "$WORK/ref-hot.wav" "lv2file -p values"
log "PASS"
exit 0
