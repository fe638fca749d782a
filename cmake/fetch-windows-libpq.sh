#!/usr/bin/env bash
# Brings the prebuilt Windows PostgreSQL 15 client libraries into the build folder: the npm
# package is fetched with `npm pack`, its checksum is checked before anything is unpacked,
# and only libpq.dll and the DLLs it needs at run time are taken out.
#
# Usage: fetch-windows-libpq.sh DOWNLOAD_DIR OUTPUT_DIR
set -euo pipefail

readonly PACKAGE=@embedded-postgres/windows-x64
# 15.x: the libpq of 16.x fails under Wine 8.
readonly VERSION=15.18.0-beta.17
readonly INTEGRITY=sha512-QE/GDEXKhEgbOJ2EIn57qcHNso3TV3s5ixjxzx7lgz46yGKUzTgXEHrgTEw2ckkNpIJSu9kUVIKck1ijnMlurw==
readonly TARBALL=embedded-postgres-windows-x64-$VERSION.tgz
readonly RUNTIME=(libpq.dll libintl-9.dll libssl-3-x64.dll libcrypto-3-x64.dll libiconv-2.dll
                  libwinpthread-1.dll)

[ $# -eq 2 ] || { echo "usage: $0 DOWNLOAD_DIR OUTPUT_DIR" >&2; exit 2; }
download=$1
output=$2
mkdir -p "$download" "$output"

# The integrity string is base64 of the SHA-512 digest; sha512sum prints it in hex.
expected_hex=$(printf '%s' "${INTEGRITY#sha512-}" | base64 -d | od -An -v -tx1 | tr -d ' \n')
matches() { [ -f "$1" ] && [ "$(sha512sum "$1" | cut -d' ' -f1)" = "$expected_hex" ]; }

tarball=$download/$TARBALL
if ! matches "$tarball"; then
  rm -f "$tarball"
  echo "fetching $PACKAGE@$VERSION with npm pack" >&2
  (cd "$download" && npm pack --silent --no-update-notifier "$PACKAGE@$VERSION" >/dev/null)
  if ! matches "$tarball"; then
    rm -f "$tarball"
    echo "checksum of $TARBALL differs from $INTEGRITY; nothing unpacked" >&2
    exit 1
  fi
fi

staging=$(mktemp -d "$download/unpack.XXXXXX")
trap 'rm -rf "$staging"' EXIT
tar -xzf "$tarball" -C "$staging" "${RUNTIME[@]/#/package/native/bin/}"
for dll in "${RUNTIME[@]}"; do
  cp -f "$staging/package/native/bin/$dll" "$output/$dll"
done
