#!/bin/bash
# Runs the plug-in live in jalv (console version) on a private JACK server
# with the dummy backend, headless, and checks that it keeps producing
# finite sound while controls are changed over jalv's stdin command
# interface, a factory preset is recalled and the JACK period size is
# changed several times while running.
#
# Set-up (all processes started here are stopped by PID at the end):
#   jackd --no-realtime -d dummy -r 48000 -p 256   (unique server name)
#   jack_metro (clicks, 300 bpm)  ->  jalv:in
#   jalv:out_1, jalv:out_2        ->  jack_capture (32-bit float WAV)
#
# jalv 1.6 facts this test relies on:
#   * the console binary is plain "jalv"; "-c SYM=VAL" values are set before
#     the first run(); "-n NAME -x" gives an exact JACK client name;
#   * stdin commands: "set SYM VAL", "SYM = VAL", "set INDEX VAL",
#     "preset URI", "presets" (prints "URI (label)"), "controls" (prints
#     "sym = value" lines); jalv QUITS when stdin reaches EOF, so stdin is a
#     FIFO held open by this script;
#   * on a JACK buffer-size change jalv keeps running and calls run() with
#     the new period size.
# Checks: jalv lists the factory preset; every jack_bufsize change takes
# effect; the control values jalv reports at the end are exactly those
# implied by the commands and the preset; the capture is float, finite in
# every sample, never silent for a whole window and never explodes; jalv
# is still alive until told to quit and then exits cleanly.
# usage: test_jalv.sh LV2_DIR
ZQ_TEST_NAME=jalv
. "$(dirname "$0")/common.sh"
zq_init "$@"
zq_need_tools jackd jalv jack_capture jack_metro jack_bufsize jack_connect jack_lsp jack_wait timeout stdbuf serdi

export JACK_DEFAULT_SERVER="zqtest-$$-$RANDOM"
export JACK_NO_AUDIO_RESERVATION=1
JN="zqjalv$$"        # jalv client name
MN="zqmetro$$"       # click source client name
PIDS=()
JALV_PID=""
FIFO="$WORK/jalv.stdin"

stop_pid() {
    local p=$1 i
    kill -0 "$p" 2>/dev/null || return 0
    kill -TERM "$p" 2>/dev/null
    for i in 1 2 3 4 5 6 7 8 9 10; do
        kill -0 "$p" 2>/dev/null || break
        sleep 0.3
    done
    kill -0 "$p" 2>/dev/null && kill -KILL "$p" 2>/dev/null
    wait "$p" 2>/dev/null
    return 0
}

zq_cleanup() {
    { exec 3>&-; } 2>/dev/null
    local i
    # stop clients before the server, newest first
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_pid "${PIDS[$i]}"; done
    if [ "${ZQ_KEEP:-0}" = 1 ] || [ "${SHOW_LOGS:-0}" = 1 ]; then
        for f in jackd.log jalv.out metro.log capture.log; do
            [ -f "$WORK/$f" ] && { echo "----- $f"; tail -n 60 "$WORK/$f"; }
        done
    fi
}

send() {
    printf '%s\n' "$*" >&3 || fail "cannot write to jalv's stdin (jalv gone?)"
    log "jalv <- $*"
}

alive() { kill -0 "$JALV_PID" 2>/dev/null || { SHOW_LOGS=1; fail "jalv is no longer running ($1)"; }; }

# wait_port PORT SECONDS
wait_port() {
    local i n=$(( $2 * 10 ))
    for ((i = 0; i < n; i++)); do
        jack_lsp 2>/dev/null | grep -qx "$1" && return 0
        sleep 0.1
    done
    return 1
}

set_period() {
    local want=$1 got
    timeout -k 2 10 jack_bufsize "$want" >"$WORK/bufsize.log" 2>&1
    sleep 0.2
    got=$(timeout -k 2 10 jack_bufsize 2>/dev/null | head -n 1)
    [ "$got" = "$want" ] || { cat "$WORK/bufsize.log"; fail "period size is '$got' after asking for $want"; }
    log "JACK period size now $got"
}

# --- JACK server ------------------------------------------------------------
timeout -k 5 150 jackd --no-realtime -d dummy -r 48000 -p 256 >"$WORK/jackd.log" 2>&1 &
PIDS+=($!)
if ! timeout -k 2 15 jack_wait -w -t 10 >/dev/null 2>&1; then
    cat "$WORK/jackd.log"
    skip "a JACK server with the dummy backend cannot start on this machine"
fi
log "JACK server '$JACK_DEFAULT_SERVER' running (dummy backend, 48 kHz, period 256)"

# --- jalv -------------------------------------------------------------------
mkfifo "$FIFO" || fail "mkfifo"
# every control away from its default, so the final state does not depend on
# the plug-in's defaults
START=(delay_ms=180 tap_ratio=70 level_db=-6 pan_tap=-30 pan_loop=40 diffusion=50
       feedback=35 lowpass_hz=8000 highpass_hz=60)
JARGS=()
for kv in "${START[@]}"; do JARGS+=(-c "$kv"); done
# stdbuf: jalv's stdout is a file here, keep it line-buffered so the log is live
timeout -k 5 120 stdbuf -oL jalv -n "$JN" -x "${JARGS[@]}" "$ZQ_URI" <"$FIFO" >"$WORK/jalv.out" 2>&1 &
JALV_PID=$!
PIDS+=($JALV_PID)
# read-write open does not block and keeps a writer on the FIFO until we
# close it; processes started later get "3>&-" so that they do not hold the
# FIFO open too (jalv would then never see EOF)
exec 3<>"$FIFO"
if ! wait_port "$JN:out_2" 15; then
    SHOW_LOGS=1
    fail "jalv did not create its JACK ports (plug-in failed to load?)"
