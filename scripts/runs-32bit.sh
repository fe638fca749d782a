#!/usr/bin/env bash
# Exits 0 when this machine executes 32-bit x86 programs, 1 when not (some virtual machines'
# kernels refuse them with "Exec format error" or fault on their first instruction). Asks the
# kernel itself with the smallest such program, so nothing 32-bit needs to be installed.
# Usage: runs-32bit.sh
set -uo pipefail

program=$(mktemp)
trap 'rm -f "$program"' EXIT
# ELF32 header, one loadable segment at 0x08048000, then: mov eax, 1; mov ebx, 42; int 0x80
# (the 32-bit exit system call with status 42).
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$program"
printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$program"
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' >>"$program"
printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$program"
printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$program"
printf '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >>"$program"
chmod +x "$program"
{ "$program"; } 2>/dev/null
[ $? -eq 42 ]
