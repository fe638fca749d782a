#!/usr/bin/env bash
# A throwaway PgBouncer for tests in front of a cluster made by scripts/pg-cluster.sh:
# 127.0.0.1 only, no Unix socket, trust auth. Never touches any pooler but the one in DIR.
#
# Usage:
#   scripts/pg-pooler.sh start DIR CLUSTER_DIR USER [NAME=VALUE...]
#                                     fresh pooler in DIR (an old one there is stopped and
#                                     wiped) for every database of the cluster in CLUSTER_DIR;
#                                     USER is the role clients log in as (postgres may too, and
#                                     is the console's admin); each NAME=VALUE is a [pgbouncer]
#                                     setting (pool_mode=transaction, default_pool_size=2,
#                                     query_timeout=3, ...). Writes DIR/port and DIR/conninfo
#                                     and prints the conninfo as the last line of standard output
#   scripts/pg-pooler.sh stop DIR     stops it; silent success when not running
#
# Layout: DIR/pgbouncer.ini, DIR/userlist.txt, DIR/pgbouncer.log, DIR/pgbouncer.pid, DIR/port,
# DIR/conninfo. PgBouncer refuses to run as root: as root it runs as the postgres user, and
# when postgres cannot reach DIR its files live in a private folder under /tmp named in
# DIR/home.
set -euo pipefail

readonly MARKER=.vantrel-pg-pooler
readonly START_TIMEOUT=30
readonly PORT_ATTEMPTS=8
root=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "pg-pooler: $*" >&2; exit 1; }
note() { echo "pg-pooler: $*" >&2; }

is_root() { [ "$(id -u)" -eq 0 ]; }

usage() {
  echo "usage: $0 start DIR CLUSTER_DIR USER [NAME=VALUE...]" >&2
  echo "       $0 stop DIR" >&2
  exit 2
}

as_owner() {
  if is_root; then
    (cd "$HOME_DIR" && runuser -u postgres -- "$@")
  else
    (cd "$HOME_DIR" && "$@")
  fi
}

resolve_home() {
  HOME_DIR=$DIR
  if [ -f "$DIR/home" ]; then HOME_DIR=$(cat "$DIR/home"); fi
}

# The pid in the pid file, only if that process is a pgbouncer reading this folder's settings.
own_pooler_pid() {
  local pid
  [ -f "$HOME_DIR/pgbouncer.pid" ] || return 1
  pid=$(head -n 1 "$HOME_DIR/pgbouncer.pid" 2>/dev/null || true)
  [[ "$pid" =~ ^[0-9]+$ ]] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "$HOME_DIR/pgbouncer.ini" || return 1
  echo "$pid"
}

# SIGTERM is PgBouncer's immediate shutdown; SIGKILL if it is still there after 10 s.
stop_pooler() {
  local pid
  pid=$(own_pooler_pid) || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  note "pgbouncer $pid ignored SIGTERM, killing it"
  kill -KILL "$pid" 2>/dev/null || true
}

wipe_old() {
  if [ -e "$DIR" ] && [ ! -d "$DIR" ]; then die "$DIR exists and is not a directory"; fi
  [ -d "$DIR" ] || return 0
  if [ -z "$(ls -A "$DIR")" ]; then return 0; fi
  [ -f "$DIR/$MARKER" ] || die "$DIR is not empty and holds no pooler made by this script; refusing to wipe it"
  resolve_home
  stop_pooler
  if [ "$HOME_DIR" != "$DIR" ] && [ -f "$HOME_DIR/$MARKER" ]; then rm -rf -- "$HOME_DIR"; fi
  find "$DIR" -mindepth 1 -maxdepth 1 -exec rm -rf -- {} +
}

prepare_home() {
  mkdir -p -- "$DIR"
  HOME_DIR=$DIR
  if is_root; then
    getent passwd postgres >/dev/null || die "user postgres does not exist (it comes with the postgresql package)"
    chown postgres: "$DIR"
    if ! runuser -u postgres -- test -x "$DIR" -a -w "$DIR" 2>/dev/null; then
      HOME_DIR=$(mktemp -d /tmp/vantrel-pgb.XXXXXX)
      chown postgres: "$HOME_DIR"
      echo "$HOME_DIR" >"$DIR/home"
      note "user postgres cannot reach $DIR; the pooler lives in $HOME_DIR"
    fi
  fi
  touch "$DIR/$MARKER" "$HOME_DIR/$MARKER"
}

# A free loopback port (scripts/free-port.sh); the start retries with another on a clash.
pick_port() { "$root/scripts/free-port.sh"; }

