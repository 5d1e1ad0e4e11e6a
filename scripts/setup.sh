#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine of this
# kind; a machine that already has everything is left alone.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev maven
          openjdk-17-jdk-headless python3)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# zig cross-compiles the FreeBSD build against FreeBSD's own headers.
zig_version=0.17.1
if ! python3 -m ziglang version 2>/dev/null | grep -qx "$zig_version"; then
  echo "setup: installing ziglang $zig_version"
  python3 -m pip install -q --disable-pip-version-check "ziglang==$zig_version"
fi
