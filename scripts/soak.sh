#!/usr/bin/env bash
# The long soak and load run of the natives on loopback (io.ovrel.soak.EchoSoak):
# 1000 echo connections with random message sizes, half-closes and resets, every
# byte checked, then a wake-up storm; fails on any lost, garbled or duplicated byte,
# a lost wake-up, a leaked descriptor or resident memory that keeps growing.
#   scripts/soak.sh                       # 10 million messages
#   scripts/soak.sh --messages 1000000 --seed 7 --storm-rounds 20000
# Builds the library first unless OVREL_NATIVE_LIBRARY names one already built.
set -euo pipefail
source "$(dirname "$0")/env.sh"

if [[ -n "${OVREL_NATIVE_LIBRARY:-}" ]]; then
  library="$OVREL_NATIVE_LIBRARY"
else
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --target ovrel_transport_native_kqueue_x86_64
fi
mvn -q -B -ntp -Dstyle.color=never -f "$root/java/pom.xml" compile

echo "soak: running (10 million messages take about 9 minutes; the results come at the end)"

# A fixed, pre-touched heap: resident memory then moves only with what the run leaks.
exec "$JAVA_HOME/bin/java" -Xcheck:jni -Xms96m -Xmx96m -XX:+AlwaysPreTouch \
  --enable-native-access=ALL-UNNAMED -cp "$root/java/target/classes" \
  io.ovrel.soak.EchoSoak "$library" --messages 10000000 --storm-rounds 20000 "$@"
