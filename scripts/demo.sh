#!/usr/bin/env bash
# The demo: under Xvfb and Wine, a Discord-side test peer, a stand-in front end
# (orvhost.exe) and the daemon with a first presence; two more presences sent
# with orvpres-send; what "Discord" received and the daemon's log; then the
# front end ends and the daemon ends on its own. Installs and builds what is
# missing first, and leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 --target orvpresd orvpres-send discord-peer orvhost

demo=$root/build/demo
rm -rf "$demo"
cmake --install build/windows-x64 --prefix "$demo/orvpresd" >/dev/null
bin=$root/build/windows-x64/bin

WINE_ENV_DIR="$root/build/windows-x64"
source scripts/wine-env.sh
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" >/dev/null 2>&1 || true; done
  wine_env_stop
}
trap cleanup EXIT
wine_env_start

say() { printf '\n== %s\n' "$*"; }

say "starting the Discord-side peer on discord-ipc-0"
wine "$bin/discord-peer.exe" --pipe 0 --out "$demo/discord.jsonl" 2>"$demo/peer.err" &
pids+=($!)
wait_for() {  # file, text: the first start in a new Wine prefix can take a while
  for _ in $(seq 600); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "gave up waiting for '$2' in $1"; exit 1
}
wait_for "$demo/peer.err" "listening"

say "starting the front end stand-in, orvhost.exe"
wine "$bin/orvhost.exe" &
frontend=$!
pids+=($frontend)
sleep 0.5

say "starting orvpresd with: details=Launcher|state=Browsing|gameicon=https://example.com/icons/launcher.png"
(cd "$demo/orvpresd" && wine orvpresd.exe "details=Launcher|state=Browsing|gameicon=https://example.com/icons/launcher.png"; echo $? > "$demo/exit-code") &
daemon=$!
# The daemon's record of a start that runs, as common/kept_texts.h holds it.
started=$(sed -n 's/.*kInitSuccess\[\] = L"\(.*\)";/\1/p' "$root/common/kept_texts.h")
wait_for "$demo/orvpresd/log/orvprs.log" "$started"

say "orvpres-send: details=Racing Star|state=Lap 1 of 3|gameicon=https://example.com/icons/racing.png"
wine "$demo/orvpresd/orvpres-send.exe" "details=Racing Star|state=Lap 1 of 3|gameicon=https://example.com/icons/racing.png"
sleep 2
say "orvpres-send: details=Racing Star|state=Lap 2 of 3|gameicon=https://example.com/icons/racing.png"
wine "$demo/orvpresd/orvpres-send.exe" "details=Racing Star|state=Lap 2 of 3|gameicon=https://example.com/icons/racing.png"
sleep 2

say "what Discord received (SET_ACTIVITY: details, state, images, start time)"
grep '"SET_ACTIVITY"' "$demo/discord.jsonl" | sed -E \
  -e 's/.*"activity":\{(.*)\},"pid".*/\1/' \
  -e 's/"assets":\{([^}]*)\},?/\1,/' \
  -e 's/"timestamps":\{"start":([0-9]+)\}/start=\1/' \
  -e 's/,/\n    /g' -e 's/^/  - /'

say "the front end ends: orvpresd must follow within a second or so"
kill "$frontend" >/dev/null 2>&1 || true
for _ in $(seq 100); do
  [[ -s "$demo/exit-code" ]] && break
  sleep 0.1
done
if [[ -s "$demo/exit-code" ]]; then
  echo "orvpresd ended by itself with exit code $(cat "$demo/exit-code")"
else
  echo "orvpresd did not end"; exit 1
fi

say "orvpresd's log ($demo/orvpresd/log/orvprs.log)"
cat "$demo/orvpresd/log/orvprs.log"
