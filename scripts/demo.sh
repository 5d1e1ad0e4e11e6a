#!/usr/bin/env bash
# Builds the library and the Java side, then runs the demo on them: by default the
# echo server and client over 127.0.0.1 (about 3 s); flags pass through, e.g.
#   scripts/demo.sh --connections 256 --size 4096 --duration 5
#   scripts/demo.sh --mode pingpong --rounds 50000
#   scripts/demo.sh --mode info
# The first run installs what the demo needs (scripts/setup.sh demo) and builds
# everything, a few minutes on a fresh machine; later runs start in seconds.
set -euo pipefail
source "$(dirname "$0")/env.sh"

usage() {
  cat <<'TEXT'
usage: scripts/demo.sh [--mode echo|pingpong|info] [--connections N] [--size BYTES]
                       [--duration SECONDS] [--rounds N] [--help]
  --mode echo        echo server and client loops over 127.0.0.1 (default); takes
                     --connections N (1-2000, default 64), --size BYTES (default 256),
                     --duration SECONDS (default 3)
  --mode pingpong    user-event wake-ups answered through a pipe; takes --rounds N
                     (default 20000) and --duration SECONDS (time limit, default 30)
  --mode info        prints what the library reports (limits, errno values, kqueue
                     layout); takes no other option
  --help             prints this text
Flags take their value as the next argument or after '=' (--size=4096). Exit status:
0 on success, 1 when a check fails, 2 when the library does not load, 64 for a bad
command line.
TEXT
}
for arg in "$@"; do
  case $arg in
    -h|--help) usage; exit 0 ;;
  esac
done

"$root/scripts/setup.sh" demo
# A build directory of its own, without the C++ tests: the demo installs no GoogleTest,
# and the test command's build keeps its own settings.
demo_build="$build/demo"
library="$demo_build/libovrel_transport_native_kqueue_x86_64.so"
if [ ! -f "$library" ]; then
  echo "demo: building the library (first build: about a minute)"
fi
cmake -S "$root" -B "$demo_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVREL_TESTS=OFF >/dev/null
cmake --build "$demo_build" --target ovrel_transport_native_kqueue_x86_64 >"$demo_build/build.log" \
  || { cat "$demo_build/build.log" >&2; exit 1; }
if [ ! -d "$root/java/target/classes/io/ovrel/demo" ]; then
  echo "demo: compiling the Java side (the first run downloads Maven's plugins)"
fi
mvn -B -q -ntp -Dstyle.color=never -f "$root/java/pom.xml" compile
# The script names the library itself, by property: the command line is the demo's alone.
exec "$JAVA_HOME/bin/java" -Xcheck:jni -D"ovrel.native.library=$library" -cp "$root/java/target/classes" \
  io.ovrel.demo.Demo "$@"
