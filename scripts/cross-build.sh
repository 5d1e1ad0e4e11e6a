#!/usr/bin/env bash
# Cross-compiles the library with zig for one platform it ships for, against
# that platform's own headers and C library stubs, with the compile-time checks
# of its constants and layouts, and checks what was linked:
#   - warnings are errors;
#   - the exported symbols are exactly tests/exported-symbols.txt (Mach-O:
#     with its leading underscore);
#   - the library needs nothing at run time but the system C library;
#   - a deliberately wrong compile-time check fails, so the checks can fail;
#   - the kqueue conformance tests compile and link for the platform (they
#     cannot run here).
#
#   scripts/cross-build.sh <classifier> [outdir]
#
# classifier: freebsd-x86_64, freebsd-aarch_64, osx-x86_64 or osx-aarch_64.
# Writes outdir/libovrel_transport_native_kqueue_<arch>.<so|dylib> (default
# outdir: build/cross/<classifier>). The Linux stand-ins (compat/linux) are
# never part of these builds; the Darwin adapter (compat/darwin) only of macOS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: $0 freebsd-x86_64|freebsd-aarch_64|osx-x86_64|osx-aarch_64 [outdir]" >&2; }
[ $# -ge 1 ] && [ $# -le 2 ] || { usage; exit 2; }
classifier=$1
# macOS 11 is the oldest release on both architectures that current JDKs
# support; zig would otherwise stamp its own, newer default into the library.
case $classifier in
  freebsd-x86_64)   target=x86_64-freebsd;     arch=x86_64;   os=freebsd ;;
  freebsd-aarch_64) target=aarch64-freebsd;    arch=aarch_64; os=freebsd ;;
  osx-x86_64)       target=x86_64-macos.11.0;  arch=x86_64;   os=osx ;;
  osx-aarch_64)     target=aarch64-macos.11.0; arch=aarch_64; os=osx ;;
  *) usage; exit 2 ;;
esac
out=$(mkdir -p "${2:-$root/build/cross/$classifier}" && cd "${2:-$root/build/cross/$classifier}" && pwd)
mkdir -p "$out/obj" "$out/include" "$out/tests"
say() { echo "$classifier: $*"; }

java_home=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
zigcxx=(python3 -m ziglang c++ -target "$target")
# jni_md.h of the Linux JDK is plain C with GCC-style attributes and LP64
# types: the same as the BSD and macOS JDKs' own.
flags=(-std=c++17 -O2 -fPIC -Wall -Wextra -Wno-unused-parameter -Werror
       -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions -fno-rtti
       -I"$root" -I"$java_home/include" -I"$java_home/include/linux")
llvm_tool() { command -v "llvm-$1" || command -v "llvm-$1-14" || { echo "llvm-$1 is missing (scripts/setup.sh installs it)" >&2; exit 1; }; }
llvm_nm=$(llvm_tool nm)
llvm_objdump=$(llvm_tool objdump)

