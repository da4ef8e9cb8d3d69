#!/usr/bin/env bash
# Runs the whole test command from fresh clones of the current commit: three
# times on an idle machine, then once with every core kept busy by niced
# loops, so that a test racing the machine's speed shows up either way.
#   scripts/stress-test.sh [idle-runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
commit=$(git rev-parse HEAD)
work=$(mktemp -d /tmp/orvpresd-stress.XXXXXX)
busy=()
stop_busy() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  busy=()
}
trap 'stop_busy; rm -rf "$work"' EXIT

run_once() {
  local name=$1
  git clone -q . "$work/$name"
  git -C "$work/$name" checkout -q "$commit"
  local start=$SECONDS
  if (cd "$work/$name" && scripts/test.sh >"$work/$name.log" 2>&1); then
    echo "$name: passed in $((SECONDS - start)) s"
  else
    echo "$name: FAILED in $((SECONDS - start)) s; the end of its log:"
    tail -n 60 "$work/$name.log"
    return 1
  fi
  rm -rf "$work/$name"
}

for i in $(seq "$runs"); do
  run_once "idle-$i"
done
for _ in $(seq "$(nproc)"); do
  nice -n 19 sh -c 'while :; do :; done' &
  busy+=($!)
done
run_once busy
