#!/usr/bin/env bash
# Builds both Windows presets and packs each stripped install folder into
# build/release/orvpresd-<version>-win64.zip and -win32.zip; lists what each
# holds and prints its SHA-256. The archives are reproducible: the same commit
# gives the same bytes in any folder at any time (scripts/reproduce.sh checks).
#   scripts/release.sh [--built] [preset ...]
# --built packs trees that the caller has configured and built (the test run
# packs its own, the 32-bit one with its tests beside the product: the same
# flags, so the same bytes); by default it configures and builds both presets.
set -euo pipefail
cd "$(dirname "$0")/.."

built=0
if [[ ${1:-} == --built ]]; then
  built=1
  shift
fi
presets=("$@")
((${#presets[@]})) || presets=(windows-x64 windows-x86)

((built)) || scripts/install-deps.sh
# Anything dated takes the commit's time, not the clock's.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^project(orvpresd VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p build/release
archives=()
for preset in "${presets[@]}"; do
  name=win64
  [[ $preset == windows-x86 ]] && name=win32
  ((built)) || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target orvpresd orvpres-send discord_game_sdk
  stage=build/release/stage-$name
  rm -rf "$stage"
  cmake --install "build/$preset" --prefix "$stage" --strip >/dev/null
  scripts/make-zip.py "$stage" "build/release/orvpresd-$version-$name.zip" "orvpresd-$version-$name"
  rm -rf "$stage"
  archives+=("build/release/orvpresd-$version-$name.zip")
done

for archive in "${archives[@]}"; do
  echo "== $archive ($(stat -c %s "$archive") bytes)"
  cmake -E tar tvf "$archive"
  sha256sum "$archive"
done
