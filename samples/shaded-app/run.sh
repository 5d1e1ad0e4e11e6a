#!/usr/bin/env bash
# Builds this sample twice with the real shade plugin, under two package prefixes, and
# runs it under -Xcheck:jni:
#   1. java -jar on the app.shaded uber-jar: the loader finds the renamed library inside
#      the jar, extracts it and the echo runs;
#   2. one JVM with three copies side by side (the unshaded jars, the app.shaded jar and
#      the other.copy jar), each loading its own library file, echoing at the same time.
# Needs the jars of scripts/package.sh (installed in the local Maven repository too).
#   samples/shaded-app/run.sh [DIST_DIR]    (default: build/dist)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/env.sh"
dist=${1:-$build/dist}
java="$JAVA_HOME/bin/java"
mvn_flags=(-B -q -ntp -Dstyle.color=never -f "$here/pom.xml")
warning="WARNING in native method"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

stand_ins=$(ls "$dist"/ovrel-transport-native-kqueue-java-*.jar 2>/dev/null || true)
native_jar=$(ls "$dist"/ovrel-transport-native-kqueue-*-linux-x86_64.jar 2>/dev/null || true)
if [ -z "$stand_ins" ] || [ -z "$native_jar" ]; then
  echo "shaded-app: no jars in $dist: run scripts/package.sh first" >&2
  exit 1
fi

echo "shaded-app: building the app.shaded and other.copy uber-jars with maven-shade-plugin"
mvn "${mvn_flags[@]}" package -Dshade.prefix=app.shaded -Dshade.filePrefix=app_shaded
mvn "${mvn_flags[@]}" package -Dshade.prefix=other.copy -Dshade.filePrefix=other_copy
jar_a="$here/target/shaded-app-app_shaded.jar"
jar_b="$here/target/shaded-app-other_copy.jar"

check_output() {  # name, file: fails on a JNI warning
  if grep -q "$warning" "$2"; then
    cat "$2" >&2
    echo "shaded-app: $1: -Xcheck:jni reported a warning" >&2
    exit 1
  fi
}

# A plain `java -jar`, from a directory that holds nothing else: everything comes from the jar.
(cd "$work" && "$java" -Xcheck:jni -jar "$jar_a") >"$work/jar.out" 2>&1 || {
  cat "$work/jar.out" >&2; echo "shaded-app: java -jar failed" >&2; exit 1; }
check_output "java -jar" "$work/jar.out"
grep -q '^library=resource META-INF/native/libapp_shaded_ovrel_transport_native_kqueue_linux_x86_64.so' "$work/jar.out" \
  && grep -q '^echo.result=ok$' "$work/jar.out" || {
  cat "$work/jar.out" >&2; echo "shaded-app: the uber-jar did not load its renamed library and echo" >&2; exit 1; }
echo "shaded-app: java -jar $(basename "$jar_a"): $(grep '^echo.messages=' "$work/jar.out"), echo.result=ok"

"$java" -Xcheck:jni -cp "$here/target/classes" sample.SideBySide \
  --copy unshaded lib io.ovrel.demo.Demo "$stand_ins:$native_jar" \
  --copy app.shaded libapp_shaded_ sample.EchoApp "$jar_a" \
  --copy other.copy libother_copy_ sample.EchoApp "$jar_b" >"$work/side.out" 2>&1 || {
  cat "$work/side.out" >&2; echo "shaded-app: the copies side by side failed" >&2; exit 1; }
check_output "side by side" "$work/side.out"
sed 's/^/shaded-app: /' "$work/side.out"