case $os in
  freebsd) ext=so; checks=("$root"/tests/freebsd/constants_check.cpp); adapter=() ;;
  osx) ext=dylib; checks=("$root"/tests/macos/constants_check.cpp); adapter=("$root"/compat/darwin/*.cpp) ;;
esac
lib="$out/libovrel_transport_native_kqueue_$arch.$ext"

# A cold zig cache builds the C++ runtime for the target first.
say "compiling the library for $target (a minute or more on a cold zig cache)"
objects=()
for src in "$root"/unix/*.cpp "$root"/kqueue/*.cpp "${adapter[@]}"; do
  obj="$out/obj/$(basename "$(dirname "$src")")_$(basename "${src%.cpp}").o"
  "${zigcxx[@]}" "${flags[@]}" -c -o "$obj" "$src"
  objects+=("$obj")
done
for check in "${checks[@]}"; do
  "${zigcxx[@]}" "${flags[@]}" -c -o "$out/obj/constants_check.o" "$check"
done

say "linking $(basename "$lib")"
case $os in
  freebsd)
    # The C++ runtime is linked in statically, as on Linux: the JVM's host
    # needs nothing but libc.
    "${zigcxx[@]}" -shared -fPIC -o "$lib" "${objects[@]}" -static-libstdc++ -static-libgcc ;;
  osx)
    # zig links its own libc++ in statically here too, so only libSystem is
    # needed. The install name is the file's own, wherever it was built, and
    # -S leaves out the debug map, which names the object files with their
    # paths and times: two builds give the same bytes.
    "${zigcxx[@]}" -shared -fPIC -o "$lib" "${objects[@]}" \
      -Wl,-install_name,"@rpath/$(basename "$lib")" -Wl,-S ;;
esac

expected=$(LC_ALL=C sort "$root/tests/exported-symbols.txt")
case $os in
  freebsd)
    exported=$("$llvm_nm" -D --defined-only --extern-only -j "$lib" | LC_ALL=C sort)
    needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    [ "$needed" = "libc.so.7 " ] || { say "the library needs more than libc: $needed" >&2; exit 1; } ;;
  osx)
    # Mach-O names carry a leading underscore. zig's linker also exports the
    # two symbols it defines in every image (the image header and its DSO
    # handle); they hold no code, so they are taken out before comparing.
    expected=$(sed 's/^/_/' <<<"$expected")
    exported=$("$llvm_nm" -gUj "$lib" | grep -vx -e __mh_dylib_header -e ___dso_handle | LC_ALL=C sort)
    needed=$("$llvm_objdump" --macho --private-headers "$lib" |
             awk '/cmd LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD|LOAD_UPWARD)_DYLIB$/ {grab = 1; next}
                  grab && $1 == "name" {print $2; grab = 0}' | tr '\n' ' ')
    [ "$needed" = "/usr/lib/libSystem.B.dylib " ] ||
      { say "the library needs more than libSystem: $needed" >&2; exit 1; }
    header=$("$llvm_objdump" --macho --private-headers "$lib")
    # Undefined symbols are bound to the library that defines them, never
    # looked up in whatever happens to be loaded.
    grep -q ' TWOLEVEL' <<<"$header" || { say "not linked with a two-level namespace" >&2; exit 1; }
    # arm64 macOS loads only signed code; an ad-hoc signature is enough.
    if [ "$arch" = aarch_64 ] && ! grep -q 'cmd LC_CODE_SIGNATURE' <<<"$header"; then
      say "no code signature: arm64 macOS would refuse to load the library" >&2; exit 1
    fi ;;
esac
if ! diff -u <(echo "$expected") <(echo "$exported"); then
  say "exported symbols differ from tests/exported-symbols.txt" >&2
  exit 1
fi
say "linked $lib: exports as listed, needs only $needed"

# The checks must be able to fail: the other kqueue platform's value of the
# user filter (FreeBSD -11, macOS -10) has to break the build.
case $os in freebsd) wrong_value=-10 ;; osx) wrong_value=-11 ;; esac
wrong="$out/wrong_check.cpp"
printf '#include "platform/event.h"\nstatic_assert(EVFILT_USER == %s, "must fail");\n' "$wrong_value" > "$wrong"
if "${zigcxx[@]}" "${flags[@]}" -c -o "$out/obj/wrong_check.o" "$wrong" 2>"$out/wrong_check.log"; then
  say "a wrong compile-time check compiled; the checks prove nothing" >&2
  exit 1
fi
grep -q 'static assertion failed' "$out/wrong_check.log" ||
  { say "the wrong check failed for another reason:" >&2; cat "$out/wrong_check.log" >&2; exit 1; }
say "compile-time checks hold, and a wrong one fails"

# The kqueue conformance tests compile unchanged against the platform's real
# <sys/event.h>, and link with GoogleTest built for the same target (from the
# sources the Debian package ships). They cannot run here.
gtest_src=/usr/src/googletest/googletest
test_flags=(-std=c++17 -O1 -Wall -Wextra -Werror -I"$root" -isystem "$gtest_src/include")
tests=()
for test in "$root"/tests/cpp/kevent_test.cpp "$root"/tests/cpp/kqueue_threads_test.cpp; do
  [ -f "$test" ] && tests+=("$test")
done
if [ ${#tests[@]} -gt 0 ]; then
  say "building GoogleTest and the kqueue conformance tests for $target"
  gtest_flags=(-std=c++17 -O1 -isystem "$gtest_src/include" -I"$gtest_src")
  # On arm64 FreeBSD, GoogleTest's <sys/user.h> defines a struct ptrauth_key
  # that clashes with the compiler's <ptrauth.h>, which the C++ runtime's
  # headers pull in; GoogleTest needs nothing from the latter.
  [ "$target" = aarch64-freebsd ] && gtest_flags+=(-D__PTRAUTH_H)
  gtest_objects=()
  for src in gtest-all gtest_main; do
    obj="$out/obj/$src.o"
    "${zigcxx[@]}" "${gtest_flags[@]}" -c -o "$obj" "$gtest_src/src/$src.cc"
    gtest_objects+=("$obj")
  done
  for test in "${tests[@]}"; do
    name=$(basename "${test%.cpp}")
    "${zigcxx[@]}" "${test_flags[@]}" -c -o "$out/tests/$name.o" "$test"
    "${zigcxx[@]}" -o "$out/tests/$name" "$out/tests/$name.o" "${gtest_objects[@]}" -lpthread
    say "compiled and linked tests/$name (not run: no $os here)"
  done
fi
