#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is missing, configures,
# builds and runs every test of the library through CTest, then the deployment figures
# (tests/deploy), the same suite under the sanitizers, the Windows DLL under Wine, and a
# bounded fuzzing run of every input reader. Exits non-zero on
# any failure, and prints every stage's time however the run ends.
#
# Usage: scripts/test.sh [BUILD_DIR]
# Environment, to skip a stage locally (CI runs them all):
#   VANTREL_SKIP_WINDOWS=1     the MinGW-w64 cross builds and their Wine runs, both widths
#   VANTREL_SKIP_WINDOWS_X86=1 only the 32-bit one (its first run on a machine builds libpq)
#   VANTREL_SKIP_SANITIZERS=1  the AddressSanitizer+UBSan and ThreadSanitizer builds
#   VANTREL_SKIP_FUZZ=1        the libFuzzer runs (FUZZ_SECONDS per target, default 60)
#   VANTREL_SKIP_DEPLOY=1      the deployment figures (tests/deploy, CTest label deploy)
#   VANTREL_X86_VM=1           run the 32-bit one in the emulated machine even where this
#                              kernel runs 32-bit programs itself
# A skipped test fails its stage (scripts/run-ctest.sh) unless VANTREL_ALLOWED_SKIPS names it.
#
# Where this kernel cannot execute 32-bit programs, the x86 suite runs in an emulated machine
# whose image (scripts/x86-vm-image.sh) is made in the background from the start: downloads,
# unpacking and one emulated boot, which overlap the Linux suite instead of adding to the run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)

# Marks the start of the run: a test server folder made after it was made by this run.
run_started=$(mktemp /tmp/vantrel-test-run.XXXXXX)
timings=()
stage_name= stage_started= stage_pid=
image_pid= image_started=

# An interrupted CTest never reaches its fixture's cleanup, and pg_ctl detaches the server
# from our process group: stop every server whose folder this run created.
stop_test_servers() {
  local marker
  find "$root" "$build" -maxdepth 3 -name .vantrel-pg-cluster -newer "$run_started" 2>/dev/null |
    sort -u | while read -r marker; do
      "$root/scripts/pg-cluster.sh" stop "$(dirname "$marker")" >/dev/null 2>&1 || true
    done
}

stop_image_build() {
  [ -z "$image_pid" ] || kill -TERM -- "-$image_pid" 2>/dev/null || true
  image_pid=
}

finish() {
  local status=$?
  trap - INT TERM
  note_image_build
  stop_image_build
  stop_test_servers
  rm -f "$run_started"
  if [ "$status" -eq 0 ]; then echo "==== all stages passed" >&2; fi
  [ ${#timings[@]} -eq 0 ] || printf '  %s\n' "${timings[@]}" >&2
  exit "$status"
}

# The stage runs in a process group of its own (set -m), so that a signal sent to this script
# alone still ends CTest and every test program under it; what ignores TERM is killed after 10 s.
end_stage() {
  kill -TERM -- "-$stage_pid" 2>/dev/null || return 0
  wait "$stage_pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 -- "-$stage_pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$stage_pid" 2>/dev/null || true
}

interrupted() {
  trap - INT TERM
  if [ -n "$stage_pid" ]; then
    end_stage
    timings+=("$stage_name: $(( $(date +%s) - stage_started )) s, interrupted")
  fi
  stop_image_build
  exit "$1"
}
trap finish EXIT
trap 'interrupted 130' INT
trap 'interrupted 143' TERM

stage() {
  local status=0
  stage_name=$1
  shift
  echo "==== $stage_name" >&2
  stage_started=$(date +%s)
  set -m
  "$@" &
  stage_pid=$!
  set +m
  wait "$stage_pid" || status=$?
  stage_pid=
  if [ "$status" -ne 0 ]; then
    timings+=("$stage_name: $(( $(date +%s) - stage_started )) s, FAILED (exit $status)")
    echo "==== $stage_name failed" >&2
    exit "$status"
  fi
  timings+=("$stage_name: $(( $(date +%s) - stage_started )) s")
}

# Every option the suite depends on is set, so a folder configured otherwise before (by hand,
# for a sanitizer or without tests) is brought back to the plain build with every test.
plain() {
  "$root/scripts/ensure-packages.sh" $(cat "$root/scripts/build-packages.txt")
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS= -DCMAKE_CXX_FLAGS= -DCMAKE_EXE_LINKER_FLAGS= -DCMAKE_SHARED_LINKER_FLAGS=
  cmake --build "$build" -j "$(nproc)"
  "$root/scripts/run-ctest.sh" "$build" --output-on-failure -j "$(nproc)" --timeout 900 -LE '^deploy$'
}

# The figures the README gives for deployments: servers and a pooler of their own, one test at
# a time, in the plain build. They measure PostgreSQL and PgBouncer more than the library.
deploy() {
  "$root/scripts/run-ctest.sh" "$build" --output-on-failure --timeout 900 -L '^deploy$'
}

# Its builder waits for nothing of ours; test-windows.sh checks the result (or builds it) later.
start_image_build() {
  "$root/scripts/ensure-packages.sh" mmdebstrap qemu-system-x86 qemu-utils e2fsprogs
  image_started=$(date +%s)
  set -m
  "$root/scripts/x86-vm-image.sh" >"$build/x86-vm-image.log" 2>&1 &
  image_pid=$!
  set +m
  echo "==== x86 machine image: building in the background ($build/x86-vm-image.log)" >&2
}

# Its time, as a line of the summary, once it has ended; a failure is reported by the x86
# stage, which tries again.
note_image_build() {
  local status=0
  [ -n "$image_pid" ] && ! kill -0 "$image_pid" 2>/dev/null || return 0
  wait "$image_pid" || status=$?
  image_pid=
  timings+=("x86 machine image, in the background: $(
    sed -n 's/^x86-vm-image: image ready .*(\([0-9]* s\))$/\1/p' "$build/x86-vm-image.log" |
      grep . || echo "found in the cache")$([ "$status" -eq 0 ] || echo ", FAILED (exit $status)")")
}

x86=0
if [ "${VANTREL_SKIP_WINDOWS:-0}" != 1 ] && [ "${VANTREL_SKIP_WINDOWS_X86:-0}" != 1 ]; then
  x86=1
  if [ "${VANTREL_X86_VM:-0}" = 1 ] || ! "$root/scripts/runs-32bit.sh"; then start_image_build; fi
fi

stage "Linux suite" plain
[ "${VANTREL_SKIP_DEPLOY:-0}" = 1 ] || stage "Deployment figures" deploy
# The Windows DLL, cross-built and run under Wine against the same kind of throwaway server.
if [ "${VANTREL_SKIP_WINDOWS:-0}" != 1 ]; then
  stage "Windows suite (Wine)" "$root/scripts/test-windows.sh"
fi
if [ "$x86" = 1 ]; then
  stage "Windows x86 suite (32-bit Wine)" "$root/scripts/test-windows.sh" --arch x86
fi
if [ "${VANTREL_SKIP_SANITIZERS:-0}" != 1 ]; then
  stage "AddressSanitizer + UBSan suite" "$root/scripts/test-sanitizers.sh" address
  stage "ThreadSanitizer suite" "$root/scripts/test-sanitizers.sh" thread
fi
[ "${VANTREL_SKIP_FUZZ:-0}" = 1 ] || stage "fuzzing" "$root/scripts/fuzz.sh"
