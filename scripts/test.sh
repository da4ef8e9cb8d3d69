#!/usr/bin/env bash
# Builds every preset and runs every test: the Windows programs under Wine on a
# private X display, the Linux ones natively, also under the sanitizers with
# the fuzz targets. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh

for preset in windows-x64 windows-x86 linux linux-asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# The release archives, which a test unpacks and runs.
scripts/release.sh >/dev/null

# clang over every Windows translation unit, and clang-tidy over the product.
scripts/lint.sh

WINE_ENV_DIR="$root/build/windows-x64"
source scripts/wine-env.sh
trap wine_env_stop EXIT
wine_env_start

status=0
ctest --preset windows-x64 || status=1
ctest --preset linux || status=1
# The SDK's native tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# each fuzz target's corpus replayed, and a short run of each target.
ctest --preset linux-asan || status=1
exit $status
