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
# The 32-bit build with its tests, in a folder of its own, where the kernel
# can run it under Wine.
x86_tests=""
if scripts/probe-32bit.sh; then
  x86_tests="$root/build/windows-x86-tests"
  cmake --preset windows-x86 -B "$x86_tests" -DBUILD_TESTING=ON >/dev/null
  cmake --build "$x86_tests"
else
  echo "32-bit Windows tests skipped: this kernel cannot run 32-bit programs"
fi

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
if [[ -n $x86_tests ]]; then
  # Its own fresh prefix and display.
  wine_env_stop
  rm -rf "$x86_tests/wineprefix"
  WINE_ENV_DIR="$x86_tests"
  wine_env_start
  ctest --test-dir "$x86_tests" --output-on-failure || status=1
fi
ctest --preset linux || status=1
# The SDK's native tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# each fuzz target's corpus replayed, and a short run of each target.
ctest --preset linux-asan || status=1
exit $status
