#!/usr/bin/env bash
# Builds what a Java user takes as a dependency, into one directory:
#   ovrel-transport-native-kqueue-java-<version>.jar          the framework stand-ins
#   ovrel-transport-native-kqueue-<version>-<classifier>.jar  one native jar per platform:
#     linux-x86_64 (built here), freebsd-x86_64, freebsd-aarch_64, osx-x86_64, osx-aarch_64
#   <jar>.sha256 beside each jar (sha256sum's format: "sha256sum -c" checks it)
# The jars are built twice and must come out byte for byte the same. They are also
# installed into the local Maven repository, where samples/shaded-app resolves them.
#
#   scripts/package.sh [--outdir DIR] [--build-dir DIR] [--allow-missing CLASSIFIER[,...]]
#
# --outdir         where the jars go (default: <build dir>/dist)
# --build-dir      the CMake build directory of the Linux library (default: build)
# --allow-missing  platforms whose cross-built library may be absent; they then get no
#                  jar and a line saying so. Any other missing library fails the script.
set -euo pipefail
source "$(dirname "$0")/env.sh"

usage() { sed -n '2,16s/^# \{0,1\}//p' "$0"; }

build_dir=$build
outdir=
allowed=()
while [ $# -gt 0 ]; do
  case $1 in
    --outdir) outdir=${2:?--outdir needs a directory}; shift 2 ;;
    --build-dir) build_dir=${2:?--build-dir needs a directory}; shift 2 ;;
    --allow-missing) IFS=, read -r -a more <<<"${2:?--allow-missing needs a classifier list}"
                     allowed+=("${more[@]}"); shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "package: unknown option $1 (try --help)" >&2; exit 64 ;;
  esac
done
case $build_dir in /*) ;; *) build_dir="$PWD/$build_dir" ;; esac
outdir=${outdir:-$build_dir/dist}
case $outdir in /*) ;; *) outdir="$PWD/$outdir" ;; esac

classifiers=(linux-x86_64 freebsd-x86_64 freebsd-aarch_64 osx-x86_64 osx-aarch_64)
for c in "${allowed[@]}"; do
  [[ " ${classifiers[*]} " == *" $c "* ]] || { echo "package: --allow-missing: unknown classifier $c" >&2; exit 64; }
done
is_allowed() { [[ " ${allowed[*]} " == *" $1 "* ]]; }

mvn_flags=(-B -q -ntp -Dstyle.color=never)
base=ovrel_transport_native_kqueue
stage="$build_dir/native-stage"
rm -rf "$stage"
mkdir -p "$stage" "$outdir"
rm -f "$outdir"/*.jar "$outdir"/*.jar.sha256

# The file name inside each jar: the loader looks for exactly this one. The Linux build
# says "linux" in it so that its jar and the FreeBSD one never shadow each other.
resource_name() {
  case $1 in
    linux-x86_64) echo "lib${base}_linux_x86_64.so" ;;
    freebsd-*) echo "lib${base}_${1#freebsd-}.so" ;;
    osx-*) echo "lib${base}_${1#osx-}.dylib" ;;
  esac
}

stage_library() {  # classifier, library file
  mkdir -p "$stage/$1/META-INF/native"
  cp "$2" "$stage/$1/META-INF/native/$(resource_name "$1")"
}

echo "package: building the Linux library ($build_dir)"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" --target ${base}_x86_64 >/dev/null
stage_library linux-x86_64 "$build_dir/lib${base}_x86_64.so"

missing=()
for c in "${classifiers[@]:1}"; do
  out="$build_dir/cross/$c"
  lib="$out/lib${base}_${c#*-}.$([[ $c == osx-* ]] && echo dylib || echo so)"
  rm -f "$lib"
  echo "package: cross-building $c with zig (a cold build takes a minute or two)"
  bash "$root/scripts/cross-build.sh" "$c" "$out" >"$build_dir/cross-$c.log" 2>&1 \
    || { is_allowed "$c" || { cat "$build_dir/cross-$c.log" >&2; echo "package: cross-build of $c failed" >&2; exit 1; }
         # A library left by a build that failed its checks is not shipped.
         echo "package: cross-build of $c failed (log: $build_dir/cross-$c.log)"
         rm -f "$lib"; }
  if [ -f "$lib" ]; then
    stage_library "$c" "$lib"
  elif is_allowed "$c"; then
    echo "package: $c: no library built; allowed by --allow-missing, so no jar for it"
    missing+=("$c")
  else
    echo "package: $c: no library at $lib (pass --allow-missing $c to package without it)" >&2
    exit 1
  fi
done

# Both builds write their jars fresh; the copies in $outdir are the first build's.
# The stand-ins build in a directory of their own: java/target belongs to the test runs.
java_target="$build_dir/java-package"
build_jars() {  # destination directory
  rm -rf "$java_target"
  mvn "${mvn_flags[@]}" -f "$root/java/pom.xml" install -DskipTests -Dovrel.build.directory="$java_target"
  for jar in "$java_target"/ovrel-transport-native-kqueue-java-*.jar; do
    [[ $jar == *-relocated.jar ]] || cp "$jar" "$1/"
  done
  rm -rf "$root/packaging/native/target"
  mvn "${mvn_flags[@]}" -f "$root/packaging/native/pom.xml" install -Dnative.stage="$stage"
  cp "$root"/packaging/native/target/ovrel-transport-native-kqueue-*-*.jar "$1/"
}

echo "package: building the jars"
build_jars "$outdir"
echo "package: building them again, to check they come out the same"
again="$build_dir/dist-again"
rm -rf "$again" && mkdir -p "$again"
build_jars "$again"
for jar in "$outdir"/*.jar; do
  if ! cmp -s "$jar" "$again/$(basename "$jar")"; then
    echo "package: $(basename "$jar") differs between two builds of the same inputs" >&2
    exit 1
  fi
done
[ "$(ls "$again" | wc -l)" = "$(ls "$outdir" | wc -l)" ] \
  || { echo "package: the second build made a different set of jars" >&2; exit 1; }
rm -rf "$again"

# Each native jar holds its platform's library under the name the loader looks for, and nothing else of ours.
for dir in "$stage"/*/; do
  c=$(basename "$dir")
  jar=$(ls "$outdir"/ovrel-transport-native-kqueue-*-"$c".jar)
  listed=$("$JAVA_HOME/bin/jar" tf "$jar" | grep '^META-INF/native/.' || true)
  [ "$listed" = "META-INF/native/$(resource_name "$c")" ] \
    || { echo "package: $(basename "$jar") holds '$listed', not META-INF/native/$(resource_name "$c")" >&2; exit 1; }
done

(cd "$outdir" && for jar in *.jar; do sha256sum "$jar" >"$jar.sha256"; done)
echo "package: reproducible; in $outdir:"
(cd "$outdir" && for jar in *.jar; do echo "  $jar  $(cut -c1-16 "$jar.sha256")..."; done)
[ ${#missing[@]} -eq 0 ] || echo "package: no jar for ${missing[*]} (allowed)"
