#!/bin/bash
# Drives the plug-in through Ardour's headless Lua interpreter (ardour7-lua):
# a 44.1 kHz session on the "None (Dummy)" backend, one mono track with the
# plug-in inserted by URI between a test-click source and a probe (both
# small Lua DSP scripts from ardour/scripts), a factory preset loaded by its
# label, two controls automated, a real-time transport roll and a float WAV
# export of the master bus.  See ardour/session.lua for the checks made
# inside Ardour; here the exported file is checked to be 44.1 kHz stereo
# float, finite everywhere, never silent for half a second, never exploding.
#
# Ardour facts this test relies on (Debian's ardour 7.3):
#   * release builds hide the dummy backend; a private RC "config" with
#     hide-dummy-backend=0 (under XDG_CONFIG_HOME/ardour7) brings it back;
#   * Lua DSP processors cannot be created from a string headless
#     (LuaAPI.new_luaproc returns nil), but scripts in the config's
#     "scripts" folder load with LuaAPI.new_plugin(..., PluginType.Lua);
#   * export formats/presets are looked up in the config's "export" folder;
#     the float preset there writes 32-bit float WAV, no dither, no normalise;
#   * the dummy backend runs 1024-frame cycles; Ardour splits cycles at
#     automation events, so the plug-in also sees shorter run() calls.
# usage: test_ardour.sh LV2_DIR
ZQ_TEST_NAME=ardour
. "$(dirname "$0")/common.sh"
zq_init "$@"

ARDOUR_LUA=${ARDOUR_LUA:-}
if [ -z "$ARDOUR_LUA" ]; then
    for c in ardour7-lua ardour8-lua ardour6-lua; do
        if command -v "$c" >/dev/null 2>&1; then ARDOUR_LUA=$(command -v "$c"); break; fi
    done
fi
[ -n "$ARDOUR_LUA" ] && [ -x "$ARDOUR_LUA" ] || skip "no headless Ardour Lua interpreter (ardour7-lua from the 'ardour' package) is installed"
zq_need_tools serdi timeout
ver=$(basename "$ARDOUR_LUA"); ver=${ver%-lua}     # ardour7

# private, throw-away Ardour configuration and caches
export XDG_CONFIG_HOME="$WORK/xdg-config" XDG_CACHE_HOME="$WORK/xdg-cache" XDG_DATA_HOME="$WORK/xdg-data"
CFG="$XDG_CONFIG_HOME/$ver"
mkdir -p "$CFG/scripts" "$CFG/export" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$WORK/export"
cp "$ZQ_HERE/ardour/config" "$CFG/config"
cp "$ZQ_HERE/ardour/scripts/"*.lua "$CFG/scripts/"
cp "$ZQ_HERE/ardour/export/"* "$CFG/export/"

PRESET_URI=${ZQ_PRESET_URI:-$ZQ_URI#preset-slapback}
PRESET_LABEL=$(preset_label "$PRESET_URI") || fail "no label found for preset $PRESET_URI in the bundle"
PORTS=$(plugin_ports) || fail "cannot read the plug-in's ports from the bundle"
port_index() { awk -v s="$1" '$2 == s { print $1 }' <<<"$PORTS"; }
PVALS=""
while read -r sym val; do
    idx=$(port_index "$sym")
    [ -n "$idx" ] || fail "preset sets unknown port '$sym'"
    PVALS="$PVALS $idx=$val"
done < <(preset_values "$PRESET_URI" || fail "preset $PRESET_URI has no values")
[ -n "$PVALS" ] || fail "preset $PRESET_URI has no port values"
AUTO_A=$(port_index feedback)
AUTO_B=$(port_index delay_ms)
[ -n "$AUTO_A" ] && [ -n "$AUTO_B" ] || fail "the plug-in has no feedback/delay_ms ports"
log "preset '$PRESET_LABEL' ($PRESET_URI):$PVALS; automating ports $AUTO_A and $AUTO_B"

EXPORT_SECONDS=4
export ZQ_URI ZQ_SESSION_DIR="$WORK/session" ZQ_EXPORT_DIR="$WORK/export" \
    ZQ_PRESET_LABEL="$PRESET_LABEL" ZQ_PRESET_VALUES="$PVALS" \
    ZQ_AUTO_A="$AUTO_A" ZQ_AUTO_B="$AUTO_B" ZQ_EXPORT_SECONDS="$EXPORT_SECONDS"

# ardour7-lua runs the script and exits; give it a hard limit
timeout -k 10 120 "$ARDOUR_LUA" "$ZQ_HERE/ardour/session.lua" </dev/null >"$WORK/ardour.log" 2>&1
rc=$?
grep -E '^ZQ-|^Error' "$WORK/ardour.log"
if grep -q '^ZQ-SKIP' "$WORK/ardour.log"; then
    tail -n 20 "$WORK/ardour.log"
    skip "$(grep -m1 '^ZQ-SKIP' "$WORK/ardour.log" | cut -d' ' -f2-)"
fi
[ $rc -eq 124 ] || [ $rc -eq 137 ] && { tail -n 40 "$WORK/ardour.log"; fail "ardour7-lua timed out"; }
[ $rc -eq 0 ] || { tail -n 40 "$WORK/ardour.log"; fail "ardour7-lua exited with status $rc"; }
grep -q '^ZQ-FAIL' "$WORK/ardour.log" && fail "checks inside Ardour failed"
grep -q '^ZQ-PASS' "$WORK/ardour.log" || { tail -n 40 "$WORK/ardour.log"; fail "the Lua session script did not finish"; }

shopt -s nullglob
wavs=("$WORK/export/"*.wav)
[ ${#wavs[@]} -eq 1 ] || { ls -la "$WORK/export"; fail "expected one exported WAV, found ${#wavs[@]}"; }
OUT=${wavs[0]}
INFO=$("$PY" "$WAVTOOL" info "$OUT") || fail "cannot read the exported WAV"
log "export: $INFO"
[ "$INFO" = "float32 2ch 44100Hz $((EXPORT_SECONDS * 44100)) frames" ] || fail "export is not ${EXPORT_SECONDS} s of 44.1 kHz stereo float"
# clicks every 0.2 s reach the plug-in, so every half second must carry sound
"$PY" "$WAVTOOL" windows "$OUT" --win 0.5 --min-peak 1e-4 --max-peak 1000 \
    || fail "the exported output is not finite, goes silent or explodes"
log "PASS"
exit 0
