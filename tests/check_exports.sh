#!/bin/sh
# The library must export exactly one symbol, lv2_descriptor, need no library
# beyond the C runtime, and carry nothing that only the tests use nor the
# start-up file with which -ffast-math at link time would change the
# floating-point mode of the thread that loads it. Works on a library of any
# architecture.
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
# The library's own symbol table (local symbols included).
symbols=$(nm "$lib" | awk '{print $NF}')
if echo "$symbols" | grep -qx 'set_fast_math'; then
    echo "linked with the fast-math start-up file (set_fast_math)"
    exit 1
fi
if echo "$symbols" | grep -q 'exact_sincos\|sincos_approx'; then
    echo "carries the correctly rounded sine and cosine, which only the tests use"
    exit 1
fi
echo "no fast-math start-up, no test-only code"
