#!/usr/bin/env bash
# Runs the Java suite against the JNI library: unit tests, child-JVM load scenarios,
# and the check that no test JVM printed a JNI warning under -Xcheck:jni.
# Builds the library first unless OVREL_NATIVE_LIBRARY names one already built.
#   scripts/java-test.sh [extra maven args...]
set -euo pipefail
source "$(dirname "$0")/env.sh"

if [[ -n "${OVREL_NATIVE_LIBRARY:-}" ]]; then
  library="$OVREL_NATIVE_LIBRARY"
else
  # Same configuration as build.sh: the build directory is shared.
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --target ovrel_transport_native_kqueue_x86_64
fi

exec mvn -B -ntp -Dstyle.color=never -f "$root/java/pom.xml" verify -Dovrel.native.library="$library" "$@"
