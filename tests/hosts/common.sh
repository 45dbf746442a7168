# Shared helpers for the host tests; sourced by the test_*.sh scripts.
#
# Every script is called as   SCRIPT LV2_DIR [ZQ_RENDER]
#   LV2_DIR    directory that contains the built bundle (LV2_PATH is set to a
#              scratch folder holding just a link to that bundle)
#   ZQ_RENDER  the project's lilv-based reference renderer; may also come from
#              the ZQ_RENDER environment variable, LV2_DIR/zq-render or PATH
# Exit codes: 0 pass, 1 fail, 77 the host cannot run on this machine.
#
# Environment knobs (all optional):
#   ZQ_URI      plug-in URI   (default: the one the bundle's manifest names)
#   ZQ_BUNDLE   bundle folder name inside LV2_DIR (default zwirbelton-quorvel.lv2)
#   ZQ_KEEP=1   keep the scratch directory for inspection
#   ZQ_REF_BLOCK  block size for the reference renders (default 4096)

set -u

ZQ_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WAVTOOL="$ZQ_HERE/wavtool.py"
ZQ_BUNDLE=${ZQ_BUNDLE:-zwirbelton-quorvel.lv2}
ZQ_REF_BLOCK=${ZQ_REF_BLOCK:-4096}
PY=${PYTHON:-python3}

log() { printf '[%s] %s\n' "${ZQ_TEST_NAME:-host-test}" "$*"; }
fail() { log "FAIL: $*"; exit 1; }
skip() { log "SKIP: $*"; exit 77; }

# On exit: run the script's own zq_cleanup (stops the processes it started),
# then remove the scratch directory unless ZQ_KEEP=1.
zq_on_exit() {
    local rc=$?
    if declare -F zq_cleanup >/dev/null; then zq_cleanup; fi
    if [ "${ZQ_KEEP:-0}" = 1 ]; then log "scratch files kept in $WORK"; else rm -rf "$WORK"; fi
    exit $rc
}

