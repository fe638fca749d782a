#!/usr/bin/env bash
# Runs a cross-built x86 Windows build's Wine tests (CTest label "wine") inside the emulated
# machine of scripts/x86-vm-image.sh, and exits with CTest's status.
#
# Usage: x86-vm-run.sh IMAGE_DIR SOURCE_DIR BUILD_DIR TIME_SCALE
#
# The programs reach the guest on a disk image of their own, not a 9p share: Wine cannot map
# OpenSSL's DLL from 9p and PostgreSQL cannot make its socket there. The disk carries the
# build's programs and CTest files and the scripts the tests call, at their host paths, so
# CTest's recorded paths hold inside the guest. The guest's booted prefix stands in for the
# build's own. Nothing comes back but the console; the disk is thrown away.
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 IMAGE_DIR SOURCE_DIR BUILD_DIR TIME_SCALE" >&2; exit 2; }
image=$1 root=$2 build=$3 scale=$4
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

stage=$(mktemp -d "$build/x86-vm-job.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/tree$root" "$stage/tree$build/wine"
# Hard links where the file system allows: the disk image gets the only copy.
link() { cp -al "$1" "$2" 2>/dev/null || cp -a "$1" "$2"; }
for dir in scripts cmake tests/windows tests/install; do
  mkdir -p "$(dirname "$stage/tree$root/$dir")"
  link "$root/$dir" "$stage/tree$root/$dir"
done
link "$build/bin" "$stage/tree$build/bin"
# The installed tree and its hosts, which the host side installed and cross-built before.
[ ! -d "$build/install-test" ] || link "$build/install-test" "$stage/tree$build/install-test"
(cd "$build" && find . -name CTestTestfile.cmake -print0) | while IFS= read -r -d '' file; do
  mkdir -p "$stage/tree$build/$(dirname "$file")"
  link "$build/$file" "$stage/tree$build/$file"
done

cat >"$stage/tree/vantrel-vm-job.sh" <<JOB
#!/bin/bash
set -euo pipefail
for path in "$root" "$build"; do
  mkdir -p "\$path"
  mount --bind "/host\$path" "\$path"
done
mount --bind /opt/vantrel/wine "$build/wine"
echo "x86 machine: \$(uname -srm), \$(nproc) CPUs, \$(/usr/lib/wine/wine --version)"
"$root/cmake/wine-prefix.sh" start "$build/wine"
# Fixture setups that build (install_tree) ran on the host: the guest has no compiler.
"$root/scripts/run-ctest.sh" "$build" --output-on-failure -j $jobs --timeout $(( 900 * scale )) \
  -L wine -FS install_tree
JOB
chmod +x "$stage/tree/vantrel-vm-job.sh"

# Room for the test server's data and the tests' files beside the programs.
size_mb=$(( $(du -sm "$stage/tree" | cut -f1) + 1024 ))
mke2fs -q -t ext4 -d "$stage/tree" "$stage/disk.img" "${size_mb}M"
"$(dirname "$0")/x86-vm-boot.sh" "$image" run "$stage/disk.img"