write_settings() {
  local port=$1 setting
  {
    printf '[databases]\n* = host=127.0.0.1 port=%s\n\n[pgbouncer]\n' "$CLUSTER_PORT"
    printf 'listen_addr = 127.0.0.1\nlisten_port = %s\nunix_socket_dir =\n' "$port"
    printf 'auth_type = trust\nauth_file = %s\nadmin_users = postgres\n' "$HOME_DIR/userlist.txt"
    printf 'logfile = %s\npidfile = %s\n' "$HOME_DIR/pgbouncer.log" "$HOME_DIR/pgbouncer.pid"
    # The caller's settings come last, so they win.
    for setting in "${SETTINGS[@]}"; do printf '%s = %s\n' "${setting%%=*}" "${setting#*=}"; done
  } | as_owner tee "$HOME_DIR/pgbouncer.ini" >/dev/null
}

# True when the pid file names a process that is not (or no longer) this pooler. A pid file
# PgBouncer has created but not yet written says nothing yet.
pooler_died() {
  local pid
  pid=$(head -n 1 "$HOME_DIR/pgbouncer.pid" 2>/dev/null || true)
  [[ "$pid" =~ ^[0-9]+$ ]] || return 1
  ! own_pooler_pid >/dev/null
}

# True once the pooler answers on its port, false if it died first or the time ran out.
wait_listening() {
  local port=$1
  for _ in $(seq 1 $((START_TIMEOUT * 10))); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    pooler_died && return 1
    sleep 0.1
  done
  return 1
}

cmd_start() {
  "$root/scripts/ensure-packages.sh" pgbouncer >&2
  local cluster
  cluster=$(realpath -m -- "$CLUSTER_DIR")
  [ -f "$cluster/port" ] || die "no cluster in $cluster (run scripts/pg-cluster.sh start first)"
  CLUSTER_PORT=$(cat "$cluster/port")
  wipe_old
  prepare_home
  printf '"%s" ""\n"postgres" ""\n' "$USER_NAME" | as_owner tee "$HOME_DIR/userlist.txt" >/dev/null
  if [ "$HOME_DIR" != "$DIR" ]; then ln -sfn "$HOME_DIR/pgbouncer.log" "$DIR/pgbouncer.log"; fi

  local attempt port log_lines
  for attempt in $(seq 1 "$PORT_ATTEMPTS"); do
    port=$(pick_port)
    write_settings "$port"
    log_lines=0
    [ -f "$HOME_DIR/pgbouncer.log" ] && log_lines=$(wc -l <"$HOME_DIR/pgbouncer.log")
    if as_owner pgbouncer -d -q "$HOME_DIR/pgbouncer.ini" && wait_listening "$port"; then
      echo "$port" >"$DIR/port"
      echo "host=127.0.0.1 port=$port user=$USER_NAME dbname=postgres" >"$DIR/conninfo"
      cat "$DIR/conninfo"
      return 0
    fi
    stop_pooler
    if tail -n +"$((log_lines + 1))" "$HOME_DIR/pgbouncer.log" 2>/dev/null | grep -qi "address already in use"; then
      note "port $port taken (attempt $attempt), trying another"
      continue
    fi
    tail -n 30 "$HOME_DIR/pgbouncer.log" >&2 2>/dev/null || true
    die "pgbouncer did not start"
  done
  die "pgbouncer did not start after $PORT_ATTEMPTS ports"
}

cmd_stop() {
  [ -f "$DIR/$MARKER" ] || return 0
  resolve_home
  stop_pooler
}

[ $# -ge 2 ] && [ -n "$2" ] || usage
COMMAND=$1
DIR=$(realpath -m -- "$2")
[ "$DIR" != "/" ] || die "refusing to use / as the pooler folder"
HOME_DIR=$DIR
shift 2
SETTINGS=()
case "$COMMAND" in
  start)
    [ $# -ge 2 ] && [ -n "$1" ] || usage
    CLUSTER_DIR=$1
    USER_NAME=$2
    shift 2
    [[ "$USER_NAME" =~ ^[a-z_][a-z0-9_]*$ ]] || die "not a plain role name: $USER_NAME"
    for setting in "$@"; do
      [[ "$setting" =~ ^[a-z_]+=[^$'\n']*$ ]] || die "not a NAME=VALUE setting: $setting"
      SETTINGS+=("$setting")
    done
    cmd_start
    ;;
  stop)
    [ $# -eq 0 ] || usage
    cmd_stop
    ;;
  *) usage ;;
esac
