#!/usr/bin/env bash
# Exits 0 when this kernel runs 32-bit x86 programs, 1 when it cannot. The
# probe is a static i386 ELF of 96 bytes that exits with 42 (exit(2) through
# int 0x80), written here so that no toolchain is needed yet. Where the
# kernel cannot run it, wine32 must not be installed: it breaks wine for
# 64-bit programs as well. ORVPRESD_NO_32BIT=1 makes the probe fail, to try
# that path on any machine; ORVPRESD_32BIT=1 makes it pass, for tests that
# stand in for apt-get and dpkg only (with the real ones it would install
# wine32 where it breaks wine).
set -u
[[ ${ORVPRESD_NO_32BIT:-0} == 1 ]] && exit 1
[[ ${ORVPRESD_32BIT:-0} == 1 ]] && exit 0
probe=$(mktemp /tmp/orvpresd-probe32.XXXXXX)
trap 'rm -f "$probe"' EXIT
printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null
[[ $? == 42 ]]
