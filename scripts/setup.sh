#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine of this
# kind; a machine that already has everything is left alone.
#   scripts/setup.sh demo   # what the demo needs: compiler, CMake, JDK, Maven
#   scripts/setup.sh test   # all of it: also clang, GoogleTest, Google Benchmark and
#                           # the zig cross-compiler (the default)
set -euo pipefail

part=${1:-test}
packages=(cmake ninja-build g++ maven openjdk-17-jdk-headless)
case $part in
  demo) ;;
  test) packages+=(clang libclang-rt-14-dev llvm libgtest-dev libbenchmark-dev python3 python3-pip) ;;
  *) echo "usage: scripts/setup.sh [demo|test]" >&2; exit 64 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]} (a few minutes on a fresh machine)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

[ "$part" = test ] || exit 0

# zig cross-compiles the FreeBSD and macOS builds against their own headers;
# llvm's nm and objdump read the Mach-O libraries it links.
zig_version=0.17.1
if ! python3 -m ziglang version 2>/dev/null | grep -qx "$zig_version"; then
  echo "setup: installing ziglang $zig_version, the cross-compiler (about 400 MB; a minute or two)"
  python3 -m pip install -q --disable-pip-version-check "ziglang==$zig_version"
fi
