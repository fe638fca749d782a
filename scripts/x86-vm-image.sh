#!/usr/bin/env bash
# The machine the x86 Windows suite runs in where this kernel cannot execute 32-bit programs:
# Debian 12 amd64 (whose kernel runs them) with 32-bit Wine, PostgreSQL 15 and CTest, and a
# Wine prefix booted once here, since making one under emulation takes minutes. Prints the
# image's folder: vmlinuz, initrd.img and system.qcow2, the disk to boot.
#
# Usage: x86-vm-image.sh
#
# Two layers, cached in ${XDG_CACHE_HOME:-~/.cache}/vantrel/x86-vm/ and each checked against
# its SHA256SUMS before every use and built again when wrong, one builder at a time:
#   root-KEY    the installed system (vmlinuz, initrd.img, root.img as ext4), KEY being the
#               hash of its recipe: this script and the guest's init;
#   prefix-KEY  system.qcow2, the root behind a copy-on-write layer that holds the booted Wine
#               prefix, KEY being the hash of the root's checksums and of the boot script. A
#               change to how the machine boots redoes only this layer's single boot.
# Only what runs in the guest is kept; the programs are cross-built on the host and come in on
# a disk of their own (scripts/x86-vm-run.sh). Packages come from the Debian archives this
# machine's apt uses.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
readonly INIT=$here/x86-vm-init.sh BOOT=$here/x86-vm-boot.sh
# ctest runs the suite, python3 picks the test server's port, iproute2 brings lo up.
readonly PACKAGES=(linux-image-amd64 initramfs-tools wine wine64 wine32:i386 postgresql-15
                   cmake openssl iproute2 python3-minimal procps)
readonly SUITE=bookworm
readonly MIRRORS=(
  "deb http://deb.debian.org/debian $SUITE main"
  "deb http://deb.debian.org/debian $SUITE-updates main"
  "deb http://deb.debian.org/debian-security $SUITE-security main"
)

cache=${XDG_CACHE_HOME:-$HOME/.cache}/vantrel/x86-vm
mkdir -p "$cache"
note() { echo "x86-vm-image: $*" >&2; }
started=$(date +%s)
since() { echo "$(( $(date +%s) - started )) s"; }
valid() { [ -f "$1/SHA256SUMS" ] && (cd "$1" && sha256sum --quiet --strict -c SHA256SUMS >&2); }

exec 9>"$cache/lock"
flock 9

# What is left of an earlier build stops with this one.
work=
trap '[ -z "$work" ] || rm -rf "$work"' EXIT
begin_layer() {
  [ ! -e "$1" ] || note "the cached layer $1 fails its check: building it again"
  [ "$(id -u)" -eq 0 ] || { note "building the image needs root (mmdebstrap, mke2fs -d)"; exit 1; }
  "$here/ensure-packages.sh" mmdebstrap qemu-system-x86 qemu-utils e2fsprogs >&2
  work=$1.tmp
  rm -rf "$1" "$work"
  mkdir -p "$work"
}
end_layer() {
  mv "$work" "$1"
  work=
}

build_root() {
  begin_layer "$1"
  # Only the listed modules in the initramfs: enough to find the ext4 root on a virtio disk.
  # No documentation, manuals or translations: nothing in the guest reads them.
  local exclude=() path size_mb
  for path in doc man info locale; do exclude+=(--dpkgopt="path-exclude=/usr/share/$path/*"); done
  note "installing ${PACKAGES[*]}"
  mmdebstrap --mode=root --variant=minbase --architectures=amd64,i386 \
    --include="$(IFS=,; echo "${PACKAGES[*]}")" "${exclude[@]}" \
    --setup-hook='mkdir -p "$1/etc/initramfs-tools/conf.d" && echo MODULES=list >"$1/etc/initramfs-tools/conf.d/vantrel"' \
    --customize-hook='printf "%s\n" virtio_pci virtio_blk ext4 >>"$1/etc/initramfs-tools/modules"' \
    --customize-hook='chroot "$1" update-initramfs -u -k all' \
    --customize-hook='rm -rf "$1/var/lib/postgresql/15/main" "$1/etc/postgresql/15/main" "$1/var/cache/apt" "$1/var/lib/apt/lists"' \
    --customize-hook="install -m 0755 '$INIT' \"\$1/usr/local/sbin/vantrel-guest-init\"" \
    --customize-hook='mkdir -p "$1/opt/vantrel"' \
    "$SUITE" "$work/root" "${MIRRORS[@]}" >&2
  note "packages installed ($(since))"

  cp "$work"/root/boot/vmlinuz-* "$work/vmlinuz"
  cp "$work"/root/boot/initrd.img-* "$work/initrd.img"
  rm -f "$work"/root/boot/vmlinuz-* "$work"/root/boot/initrd.img-*
  # Room for the Wine prefix (a few hundred MB) on top of what is installed.
  size_mb=$(( $(du -sm "$work/root" | cut -f1) * 5 / 4 + 1024 ))
  mke2fs -q -t ext4 -L vantrel-x86 -d "$work/root" "$work/root.img" "${size_mb}M" >&2
  rm -rf "$work/root"
  (cd "$work" && sha256sum vmlinuz initrd.img root.img >SHA256SUMS)
  end_layer "$1"
  note "root file system packed ($(since))"
}

# The prefix, booted under emulation once into a layer over the root, which stays as it was
# built; every run starts from this layer behind a throwaway overlay of its own.
build_prefix() {
  begin_layer "$1"
  local name
  for name in vmlinuz initrd.img; do ln -s "../$(basename "$2")/$name" "$work/$name"; done
  # The backing file by a relative name, which holds from the finished layer's folder too.
  qemu-img create -q -f qcow2 -F raw -b "../$(basename "$2")/root.img" "$work/system.qcow2"
  "$BOOT" "$work" prepare >&2 || { note "booting the Wine prefix failed"; exit 1; }
  (cd "$work" && sha256sum system.qcow2 >SHA256SUMS)
  end_layer "$1"
  note "Wine prefix booted ($(since))"
}

root_key=$(cat "$0" "$INIT" | sha256sum | cut -c1-16)
root_layer=$cache/root-$root_key
valid "$root_layer" || build_root "$root_layer"
prefix_key=$(cat "$root_layer/SHA256SUMS" "$BOOT" | sha256sum | cut -c1-16)
image=$cache/prefix-$prefix_key
valid "$image" || build_prefix "$image" "$root_layer"

# Layers of older recipes are of no further use.
find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name "root-$root_key" ! -name "prefix-$prefix_key" \
  -exec rm -rf {} +
note "image ready in $image ($(since))"
echo "$image"
