#!/usr/bin/env bash
# Fuzzes every piece that reads host input, each for a bounded time, with libFuzzer and
# AddressSanitizer + UndefinedBehaviorSanitizer (clang-14 from Debian):
#   utf16          UTF-16 to UTF-8 against glibc's iconv (src/platform/utf16.cpp)
#   task_describe  the task's log line decodes back to its members (src/task/task.cpp)
#   conninfo_mask  password masking against libpq's reading (src/exec/conninfo_mask.cpp)
# The programs are built by CMake (option VANTREL_FUZZ, tests/fuzz/CMakeLists.txt) in a clang
# build folder of their own. Each run starts from the checked-in seeds in
# tests/fuzz/corpus/<target>; what it finds stays in BUILD_DIR/corpus/<target>, crashing
# inputs in BUILD_DIR/artifacts. Exits non-zero when a target is unknown, does not build, runs
# no input, breaks a property or crashes.
#
# Usage: scripts/fuzz.sh [TARGET...]        (default: all of them)
# Environment: FUZZ_SECONDS (per target, default 60), BUILD_DIR (default build-fuzz)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
# libFuzzer reads a total time of 0 as "no limit".
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "FUZZ_SECONDS must be a positive number of seconds" >&2; exit 2; }
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

"$root/scripts/ensure-packages.sh" clang-14 libclang-rt-14-dev cmake libpq-dev libspdlog-dev libfmt-dev

sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE= \
  -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF -DVANTREL_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link $sanitizers" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitizers"

mapfile -t all_targets <"$build/fuzz-targets.txt"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
for target in "${targets[@]}"; do
  if ! printf '%s\n' "${all_targets[@]}" | grep -qx -- "$target"; then
    echo "unknown fuzz target: $target (known: ${all_targets[*]})" >&2
    exit 2
  fi
done
cmake --build "$build" -j "$jobs" --target "${targets[@]/%/_fuzz}"

mkdir -p "$build/artifacts"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=()
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  seeds=$root/tests/fuzz/corpus/$target
  # An empty seed folder would quietly start from nothing.
  [ -n "$(ls -A "$seeds" 2>/dev/null)" ] || { echo "fuzz $target: no seed inputs in $seeds" >&2; exit 1; }
  log=$build/$target.log
  started=$(date +%s)
  status=0
  "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
  echo "fuzz $target: ${runs:-?} inputs in $(( $(date +%s) - started )) s, ${coverage:-cov: ?}, corpus $(ls "$corpus" | wc -l) files, exit $status"
  if [ "$status" -ne 0 ]; then
    grep -E 'property broken|ERROR: |runtime error|SUMMARY|Test unit written' "$log" | head -n 20 >&2 || true
    failed+=("$target")
  elif ! [[ "${runs:-}" =~ ^[0-9]+$ ]] || [ "$runs" -eq 0 ]; then
    echo "fuzz $target: no input ran (see $log)" >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing broke: ${failed[*]} (logs and inputs in $build)" >&2
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, no property broken, no sanitizer report"
