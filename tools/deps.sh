#!/bin/sh
# Installs the Debian 12 packages the build, the demo and the tests need.
# Run as root; does nothing when they are all present.
set -eu
packages="cmake g++ make pkg-config lv2-dev liblilv-dev lilv-utils sordi sox \
libgtest-dev libgmock-dev libbenchmark-dev python3 lv2file gnuplot-nox"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing
fi
