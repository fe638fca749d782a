#!/usr/bin/env bash
# Builds the Windows PostgreSQL client closure (libpq.dll with the OpenSSL DLLs it loads)
# from Debian's source tarballs with MinGW-w64, caches it outside any build folder, and
# copies it where a build wants it.
#
# Usage: build-windows-closure.sh ARCH BIN_DIR INCLUDE_DIR
#   ARCH         x86 or x64
#   BIN_DIR      receives the DLLs (beside the programs that load them) and
#                closure-versions.txt (what VERSIONS below says)
#   INCLUDE_DIR  receives libpq's client headers
#
# The cache, ${XDG_CACHE_HOME:-~/.cache}/vantrel/windows-closure/ARCH-KEY, is keyed by the
# tarballs' SHA-256 (as Debian's signed index gives them), this script and the compiler's
# version. Its SHA256SUMS is checked before every use; a bad entry is built again. Versions
# are whatever Debian serves now (bookworm, and bookworm-security where newer); they are
# printed and recorded in VERSIONS.
#
# Every folder compiled into the DLLs (OPENSSLDIR, libpq's SYSCONFDIR and the like) lies
# under C:/Program Files, which only administrators can write: libpq loads OpenSSL's
# configuration file from OPENSSLDIR, and a folder named after the build machine's path
# would be one any user may create on the host's drive.
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 {x86|x64} BIN_DIR INCLUDE_DIR" >&2; exit 2; }
readonly ARCH=$1 BIN_DIR=$2 INCLUDE_DIR=$3
case "$ARCH" in
  x86) triple=i686-w64-mingw32 openssl_target=mingw dll_suffix= ;;
  x64) triple=x86_64-w64-mingw32 openssl_target=mingw64 dll_suffix=-x64 ;;
  *) echo "unknown architecture $ARCH (x86 or x64)" >&2; exit 2 ;;
esac
readonly INSTALL_ROOT="C:/Program Files/Vantrel"
readonly DLLS=(libpq.dll "libssl-3$dll_suffix.dll" "libcrypto-3$dll_suffix.dll")
readonly HEADERS=(libpq-fe.h libpq-events.h postgres_ext.h pg_config_ext.h)
readonly SOURCES=(postgresql-15 openssl)
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

cache=${XDG_CACHE_HOME:-$HOME/.cache}/vantrel/windows-closure
apt_dir=$cache/apt
mkdir -p "$cache" "$apt_dir/lists/partial" "$apt_dir/cache"

note() { echo "windows-closure($ARCH): $*" >&2; }

# Debian's source index in a private list: the machine's own apt configuration is untouched.
cat >"$apt_dir/sources.list" <<'EOF'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
EOF
private_apt() {
  apt-get -q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
    -o APT::Sandbox::User="$(id -un)" -o Debug::NoLocking=1 "$@"
}
private_apt_cache() {
  apt-cache -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" "$@"
}

# The index and the tarballs are shared by both architectures: one reader at a time.
exec 8>"$cache/sources.lock"
flock 8
if ! private_apt update >"$apt_dir/update.log" 2>&1; then
  # An index fetched before still names tarballs the archive had; a missing one fails below.
  if ! compgen -G "$apt_dir/lists/*Sources*" >/dev/null; then
    cat "$apt_dir/update.log" >&2
    note "cannot read Debian's source index"
    exit 1
  fi
  note "Debian's source index could not be refreshed; using the one fetched before"
fi

