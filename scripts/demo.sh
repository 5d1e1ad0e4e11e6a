#!/usr/bin/env bash
# Builds the library and the Java side, then runs the demo on them: by default the
# echo server and client over 127.0.0.1 (about 3 s); flags pass through, e.g.
#   scripts/demo.sh --connections 256 --size 4096 --duration 5
#   scripts/demo.sh --mode pingpong --rounds 50000
#   scripts/demo.sh --mode info
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target ovrel_transport_native_kqueue_x86_64
mvn -B -q -Dstyle.color=never -f "$root/java/pom.xml" compile
exec "$JAVA_HOME/bin/java" -Xcheck:jni -cp "$root/java/target/classes" io.ovrel.demo.Demo "$library" "$@"
