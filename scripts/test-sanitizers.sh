#!/usr/bin/env bash
# The whole test suite under a sanitizer, in a build of its own:
#   address  AddressSanitizer + LeakSanitizer + UndefinedBehaviorSanitizer  (build-asan/)
#   thread   ThreadSanitizer                                               (build-tsan/)
# Everything is compiled with the sanitizer: the test programs, the objects linked into them
# and libvantrel.so itself, which the forked hosts load with dlopen. The first report ends the
# process that made it (halt_on_error, no recovery for UBSan) with exit code 86, so a forked
# host's report fails its test through the host's exit code; and every report of every process,
# forked hosts included, is also written under BUILD_DIR/sanitizer-reports: any file there
# fails this script, whatever the tests concluded.
# Usage: scripts/test-sanitizers.sh address|thread [BUILD_DIR]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-}
case "$kind" in
  address)
    flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
    runtime=asan
    build=${2:-$root/build-asan}
    ;;
  thread)
    flags="-fsanitize=thread -fno-omit-frame-pointer"
    runtime=tsan
    build=${2:-$root/build-tsan}
    ;;
  *)
    echo "usage: $0 address|thread [BUILD_DIR]" >&2
    exit 2
    ;;
esac
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

"$root/scripts/ensure-packages.sh" $(cat "$root/scripts/build-packages.txt")

mkdir -p "$build"
build=$(cd "$build" && pwd)
reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"

common="halt_on_error=1:exitcode=86:print_stacktrace=1"
# Leaks are left to valgrind's memcheck in the plain stage: the library's state and its list of
# secret keywords are never destroyed (workers an exit leaves may still use them), which
# LeakSanitizer reports once a dlclose has unmapped the statics that held them.
export ASAN_OPTIONS="$common:log_path=$reports/asan:detect_leaks=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="$common:log_path=$reports/ubsan"
# An exit without a stop leaves behind, unjoined, the workers it cannot wait for (a server
# that answers nothing, a stop on another thread joining one of them): by design, not a leak.
export TSAN_OPTIONS="$common:log_path=$reports/tsan:second_deadlock_stack=1:report_thread_leaks=0"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags"
cmake --build "$build" -j "$jobs"
# A library built without the runtime would pass every test and report nothing.
if ! readelf -d "$build/libvantrel.so" | grep -q "NEEDED.*lib$runtime\.so"; then
  echo "sanitizer ($kind): $build/libvantrel.so is not linked with lib$runtime" >&2
  exit 1
fi

# The installed-package test builds a consumer without the sanitizer, which cannot load an
# instrumented library; the plain build runs it. The deploy tests (label deploy) measure what
# the server and PgBouncer do with the library's sessions, which instrumenting the library does
# not change; the plain build runs them too, and the heavy ones (label heavy: a 2 GiB statement
# text), which would only cost the sanitizers time and memory. The memory cases below measure
# memory, which a sanitizer's allocator and valgrind cannot do in an instrumented build: they
# skip here.
memory_tests="ResidentMemoryDoesNotGrowWithTasks|ExecModeDropsRowsAsTheyArrive|NotificationsDoNotPileUpInTheSessions"
export VANTREL_ALLOWED_SKIPS="${VANTREL_ALLOWED_SKIPS:+$VANTREL_ALLOWED_SKIPS|}^Memory\.($memory_tests)$|^Load\.ValgrindMemcheckReportsNothingFromAShortRun$"
status=0
"$root/scripts/run-ctest.sh" "$build" --output-on-failure -j "$jobs" --timeout 900 -E '^install_consumer$' -LE '^(deploy|heavy)$' ||
  status=$?

if [ -n "$(ls -A "$reports")" ]; then
  echo "== sanitizer reports ($kind):" >&2
  for report in "$reports"/*; do
    echo "-- $report" >&2
    cat "$report" >&2
  done
  echo "sanitizer ($kind): $(ls "$reports" | wc -l) report(s)" >&2
  exit 1
fi
[ "$status" -eq 0 ] || exit "$status"
echo "sanitizer ($kind): 0 reports"