# zq_init LV2_DIR [ZQ_RENDER]  -- validates arguments, sets LV2_PATH, WORK
zq_init() {
    [ $# -ge 1 ] || { echo "usage: $0 LV2_DIR [ZQ_RENDER]" >&2; exit 1; }
    LV2DIR=$(cd "$1" 2>/dev/null && pwd) || fail "LV2 directory '$1' does not exist"
    [ -f "$LV2DIR/$ZQ_BUNDLE/manifest.ttl" ] || fail "no $ZQ_BUNDLE/manifest.ttl in $LV2DIR"
    ZQ_URI=${ZQ_URI:-$(sed -n 's/^<\([^#>]*\)>$/\1/p' "$LV2DIR/$ZQ_BUNDLE/manifest.ttl" | head -n 1)}
    command -v "$PY" >/dev/null 2>&1 || skip "python3 is not installed"
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/zq-host.XXXXXX") || fail "mktemp"
    trap zq_on_exit EXIT
    # LV2_PATH holds only a link to the bundle under test: a build folder has
    # many other entries (lilv complains about each), and a copy installed in
    # ~/.lv2 or /usr/lib/lv2 must not be picked up instead
    mkdir -p "$WORK/lv2"
    ln -s "$LV2DIR/$ZQ_BUNDLE" "$WORK/lv2/$ZQ_BUNDLE"
    export LV2_PATH="$WORK/lv2"
    ZQ_RENDER_ARG=${2:-}
}

# Locate the reference renderer.  A missing renderer is a project defect, not
# a host limitation, so it fails rather than skips.
zq_need_render() {
    local r=${ZQ_RENDER_ARG:-${ZQ_RENDER:-}}
    if [ -z "$r" ]; then
        if [ -x "$LV2DIR/zq-render" ]; then r="$LV2DIR/zq-render"
        else r=$(command -v zq-render 2>/dev/null || true); fi
    fi
    [ -n "$r" ] && [ -x "$r" ] || fail "reference renderer zq-render not found (pass it as 2nd argument or in ZQ_RENDER)"
    ZQ_RENDER_BIN=$r
}

zq_need_tools() {
    local t
    for t in "$@"; do
        command -v "$t" >/dev/null 2>&1 || skip "'$t' is not installed here"
    done
}

# make_input OUT [RATE] [SECONDS_OF_NOISE]
# Mono 32-bit float test signal: clicks (clean echoes), a pink-noise burst,
# a short sine burst and a silent tail for the feedback to ring out.
# The sox noise uses -R (fixed seed) so the file is the same on every run.
make_input() {
    local out=$1 rate=${2:-48000} noise=${3:-1}
    local d="$WORK/gen.$$"
    mkdir -p "$d"
    "$PY" "$WAVTOOL" impulse "$d/clicks.wav" --rate "$rate" --seconds 0.9 >/dev/null || fail "cannot write clicks"
    sox -R -n -r "$rate" -c 1 -b 32 -e floating-point "$d/noise.wav" synth "$noise" pinknoise vol 0.25 || fail "sox noise"
    sox -R -n -r "$rate" -c 1 -b 32 -e floating-point "$d/tone.wav" synth 0.2 sine 330 vol 0.3 || fail "sox tone"
    # 0.9 s plus 37 frames, so that the total length is not a multiple of any
    # usual block size and hosts must handle a short or padded last block
    sox -R -n -r "$rate" -c 1 -b 32 -e floating-point "$d/sil.wav" trim 0 "$((rate * 9 / 10 + 37))s" || fail "sox silence"
    sox -R "$d/clicks.wav" "$d/noise.wav" "$d/tone.wav" "$d/sil.wav" -b 32 -e floating-point "$out" || fail "sox concat"
    rm -rf "$d"
}

# ref_render OUT BLOCK IN [zq-render options...]
ref_render() {
    local out=$1 block=$2 in=$3
    shift 3
    "$ZQ_RENDER_BIN" --block "$block" "$@" "$in" "$out" >"$WORK/ref.log" 2>&1 || {
        cat "$WORK/ref.log"; fail "reference renderer failed: $ZQ_RENDER_BIN --block $block $* $in $out"; }
    [ -s "$out" ] || fail "reference renderer wrote no file"
}

# compare_to_ref CASE HOST_WAV HOST_BLOCK IN [--clip] -- [zq-render options...]
# Compares the host render with a reference rendered at ZQ_REF_BLOCK.  When
# they differ, a second reference at the host's own block size tells whether
# the host or the block splitting is to blame.
compare_to_ref() {
    local name=$1 host_wav=$2 host_block=$3 in=$4
    shift 4
    local cmpopts=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do cmpopts+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    local ref="$WORK/ref-$name.wav"
    ref_render "$ref" "$ZQ_REF_BLOCK" "$in" "$@"
    log "case $name: reference (block $ZQ_REF_BLOCK) vs host (block $host_block)"
    if "$PY" "$WAVTOOL" compare "$ref" "$host_wav" --require-float "${cmpopts[@]}"; then
        return 0
    fi
    local ref2="$WORK/ref-$name-b$host_block.wav"
    ref_render "$ref2" "$host_block" "$in" "$@"
    if "$PY" "$WAVTOOL" compare "$ref2" "$host_wav" "${cmpopts[@]}" >/dev/null; then
        log "case $name: host matches the reference at its own block size $host_block, so the plug-in output depends on block splitting"
    else
        log "case $name: host differs even from a reference at its own block size $host_block"
    fi
    fail "case $name: host output differs from reference"
}

# bundle_triples -- all Turtle files of the bundle as N-Triples on stdout
# (blank nodes get a per-file prefix so they cannot collide)
bundle_triples() {
    command -v serdi >/dev/null 2>&1 || return 1
    local f i=0
    for f in "$LV2DIR/$ZQ_BUNDLE"/*.ttl; do
        i=$((i + 1))
        serdi -q -a -p "f$i" -i turtle -o ntriples "$f" 2>/dev/null
    done
}

# preset_label URI  -- rdfs:label of a preset in the bundle
preset_label() { bundle_triples | "$PY" "$ZQ_HERE/presetinfo.py" label "$1"; }
# preset_values URI -- "SYMBOL VALUE" lines of a preset in the bundle
preset_values() { bundle_triples | "$PY" "$ZQ_HERE/presetinfo.py" values "$1"; }

# expect_different A B WHAT -- fail when two renders are identical (used to
# prove that a control or preset really reached the plug-in).
expect_different() {
    if "$PY" "$WAVTOOL" compare "$1" "$2" >/dev/null 2>&1; then
        fail "$3: renders are identical, the setting had no audible effect"
    fi
}

# plugin_ports -- "INDEX SYMBOL" lines for the plug-in's ports
plugin_ports() { bundle_triples | "$PY" "$ZQ_HERE/presetinfo.py" ports "$ZQ_URI"; }
