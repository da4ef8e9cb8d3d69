#!/usr/bin/env bash
# Builds every preset and runs every test: the Windows programs under Wine on a
# private X display, the Linux ones natively, also under the sanitizers with
# the fuzz targets. Installs what is missing first.
#   scripts/test.sh           everything (the README's test command; CI runs it)
#   scripts/test.sh --quick   the x64 Windows tests and the native ones only
#
# The machine's cores go to the builds while the Windows tests, which mostly
# wait on Wine's processes, windows and timers, run beside them. Each suite
# writes its output to build/logs/ and is shown whole when it ends. The last
# lines say how long each stage took.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

jobs=$(nproc)
logs=$root/build/logs
mkdir -p "$logs"
stage_lines=()
status=0

# stage NAME COMMAND...: runs it in the foreground and times it.
stage() {
  local name=$1 start=$SECONDS result=0
  shift
  "$@" || result=$?
  stage_lines+=("$(printf '%-24s %5d s  %s' "$name" $((SECONDS - start)) "$([[ $result == 0 ]] && echo ok || echo FAILED)")")
  return $result
}
# skipped NAME REASON: a stage that did not run, with why, in the table.
skipped() {
  stage_lines+=("$(printf '%-24s %5s    skipped: %s' "$1" - "$2")")
}

# In the background: suite NAME COMMAND... starts it with its output in
# build/logs/NAME.log; suite_wait NAME shows that log and records the stage.
declare -A suite_pid suite_start
suite() {
  local name=$1
  shift
  suite_start[$name]=$(date +%s)
  rm -f "$logs/$name.end"
  { local result=0; "$@" || result=$?; date +%s >"$logs/$name.end"; exit $result; } >"$logs/$name.log" 2>&1 &
  suite_pid[$name]=$!
}
suite_wait() {
  local name=$1 result=0
  wait "${suite_pid[$name]}" || result=$?
  echo "== $name"
  cat "$logs/$name.log"
  local end
  end=$(cat "$logs/$name.end" 2>/dev/null || date +%s)
  stage_lines+=("$(printf '%-24s %5d s  %s (beside the builds)' "$name" $((end - suite_start[$name])) "$([[ $result == 0 ]] && echo ok || echo FAILED)")")
  unset "suite_pid[$name]"
  return $result
}

report() {
  local name
  # A suite still running (a build failed): its ctest first, then its shell,
  # whose own trap stops its display and wineserver.
  for name in "${!suite_pid[@]}"; do
    pkill -TERM -P "${suite_pid[$name]}" 2>/dev/null || true
    kill -TERM "${suite_pid[$name]}" 2>/dev/null || true
    wait "${suite_pid[$name]}" 2>/dev/null || true
  done
  echo
  echo "== where the time went"
  printf '%s\n' "${stage_lines[@]}"
  echo "total: $SECONDS s"
}
trap report EXIT

# A Windows suite under Wine, with a display and persistent wineservers of its
# own (their prefixes are inside the tree, one for each server the tree's
# tests name in wine-servers.txt): wine_suite TREE [fresh] -- CTEST-ARGS...
wine_suite() {
  local tree=$1
  shift
  if [[ $1 == fresh ]]; then
    rm -rf "$tree"/wineprefix "$tree"/wineprefix-*
    shift
  fi
  shift  # --
  WINE_ENV_DIR=$tree
  WINE_ENV_SERVERS=$(cat "$tree/wine-servers.txt" 2>/dev/null || true)
  source scripts/wine-env.sh
  trap wine_env_stop EXIT
  trap 'exit 143' TERM
  wine_env_start
  ctest --test-dir "$tree" --output-on-failure --no-tests=error --timeout 600 -j "$((jobs * 2))" "$@"
}

stage dependencies scripts/install-deps.sh
# The install script itself, against stand-ins for apt-get and dpkg.
stage install-deps-test tests/scripts/install_deps_test.sh || status=1

# Compiler cache for repeated runs where ccache is installed; a fresh clone on
# a machine without it builds just the same.
if command -v ccache >/dev/null && [[ -z ${ORVPRESD_NO_CCACHE:-} ]]; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$root
fi

x64=$root/build/windows-x64
x86=$root/build/windows-x86
x86_tests=0
x86_skip=
if ((quick)); then
  presets=(windows-x64 linux)
else
  presets=(windows-x64 windows-x86 linux linux-asan)
  # The 32-bit programs are built once, with their tests where the kernel can
  # run them under Wine and wine32 is installed (install-deps leaves apt's
  # reason in a note when it could not be); the win32 archive is packed from
  # the same tree.
  wine32_note=${ORVPRESD_WINE32_NOTE:-$root/build/wine32-missing.txt}
  if ! scripts/probe-32bit.sh; then
    x86_skip="this kernel cannot run 32-bit programs"
  elif [[ -s $wine32_note ]]; then
    x86_skip=$(head -n 1 "$wine32_note")
  else
    x86_tests=1
  fi
fi

configure() {
  local preset
  for preset in "${presets[@]}"; do
    if [[ $preset == windows-x86 ]] && ((x86_tests)); then
      cmake --preset "$preset" -DBUILD_TESTING=ON >/dev/null
    else
      cmake --preset "$preset" >/dev/null
    fi
  done
}
stage configure configure

# The Windows suites start as soon as their programs are built and run while
# the rest builds: the longest (32-bit Wine) first.
stage build-windows-x64 cmake --build --preset windows-x64 -j "$jobs"
stage release-win64 scripts/release.sh --built windows-x64 >/dev/null
suite ctest-windows-x64 wine_suite "$x64" --
# What the shipped images import, against scripts/windows-imports.txt: Windows
# 7's loader refuses to start an image that imports a function it lacks.
stage imports-win64 scripts/check-imports.py "$x64" || status=1

if ((!quick)); then
  stage build-windows-x86 cmake --build --preset windows-x86 -j "$jobs"
  stage release-win32 scripts/release.sh --built windows-x86 >/dev/null
  if ((x86_tests)); then
    # Its own fresh prefix and display.
    suite ctest-windows-x86 wine_suite "$x86" fresh --
  else
    echo "32-bit Windows tests skipped: $x86_skip"
    skipped ctest-windows-x86 "$x86_skip"
  fi
  stage imports-win32 scripts/check-imports.py "$x86" || status=1
fi

stage build-linux cmake --build --preset linux -j "$jobs"
stage ctest-linux ctest --preset linux -j "$jobs" || status=1

if ((quick)); then
  echo "quick run: skipped the 32-bit Windows build with its suite and import check, the sanitizers with the fuzz targets, and the lint"
else
  stage build-linux-asan cmake --build --preset linux-asan -j "$jobs"
  # The SDK's native tests under AddressSanitizer and UndefinedBehaviorSanitizer,
  # each fuzz target's corpus replayed, and a short run of each target.
  stage ctest-linux-asan ctest --preset linux-asan -j "$jobs" || status=1
  # clang over every Windows translation unit, and clang-tidy over the product.
  stage lint scripts/lint.sh --built || status=1
fi

suite_wait ctest-windows-x64 || status=1
if ((x86_tests)); then
  suite_wait ctest-windows-x86 || status=1
fi
exit $status
