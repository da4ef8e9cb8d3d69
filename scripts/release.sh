#!/usr/bin/env bash
# Builds both Windows presets and packs each stripped install folder into
# build/release/orvpresd-<version>-win64.zip and -win32.zip; lists what each
# holds and prints its SHA-256.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
for preset in windows-x64 windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  (cd "build/$preset" && cpack -G ZIP >/dev/null)
done

for archive in build/release/orvpresd-*-win64.zip build/release/orvpresd-*-win32.zip; do
  echo "== $archive ($(stat -c %s "$archive") bytes)"
  cmake -E tar tvf "$archive"
  sha256sum "$archive"
done
