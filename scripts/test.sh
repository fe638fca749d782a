#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is missing, configures,
# builds and runs every test through CTest. Exits non-zero on any failure.
# Usage: scripts/test.sh [BUILD_DIR]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/scripts/ensure-packages.sh" $(cat "$root/scripts/build-packages.txt")

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 900

# The Windows DLL, cross-built and run under Wine against the same kind of throwaway server.
if [ "${VANTREL_SKIP_WINDOWS:-0}" != 1 ]; then
  "$root/scripts/test-windows.sh"
fi
