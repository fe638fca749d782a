#!/usr/bin/env bash
# The Windows build and its tests on a Debian 12 machine: installs what is missing, cross-builds
# vantrel.dll and the Windows test programs with MinGW-w64, and runs them through CTest under
# Wine against the throwaway PostgreSQL server on 127.0.0.1. The same test programs for both
# architectures: x64 (64-bit Wine) into build-windows/, x86 (32-bit Wine) into
# build-windows-x86/. Exits non-zero on any failure.
# Usage: scripts/test-windows.sh [--arch x64|x86] [BUILD_DIR]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
arch=x64
if [ "${1:-}" = --arch ]; then
  arch=${2:-}
  shift 2
fi
case "$arch" in
  x64) toolchain=mingw-w64.cmake build=${1:-$root/build-windows}
       packages=(g++-mingw-w64-x86-64-posix wine64) ;;
  x86) toolchain=mingw-w64-i686.cmake build=${1:-$root/build-windows-x86}
       packages=(g++-mingw-w64-i686-posix wine32:i386) ;;
  *) echo "usage: $0 [--arch x64|x86] [BUILD_DIR]" >&2; exit 2 ;;
esac
mkdir -p "$build"
build=$(cd "$build" && pwd)
prefix=$build/wine
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

# 32-bit Wine is an i386 package; ensure-packages.sh refreshes the package lists when it
# installs, which then include i386.
if [ "$arch" = x86 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "32-bit Wine needs the i386 architecture: run as root, or dpkg --add-architecture i386" >&2
    exit 1
  fi
  dpkg --add-architecture i386
fi
# The client closure is built from Debian's sources (cmake/build-windows-closure.sh): make,
# perl and bzip2 for that; openssl for the test server's certificate; strings for the check of
# the built DLLs.
"$root/scripts/ensure-packages.sh" cmake make perl bzip2 binutils openssl pkg-config \
  mingw-w64-tools wine "${packages[@]}" googletest libspdlog-dev libfmt-dev postgresql

# Whatever happens, this prefix's wineserver (with every Windows process it runs) and the
# test server end with the script.
cleanup() {
  "$root/cmake/wine-prefix.sh" stop "$prefix" || true
  "$root/scripts/pg-cluster.sh" stop "$build/pg" >/dev/null 2>&1 || true
}
trap cleanup EXIT

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_BENCH=OFF \
  -DVANTREL_WINEPREFIX="$prefix"
cmake --build "$build" -j "$jobs"

# 32-bit Wine runs only where the kernel executes 32-bit programs; some virtual machines'
# kernels do not (exec fails with "Exec format error"). There, everything but the Wine runs
# is still built and checked, and the missing run is announced, not hidden.
if [ "$arch" = x86 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  "$root/scripts/run-ctest.sh" "$build" --output-on-failure -j "$jobs" --timeout 900 -LE wine
  "$root/scripts/package-windows.sh" --arch "$arch" "$build"
  echo "==== x86 Wine suite NOT RUN: this kernel cannot execute 32-bit programs" \
       "($(/usr/lib/wine/wine --version 2>&1 | tail -n 1)); only the build, the export and" \
       "closure checks and the package ran" >&2
  exit 0
fi

# A running wineserver and a booted prefix before any test: a wineserver started by a test
# whose output is a pipe would keep that pipe, and CTest would wait for ever.
"$root/cmake/wine-prefix.sh" start "$prefix"
"$root/scripts/run-ctest.sh" "$build" --output-on-failure -j "$jobs" --timeout 900

# The zip a user gets, made from what was just tested.
"$root/scripts/package-windows.sh" --arch "$arch" "$build"
