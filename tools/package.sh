#!/bin/sh
# Builds the Debian package of the plug-in for amd64 or arm64 (cross-built
# with Debian's aarch64 toolchain) and writes
# DIST_DIR/zwirbelton-quorvel_VERSION_ARCH.deb (default: dist/).
#
#   tools/package.sh amd64|arm64 [DIST_DIR [BUILD_DIR]]
#
# CXXFLAGS from the environment reach the compiler, as a device toolchain's
# do; the project's own floating-point flags come after them and win.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-}
case $arch in
    amd64) toolchain="" ;;
    arm64) toolchain="-DCMAKE_TOOLCHAIN_FILE=$root/cmake/aarch64-linux-gnu.cmake" ;;
    *) echo "usage: $0 amd64|arm64 [DIST_DIR [BUILD_DIR]]" >&2; exit 2 ;;
esac
dist=$(mkdir -p "${2:-$root/dist}" && cd "${2:-$root/dist}" && pwd)
build=${3:-$root/build-deb-$arch}
sh "$root/tools/deps.sh" "package-$arch"

# The changelog's date: the last commit's, so that a rebuild of the same
# sources gives the same package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
    export SOURCE_DATE_EPOCH
fi
# --fresh: the flags of this run's environment, not those cached by the last.
cmake --fresh -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_TESTS=OFF -DZQ_DEBIAN_PACKAGE=ON $toolchain
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/zwirbelton-quorvel_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/zwirbelton-quorvel_*_"$arch".deb)
cp "$deb" "$dist/"
echo "$dist/$(basename "$deb")"
