#!/bin/sh
# The library must export exactly one symbol, lv2_descriptor, and need no
# library beyond the C runtime.
set -eu
lib=$1
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
echo "exported: $exported"
[ "$exported" = "lv2_descriptor" ] || { echo "unexpected exports"; exit 1; }
needed=$(readelf -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
echo "needed: $needed"
for n in $needed; do
    case $n in
        libc.so.*|libm.so.*|ld-linux*) ;;
        *) echo "unexpected dependency $n"; exit 1 ;;
    esac
done
