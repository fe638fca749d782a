#!/usr/bin/env bash
# A throwaway PostgreSQL server for tests, the demo and the benchmarks: loopback only,
# trust auth, durability off for speed. Never touches any cluster but the one in DIR.
#
# Usage:
#   scripts/pg-cluster.sh start DIR [NAME=VALUE...]
#                                       fresh cluster in DIR (an old one there is stopped and
#                                       wiped); writes DIR/port and DIR/conninfo and prints the
#                                       conninfo as the last line of standard output; each
#                                       NAME=VALUE is a server setting (e.g. max_connections=15)
#                                       that overrides the defaults below; port=N makes the
#                                       server listen on N (failing if N is taken) instead of a
#                                       free port the script picks
#   scripts/pg-cluster.sh standby DIR PRIMARY_DIR [NAME=VALUE...]
#                                       as start, but a streaming standby of the running cluster
#                                       in PRIMARY_DIR (made by this script), by pg_basebackup -R
#   scripts/pg-cluster.sh promote DIR   makes the standby in DIR a primary; returns once promoted
#   scripts/pg-cluster.sh stop DIR      fast shutdown, then removes the private folder named in
#                                       DIR/home (what is in DIR is the caller's to remove);
#                                       silent success when not running
#   scripts/pg-cluster.sh pause DIR     fast shutdown that keeps everything for a restart
#   scripts/pg-cluster.sh restart DIR   fast restart on the same port
#   scripts/pg-cluster.sh conninfo DIR  prints DIR/conninfo
#
# Layout: DIR/data (the data directory), DIR/server.log, the Unix socket in DIR, DIR/port,
# DIR/conninfo. As root the server runs as the postgres user (PostgreSQL refuses root); when
# postgres cannot reach DIR (e.g. it lies under /root), data, socket and log live in a private
# folder under /tmp named in DIR/home, and DIR/server.log links to the log there.
set -euo pipefail

readonly MARKER=.vantrel-pg-cluster
readonly START_TIMEOUT=60
readonly PORT_ATTEMPTS=8
readonly SCRIPTS=$(cd "$(dirname "$0")" && pwd)

die() { echo "pg-cluster: $*" >&2; exit 1; }
note() { echo "pg-cluster: $*" >&2; }

is_root() { [ "$(id -u)" -eq 0 ]; }

usage() {
  echo "usage: $0 {start|stop|pause|restart|promote|conninfo} DIR [NAME=VALUE...]" >&2
  echo "       $0 standby DIR PRIMARY_DIR [NAME=VALUE...]" >&2
  exit 2
}

# Highest installed version wins unless 15 is there.
find_bindir() {
  if [ -x /usr/lib/postgresql/15/bin/initdb ]; then
    echo /usr/lib/postgresql/15/bin
    return 0
  fi
  local found
  found=$(printf "%s\n" /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
  if [ -n "$found" ] && [ -x "$found/initdb" ]; then
    echo "$found"
    return 0
  fi
  return 1
}

ensure_bindir() {
  if BINDIR=$(find_bindir); then return 0; fi
  is_root || die "PostgreSQL server binaries not found under /usr/lib/postgresql (install the postgresql package as root)"
  note "installing postgresql"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq --no-install-recommends postgresql >&2
  BINDIR=$(find_bindir) || die "postgresql installed but no initdb under /usr/lib/postgresql/*/bin"
}

# Runs a command as the server's owner: the postgres user when we are root, else ourselves.
# The working directory is the cluster home, as /root and the like are closed to postgres.
as_owner() {
  if is_root; then
    (cd "$HOME_DIR" && runuser -u postgres -- "$@")
  else
    (cd "$HOME_DIR" && "$@")
  fi
}

pgctl() { as_owner "$BINDIR/pg_ctl" "$@"; }

# True when the postgres user can reach and write into path.
postgres_can_use() {
  runuser -u postgres -- test -x "$1" -a -w "$1" 2>/dev/null
}

# Where data, socket and log live for an existing DIR (DIR itself unless DIR/home says otherwise).
resolve_home() {
  if [ -f "$DIR/home" ]; then
    HOME_DIR=$(cat "$DIR/home")
  else
    HOME_DIR=$DIR
  fi
  DATA=$HOME_DIR/data
}

server_running() {
  [ -f "$DATA/postmaster.pid" ] || return 1
  local status=0
  pgctl status -D "$DATA" >/dev/null 2>&1 || status=$?
  [ "$status" -eq 0 ]
}

# The postmaster's pid from its pid file, only if that process runs in this data directory.
own_postmaster_pid() {
  [ -f "$DATA/postmaster.pid" ] || return 1
  local pid cwd
  pid=$(head -n 1 "$DATA/postmaster.pid" 2>/dev/null || true)
  [[ "$pid" =~ ^[0-9]+$ ]] || return 1
  cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null || true)
  [ "$cwd" = "$(readlink -f "$DATA")" ] || return 1
  echo "$pid"
}

