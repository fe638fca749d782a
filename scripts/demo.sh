#!/usr/bin/env bash
# The demo: builds the library, starts a throwaway PostgreSQL (unless a connection string is
# given), creates a small sample table and runs a host program that loads the library.
# Usage: scripts/demo.sh [CONNINFO]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# A folder of its own: build/ belongs to the user and to scripts/test.sh.
build=$root/build-demo

"$root/scripts/ensure-packages.sh" $(cat "$root/scripts/build-packages.txt")
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_TESTS=OFF \
  -DVANTREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target vantrel demo_host >/dev/null

# The throwaway server and the result folder go when the demo ends, however it ends.
pg_dir=
out=
cleanup() {
  if [ -n "$pg_dir" ]; then
    "$root/scripts/pg-cluster.sh" stop "$pg_dir" >/dev/null 2>&1 || true
    rm -rf "$pg_dir"
  fi
  if [ -n "$out" ]; then rm -rf "$out"; fi
}
trap cleanup EXIT

if [ $# -ge 1 ]; then
  conninfo=$1
else
  pg_dir=$(mktemp -d /tmp/vantrel-demo-pg.XXXXXX)
  echo "== starting a throwaway PostgreSQL in $pg_dir"
  "$root/scripts/pg-cluster.sh" start "$pg_dir" >/dev/null
  conninfo=$(cat "$pg_dir/conninfo")
fi

echo "== sample tables"
psql -q -v ON_ERROR_STOP=1 "$conninfo" <<'SQL'
set client_min_messages = warning;
drop table if exists demo_product, demo_visit;
create table demo_product(name text, price numeric(8,2), stock int);
insert into demo_product values
  ('lamp', 24.90, 3), ('chair', 79.00, 12), ('desk', 189.00, 2), ('mug', 6.50, 40);
create table demo_visit(id serial, note text, at timestamptz default now());
SQL

out=$(mktemp -d /tmp/vantrel-demo-out.XXXXXX)
echo "== running the host program (results in $out)"
"$build/examples/demo_host" "$build/libvantrel.so" "$conninfo" "$out"
