#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is missing, configures,
# builds and runs every test through CTest, then the same suite under the sanitizers, the
# Windows DLL under Wine, and a bounded fuzzing run of every input reader. Exits non-zero on
# any failure.
#
# Usage: scripts/test.sh [BUILD_DIR]
# Environment, to skip a stage locally (CI runs them all):
#   VANTREL_SKIP_WINDOWS=1     the MinGW-w64 cross build and its Wine run
#   VANTREL_SKIP_WINDOWS_X86=1 the same for 32-bit Windows (its first run builds libpq)
#   VANTREL_SKIP_SANITIZERS=1  the AddressSanitizer+UBSan and ThreadSanitizer builds
#   VANTREL_SKIP_FUZZ=1        the libFuzzer runs (FUZZ_SECONDS per target, default 60)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

timings=()
stage() {
  local name=$1 started
  shift
  echo "==== $name" >&2
  started=$(date +%s)
  "$@"
  timings+=("$name: $(( $(date +%s) - started )) s")
}

plain() {
  "$root/scripts/ensure-packages.sh" $(cat "$root/scripts/build-packages.txt")
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$build" -j "$(nproc)"
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 900
}

stage "Linux suite" plain
# The Windows DLL, cross-built and run under Wine against the same kind of throwaway server.
[ "${VANTREL_SKIP_WINDOWS:-0}" = 1 ] || stage "Windows suite (Wine)" "$root/scripts/test-windows.sh"
[ "${VANTREL_SKIP_WINDOWS_X86:-0}" = 1 ] || stage "Windows x86 suite (32-bit Wine)" "$root/scripts/test-windows.sh" --arch x86
if [ "${VANTREL_SKIP_SANITIZERS:-0}" != 1 ]; then
  stage "AddressSanitizer + UBSan suite" "$root/scripts/test-sanitizers.sh" address
  stage "ThreadSanitizer suite" "$root/scripts/test-sanitizers.sh" thread
fi
[ "${VANTREL_SKIP_FUZZ:-0}" = 1 ] || stage "fuzzing" "$root/scripts/fuzz.sh"

echo "==== all stages passed" >&2
printf '  %s\n' "${timings[@]}" >&2
