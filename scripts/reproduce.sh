#!/usr/bin/env bash
# Checks that a release rebuilds byte for byte: builds the release archives of
# the current commit twice, from two fresh clones in folders of different
# names, one after the other, and compares them. Prints both SHA-256 sums of
# each archive; on a difference it shows where (diffoscope) and fails.
#   scripts/reproduce.sh [commit]
set -euo pipefail
cd "$(dirname "$0")/.."
commit=$(git rev-parse "${1:-HEAD}")
work=$(mktemp -d /tmp/orvpresd-reproduce.XXXXXX)
trap 'rm -rf "$work"' EXIT

scripts/install-deps.sh
for tree in first second-elsewhere; do
  git clone -q . "$work/$tree"
  git -C "$work/$tree" checkout -q "$commit"
  echo "== building the release in $work/$tree"
  (cd "$work/$tree" && scripts/release.sh >/dev/null)
done

status=0
for archive in "$work"/first/build/release/orvpresd-*.zip; do
  name=$(basename "$archive")
  other="$work/second-elsewhere/build/release/$name"
  sha256sum "$archive" "$other"
  if cmp -s "$archive" "$other"; then
    echo "$name: identical"
  else
    echo "$name: DIFFERENT"
    status=1
    if ! command -v diffoscope >/dev/null; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends diffoscope-minimal >/dev/null || true
    fi
    if command -v diffoscope >/dev/null; then
      diffoscope "$archive" "$other" || true
    else
      cmp -l "$archive" "$other" | head -n 40 || true
    fi
  fi
done
exit $status