# Each package's newest upstream tarball that the archive actually serves (the security
# mirror has lacked some), kept in the cache; apt-get checks it against the signed index's
# SHA-256 and does not fetch it again while it matches. Prints "NAME SHA256:HEX".
sources_dir=$cache/sources
mkdir -p "$sources_dir"
fetch_tarball() {
  local package=$1 version line
  for version in $(private_apt_cache madison "$package" | awk -F' [|] ' '{print $2}' | sort -rV); do
    line=$(private_apt source --print-uris --tar-only "$package=$version" 2>/dev/null |
           grep "^'" | grep -v "\.asc' " | head -n 1)
    [ -n "$line" ] || continue
    if (cd "$sources_dir" && private_apt source --download-only --tar-only "$package=$version") \
        >"$sources_dir/fetch.log" 2>&1; then
      cut -d' ' -f2,4 <<<"$line"
      return 0
    fi
    note "$package $version: upstream tarball not served, trying an older version"
  done
  cat "$sources_dir/fetch.log" >&2
  note "no tarball of $package could be fetched"
  return 1
}
tarballs=$(for package in "${SOURCES[@]}"; do fetch_tarball "$package" || exit 1; done)
[ "$(wc -l <<<"$tarballs")" -eq ${#SOURCES[@]} ] || exit 1
flock -u 8

# One build per architecture at a time; the second waits and then finds the cache filled.
exec 9>"$cache/$ARCH.lock"
flock 9
compiler=$("$triple-gcc-posix" --version | head -n 1)
key=$( { echo "$tarballs"; sha256sum <"$0"; echo "$compiler"; } | sha256sum | cut -c1-16)
entry=$cache/$ARCH-$key

copy_out() {
  mkdir -p "$BIN_DIR" "$INCLUDE_DIR"
  for dll in "${DLLS[@]}"; do cp -f "$entry/bin/$dll" "$BIN_DIR/$dll"; done
  for header in "${HEADERS[@]}"; do cp -f "$entry/include/$header" "$INCLUDE_DIR/$header"; done
  cp -f "$entry/VERSIONS" "$BIN_DIR/closure-versions.txt"
  sed 's/^/windows-closure('"$ARCH"'): /' "$entry/VERSIONS" >&2
}

if [ -f "$entry/SHA256SUMS" ] && (cd "$entry" && sha256sum --quiet -c SHA256SUMS) >/dev/null 2>&1; then
  note "cached in $entry"
  copy_out
  exit 0
fi
[ -e "$entry" ] && { note "cache entry $entry fails its check; building again"; rm -rf "$entry"; }

work=$(mktemp -d "$cache/build-$ARCH.XXXXXX")
trap 'rm -rf "$work"' EXIT
started=$(date +%s)
openssl_tarball=$sources_dir/$(cut -d' ' -f1 <<<"$tarballs" | grep '^openssl_')
postgres_tarball=$sources_dir/$(cut -d' ' -f1 <<<"$tarballs" | grep '^postgresql-15_')
mkdir "$work/openssl" "$work/postgresql"
tar -xf "$openssl_tarball" -C "$work/openssl" --strip-components=1
tar -xf "$postgres_tarball" -C "$work/postgresql" --strip-components=1

# No build path may reach the binaries. OpenSSL compiles from its top folder with relative
# names and keeps its compiler flags in libcrypto, so it gets no flag naming the path; libpq's
# file names are mapped.
prefix_map="-ffile-prefix-map=$work/=./"

note "building OpenSSL"
(
  cd "$work/openssl"
  # A relative --openssldir goes under the prefix; "C:/..." would not count as absolute.
  ./Configure "$openssl_target" shared no-tests no-engine no-legacy no-module \
    --cross-compile-prefix="$triple-" --prefix="$INSTALL_ROOT" --openssldir=ssl
  # The DLLs only: build_libs would compile every source a second time for static libraries.
  make -j "$jobs" build_generated
  make -j "$jobs" "libcrypto-3$dll_suffix.dll" "libssl-3$dll_suffix.dll"
) >"$work/openssl.log" 2>&1 || { tail -n 40 "$work/openssl.log" >&2; exit 1; }

note "building libpq"
(
  cd "$work/postgresql"
  ./configure --host="$triple" --build=x86_64-pc-linux-gnu --without-readline --without-zlib \
    --without-icu --with-ssl=openssl --with-includes="$work/openssl/include" \
    --with-libraries="$work/openssl" --prefix="$INSTALL_ROOT" --sysconfdir="$INSTALL_ROOT/etc" \
    CC="$triple-gcc-posix" CFLAGS="-O2 $prefix_map" LDFLAGS=-static-libgcc
  # The generated headers first: libpq's parallel build of src/port would race them.
  make -C src/backend generated-headers
  make -j "$jobs" -C src/interfaces/libpq
) >"$work/libpq.log" 2>&1 || { tail -n 40 "$work/libpq.log" >&2; exit 1; }

staging=$work/closure
mkdir -p "$staging/bin" "$staging/include"
cp "$work/postgresql/src/interfaces/libpq/libpq.dll" "$staging/bin/"
cp "$work/openssl/libssl-3$dll_suffix.dll" "$work/openssl/libcrypto-3$dll_suffix.dll" "$staging/bin/"
cp "$work/postgresql/src/interfaces/libpq/libpq-fe.h" "$work/postgresql/src/interfaces/libpq/libpq-events.h" \
   "$work/postgresql/src/include/postgres_ext.h" "$work/postgresql/src/include/pg_config_ext.h" \
   "$staging/include/"
for dll in "${DLLS[@]}"; do "$triple-strip" --strip-unneeded "$staging/bin/$dll"; done

postgres_version=$(sed -n 's/^#define PG_VERSION "\(.*\)"$/\1/p' "$work/postgresql/src/include/pg_config.h")
openssl_version=$(sed -n 's/^# *define OPENSSL_FULL_VERSION_STR "\(.*\)"$/\1/p' "$work/openssl/include/openssl/opensslv.h")
{
  echo "libpq $postgres_version, OpenSSL $openssl_version, for $ARCH Windows"
  sed 's/^/source /' <<<"$tarballs"
  echo "dlls ${DLLS[*]}"
  echo "compiler $compiler"
  echo "compiled-in folders under $INSTALL_ROOT"
} >"$staging/VERSIONS"
(cd "$staging" && find bin include VERSIONS -type f -print0 | sort -z | xargs -0 sha256sum >SHA256SUMS)
mv "$staging" "$entry"
note "built in $(( $(date +%s) - started )) s into $entry"
copy_out
