#!/bin/bash
# The Debian package as tools/package.sh makes it, checked as a user and a
# pedalboard would meet it.
#
#   test_package.sh amd64|arm64 SOURCE_DIR NATIVE_BUILD_DIR
#
# Both: the package builds, lintian reports no error or warning, and its name,
# version (the project's), architecture and dependencies (the C library only)
# are right.
# amd64: an older copy installs and the package upgrades it with dpkg -i;
#   lv2ls finds the plug-in with no LV2_PATH, and lv2apply renders through the
#   installed copy exactly what it renders through the build tree's bundle;
#   purging leaves nothing behind. Needs root; a machine that already has the
#   package (or another copy of the bundle in a system folder) is left alone.
# arm64: built with the flags a device toolchain injects (-O3 -ffast-math),
#   the packaged library gives the recorded runs bit for bit under qemu, and
#   the seed corpus the same bits as the native build.
# Exit codes: 0 pass, 1 fail, 77 skipped (a tool or root missing here).
set -u
arch=$1
src=$2
native=$3
dir=$native/suite-package-$arch
uri=http://zwirbelton.audio/plugins/zwirbelton-quorvel
name=zwirbelton-quorvel
bundle=$name.lv2

log() { printf '[package-%s] %s\n' "$arch" "$*"; }
fail() { log "FAIL: $*"; exit 1; }
skip() { log "SKIP: $*"; exit 77; }
need() {
    local t
    for t in "$@"; do
        command -v "$t" >/dev/null 2>&1 || skip "'$t' is not installed here (sh tools/deps.sh test installs it)"
    done
}

need cmake g++ make pkg-config dpkg-deb dpkg-shlibdeps file lintian
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $native/CMakeCache.txt"
case $arch in
    amd64)
        [ "$(id -u)" = 0 ] || skip "installing the package needs root"
        need dpkg dpkg-query lv2ls lv2info lv2apply python3
        status=$(dpkg-query -W -f='${db:Status-Status}' "$name" 2>/dev/null)
        case $status in
            "" | not-installed) ;;
            *) skip "$name is already on this machine ($status); this test installs and purges it, so it leaves it alone" ;;
        esac
        for d in /usr/lib/lv2 /usr/local/lib/lv2; do
            [ -e "$d/$bundle" ] && skip "$d/$bundle exists outside the package; hosts would find two copies"
        done
        ;;
    arm64)
        need aarch64-linux-gnu-g++ qemu-aarch64
        dpkg-query -W -f='${Status}' libc6:arm64 2>/dev/null | grep -q "ok installed" ||
            skip "libc6:arm64 is not installed here: dpkg-shlibdeps computes the arm64 dependencies from it (sh tools/deps.sh test installs it)"
        # The flags a device toolchain puts into the environment.
        export CFLAGS="-O3 -ffast-math" CXXFLAGS="-O3 -ffast-math"
        ;;
    *) echo "usage: $0 amd64|arm64 SOURCE_DIR NATIVE_BUILD_DIR" >&2; exit 2 ;;
esac

rm -rf "$dir"
mkdir -p "$dir"
log "building the package"
sh "$src/tools/package.sh" "$arch" "$dir/dist" "$dir/build" >"$dir/package.log" 2>&1 ||
    { tail -30 "$dir/package.log"; fail "tools/package.sh $arch failed"; }
deb=$dir/dist/${name}_${version}_$arch.deb
[ -f "$deb" ] || fail "no $deb"

