#!/usr/bin/env bash
# The Windows build and its tests on a Debian 12 machine: installs what is missing, cross-builds
# vantrel.dll and the Windows test programs with MinGW-w64, and runs them through CTest under
# Wine against the throwaway PostgreSQL server on 127.0.0.1. The same test programs for both
# architectures: x64 (64-bit Wine) into build-windows/, x86 (32-bit Wine) into
# build-windows-x86/. Exits non-zero on any failure.
#
# Where this kernel cannot execute 32-bit programs, the x86 suite runs whole inside an emulated
# Debian machine whose kernel can (scripts/x86-vm-image.sh, scripts/x86-vm-boot.sh): the same
# tests, with their fixed waits stretched by one factor for the emulation.
# Usage: scripts/test-windows.sh [--arch x64|x86] [BUILD_DIR]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
arch=x64
if [ "${1:-}" = --arch ]; then
  arch=${2:-}
  shift 2
fi
# 32-bit programs run here only where the kernel executes them (scripts/runs-32bit.sh); where
# it does not, the x86 Wine runs go to an emulated machine whose kernel does, and this host
# needs no 32-bit Wine. VANTREL_X86_VM=1 sends them there on any machine.
in_vm=0
case "$arch" in
  x64) toolchain=mingw-w64.cmake build=${1:-$root/build-windows}
       packages=(g++-mingw-w64-x86-64-posix wine64) ;;
  x86) toolchain=mingw-w64-i686.cmake build=${1:-$root/build-windows-x86}
       packages=(g++-mingw-w64-i686-posix)
       if [ "${VANTREL_X86_VM:-0}" = 1 ] || ! "$root/scripts/runs-32bit.sh"; then
         in_vm=1
       else
         packages+=(wine32:i386)
       fi ;;
  *) echo "usage: $0 [--arch x64|x86] [BUILD_DIR]" >&2; exit 2 ;;
esac
mkdir -p "$build"
build=$(cd "$build" && pwd)
prefix=$build/wine
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

# 32-bit Wine is an i386 package; ensure-packages.sh refreshes the package lists when it
# installs, which then include i386.
if [ "$arch" = x86 ] && [ "$in_vm" = 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "32-bit Wine needs the i386 architecture: run as root, or dpkg --add-architecture i386" >&2
    exit 1
  fi
  dpkg --add-architecture i386
fi
# The client closure is built from Debian's sources (cmake/build-windows-closure.sh): make,
# perl and bzip2 for that; openssl for the test server's certificate; strings for the check of
# the built DLLs; clang, lld and llvm for the check of the MSVC import library.
"$root/scripts/ensure-packages.sh" cmake make perl bzip2 binutils openssl pkg-config \
  mingw-w64-tools wine "${packages[@]}" googletest libspdlog-dev libfmt-dev postgresql \
  clang lld llvm

# Whatever happens, this prefix's wineserver (with every Windows process it runs) and the
# test server end with the script.
image_pid=
cleanup() {
  [ -z "$image_pid" ] || kill -TERM -- "-$image_pid" 2>/dev/null || true
  "$root/cmake/wine-prefix.sh" stop "$prefix" || true
  "$root/scripts/pg-cluster.sh" stop "$build/pg" >/dev/null 2>&1 || true
}
trap cleanup EXIT

# The emulated machine's image is made (or checked) while the programs build, in a process
# group of its own so that an early end takes its builders along.
time_scale=1
if [ "$in_vm" = 1 ]; then
  time_scale=${VANTREL_VM_TIME_SCALE:-4}
  set -m
  "$root/scripts/x86-vm-image.sh" >"$build/x86-vm-image.path" 2>"$build/x86-vm-image.log" &
  image_pid=$!
  set +m
fi

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_BENCH=OFF \
  -DVANTREL_WINEPREFIX="$prefix" -DVANTREL_TEST_TIME_SCALE="$time_scale"
cmake --build "$build" -j "$jobs"

if [ "$in_vm" = 1 ]; then
  echo "==== x86 Wine suite: inside an emulated machine (QEMU, software emulation), waits" \
       "x$time_scale; $( "$root/scripts/runs-32bit.sh" && echo "forced by VANTREL_X86_VM=1" ||
       echo "this kernel cannot execute 32-bit programs")" >&2
  # What needs no Wine (the export and closure checks) runs here, the rest in the machine.
  "$root/scripts/run-ctest.sh" "$build" --output-on-failure -j "$jobs" --timeout 900 -LE wine
  status=0
  wait "$image_pid" || status=$?
  image_pid=
  [ "$status" -eq 0 ] || { cat "$build/x86-vm-image.log" >&2; echo "the x86 machine's image failed" >&2; exit 1; }
  "$root/scripts/x86-vm-run.sh" "$(cat "$build/x86-vm-image.path")" "$root" "$build" "$time_scale"
  "$root/scripts/package-windows.sh" --arch "$arch" "$build"
  exit 0
fi

[ "$arch" = x64 ] || echo "==== x86 Wine suite: natively, under this machine's 32-bit Wine" >&2
# A running wineserver and a booted prefix before any test: a wineserver started by a test
# whose output is a pipe would keep that pipe, and CTest would wait for ever.
"$root/cmake/wine-prefix.sh" start "$prefix"
"$root/scripts/run-ctest.sh" "$build" --output-on-failure -j "$jobs" --timeout 900

# The zip a user gets, made from what was just tested.
"$root/scripts/package-windows.sh" --arch "$arch" "$build"
