#!/usr/bin/env bash
# Builds the library, its fault-injecting test copy and the C++ tests.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
