#!/bin/sh
# Unpacks the release archive into a fresh folder and runs the release test
# program under Wine against it: run_release_test.sh <test.exe> <archive.zip> <work dir>
set -eu
test_exe=$1 archive=$2 work=$3
if [ ! -f "$archive" ]; then
  echo "no release archive at $archive: scripts/release.sh makes it" >&2
  exit 1
fi
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && cmake -E tar xf "$archive")
dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
ORVPRESD_RELEASE_DIR=$(winepath -w "$dir") exec wine "$test_exe"
