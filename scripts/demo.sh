#!/usr/bin/env bash
# Builds the library and the Java side, then runs the demo on them.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target ovrel_transport_native_kqueue_x86_64
mvn -B -q -f "$root/java/pom.xml" compile
exec "$JAVA_HOME/bin/java" -Xcheck:jni -cp "$root/java/target/classes" io.ovrel.demo.Demo "$library" "$@"
