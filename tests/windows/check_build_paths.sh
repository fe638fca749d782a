#!/usr/bin/env bash
# Fails if a folder of the build machine is compiled into one of the given DLLs. OpenSSL and
# libpq keep their configured folders in the binary, and libpq has OpenSSL load its
# configuration file from OPENSSLDIR: a Unix build path there becomes \tmp\... or the like on
# the host's drive, a folder any user may create. They must name admin-only folders instead.
# Usage: check_build_paths.sh DLL...
set -euo pipefail

[ $# -gt 0 ] || { echo "usage: $0 DLL..." >&2; exit 2; }
# Top folders of a Unix machine that a build might run in, as a path component.
readonly BUILD_PATH='(^|[^A-Za-z0-9_.-])/(root|home|tmp|var|usr|opt|srv|mnt|work|build)/'
failed=0
openssl_dir_seen=0
for dll in "$@"; do
  # Narrow strings and UTF-16 ones, anywhere in the file.
  text=$( { strings -a -n 6 "$dll"; strings -a -n 6 -e l "$dll"; } )
  if hits=$(grep -E "$BUILD_PATH" <<<"$text"); then
    echo "$dll holds a build machine's path:" >&2
    head -n 5 <<<"$hits" >&2
    failed=1
  fi
  if grep -q '^OPENSSLDIR: "C:/Program Files/' <<<"$text"; then openssl_dir_seen=1; fi
done
# The check read the right strings: OpenSSL's own report of its folder is among them.
if [ "$openssl_dir_seen" -ne 1 ]; then
  echo "no OPENSSLDIR under C:/Program Files in $*" >&2
  failed=1
fi
[ "$failed" -eq 0 ] && echo "$# DLLs name no folder of the build machine"
exit "$failed"