# Stops this cluster's server; with pg_ctl first, then by the pid file's pid if pg_ctl failed.
stop_server() {
  local mode=$1 output pid
  [ -d "$DATA" ] || return 0
  server_running || return 0
  if output=$(pgctl stop -D "$DATA" -m "$mode" -w -t "$START_TIMEOUT" 2>&1); then
    return 0
  fi
  if pid=$(own_postmaster_pid); then
    note "pg_ctl stop failed, sending SIGQUIT to postmaster $pid"
    kill -QUIT "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || return 0
      sleep 0.1
    done
  fi
  echo "$output" >&2
  die "could not stop the server in $DATA"
}

# Removes an old cluster from DIR, refusing folders this script did not make.
wipe_old() {
  if [ -e "$DIR" ] && [ ! -d "$DIR" ]; then die "$DIR exists and is not a directory"; fi
  [ -d "$DIR" ] || return 0
  if [ -z "$(ls -A "$DIR")" ]; then return 0; fi
  [ -f "$DIR/$MARKER" ] || die "$DIR is not empty and holds no cluster made by this script; refusing to wipe it"
  resolve_home
  stop_server immediate
  if [ "$HOME_DIR" != "$DIR" ] && [ -f "$HOME_DIR/$MARKER" ]; then
    rm -rf -- "$HOME_DIR"
  fi
  find "$DIR" -mindepth 1 -maxdepth 1 -exec rm -rf -- {} +
}

