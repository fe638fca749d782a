#!/usr/bin/env bash
# One zip for a built Windows architecture: vantrel.dll and its client closure, vantrel.h,
# import libraries for MSVC (vantrel.lib, made from a .def file) and MinGW (vantrel.dll.a),
# and a short README naming the versions of libpq and OpenSSL inside. vantrel.lib is proven
# on the way: a small MSVC-ABI host links against it with lld-link's defaults.
# Usage: scripts/package-windows.sh [--arch x64|x86] [BUILD_DIR] [OUTPUT_DIR]
# BUILD_DIR defaults to build-windows/ (x64) or build-windows-x86/ (x86) and must have been
# built (scripts/test-windows.sh does it); OUTPUT_DIR defaults to BUILD_DIR/dist.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
arch=x64
if [ "${1:-}" = --arch ]; then
  arch=${2:-}
  shift 2
fi
case "$arch" in
  x64) triple=x86_64-w64-mingw32 machine=i386:x86-64 msvc_target=x86_64-pc-windows-msvc
       build=${1:-$root/build-windows} ;;
  x86) triple=i686-w64-mingw32 machine=i386 msvc_target=i686-pc-windows-msvc
       build=${1:-$root/build-windows-x86} ;;
  *) echo "usage: $0 [--arch x64|x86] [BUILD_DIR] [OUTPUT_DIR]" >&2; exit 2 ;;
esac
[ -d "$build" ] || { echo "$build is missing: build first" >&2; exit 1; }
build=$(cd "$build" && pwd)
output=${2:-$build/dist}
mkdir -p "$output"
output=$(cd "$output" && pwd)
bin=$build/bin
[ -f "$bin/vantrel.dll" ] || { echo "$bin/vantrel.dll is missing: build first" >&2; exit 1; }
[ -f "$bin/closure-versions.txt" ] || { echo "$bin/closure-versions.txt is missing" >&2; exit 1; }

version=$(sed -n 's/^project(Vantrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=vantrel-$version-windows-$arch
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
package=$staging/$name
mkdir -p "$package/bin" "$package/include" "$package/lib"

# The DLL without its debug information; the closure as built.
"$triple-strip" --strip-debug -o "$package/bin/vantrel.dll" "$bin/vantrel.dll"
closure=$(sed -n 's/^dlls //p' "$bin/closure-versions.txt")
for dll in $closure; do cp "$bin/$dll" "$package/bin/"; done
cp "$root/include/vantrel.h" "$package/include/"

# The four exports, undecorated. vantrel.lib is a short-format import library, as Microsoft's
# own tools make them: GNU dlltool's long-format members carry no SAFESEH mark, and x86
# links with /SAFESEH (the default of Visual Studio's x86 projects) refuse them. On x86 the
# import symbols get cdecl's leading underscore (_cVantrelInit, __imp__cVantrelInit) and the
# names looked up in the DLL stay undecorated.
exports=(cVantrelInit cVantrelDeinit cVantrel cVantrelExec)
{
  echo "LIBRARY vantrel.dll"
  echo "EXPORTS"
  printf '  %s\n' "${exports[@]}"
} >"$package/lib/vantrel.def"
llvm-dlltool -m "$machine" -d "$package/lib/vantrel.def" -D vantrel.dll -l "$package/lib/vantrel.lib"
cp "$build/vantrel.dll.a" "$package/lib/"

# A host built for the MSVC ABI by clang, linked against vantrel.lib with lld-link's defaults
# (on x86 that includes /SAFESEH), must import exactly the four exports from vantrel.dll.
# No C run time: the host is linked, never run.
check=$staging/msvc-host
mkdir -p "$check"
cat >"$check/host.c" <<'HOST'
#include "vantrel.h"
int main(void) {
    cVantrelInit();
    cVantrel(L"", L";", L"select 1", 0, L"out.txt");
    cVantrelExec(L"", L"select 1", 0, L"out.txt");
    cVantrelDeinit(true);
    return 0;
}
HOST
clang --target="$msvc_target" -ffreestanding -isystem /usr/share/mingw-w64/include \
  -I "$root/include" -c "$check/host.c" -o "$check/host.obj"
lld-link /nologo /entry:main /subsystem:console /nodefaultlib "/out:$check/host.exe" \
  "$check/host.obj" "$package/lib/vantrel.lib"
imported=$(llvm-readobj --coff-imports "$check/host.exe" |
  awk '/^ *Name: / { dll = $2 } /^ *Symbol: / { print dll, $2 }' | sort)
expected=$(printf 'vantrel.dll %s\n' "${exports[@]}" | sort)
[ "$imported" = "$expected" ] || {
  printf 'an MSVC-ABI host linked against vantrel.lib imports\n%s\ninstead of\n%s\n' \
    "$imported" "$expected" >&2
  exit 1
}
echo "vantrel.lib ($arch): an MSVC-ABI host links with lld-link's defaults and imports" \
     "${exports[*]} from vantrel.dll" >&2

versions=$(sed -n 's/^libpq //p' "$bin/closure-versions.txt" | head -n 1)
closure_list=$(sed 's/ /, bin\\/g' <<<"$closure")
bits=$([ "$arch" = x86 ] && echo 32 || echo 64)
cat >"$package/README.txt" <<TEXT
Vantrel $version for $bits-bit ($arch) Windows hosts
Runs SQL statements against PostgreSQL without blocking the caller.

bin\\vantrel.dll      the library: four cdecl exports (see include\\vantrel.h)
bin\\$closure_list
                     the PostgreSQL client it uses: libpq $versions
include\\vantrel.h    the declarations; vantrel_char is wchar_t (UTF-16)
lib\\vantrel.lib      import library for Microsoft's linker (made from lib\\vantrel.def)
lib\\vantrel.dll.a    import library for MinGW-w64

Put all DLLs of bin\\ beside the host's .exe. Windows looks for the DLLs that
vantrel.dll needs in the host program's folder and on the search path, not in
vantrel.dll's own folder, unless the host loads it with LoadLibraryExW and
LOAD_WITH_ALTERED_SEARCH_PATH and its full path.

A $bits-bit host process needs this $bits-bit package; it cannot load the other one.
vantrel.dll carries its C++ run time inside: no redistributable is needed.
The folders compiled into the client DLLs (OpenSSL's openssl.cnf folder, libpq's
system configuration folder) lie under C:\\Program Files\\Vantrel\\, which only
administrators can write.
TEXT
sed -i 's/$/\r/' "$package/README.txt"

rm -f "$output/$name.zip"
(cd "$staging" && zip -qr -X "$output/$name.zip" "$name")
echo "$output/$name.zip"
unzip -l "$output/$name.zip" | sed -n '4,$p' | head -n -2 >&2