fi

# expected control state, updated alongside every command sent
declare -A EXPECT
for kv in "${START[@]}"; do EXPECT[${kv%%=*}]=${kv#*=}; done

# --- signal source and capture ------------------------------------------------
timeout -k 2 60 jack_metro -n "$MN" -b 300 -f 1000 -A 0.5 -D 10 >"$WORK/metro.log" 2>&1 3>&- &
PIDS+=($!)
wait_port "$MN:300_bpm" 10 || { SHOW_LOGS=1; fail "jack_metro did not start"; }
jack_connect "$MN:300_bpm" "$JN:in" || fail "cannot connect the click source to jalv"

CAP="$WORK/capture.wav"
CAP_SECONDS=9
timeout -k 5 40 jack_capture -d "$CAP_SECONDS" --daemon -p "$JN:out_1" -p "$JN:out_2" "$CAP" \
    >"$WORK/capture.log" 2>&1 3>&- &
CAP_PID=$!
PIDS+=($CAP_PID)
sleep 0.5

# --- changes while running -----------------------------------------------------
PRESET_URI=${ZQ_PRESET_URI:-$ZQ_URI#preset-slapback}
send presets
sleep 0.7
send set feedback 50;           EXPECT[feedback]=50
send "diffusion = 20";          EXPECT[diffusion]=20
send set 6 -30.5;               EXPECT[pan_tap]=-30.5   # port 6 by index
sleep 0.3
set_period 128
sleep 0.8; alive "after period 128"
send preset "$PRESET_URI"
PVALS=$(preset_values "$PRESET_URI") || fail "preset $PRESET_URI has no port values in the bundle (or serdi is missing)"
while read -r sym val; do EXPECT[$sym]=$val; done <<<"$PVALS"
sleep 0.8
set_period 1024
sleep 0.8; alive "after period 1024"
# shortest delay with full feedback: a stress case for stability
send set delay_ms 1;            EXPECT[delay_ms]=1
send set feedback 100;          EXPECT[feedback]=100
send "lowpass_hz = 20000";      EXPECT[lowpass_hz]=20000
sleep 0.5
set_period 64
sleep 0.8; alive "after period 64"
send set delay_ms 500;          EXPECT[delay_ms]=500
send set feedback 20;           EXPECT[feedback]=20
send set highpass_hz 2000;      EXPECT[highpass_hz]=2000
set_period 512
sleep 0.8; alive "after period 512"

# wait for the capture to finish on its own
for i in $(seq 1 100); do kill -0 "$CAP_PID" 2>/dev/null || break; sleep 0.2; done
kill -0 "$CAP_PID" 2>/dev/null && fail "jack_capture did not stop after $CAP_SECONDS s"
wait "$CAP_PID"; CAP_RC=$?
[ "$CAP_RC" = 0 ] || { cat "$WORK/capture.log"; fail "jack_capture exited with $CAP_RC"; }
alive "at the end of the capture"

# final state as jalv reports it, then EOF on stdin makes jalv quit
: >"$WORK/controls.mark"
send controls
sleep 0.7
exec 3>&-
for i in $(seq 1 50); do kill -0 "$JALV_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$JALV_PID" 2>/dev/null && fail "jalv did not quit when its stdin was closed"
wait "$JALV_PID"; JALV_RC=$?
[ "$JALV_RC" = 0 ] || { SHOW_LOGS=1; fail "jalv exited with status $JALV_RC"; }

# --- checks ---------------------------------------------------------------------
OUT="$WORK/jalv.out"
grep -q "Block length: *256 frames" "$OUT" || { SHOW_LOGS=1; fail "jalv did not start with a 256-frame block"; }
grep -qF "$PRESET_URI" "$OUT" || { SHOW_LOGS=1; fail "jalv's preset list does not contain $PRESET_URI"; }
if grep -qiE "error|Failed to find preset|no control named|Ignoring" "$OUT"; then
    SHOW_LOGS=1; fail "jalv reported an error"
fi
# the last "sym = value" line per symbol is the state after all commands
"$PY" - "$OUT" "$(for k in "${!EXPECT[@]}"; do printf '%s=%s ' "$k" "${EXPECT[$k]}"; done)" <<'EOF' || fail "control values reported by jalv differ from the expected ones"
import re, sys
text = open(sys.argv[1], errors="replace").read()
last = {}
for m in re.finditer(r"([A-Za-z_][A-Za-z0-9_]*) = (-?[0-9.]+(?:[eE][-+]?[0-9]+)?)", text):
    last[m.group(1)] = float(m.group(2))
ok = True
for kv in sys.argv[2].split():
    sym, val = kv.split("=")
    want = float(val)
    got = last.get(sym)
    good = got is not None and abs(got - want) <= 1e-4 * max(1.0, abs(want))
    print("  %-12s expected %-10g jalv %s%s" % (sym, want, got, "" if good else "   <-- MISMATCH"))
    ok = ok and good
sys.exit(0 if ok else 1)
EOF
# the whole capture must be float, finite and never go quiet for half a
# second: the clicks come every 0.2 s, so silence means processing stopped
"$PY" "$WAVTOOL" info "$CAP" | grep -q '^float32 2ch 48000Hz' || { "$PY" "$WAVTOOL" info "$CAP"; fail "capture is not a 48 kHz stereo float file"; }
"$PY" "$WAVTOOL" windows "$CAP" --win 0.5 --skip 0.5 --min-peak 1e-4 --max-peak 1000 \
    || fail "the plug-in's output was not finite, went silent or exploded"
log "PASS"
exit 0