# Creates DIR; as root, opens the folders this call created to others so postgres can pass.
make_dir() {
  local missing=() path=$DIR
  while [ ! -e "$path" ]; do
    missing+=("$path")
    path=$(dirname "$path")
  done
  mkdir -p -- "$DIR"
  if is_root && [ ${#missing[@]} -gt 0 ]; then chmod o+x -- "${missing[@]}"; fi
}

# Decides where the server's files go and hands that place to the server's owner.
prepare_home() {
  HOME_DIR=$DIR
  if is_root; then
    getent passwd postgres >/dev/null || die "user postgres does not exist (it comes with the postgresql package)"
    chown postgres: "$DIR"
    chmod 0755 "$DIR"
    if ! postgres_can_use "$DIR"; then
      HOME_DIR=$(mktemp -d /tmp/vantrel-pg.XXXXXX)
      chown postgres: "$HOME_DIR"
      chmod 0700 "$HOME_DIR"
      echo "$HOME_DIR" >"$DIR/home"
      note "user postgres cannot reach $DIR; the server lives in $HOME_DIR"
      postgres_can_use "$HOME_DIR" || die "user postgres cannot use $HOME_DIR either"
    fi
  fi
  touch "$DIR/$MARKER" "$HOME_DIR/$MARKER"
  DATA=$HOME_DIR/data
}

# A free loopback port (scripts/free-port.sh); startup retries with another on a clash.
pick_port() { "$SCRIPTS/free-port.sh" || die "no free port found on 127.0.0.1"; }

write_settings() {
  local port=$1 socket_dir=$HOME_DIR
  # A Unix socket path longer than sun_path stops the server from starting; TCP suffices then.
  if [ $(( ${#socket_dir} + 16 )) -ge 107 ]; then socket_dir=""; fi
  as_owner tee "$DATA/vantrel.conf" >/dev/null <<EOF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$socket_dir'
max_connections = 200
fsync = off
synchronous_commit = off
full_page_writes = off
logging_collector = off
EOF
  # The caller's settings come last, so they win over the defaults above.
  local setting
  for setting in "${SETTINGS[@]}"; do
    printf "%s = '%s'\n" "${setting%%=*}" "$(sed "s/'/''/g" <<<"${setting#*=}")"
  done | as_owner tee -a "$DATA/vantrel.conf" >/dev/null
}

# NAME=VALUE arguments, checked before anything is touched. port=N is the caller's choice of
# port, which start_on_free_port uses instead of picking one, so DIR/port stays true.
read_settings() {
  local setting
  for setting in "$@"; do
    [[ "$setting" =~ ^[a-z_][a-z0-9_.]*= ]] || die "not a NAME=VALUE setting: $setting"
    if [[ "$setting" == port=* ]]; then
      [[ "${setting#port=}" =~ ^[1-9][0-9]{0,4}$ ]] && [ "${setting#port=}" -le 65535 ] ||
        die "not a port: $setting"
      CHOSEN_PORT=${setting#port=}
      continue
    fi
    SETTINGS+=("$setting")
  done
}

cmd_start() {
  ensure_bindir
  wipe_old
  make_dir
  prepare_home

  if ! as_owner "$BINDIR/initdb" -D "$DATA" -U postgres --auth=trust --encoding=UTF8 \
      --locale=C --no-sync >"$HOME_DIR/initdb.log" 2>&1; then
    cat "$HOME_DIR/initdb.log" >&2
    die "initdb failed"
  fi
  echo "include 'vantrel.conf'" | as_owner tee -a "$DATA/postgresql.conf" >/dev/null
  if [ "$HOME_DIR" != "$DIR" ]; then ln -sfn "$HOME_DIR/server.log" "$DIR/server.log"; fi

  start_on_free_port
  write_conninfo
}

# Starts the server in DATA, retrying with another port when the picked one is taken; a port
# the caller chose is tried once.
start_on_free_port() {
  local attempt port started=0 log_lines new_log attempts=$PORT_ATTEMPTS
  [ -z "$CHOSEN_PORT" ] || attempts=1
  for attempt in $(seq 1 "$attempts"); do
    port=${CHOSEN_PORT:-$(pick_port)}
    write_settings "$port"
    log_lines=0
    [ -f "$HOME_DIR/server.log" ] && log_lines=$(wc -l <"$HOME_DIR/server.log")
    if pgctl start -D "$DATA" -l "$HOME_DIR/server.log" -w -t "$START_TIMEOUT" >&2; then
      started=1
      break
    fi
    stop_server immediate || true
    new_log=$(tail -n +"$((log_lines + 1))" "$HOME_DIR/server.log" 2>/dev/null || true)
    if grep -qi "could not bind\|address already in use" <<<"$new_log"; then
      [ -z "$CHOSEN_PORT" ] || die "port $port is taken"
      note "port $port taken (attempt $attempt), trying another"
      continue
    fi
    tail -n 30 "$HOME_DIR/server.log" >&2 2>/dev/null || true
    die "server did not start"
  done
  [ "$started" -eq 1 ] || die "server did not start after $attempts ports"

  echo "$port" >"$DIR/port"
}

write_conninfo() {
  echo "host=127.0.0.1 port=$(cat "$DIR/port") user=postgres dbname=postgres" >"$DIR/conninfo"
  cat "$DIR/conninfo"
}

# The base backup carries the primary's settings file; start_on_free_port rewrites it with
# this server's own port, and -R makes the copy follow the primary.
cmd_standby() {
  local primary
  primary=$(realpath -m -- "$PRIMARY_DIR")
  [ "$primary" != "$DIR" ] || die "a cluster cannot be its own standby"
  [ -f "$primary/$MARKER" ] && [ -f "$primary/port" ] || die "no cluster made by this script in $primary"
  ensure_bindir
  wipe_old
  make_dir
  prepare_home
  if ! as_owner "$BINDIR/pg_basebackup" -h 127.0.0.1 -p "$(cat "$primary/port")" -U postgres \
      -D "$DATA" -R -X stream -c fast --no-sync >"$HOME_DIR/basebackup.log" 2>&1; then
    cat "$HOME_DIR/basebackup.log" >&2
    die "pg_basebackup from $primary failed"
  fi
  if [ "$HOME_DIR" != "$DIR" ]; then ln -sfn "$HOME_DIR/server.log" "$DIR/server.log"; fi
  start_on_free_port
  write_conninfo
}

cmd_promote() {
  [ -f "$DIR/$MARKER" ] || die "no cluster in $DIR (run standby first)"
  resolve_home
  BINDIR=$(find_bindir) || die "PostgreSQL server binaries not found"
  pgctl promote -D "$DATA" -w -t "$START_TIMEOUT" >&2 || die "promote failed"
}

cmd_pause() {
  [ -d "$DIR" ] || return 0
  resolve_home
  [ -d "$DATA" ] || return 0
  BINDIR=$(find_bindir) || return 0
  stop_server fast
}

# The private folder under /tmp goes with the server; only one this script made and marked.
cmd_stop() {
  cmd_pause
  [ -d "$DIR" ] || return 0
  resolve_home
  if [ "$HOME_DIR" != "$DIR" ] && [ -f "$HOME_DIR/$MARKER" ]; then
    rm -rf -- "$HOME_DIR"
  fi
}

cmd_restart() {
  [ -f "$DIR/$MARKER" ] || die "no cluster in $DIR (run start first)"
  resolve_home
  [ -d "$DATA" ] || die "no data directory in $HOME_DIR"
  BINDIR=$(find_bindir) || die "PostgreSQL server binaries not found"
  # The port stays: it lives in the cluster's settings file, not on the command line.
  if ! pgctl restart -D "$DATA" -l "$HOME_DIR/server.log" -m fast -w -t "$START_TIMEOUT" >&2; then
    tail -n 30 "$HOME_DIR/server.log" >&2 2>/dev/null || true
    die "restart failed"
  fi
}

cmd_conninfo() {
  [ -f "$DIR/conninfo" ] || die "no conninfo in $DIR (run start first)"
  cat "$DIR/conninfo"
}

[ $# -ge 2 ] || usage
[ -n "$2" ] || usage
COMMAND=$1
DIR=$(realpath -m -- "$2")
shift 2
PRIMARY_DIR=
SETTINGS=()
CHOSEN_PORT=
case "$COMMAND" in
  start) ;;
  standby)
    [ $# -ge 1 ] && [ -n "$1" ] || usage
    PRIMARY_DIR=$1
    shift
    ;;
  *) [ $# -eq 0 ] || usage ;;
esac
read_settings "$@"
[ "$DIR" != "/" ] || die "refusing to use / as the cluster folder"
HOME_DIR=$DIR
DATA=$DIR/data
BINDIR=

case "$COMMAND" in
  start) cmd_start ;;
  standby) cmd_standby ;;
  promote) cmd_promote ;;
  stop) cmd_stop ;;
  pause) cmd_pause ;;
  restart) cmd_restart ;;
  conninfo) cmd_conninfo ;;
  *) usage ;;
esac
