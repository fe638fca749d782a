#!/usr/bin/env bash
# Measures the library against what a user would otherwise use, side by side in one run on
# one throwaway loopback server, and prints one table of figures and ratios (markdown).
# Nothing here asserts a time: the figures are for reading.
#
# Usage: scripts/bench.sh [ROUNDS]      ROUNDS (default 5): every figure is their median
# Environment: VANTREL_BENCH_DISK_DIR   folder for the on-disk run (default build-bench/)
#              VANTREL_BENCH_RAW        file to receive every raw figure (NAME ROUND VALUE)
#
# What each row compares (same process or adjacent runs, same server):
#   submission   cVantrel with a 200-byte query and a Windows-style path, each call timed
#                alone, against a plain std::mutex + std::deque enqueue of the same Task
#   small tasks  "set statement_timeout = 30000" + "select 1", one result file each, from
#                the first submission until cVantrelDeinit(true) returns, against a minimal
#                libpq client with as many threads as the pool has workers (run library,
#                client, client, library in every round), and pgbench
#   bulk         one select of 1,000,000 rows x 4 columns into its result file, against
#                psql -At -F';' -o and psql's \copy, wall time and peak resident memory
#   scaling      small tasks over 1, 2, 4, 8 connection strings; server sessions open
#   Windows      vantrel.dll (x64, and x86 where this kernel runs 32-bit programs) under Wine:
#                small tasks against a direct client of the same libpq.dll (as many threads as
#                workers, one session each, the same two statements, a temporary file then
#                MoveFileExW; library, client, client, library in every round), and one host
#                thread's submission against a bare mutex + deque push
#                (VANTREL_BENCH_WINDOWS=0 leaves them out)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
rounds=${1:-5}
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [ROUNDS]" >&2; exit 2; }

"$root/scripts/ensure-packages.sh" $(cat "$root/scripts/build-packages.txt") time

echo "== building into $build" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_BENCH=ON \
  -DVANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target vantrel_bench_submit vantrel_bench_e2e vantrel_bench_bulk >/dev/null
bin=$build/bench

