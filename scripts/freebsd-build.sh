#!/usr/bin/env bash
# The FreeBSD x86-64 cross-build, kept under its old name and output directory;
# scripts/cross-build.sh builds every platform.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec "$root/scripts/cross-build.sh" freebsd-x86_64 "${1:-$root/build/freebsd}"
