#!/usr/bin/env bash
# The shipped library needs nothing at run time but the C library, and
# exports exactly its public entry points and module functions.
set -euo pipefail
library=$1
root=$(cd "$(dirname "$0")/.." && pwd)

needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in $needed; do
  case $lib in
    libc.so.*|libdl.so.*|libpthread.so.*|ld-linux*) ;;
    *) echo "check-library: $library needs $lib at run time" >&2; exit 1 ;;
  esac
done

expected="$root/tests/exported-symbols.txt"
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | LC_ALL=C sort)
if ! diff -u "$expected" <(echo "$actual"); then
  echo "check-library: exported symbols differ from $expected" >&2
  exit 1
fi
echo "check-library: needs only: $needed; exports $(echo "$actual" | wc -l) symbols as listed"
