#!/usr/bin/env bash
# Cross-compiles the library for x86_64-freebsd against the real FreeBSD
# headers and C library stubs that zig ships, with the compile-time checks of
# tests/freebsd. The Linux stand-ins (compat/linux) are never part of it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/freebsd}
mkdir -p "$out/obj" "$out/include"
java_home=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
zigcxx=(python3 -m ziglang c++ -target x86_64-freebsd)
# jni_md.h of the Linux JDK is plain C with GCC-style attributes: right for FreeBSD too.
flags=(-std=c++17 -O2 -fPIC -Wall -Wextra -Wno-unused-parameter -Werror
       -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions -fno-rtti
       -I"$root" -I"$java_home/include" -I"$java_home/include/linux")

sources=("$root"/unix/*.cpp "$root"/kqueue/*.cpp "$root"/tests/freebsd/constants_check.cpp)
objects=()
for src in "${sources[@]}"; do
  obj="$out/obj/$(basename "${src%.cpp}").o"
  "${zigcxx[@]}" "${flags[@]}" -c -o "$obj" "$src"
  objects+=("$obj")
done
lib="$out/libovrel_transport_native_kqueue_x86_64.so"
# The C++ runtime is linked in statically, as on Linux: the JVM's host needs nothing but libc.
"${zigcxx[@]}" -shared -fPIC -o "$lib" "${objects[@]}" -static-libstdc++ -static-libgcc
echo "freebsd: linked $lib"
if ! diff -u "$root/tests/exported-symbols.txt" \
     <(nm -D --defined-only "$lib" | awk '{print $3}' | LC_ALL=C sort); then
  echo "freebsd: exported symbols differ from tests/exported-symbols.txt" >&2
  exit 1
fi
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
case $needed in
  "libc.so.7 ") ;;
  *) echo "freebsd: the library needs more than libc: $needed" >&2; exit 1 ;;
esac

# The kqueue conformance tests compile unchanged against the real <sys/event.h>.
ln -sfn /usr/include/gtest "$out/include/gtest"
for test in "$root"/tests/cpp/kevent_test.cpp "$root"/tests/cpp/kqueue_threads_test.cpp; do
  [ -f "$test" ] || continue
  "${zigcxx[@]}" -std=c++17 -I"$root" -I"$out/include" -c -o "$out/obj/$(basename "${test%.cpp}").o" "$test"
  echo "freebsd: compiled $(basename "$test")"
done

# The checks must be able to fail: a deliberately wrong one has to break the build.
wrong="$out/wrong_check.cpp"
printf '#include <sys/event.h>\nstatic_assert(EVFILT_USER == -12, "must fail");\n' > "$wrong"
if "${zigcxx[@]}" -std=c++17 -c -o "$out/obj/wrong_check.o" "$wrong" 2>/dev/null; then
  echo "freebsd: a wrong compile-time check compiled; the checks prove nothing" >&2
  exit 1
fi
echo "freebsd: compile-time checks hold, and a wrong one fails"
