#!/bin/sh
# Each instruction-set build of the voice must define no global or weak
# symbol but its kernel table: an inline function left out of line there
# (compiled for AVX2 or AVX-512) could otherwise stand in for the baseline's
# copy at link time and fault on a processor without those instructions.
#
#   tests/check_voice_objects.sh NM OBJECT...
set -eu
nm=$1
shift
status=0
for obj in "$@"; do
    globals=$("$nm" -g --defined-only "$obj" | awk '{print $3}')
    count=$(printf '%s\n' "$globals" | grep -c . || true)
    case "$globals" in
        *voice_kernels*Kernels*) ;;
        *) count=0 ;;
    esac
    if [ "$count" -ne 1 ]; then
        echo "$obj defines more than its kernel table:"
        printf '%s\n' "$globals" | sed 's/^/  /'
        status=1
    else
        echo "$obj: $globals"
    fi
done
exit $status
