#!/bin/bash
# First process of the x86 test machine (scripts/x86-vm-image.sh builds it, scripts/x86-vm-run.sh
# boots it). The kernel's command line says what to do:
#   vantrel.mode=prepare  boots the Wine prefix kept in the image, once, when the image is made
#   vantrel.mode=run      runs the job on the second disk, /dev/vdb:/vantrel-vm-job.sh
# Everything goes to the serial console; the last line is "vantrel-vm: exit STATUS", which is
# all the host reads back. The machine has no network device: PostgreSQL runs here, on lo.
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
exec </dev/null >/dev/console 2>&1

mounted() { mountpoint -q "$1"; }
mounted /proc || mount -t proc proc /proc
mounted /sys || mount -t sysfs sysfs /sys
mounted /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mounted /dev/pts || mount -t devpts devpts /dev/pts
mounted /dev/shm || mount -t tmpfs tmpfs /dev/shm
mounted /run || mount -t tmpfs tmpfs /run
mounted /tmp || mount -t tmpfs tmpfs /tmp
mkdir -p /run/postgresql && chown postgres: /run/postgresql
ip link set lo up
hostname vantrel-x86

mode=$(sed -n 's/.*vantrel\.mode=\([a-z]*\).*/\1/p' /proc/cmdline)
status=0
case "$mode" in
  prepare)
    WINEARCH=win64 WINEPREFIX=/opt/vantrel/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      /usr/lib/wine/wine64 wineboot --init || status=$?
    WINEPREFIX=/opt/vantrel/wine /usr/lib/wine/wineserver -w || true
    # Proof that 32-bit Windows code runs here, kept in the image's log.
    WINEPREFIX=/opt/vantrel/wine WINEDEBUG=-all /usr/lib/wine/wine cmd /c ver || status=$?
    WINEPREFIX=/opt/vantrel/wine /usr/lib/wine/wineserver -w || true
    ;;
  run)
    mkdir -p /host
    if mount -t ext4 -o noinit_itable /dev/vdb /host && [ -x /host/vantrel-vm-job.sh ]; then
      /host/vantrel-vm-job.sh || status=$?
    else
      echo "vantrel-vm: no job disk" && status=125
    fi
    ;;
  *) echo "vantrel-vm: unknown mode '$mode'"; status=125 ;;
esac
sync
# The root read-only before the power goes: the prefix boot's disk is kept as it is left.
echo u >/proc/sysrq-trigger
sleep 1
printf '\nvantrel-vm: exit %s\n' "$status"
# Power off at once; the kernel's panic on init's exit (with panic=-1 and QEMU's -no-reboot)
# ends the machine too if this does not.
echo o >/proc/sysrq-trigger
sleep 60
