#!/bin/sh
# Installs the Debian 12 packages that the build and the demo ("demo"), the
# build and every test ("test"), or the Debian package of one architecture
# ("package-amd64", "package-arm64") need. Run as root; installs only what is
# missing.
set -eu
build="cmake g++ make pkg-config lv2-dev liblilv-dev"
demo="lilv-utils lv2file sox gnuplot-nox"
package="cmake g++ make pkg-config lv2-dev dpkg-dev file"
# The arm64 package is cross-built; dpkg-shlibdeps computes its dependencies
# from the arm64 C library, installed beside the native one (multiarch).
cross="g++-aarch64-linux-gnu libc6:arm64"
test="libgtest-dev libgmock-dev libbenchmark-dev sordi serdi python3 lilv-utils lv2file lv2proc sox \
jackd2 jalv jack-capture ardour qemu-user clang-14 libclang-rt-14-dev clang-16 libclang-rt-16-dev \
libfuzzer-16-dev lintian libmpfr-dev $package $cross"
case "${1:-test}" in
    demo) packages="$build $demo" ;;
    test) packages="$build $test" ;;
    package-amd64) packages="$package" ;;
    package-arm64) packages="$package $cross" ;;
    *) echo "usage: $0 demo|test|package-amd64|package-arm64" >&2; exit 2 ;;
esac
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    case $missing in
        *:arm64*) dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64 ;;
    esac
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing
fi
