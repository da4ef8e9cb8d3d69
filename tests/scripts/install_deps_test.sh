#!/usr/bin/env bash
# scripts/install-deps.sh against stand-ins for apt-get, dpkg-query, dpkg and
# the 32-bit probe: nothing is installed and the real apt-get is never run.
# The script under test is copied beside the stand-in probe, in a folder of
# its own.
#   tests/scripts/install_deps_test.sh [path/to/install-deps.sh]
# Ends with "N passed, N failed"; exits 1 when a check failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
script=${1:-$root/scripts/install-deps.sh}
work=$(mktemp -d /tmp/orvpresd-install-deps-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/scripts"
cp "$script" "$work/scripts/install-deps.sh"
chmod +x "$work/scripts/install-deps.sh"

# The probe says what FAKE_PROBE says: 0, the kernel runs 32-bit programs.
cat >"$work/scripts/probe-32bit.sh" <<'STANDIN'
#!/usr/bin/env bash
exit "${FAKE_PROBE:-0}"
STANDIN

# apt-get: each call is logged in FAKE_LOG. The first FAKE_UPDATE_FAILS
# updates fail as a registry caught mid-sync does; an install fails when it
# names a package listed in FAKE_BROKEN, with an error that names none.
cat >"$work/bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_LOG"
case $1 in
  update)
    count=$(grep -c '^apt-get update' "$FAKE_LOG")
    if ((count <= ${FAKE_UPDATE_FAILS:-0})); then
      echo "E: Failed to fetch http://security.debian.org/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (123 != 456). Mirror sync in progress? [IP: 1.2.3.4 80]" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi ;;
  install)
    for arg in "$@"; do
      for broken in ${FAKE_BROKEN:-}; do
        if [[ $arg == "$broken" ]]; then
          echo "Some packages could not be installed."
          echo "E: Unable to correct problems, you have held broken packages." >&2
          exit 100
        fi
      done
    done ;;
  *) echo "apt-get stand-in: unexpected call: $*" >&2; exit 2 ;;
esac
STANDIN

# dpkg-query: nothing is installed.
cat >"$work/bin/dpkg-query" <<'STANDIN'
#!/usr/bin/env bash
echo "dpkg-query: no packages found matching ${*: -1}" >&2
exit 1
STANDIN

# dpkg: no foreign architecture yet; adding one is logged.
cat >"$work/bin/dpkg" <<'STANDIN'
#!/usr/bin/env bash
echo "dpkg $*" >>"$FAKE_LOG"
case $1 in
  --print-foreign-architectures) ;;
  --add-architecture) ;;
  *) echo "dpkg stand-in: unexpected call: $*" >&2; exit 2 ;;
esac
STANDIN
chmod +x "$work/bin"/* "$work/scripts/probe-32bit.sh"

passed=0
failed=0
check() {  # check WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
    if [[ $shown != "$case" ]]; then
      shown=$case
      echo "-- $case: exit $rc, its output:"
      echo "$out"
      echo "-- the apt-get and dpkg calls:"
      cat "$log"
    fi
  fi
}
shown=

# run NAME [VAR=VALUE...]: runs the script with the stand-ins first on PATH;
# leaves its exit code in $rc, its output in $out, and the stand-ins' log in
# $log. A failed check shows them.
run() {
  case=$1
  shift
  log=$work/$case.log
  note=$work/$case.note
  : >"$log"
  rc=0
  out=$(env PATH="$work/bin:$PATH" FAKE_LOG="$log" ORVPRESD_WINE32_NOTE="$note" \
    ORVPRESD_APT_PAUSE=0 "$@" timeout 60 "$work/scripts/install-deps.sh" 2>&1) || rc=$?
  echo "$case: exit $rc"
}
lines() {  # lines PATTERN TEXT: how many lines of TEXT match PATTERN
  grep -c -e "$1" <<<"$2"
}
has() { grep -q -e "$1" <<<"$2"; }

# 1. apt-get update fails every time, the installs work: tried three times,
# then the install goes on, saying so in one line. A note that wine32 was
# missing, left from an earlier run, goes once wine32 is installed.
echo "wine32:i386 cannot be installed (from an earlier run)" >"$work/update-fails.note"
run update-fails FAKE_UPDATE_FAILS=99
check "update fails: exit 0" test "$rc" = 0
check "update fails: tried 3 times" test "$(lines '^apt-get update' "$(cat "$log")")" = 3
check "update fails: one line says the install goes on with the lists it has" \
  test "$(lines 'update failed 3 times (E: Failed to fetch .*Mirror sync in progress?.*); going on with the package lists apt already has$' "$out")" = 1
check "update fails: the 64-bit packages are installed" has '^apt-get install.* wine64 .*xauth' "$(cat "$log")"
check "update fails: wine32:i386 is installed" has '^apt-get install.* wine32:i386' "$(cat "$log")"
check "update fails: the old note is gone" test ! -e "$note"

# 2. apt-get update fails once: tried again, and no note that it gave up.
run update-fails-once FAKE_UPDATE_FAILS=1
check "update fails once: exit 0" test "$rc" = 0
check "update fails once: tried twice" test "$(lines '^apt-get update' "$(cat "$log")")" = 2
check "update fails once: it did not give up" bash -c '! grep -q "going on with the package lists" <<<"$1"' _ "$out"

# 3. The lists stay stale and wine32:i386 cannot be installed: the install
# goes on without it, says apt's reason and that the 32-bit suite will be
# skipped, and leaves that reason for the test command.
run wine32-broken FAKE_UPDATE_FAILS=99 FAKE_BROKEN=wine32:i386
check "wine32 broken: exit 0" test "$rc" = 0
check "wine32 broken: one line with apt's reason and the skipped suite" \
  test "$(lines '^wine32:i386 cannot be installed (E: Unable to correct problems, you have held broken packages.); the 32-bit Windows test suite will be skipped$' "$out")" = 1
check "wine32 broken: the 64-bit packages are installed" has '^apt-get install.* wine64 .*xauth' "$(cat "$log")"
check "wine32 broken: the note holds apt's reason" \
  has '^wine32:i386 cannot be installed (E: Unable to correct problems, you have held broken packages.)$' "$(cat "$note" 2>/dev/null)"

# 4. A 64-bit package cannot be installed: the install stops, naming it and
# no other.
run googletest-broken FAKE_BROKEN=googletest
check "googletest broken: a failing exit" test "$rc" != 0
check "googletest broken: it names the package" has '^install-deps: stopped, these packages cannot be installed: googletest$' "$out"
check "googletest broken: it names no other" test "$(lines '^cannot install ' "$out")" = 1
check "googletest broken: wine32:i386 is not installed" bash -c '! grep -q "wine32:i386" "$1"' _ "$log"

# 5. Where the kernel runs no 32-bit programs, wine32 is never tried.
run no-32bit FAKE_PROBE=1
check "no 32-bit: exit 0" test "$rc" = 0
check "no 32-bit: the 64-bit packages are installed" has '^apt-get install.* wine64 .*xauth' "$(cat "$log")"
check "no 32-bit: neither i386 nor wine32 is touched" bash -c '! grep -q "i386" "$1"' _ "$log"

echo "$passed passed, $failed failed"
((failed == 0))
