#!/bin/sh
# Validates every .ttl of the built bundle against the installed LV2 schemas;
# any error or warning fails.
set -eu
validate=$1
bundle=$2
out=$("$validate" "$bundle"/*.ttl 2>&1) || { echo "$out"; exit 1; }
echo "$out" | grep -v '^Skipping file'
if echo "$out" | grep -Eq '^(error|warning):'; then
    exit 1
fi
