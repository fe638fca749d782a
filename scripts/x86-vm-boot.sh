#!/usr/bin/env bash
# Boots the x86 test machine under QEMU's software emulation and waits for it to power off.
# Its serial console goes to stdout; the exit status is the guest's (the console's last
# "vantrel-vm: exit STATUS" line), 125 when the machine ended without saying.
#
# Usage: x86-vm-boot.sh IMAGE_DIR prepare            the image's disk is written (the prefix boot)
#        x86-vm-boot.sh IMAGE_DIR run JOB_DISK       the image's disk behind a throwaway overlay
# IMAGE_DIR holds vmlinuz, initrd.img and system.qcow2 (scripts/x86-vm-image.sh).
#
# -cpu max,-smap: with SMAP, QEMU 7.2's emulation reads the stack of a 32-bit compatibility-mode
# iret with supervisor rights, and the guest kernel oopses the first time 32-bit Wine does one.
# rootflags=noinit_itable: the kernel leaves the inode tables mke2fs did not zero as they are,
# rather than zeroing them in the background into the prefix's layer, at emulated speed.
# no_timer_check: on a busy host the emulated timer can miss the kernel's boot-time check of
# the IO-APIC timer, which then panics.
# No network device: whatever the guest runs talks to itself on its loopback.
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 IMAGE_DIR {prepare|run JOB_DISK}" >&2; exit 2; }
image=$1 mode=$2
root_drive="file=$image/system.qcow2,if=virtio,format=qcow2"
drives=()
case "$mode" in
  prepare) drives=(-drive "$root_drive") ;;
  run) [ $# -eq 3 ] || { echo "usage: $0 IMAGE_DIR run JOB_DISK" >&2; exit 2; }
       drives=(-drive "$root_drive,snapshot=on" -drive "file=$3,if=virtio,format=raw") ;;
  *) echo "usage: $0 IMAGE_DIR {prepare|run JOB_DISK}" >&2; exit 2 ;;
esac

console=$(mktemp)
trap 'rm -f "$console"' EXIT
qemu-system-x86_64 -nodefaults -no-user-config -display none -no-reboot -nic none \
  -accel tcg,thread=multi -cpu max,-smap -smp 2 -m 4G \
  -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
  -append "console=ttyS0 no_timer_check root=/dev/vda rw rootfstype=ext4 rootflags=noinit_itable init=/usr/local/sbin/vantrel-guest-init panic=-1 quiet loglevel=3 vantrel.mode=$mode" \
  "${drives[@]}" -serial stdio </dev/null | sed -u 's/\r$//' | tee "$console"

# Windows programs leave terminal escapes on the console, so the line is found anywhere.
status=$(sed -n 's/.*vantrel-vm: exit \([0-9]*\)$/\1/p' "$console" | tail -n 1)
exit "${status:-125}"
