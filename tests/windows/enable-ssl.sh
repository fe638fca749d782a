#!/usr/bin/env bash
# Turns SSL on in the throwaway test server that scripts/pg-cluster.sh started in DIR, with a
# self-signed certificate for 127.0.0.1, and leaves two root certificates for the clients:
# DIR/ssl/root.crt (the server's own) and DIR/ssl/other.crt (an unrelated one). Connections
# without SSL keep working.
# Usage: enable-ssl.sh DIR
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$(realpath -- "$1")
conninfo=$(cat "$dir/conninfo")
# The server's own folder: DIR, or the private one pg-cluster.sh names in DIR/home.
home=$dir
[ -f "$dir/home" ] && home=$(cat "$dir/home")
server=$home/ssl
mkdir -p "$server" "$dir/ssl"

certificate() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext "subjectAltName=IP:127.0.0.1" -keyout "$1.key" -out "$1.crt" 2>/dev/null
}
certificate "$server/server"
certificate "$dir/ssl/other"
rm -f "$dir/ssl/other.key"
cp "$server/server.crt" "$dir/ssl/root.crt"
chmod 0600 "$server/server.key"
[ "$(id -u)" -ne 0 ] || chown -R postgres: "$server"

psql "$conninfo" -qX -v ON_ERROR_STOP=1 \
  -c "alter system set ssl_cert_file = '$server/server.crt'" \
  -c "alter system set ssl_key_file = '$server/server.key'" \
  -c "alter system set ssl = on" \
  -c "select pg_reload_conf()" >/dev/null
# The reload is asynchronous: wait until an SSL session opens, for 10 s at most.
for _ in $(seq 1 100); do
  if [ "$(psql "$conninfo sslmode=require" -qAtX -c 'select ssl from pg_stat_ssl where pid = pg_backend_pid()' 2>/dev/null)" = t ]; then
    exit 0
  fi
  sleep 0.1
done
echo "enable-ssl: the server in $dir does not accept SSL sessions" >&2
exit 1
