#!/usr/bin/env bash
# Prints a port free on 127.0.0.1, taken below the kernel's ephemeral range (32768 and up) so
# that client connections do not grab it while a server restarts on it. Without python3, a
# random one that refuses connections. A server started on it retries with another port on a
# clash anyway. Used by pg-cluster.sh and pg-pooler.sh.
set -euo pipefail

if command -v python3 >/dev/null 2>&1 &&
   port=$(python3 -c 'import random, socket
for _ in range(500):
    port = random.randint(20000, 32000)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
    except OSError:
        continue
    finally:
        s.close()
    print(port)
    break' 2>/dev/null) && [[ "$port" =~ ^[0-9]+$ ]]; then
  echo "$port"
  exit 0
fi
for _ in $(seq 1 200); do
  port=$((20000 + RANDOM % 12000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "$port"
    exit 0
  fi
done
echo "free-port: no free port found on 127.0.0.1" >&2
exit 1
