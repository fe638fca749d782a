#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet.
# Usage: scripts/ensure-packages.sh PACKAGE...
set -euo pipefail

missing=()
find_missing() {
  missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
}
find_missing "$@"
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
# Installs from concurrent stages (the x86 image builds in the background) take turns instead
# of failing on apt's lock; what the turn before installed is not installed again.
exec 9>/var/lock/vantrel-ensure-packages
flock 9
find_missing "$@"
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
