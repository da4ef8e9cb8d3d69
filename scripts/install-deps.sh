#!/usr/bin/env bash
# Installs what building and testing needs, from Debian's packages only.
# Idempotent: installs only what is missing, and updates the package lists
# only when something is.
set -euo pipefail

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

# 32-bit Windows programs need wine32 beside wine64, but only where the kernel
# runs 32-bit programs: elsewhere installing it breaks wine for 64-bit ones.
if "$(dirname "$0")/probe-32bit.sh"; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  packages+=(wine32:i386)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