work=$(mktemp -d /tmp/vantrel-bench.XXXXXX)
shm_base=/dev/shm
[ -d "$shm_base" ] && [ -w "$shm_base" ] || shm_base=$work
shm=$(mktemp -d "$shm_base/vantrel-bench.XXXXXX")
disk_base=${VANTREL_BENCH_DISK_DIR:-$build}
disk=$(mktemp -d "$disk_base/bench-disk.XXXXXX")
pg=$work/pg
cleanup() {
  for arch in x64 x86; do
    "$root/cmake/wine-prefix.sh" stop "$root/build-bench-windows-$arch/wine" >/dev/null 2>&1 || true
  done
  "$root/scripts/pg-cluster.sh" stop "$pg" >/dev/null 2>&1 || true
  rm -rf "$shm" "$disk" "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== starting a throwaway PostgreSQL in $pg" >&2
"$root/scripts/pg-cluster.sh" start "$pg" >/dev/null
conninfo=$(cat "$pg/conninfo")
port=$(cat "$pg/port")
pgbin=/usr/lib/postgresql/15/bin
[ -x "$pgbin/pgbench" ] || pgbin=$(printf "%s\n" /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
workers=$((2 * $(nproc)))

results=$work/results   # lines: NAME ROUND VALUE
missing=$work/missing   # names the table asked for and no run measured
: >"$results"
: >"$missing"
record() {
  [ -n "$3" ] || { echo "bench: no figure for $1 in round $2" >&2; exit 1; }
  echo "$1 $2 $3" >>"$results"
}

# Runs a bench program; its "RESULT key value" lines become NAME_key for this round.
run_bench() {
  local name=$1 round=$2
  shift 2
  local err=$work/stderr
  if ! "$@" >/dev/null 2>"$err"; then
    echo "bench failed: $*" >&2
    cat "$err" >&2
    exit 1
  fi
  awk -v n="$name" -v r="$round" '$1 == "RESULT" { print n "_" $2, r, $3 }' "$err" >>"$results"
}

fresh_dir() { mktemp -d "$1/run.XXXXXX"; }

# Library and reference in the order library, reference, reference, library, so a load that
# drifts during the round weighs on both alike; each figure is the mean of its two runs.
# RUNNER MODE DIR ARGS... runs one side (MODE lib-tput or client-tput) into the fresh folder DIR.
interleaved_pair() {
  local lib=$1 cli=$2 round=$3 base=$4 runner=$5 d i=0
  shift 5
  for mode in lib-tput client-tput client-tput lib-tput; do
    d=$(fresh_dir "$base")
    run_bench "pair$i" "$round" "$runner" "$mode" "$d" "$@"
    rm -rf "$d"
    i=$((i + 1))
  done
  awk -v r="$round" -v lib="$lib" -v cli="$cli" '
    $2 == r && $1 ~ /^pair[0-9]_tasks_per_s$/ { v[substr($1, 5, 1)] = $3 }
    END { print lib "_tasks_per_s", r, (v[0] + v[3]) / 2; print cli "_tasks_per_s", r, (v[1] + v[2]) / 2 }' \
    "$results" >>"$results"
  sed -i '/^pair[0-9]_/d' "$results"
}

linux_side() { "$bin/vantrel_bench_e2e" "$1" "$conninfo" "$2" "$3" "$4"; }
# LIB CLI ROUND BASE TASKS K
e2e_pair() { interleaved_pair "$1" "$2" "$3" "$4" linux_side "$5" "$6"; }

# ---- the Windows DLLs, cross-built like the tests and run under Wine
windows_arches=()
x86_unmeasured=
if [ "${VANTREL_BENCH_WINDOWS:-1}" = 1 ]; then
  windows_arches=(x64)
  if "$root/scripts/runs-32bit.sh"; then
    windows_arches+=(x86)
  else
    x86_unmeasured="not measured: this kernel cannot execute 32-bit programs"
  fi
fi
windows_dir() { echo "$root/build-bench-windows-$1"; }
wine_run() {  # ARCH PROGRAM ARGS...
  local arch=$1 loader=/usr/lib/wine/wine64
  shift
  [ "$arch" = x86 ] && loader=/usr/lib/wine/wine
  env WINEPREFIX="$(windows_dir "$arch")/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    "$loader" "$@" </dev/null
}
# Wine sees the host's / as Z:.
windows_path() { local path="Z:$1"; echo "${path//\//\\}"; }
windows_side() {  # MODE DIR ARCH TASKS
  wine_run "$3" "$(windows_dir "$3")/bin/vantrel_bench_windows.exe" "$1" "$conninfo" "$(windows_path "$2")" "$4"
}
for arch in "${windows_arches[@]}"; do
  packages=(g++-mingw-w64-x86-64-posix wine64)
  toolchain=mingw-w64.cmake
  if [ "$arch" = x86 ]; then
    packages=(g++-mingw-w64-i686-posix wine32:i386)
    toolchain=mingw-w64-i686.cmake
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  fi
  "$root/scripts/ensure-packages.sh" make perl bzip2 mingw-w64-tools wine "${packages[@]}"
  echo "== building vantrel.dll $arch and its bench into $(windows_dir "$arch")" >&2
  cmake -S "$root" -B "$(windows_dir "$arch")" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_BENCH=ON -DVANTREL_BUILD_TESTS=OFF \
    -DVANTREL_WINEPREFIX="$(windows_dir "$arch")/wine" >/dev/null
  cmake --build "$(windows_dir "$arch")" -j 2 --target vantrel_bench_windows >/dev/null
  "$root/cmake/wine-prefix.sh" start "$(windows_dir "$arch")/wine"
done

# Wall time (s) and peak resident memory (kB) of a command writing one file.
run_measured() {
  local name=$1 round=$2
  shift 2
  local t0 t1
  t0=$(date +%s%N)
  if ! /usr/bin/time -f "%M" -o "$work/rss" "$@" >/dev/null 2>"$work/stderr"; then
    echo "bench failed: $*" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  t1=$(date +%s%N)
  record "${name}_seconds" "$round" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')"
  record "${name}_rss_kb" "$round" "$(tail -n 1 "$work/rss")"
}

pgbench_script=$work/task.sql
printf 'set statement_timeout = 30000;\nselect 1;\n' >"$pgbench_script"
run_pgbench() {
  local name=$1 round=$2 transactions=$3 log=${4:-}
  local args=(-n -M simple -c "$workers" -j "$workers" -t $((transactions / workers)) -f "$pgbench_script"
              -h 127.0.0.1 -p "$port" -U postgres)
  local out=$work/pgbench.out
  if [ -n "$log" ]; then
    rm -rf "$work/pglog"; mkdir "$work/pglog"
    args+=(-l --log-prefix="$work/pglog/tx")
  fi
  (cd "$work" && "$pgbin/pgbench" "${args[@]}" postgres) >"$out" 2>&1 || { cat "$out" >&2; exit 1; }
  record "${name}_tasks_per_s" "$round" "$(awk '/^tps = / { print $3; exit }' "$out")"
  if [ -n "$log" ]; then
    # pgbench 15 logs a latency of 0 for most transactions here although its completion time
    # stamps (fields 5 and 6) move on: a transaction's latency is taken as the gap between its
    # client's consecutive completions, which in this closed loop is the whole transaction.
    cat "$work"/pglog/tx.* | awk '{ t = $5 * 1000000 + $6; if ($1 in last) print t - last[$1]; last[$1] = t }' |
      sort -n | awk '
      { v[NR] = $1 } END { printf "%d\n%d\n", v[int(NR * 0.50) + 1], v[int(NR * 0.99) + 1] }' >"$work/pglat"
    record "${name}_lat_p50_us" "$round" "$(sed -n 1p "$work/pglat")"
    record "${name}_lat_p99_us" "$round" "$(sed -n 2p "$work/pglat")"
  fi
}

small_tasks=20000
disk_tasks=4000      # a few seconds per run on a slow shared disk
scaling_tasks=10000
latency_tasks=5000
windows_tasks=2000   # a few seconds per run under Wine
bulk_sql="select i, md5(i::text), timestamp '2024-01-01 00:00:00' + i * interval '1 second', (i % 1000) * 7 from generate_series(1, 1000000) as i"

for round in $(seq 1 "$rounds"); do
  echo "== round $round of $rounds" >&2
  # 1. submission
  sub=$(fresh_dir "$shm")
  (cd "$sub" && run_bench sub1 "$round" "$bin/vantrel_bench_submit" idle "$conninfo" 1 200 50)
  (cd "$sub" && run_bench sub8 "$round" "$bin/vantrel_bench_submit" idle "$conninfo" 8 100 25)
  (cd "$sub" && run_bench stuck1 "$round" "$bin/vantrel_bench_submit" stuck "$conninfo" 1 20000)
  (cd "$sub" && run_bench stuck8 "$round" "$bin/vantrel_bench_submit" stuck "$conninfo" 8 5000)
  rm -rf "$sub"

  # 2. small tasks end to end, tmpfs then disk, and latency
  e2e_pair lib_shm cli_shm "$round" "$shm" "$small_tasks" 1
  e2e_pair lib_disk cli_disk "$round" "$disk" "$disk_tasks" 1
  run_pgbench pgb "$round" "$small_tasks"
  d=$(fresh_dir "$shm"); run_bench liblat "$round" "$bin/vantrel_bench_e2e" lib-lat "$conninfo" "$d" "$latency_tasks"; rm -rf "$d"
  d=$(fresh_dir "$shm"); run_bench clilat "$round" "$bin/vantrel_bench_e2e" client-lat "$conninfo" "$d" "$latency_tasks"; rm -rf "$d"
  run_pgbench pgblat "$round" "$latency_tasks" log

  # 3. bulk export
  d=$(fresh_dir "$shm")
  run_measured bulk_lib "$round" "$bin/vantrel_bench_bulk" "$conninfo" "$bulk_sql" "$d/lib.txt"
  record bulk_text_kb "$round" $(( $(stat -c %s "$d/lib.txt") / 1024 ))
  head -c 200 "$d/lib.txt" | grep -q '^1;c4ca4238a0b923820dcc509a6f75849b;2024-01-01 00:00:01;7' ||
    { echo "bulk: unexpected library output" >&2; head -c 200 "$d/lib.txt" >&2; exit 1; }
  run_measured bulk_psql "$round" psql "$conninfo" -X -q -At -F';' -c "$bulk_sql" -o "$d/psql.txt"
  run_measured bulk_copy "$round" psql "$conninfo" -X -q -c "\\copy ($bulk_sql) to '$d/copy.txt' with (delimiter ';')"
  rm -rf "$d"

  # 4. scaling over connection strings
  for k in 1 2 4 8; do
    e2e_pair "libk$k" "clik$k" "$round" "$shm" "$scaling_tasks" "$k"
  done

  # 5. the DLLs under Wine
  for arch in "${windows_arches[@]}"; do
    interleaved_pair "win${arch}_lib" "win${arch}_cli" "$round" "$shm" windows_side "$arch" "$windows_tasks"
    d=$(fresh_dir "$shm")
    run_bench "win${arch}" "$round" wine_run "$arch" "$(windows_dir "$arch")/bin/vantrel_bench_windows.exe" \
      submit "$conninfo" "$(windows_path "$d")" 40 50
    rm -rf "$d"
  done
done
for k in 1 2 4 8; do
  d=$(fresh_dir "$shm"); run_bench "sessk$k" 1 "$bin/vantrel_bench_e2e" sessions "$conninfo" "$d" 2000 "$k"; rm -rf "$d"
done

# ---- the table
# med NAME: median over rounds. ratio A B: median over rounds of A/B, each pair from one round.
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
med() {
  local value
  value=$(awk -v n="$1" '$1 == n { print $3 }' "$results" | median)
  [ "$value" != nan ] || echo "$1" >>"$missing"
  echo "$value"
}
ratio() { awk -v a="$1" -v b="$2" '$1 == a { x[$2] = $3 } $1 == b { y[$2] = $3 } END {
  for (r in x) if ((r in y) && y[r] != 0) print x[r] / y[r] }' "$results" | median; }
fmt() { awk -v v="$1" -v d="$2" 'BEGIN { if (v == "nan") print "n/a"; else printf("%." d "f", v) }'; }
# verdict VALUE OP LIMIT
verdict() { awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN {
  if (v == "nan") { print "n/a"; exit }
  ok = (op == "<=") ? v <= l : (op == ">=") ? v >= l : (op == "<") ? v < l : 0; print ok ? "yes" : "NO" }'; }
row() { printf "| %s | %s | %s | %s | %s |\n" "$@"; }

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
server=$(psql "$conninfo" -X -At -c "show server_version")
fstype() { findmnt -n -o FSTYPE -T "$1" 2>/dev/null | head -n 1 || stat -f -c %T "$1"; }
fs_shm=$(fstype "$shm"); fs_disk=$(fstype "$disk")
[ -n "${VANTREL_BENCH_RAW:-}" ] && cp "$results" "$VANTREL_BENCH_RAW"
echo
echo "Machine: $(nproc) logical processors, $cpu; PostgreSQL $server (loopback TCP, fsync off);"
echo "pool: $workers workers; $rounds rounds, each figure the median over rounds, each ratio the"
echo "median of the per-round ratios (library and reference measured in the same round)."
echo "Result folders: $shm_base ($fs_shm), $disk_base ($fs_disk)."
echo
row "Measurement" "Library" "Reference" "Library / reference" "Goal"
row "---" "---:" "---:" "---:" "---"
for t in 1 8; do
  for q in p50 p99; do
    limit=2; [ "$q" = p99 ] && limit=5
    r=$(ratio "sub${t}_submit_$([ $t = 1 ] && echo st || echo mt)_lib_${q}_ns" "sub${t}_submit_$([ $t = 1 ] && echo st || echo mt)_plain_${q}_ns")
    tag=$([ $t = 1 ] && echo st || echo mt)
    row "Submission, $t host thread(s), idle pool, $q (ns); ref: mutex+deque enqueue" \
      "$(fmt "$(med "sub${t}_submit_${tag}_lib_${q}_ns")" 0)" "$(fmt "$(med "sub${t}_submit_${tag}_plain_${q}_ns")" 0)" \
      "$(fmt "$r" 2)" "<= $limit: $(verdict "$r" "<=" $limit)"
  done
  tag=$([ $t = 1 ] && echo st || echo mt)
  row "  same, ref with condition variable + $workers waiting consumers, p50 / p99 (ns)" \
    "" "$(fmt "$(med "sub${t}_submit_${tag}_wake_p50_ns")" 0) / $(fmt "$(med "sub${t}_submit_${tag}_wake_p99_ns")" 0)" "" "(information)"
  v=$(med "stuck${t}_stuck_${tag}_lib_p999_ns")
  row "Submission, $t host thread(s), every worker in pg_sleep, p99.9 (ns)" \
    "$(fmt "$v" 0)" "$(fmt "$(med "stuck${t}_stuck_${tag}_plain_p999_ns")" 0)" \
    "$(fmt "$(ratio "stuck${t}_stuck_${tag}_lib_p999_ns" "stuck${t}_stuck_${tag}_plain_p999_ns")" 2)" "< 100000: $(verdict "$v" "<" 100000)"
  per_k() { awk -v a="$(med "stuck${t}_stuck_${tag}_$1_switches_$2")" -v n="$(med "stuck${t}_stuck_${tag}_$1_samples")" \
    'BEGIN { printf "%.1f", (n > 0 ? a * 1000 / n : 0) }'; }
  row "  same, context switches per 1000 calls: blocked / preempted" \
    "$(per_k lib voluntary) / $(per_k lib involuntary)" "$(per_k plain voluntary) / $(per_k plain involuntary)" "" "(information)"
done
for where in shm disk; do
  fs=$fs_shm; [ "$where" = disk ] && fs=$fs_disk
  r=$(ratio "lib_${where}_tasks_per_s" "cli_${where}_tasks_per_s")
  row "Small tasks on $fs (tasks/s); ref: minimal libpq client, $workers threads" \
    "$(fmt "$(med "lib_${where}_tasks_per_s")" 0)" "$(fmt "$(med "cli_${where}_tasks_per_s")" 0)" "$(fmt "$r" 2)" ">= 0.95: $(verdict "$r" ">=" 0.95)"
done
row "Small tasks on $fs_shm (tasks/s); ref: pgbench -c $workers, same two statements, no files" \
  "$(fmt "$(med lib_shm_tasks_per_s)" 0)" "$(fmt "$(med pgb_tasks_per_s)" 0)" "$(fmt "$(ratio lib_shm_tasks_per_s pgb_tasks_per_s)" 2)" "(reported)"
row "Latency submission to file, $workers in flight, p50 (µs); ref: pgbench --log" \
  "$(fmt "$(med liblat_lat_p50_us)" 0)" "$(fmt "$(med pgblat_lat_p50_us)" 0)" "$(fmt "$(ratio liblat_lat_p50_us pgblat_lat_p50_us)" 2)" "(reported)"
row "Latency submission to file, $workers in flight, p99 (µs); ref: pgbench --log" \
  "$(fmt "$(med liblat_lat_p99_us)" 0)" "$(fmt "$(med pgblat_lat_p99_us)" 0)" "$(fmt "$(ratio liblat_lat_p99_us pgblat_lat_p99_us)" 2)" "(reported)"
row "  same, minimal client's own per-task p50 / p99 (µs)" \
  "" "$(fmt "$(med clilat_lat_p50_us)" 0) / $(fmt "$(med clilat_lat_p99_us)" 0)" "" "(information)"
r=$(ratio bulk_lib_seconds bulk_psql_seconds)
row "Bulk 1,000,000 x 4 to file (s); ref: psql -At -F';' -o" \
  "$(fmt "$(med bulk_lib_seconds)" 2)" "$(fmt "$(med bulk_psql_seconds)" 2)" "$(fmt "$r" 2)" "<= 1: $(verdict "$r" "<=" 1)"
row "Bulk 1,000,000 x 4 to file (s); ref: psql \\copy (select) to file" \
  "$(fmt "$(med bulk_lib_seconds)" 2)" "$(fmt "$(med bulk_copy_seconds)" 2)" "$(fmt "$(ratio bulk_lib_seconds bulk_copy_seconds)" 2)" "(reported)"
row "Bulk peak resident memory (MB); ref: psql -At" \
  "$(fmt "$(awk -v k="$(med bulk_lib_rss_kb)" 'BEGIN { print k / 1024 }')" 1)" \
  "$(fmt "$(awk -v k="$(med bulk_psql_rss_kb)" 'BEGIN { print k / 1024 }')" 1)" "$(fmt "$(ratio bulk_lib_rss_kb bulk_psql_rss_kb)" 2)" "(reported)"
row "Bulk peak resident memory (MB); ref: psql \\copy" \
  "$(fmt "$(awk -v k="$(med bulk_lib_rss_kb)" 'BEGIN { print k / 1024 }')" 1)" \
  "$(fmt "$(awk -v k="$(med bulk_copy_rss_kb)" 'BEGIN { print k / 1024 }')" 1)" "$(fmt "$(ratio bulk_lib_rss_kb bulk_copy_rss_kb)" 2)" "(reported)"
r=$(ratio bulk_lib_rss_kb bulk_text_kb)
row "Bulk peak resident memory vs result file size (MB)" \
  "$(fmt "$(awk -v k="$(med bulk_lib_rss_kb)" 'BEGIN { print k / 1024 }')" 1)" \
  "$(fmt "$(awk -v k="$(med bulk_text_kb)" 'BEGIN { print k / 1024 }')" 1)" "$(fmt "$r" 2)" "<= 1: $(verdict "$r" "<=" 1)"
for k in 1 2 4 8; do
  row "Small tasks, $k connection string(s) (tasks/s); ref: minimal client, same strings" \
    "$(fmt "$(med "libk${k}_tasks_per_s")" 0)" "$(fmt "$(med "clik${k}_tasks_per_s")" 0)" \
    "$(fmt "$(ratio "libk${k}_tasks_per_s" "clik${k}_tasks_per_s")" 2)" "server sessions: $(fmt "$(med "sessk${k}_sessions")" 0) (workers x strings = $((workers * k)))"
done

for arch in x64 x86; do
  if [ "$arch" = x86 ] && [ -n "$x86_unmeasured" ]; then
    row "Small tasks through vantrel.dll x86 under Wine (tasks/s); ref: direct client of the same libpq.dll" \
      "" "" "" "$x86_unmeasured"
    continue
  fi
  printf "%s\n" "${windows_arches[@]}" | grep -qx "$arch" || continue
  r=$(ratio "win${arch}_lib_tasks_per_s" "win${arch}_cli_tasks_per_s")
  row "Small tasks through vantrel.dll $arch under Wine on $fs_shm (tasks/s); ref: direct client of the same libpq.dll, $workers threads" \
    "$(fmt "$(med "win${arch}_lib_tasks_per_s")" 0)" "$(fmt "$(med "win${arch}_cli_tasks_per_s")" 0)" "$(fmt "$r" 2)" \
    ">= 0.95: $(verdict "$r" ">=" 0.95)"
  for q in p50 p99; do
    limit=2; [ "$q" = p99 ] && limit=5
    r=$(ratio "win${arch}_submit_lib_${q}_ns" "win${arch}_submit_plain_${q}_ns")
    row "Submission through vantrel.dll $arch under Wine, 1 host thread, $q (ns); ref: mutex+deque push" \
      "$(fmt "$(med "win${arch}_submit_lib_${q}_ns")" 0)" "$(fmt "$(med "win${arch}_submit_plain_${q}_ns")" 0)" \
      "$(fmt "$r" 2)" "<= $limit: $(verdict "$r" "<=" $limit)"
  done
done

# A row of n/a is a measurement that did not happen: the run fails rather than look complete.
if [ -s "$missing" ]; then
  echo "bench: nothing measured for: $(sort -u "$missing" | tr '\n' ' ')" >&2
  exit 1
fi