log "lintian"
lintian --fail-on error,warning "$deb" >"$dir/lintian.log" 2>&1
rc=$?
grep -v 'running with root privileges' "$dir/lintian.log"
[ "$rc" = 0 ] || fail "lintian reports errors or warnings"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$name" ] || fail "package name '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "version '$(field Version)', the project declares $version"
[ "$(field Architecture)" = "$arch" ] || fail "architecture '$(field Architecture)'"
[[ $(field Depends) =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "dependencies '$(field Depends)', expected the C library only"
[ -n "$(field Description)" ] || fail "no description"
dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' >"$dir/contents"
grep -qx "/usr/share/doc/$name/copyright" "$dir/contents" || fail "no copyright file"
grep -qx "/usr/lib/lv2/$bundle/libzwirbelton-quorvel.so" "$dir/contents" || fail "no library in /usr/lib/lv2/$bundle"

if [ "$arch" = arm64 ]; then
    grep -q -- "-O3 -ffast-math" "$dir/build/CMakeCache.txt" || fail "the device flags did not reach the build"
    dpkg-deb -x "$deb" "$dir/root"
    lib=$dir/root/usr/lib/lv2/$bundle/libzwirbelton-quorvel.so
    file -b "$lib" | grep -q "ARM aarch64" || fail "packaged library is not for aarch64: $(file -b "$lib")"

    # The recorded runs and the seed corpus need the test programs for the
    # target, built with the same flags.
    log "building the aarch64 test programs"
    cmake -S "$src" -B "$dir/tests" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake" >"$dir/tests.log" 2>&1 &&
        cmake --build "$dir/tests" -j"$(nproc)" --target zq_unit_tests zq_fuzz_replay >>"$dir/tests.log" 2>&1 ||
        { tail -30 "$dir/tests.log"; fail "cannot build the aarch64 test programs"; }
    log "recorded runs through the packaged library under qemu"
    # The cross C library, named outright: the arm64 one installed beside the
    # native one (multiarch) does not pair with the cross loader.
    ZQ_PLUGIN_SO=$lib qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib \
        "$dir/tests/tests/zq_unit_tests" \
        --gtest_filter='Vectors/EngineConformance.*' --gtest_brief=1 ||
        fail "the packaged arm64 library does not give the recorded runs"
    # compare_arch.sh finds the harness and the library in one folder for
    # each side: this one holds the target's harness and the packaged bundle.
    mkdir -p "$dir/packaged/tests/fuzz"
    ln -s "$dir/tests/tests/fuzz/zq_fuzz_replay" "$dir/packaged/tests/fuzz/zq_fuzz_replay"
    ln -s "$dir/root/usr/lib/lv2/$bundle" "$dir/packaged/$bundle"
    log "seed corpus: native build against the packaged library"
    bash "$src/tests/fuzz/compare_arch.sh" "$native" "$dir/packaged" ||
        fail "the packaged arm64 library and the native build differ"
    log "PASS"
    exit 0
fi

# --- amd64: install, upgrade, use and purge --------------------------------
installed=0
cleanup() {
    if [ "$installed" = 1 ]; then
        dpkg --purge "$name" >/dev/null 2>&1 || log "could not purge $name"
    fi
}
trap cleanup EXIT
# Hosts look in ~/.lv2 before the system folders (the demo installs a copy
# there): an empty home keeps the checks on the installed package.
export HOME=$dir/home
mkdir -p "$HOME"
unset LV2_PATH

# An older release to upgrade from: the same files under a lower version.
old_version="$version~old"
dpkg-deb -R "$deb" "$dir/old"
sed -i "s/^Version: .*/Version: $old_version/" "$dir/old/DEBIAN/control"
echo "# from $old_version" >>"$dir/old/usr/lib/lv2/$bundle/$name.ttl"
(cd "$dir/old" && find usr -type f -exec md5sum {} + >DEBIAN/md5sums)
dpkg-deb --root-owner-group -b "$dir/old" "$dir/old.deb" >/dev/null || fail "cannot build the older package"

log "install $old_version, then upgrade to $version"
installed=1
dpkg -i "$dir/old.deb" >"$dir/dpkg.log" 2>&1 || { cat "$dir/dpkg.log"; fail "dpkg -i of $old_version failed"; }
dpkg -i "$deb" >>"$dir/dpkg.log" 2>&1 || { cat "$dir/dpkg.log"; fail "upgrade to $version failed"; }
[ "$(dpkg-query -W -f='${Version}' "$name")" = "$version" ] || fail "installed version is not $version after the upgrade"
dpkg -V "$name" || fail "installed files differ from the package's"

log "hosts find the installed plug-in"
lv2ls | grep -qx "$uri" || fail "lv2ls does not list $uri"
lv2info "$uri" | grep -q "Bundle: *file:///usr/lib/lv2/$bundle/$" || fail "lilv does not find the bundle in /usr/lib/lv2"

log "lv2apply through the installed copy and through the build tree's"
in=$dir/in.wav
python3 "$src/tests/hosts/wavtool.py" impulse "$in" --rate 48000 --seconds 2 >/dev/null || fail "cannot write the input"
controls=(-c delay_ms 37.5 -c tap_ratio 60 -c feedback 55 -c diffusion 40 -c pan_tap -40 -c pan_loop 70
    -c lowpass_hz 5000 -c highpass_hz 120)
lv2apply -i "$in" -o "$dir/installed.wav" "${controls[@]}" "$uri" || fail "lv2apply through the installed copy"
mkdir -p "$dir/tree-lv2"
ln -s "$native/$bundle" "$dir/tree-lv2/$bundle"
LV2_PATH=$dir/tree-lv2 lv2apply -i "$in" -o "$dir/tree.wav" "${controls[@]}" "$uri" || fail "lv2apply through the build tree"
python3 "$src/tests/hosts/wavtool.py" stats "$dir/installed.wav" --min-peak 0.01 >/dev/null || fail "installed copy renders silence"
python3 "$src/tests/hosts/wavtool.py" compare "$dir/tree.wav" "$dir/installed.wav" --require-float ||
    fail "the installed plug-in does not render the build tree's bits"

log "purge leaves nothing behind"
dpkg --purge "$name" >>"$dir/dpkg.log" 2>&1 || { cat "$dir/dpkg.log"; fail "dpkg --purge failed"; }
installed=0
status=$(dpkg-query -W -f='${db:Status-Status}' "$name" 2>/dev/null)
[ -z "$status" ] || [ "$status" = not-installed ] || fail "package still known to dpkg as '$status'"
left=$(grep -Ev '^/usr/(lib/(lv2/)?|share/(doc/)?)?$' "$dir/contents" |
    while read -r path; do [ -e "$path" ] && echo "$path"; done)
[ -z "$left" ] || fail "left behind: $left"
ls /var/lib/dpkg/info/"$name".* >/dev/null 2>&1 && fail "dpkg still keeps files of $name"
lv2ls | grep -qx "$uri" && fail "lv2ls still lists $uri"
log "PASS"
exit 0
