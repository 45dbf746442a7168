#!/bin/sh
# Installs the Debian 12 packages that the build and the demo ("demo") or the
# build and every test ("test") need. Run as root; installs only what is
# missing.
set -eu
build="cmake g++ make pkg-config lv2-dev liblilv-dev"
demo="lilv-utils lv2file sox gnuplot-nox"
test="libgtest-dev libgmock-dev libbenchmark-dev sordi serdi python3 lilv-utils lv2file lv2proc sox \
jackd2 jalv jack-capture ardour g++-aarch64-linux-gnu qemu-user clang-14 libclang-rt-14-dev libmpfr-dev"
case "${1:-test}" in
    demo) packages="$build $demo" ;;
    test) packages="$build $test" ;;
    *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing
fi
