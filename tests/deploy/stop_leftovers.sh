#!/usr/bin/env bash
# Stops every server and pooler that the deploy tests left running under DIR (DIR/TEST/NAME).
# Usage: stop_leftovers.sh DIR
set -uo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
status=0
for folder in "$1"/*/*/; do
  [ -d "$folder" ] || continue
  if [ -f "$folder/.vantrel-pg-pooler" ]; then "$scripts/pg-pooler.sh" stop "$folder" || status=1; fi
  if [ -f "$folder/.vantrel-pg-cluster" ]; then "$scripts/pg-cluster.sh" stop "$folder" || status=1; fi
done
exit "$status"
