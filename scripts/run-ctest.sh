#!/usr/bin/env bash
# Runs CTest in a build folder so that a run which tested nothing cannot pass: an empty test
# set is an error, and so is a skipped test (CTest reports a GoogleTest skip as skipped and
# still exits 0) unless its name matches VANTREL_ALLOWED_SKIPS, an extended regular expression.
#
# It prints the stage's count of host-level cases ("host-level cases: N").
#
# Usage: scripts/run-ctest.sh BUILD_DIR [CTEST_ARGUMENT...]
# Environment: VANTREL_ALLOWED_SKIPS  names of tests that may skip here (default: none)
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [CTEST_ARGUMENT...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
report=$build/ctest-report.xml
rm -f "$report"

status=0
ctest --test-dir "$build" --no-tests=error --output-junit "$report" "$@" || status=$?

# The host-level programs end their output with "host-level cases run: N" (CTest runs a
# Linux program a case at a time, a Windows one a suite at a time): their sum is the count of
# host-level cases this stage ran, which the stages of the three builds compare.
log=$build/Testing/Temporary/LastTest.log
if grep -q '^host-level cases run: ' "$log" 2>/dev/null; then
  echo "host-level cases: $(awk '/^host-level cases run: / { n += $4 } END { print n }' "$log")"
fi
[ "$status" -eq 0 ] || exit "$status"

[ -s "$report" ] || { echo "run-ctest: CTest wrote no report ($report)" >&2; exit 1; }
# The JUnit report marks a skip with <skipped .../> inside the test's <testcase name="...">.
skipped=$(awk '
  match($0, /<testcase name="[^"]*"/) { name = substr($0, RSTART + 16, RLENGTH - 17) }
  /<skipped/ { print name }' "$report")
allowed=${VANTREL_ALLOWED_SKIPS:-}
unexpected=()
while read -r name; do
  [ -n "$name" ] || continue
  if [ -n "$allowed" ] && [[ "$name" =~ $allowed ]]; then continue; fi
  unexpected+=("$name")
done <<<"$skipped"
if [ ${#unexpected[@]} -gt 0 ]; then
  echo "run-ctest: ${#unexpected[@]} test(s) skipped, so this run did not test what they cover:" >&2
  printf '  %s\n' "${unexpected[@]}" >&2
  echo "Their reasons are in $report; VANTREL_ALLOWED_SKIPS=REGEX accepts skips on purpose." >&2
  exit 1
fi
