#!/usr/bin/env bash
# Installs what building and testing needs, from Debian's packages only.
# Idempotent: installs only what is missing, and updates the package lists
# only when something is.
#
# A package registry caught mid-sync does not stop it: `apt-get update` is
# tried a few times (ORVPRESD_APT_TRIES, default 3, ORVPRESD_APT_PAUSE seconds
# apart, default 5), then the install goes on with the lists apt already has.
# The 32-bit extras (wine32:i386) are installed on their own, after the rest:
# when apt cannot install them, the install goes on without them and writes
# apt's reason to ORVPRESD_WINE32_NOTE (default build/wine32-missing.txt),
# where scripts/test.sh reads it to skip the 32-bit Windows suite. Any other
# package that cannot be installed stops it, named.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine32_note=${ORVPRESD_WINE32_NOTE:-$here/../build/wine32-missing.txt}
tries=${ORVPRESD_APT_TRIES:-3}
pause=${ORVPRESD_APT_PAUSE:-5}

packages=(
  cmake
  make
  g++
  googletest
  nlohmann-json3-dev
  g++-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-posix
  clang
  clang-tidy
  libclang-rt-14-dev
  python3
  wine
  wine64
  xvfb
  xauth
)
extras32=()

# 32-bit Windows programs need wine32 beside wine64, but only where the kernel
# runs 32-bit programs: elsewhere installing it breaks wine for 64-bit ones.
if "$here/probe-32bit.sh"; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  extras32+=(wine32:i386)
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
missing32=()
for package in "${extras32[@]}"; do
  installed "$package" || missing32+=("$package")
done

if ((${#missing[@]} + ${#missing32[@]} == 0)); then
  rm -f "$wine32_note"
  exit 0
fi

all=("${missing[@]}" "${missing32[@]}")
echo "installing: ${all[*]}"
export DEBIAN_FRONTEND=noninteractive
out=$(mktemp /tmp/orvpresd-apt.XXXXXX)
trap 'rm -f "$out"' EXIT

# apt_reason [head|tail]: apt's last (or first) error line in $out, its last
# line when none starts with E:.
apt_reason() {
  local line
  line=$(grep '^E:' "$out" | "${1:-tail}" -n 1 || true)
  [[ -n $line ]] || line=$(grep -v '^[[:space:]]*$' "$out" | tail -n 1 || true)
  echo "${line:-apt-get gave no reason}"
}

try=1
until apt-get update -qq >"$out" 2>&1; do
  if ((try >= tries)); then
    echo "apt-get update failed $tries times ($(apt_reason head)); going on with the package lists apt already has"
    break
  fi
  echo "apt-get update failed (try $try of $tries); trying again in $pause s"
  sleep "$pause"
  try=$((try + 1))
done

# install PACKAGE...: apt's output goes to $out.
install() {
  apt-get install -y -qq --no-install-recommends "$@" >"$out" 2>&1
}

if ((${#missing[@]})) && ! install "${missing[@]}"; then
  # Which of them apt cannot install: one at a time, each with its reason.
  failed=()
  for package in "${missing[@]}"; do
    if ! install "$package"; then
      failed+=("$package")
      echo "cannot install $package: $(apt_reason)" >&2
    fi
  done
  if ((${#failed[@]})); then
    echo "install-deps: stopped, these packages cannot be installed: ${failed[*]}" >&2
    exit 1
  fi
fi

# --no-remove: the 32-bit extras, resolved against lists that may be stale,
# never take away what the rest needs; apt then refuses, and says why.
if ((${#missing32[@]})); then
  if install --no-remove "${missing32[@]}"; then
    rm -f "$wine32_note"
  else
    reason="${missing32[*]} cannot be installed ($(apt_reason))"
    echo "$reason; the 32-bit Windows test suite will be skipped"
    mkdir -p "$(dirname "$wine32_note")"
    echo "$reason" >"$wine32_note"
  fi
else
  rm -f "$wine32_note"
fi
