#!/usr/bin/env bash
# The Windows build and its tests on a Debian 12 machine: installs what is missing, cross-builds
# vantrel.dll and the Windows test programs with MinGW-w64 into build-windows/, and runs them
# through CTest under Wine against the throwaway PostgreSQL server on 127.0.0.1. Exits non-zero
# on any failure.
# Usage: scripts/test-windows.sh [BUILD_DIR]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)
prefix=$build/wine
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

# npm comes with the nodejs package; Debian's own npm package conflicts with it.
"$root/scripts/ensure-packages.sh" cmake make pkg-config g++-mingw-w64-x86-64-posix mingw-w64-tools \
  wine64 wine googletest libspdlog-dev libfmt-dev libpq-dev postgresql
if ! command -v npm >/dev/null 2>&1; then
  echo "npm is missing: it fetches the Windows libpq (install nodejs)" >&2
  exit 1
fi

# Whatever happens, this prefix's wineserver (with every Windows process it runs) and the
# test server end with the script.
cleanup() {
  "$root/cmake/wine-prefix.sh" stop "$prefix" || true
  "$root/scripts/pg-cluster.sh" stop "$build/pg" >/dev/null 2>&1 || true
}
trap cleanup EXIT

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_WINEPREFIX="$prefix"
cmake --build "$build" -j "$jobs"

# A running wineserver and a booted prefix before any test: a wineserver started by a test
# whose output is a pipe would keep that pipe, and CTest would wait for ever.
"$root/cmake/wine-prefix.sh" start "$prefix"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" --timeout 900
