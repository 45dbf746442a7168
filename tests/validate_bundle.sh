#!/bin/sh
# Validates every .ttl of the built bundle against the installed LV2 schemas
# and the description of the pedalboard hosts' terms beside this script; any
# error or warning fails.
set -eu
validate=$1
bundle=$2
vocabulary=$(dirname "$0")/mod_vocabulary.ttl
out=$("$validate" "$vocabulary" "$bundle"/*.ttl 2>&1) || { echo "$out"; exit 1; }
echo "$out" | grep -v '^Skipping file'
if echo "$out" | grep -Eq '^(error|warning):'; then
    exit 1
fi
