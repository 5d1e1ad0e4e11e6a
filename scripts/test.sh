#!/usr/bin/env bash
# Builds and runs every test layer: the C++ tests (plain, then under
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer), the kqueue
# tests and the kqueue stress test under ThreadSanitizer, a short
# fuzzing run, the Java suite in real JVMs under -Xcheck:jni, the checks of the shipped library's
# dependencies, the FreeBSD and macOS cross-builds, and the shipping: the native jars, built
# twice to the same bytes, and the shaded sample application.
set -euo pipefail
source "$(dirname "$0")/env.sh"
start=$(date +%s)
# Each header says how long the run has taken so far: "(at 95 s)" is a total, not a duration.
step() { echo; echo "=== $* (at $(( $(date +%s) - start )) s)"; }

step setup
"$root/scripts/setup.sh" test

step "C++ tests"
"$root/scripts/build.sh"
ctest --test-dir "$build" --output-on-failure

step "C++ tests with sanitizers"
cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOVREL_SANITIZE=ON >/dev/null
cmake --build "$root/build-asan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure

step "kqueue tests and stress test with ThreadSanitizer"
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVREL_TSAN=ON >/dev/null
cmake --build "$root/build-tsan"
echo "running build-tsan/tests/cpp/ovrel_kqueue_tsan_tests (the stress test alone takes ${OVREL_KQUEUE_STRESS_SECONDS:-3} s)"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/cpp/tsan.supp" \
  "$root/build-tsan/tests/cpp/ovrel_kqueue_tsan_tests"

step "fuzzing (short)"
"$root/scripts/fuzz.sh" --ci

step "shipped library"
"$root/scripts/check-library.sh" "$library"

step "Java suite"
OVREL_NATIVE_LIBRARY="$library" "$root/scripts/java-test.sh"

step "cross-builds for FreeBSD and macOS (built and checked at compile time; not run)"
for classifier in freebsd-x86_64 freebsd-aarch_64 osx-x86_64 osx-aarch_64; do
  echo "cross-compiling $classifier with zig: library, compile-time checks, kqueue tests" \
       "(minutes on a cold zig cache, seconds once cached)"
  "$root/scripts/cross-build.sh" "$classifier" "$build/cross/$classifier"
done

step "native jars and the shaded sample application"
# Every platform's library was cross-built in the step above: a missing one fails the run.
"$root/scripts/package.sh"
"$root/samples/shaded-app/run.sh" "$build/dist"

step "all test layers passed"
