#!/usr/bin/env bash
# Runs the benchmarks and prints their tables: the SDK library natively and
# under Wine, the log call, and the daemon as the front end and Discord see it.
# Arguments go to the daemon benchmark: --messages N, --samples N (presences
# timed to the wire, 5.1 s apart so that the SDK's pace and burst repeat never
# hold one back), --processes N. IDLE_SECONDS (default 60) sets how long the
# idle daemon is watched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
for preset in windows-x64 linux; do
  cmake --preset "$preset" >/dev/null
done
cmake --build --preset linux --target sdk_bench >/dev/null
# Everything the install below copies, and the idle watch's Discord-side peer.
cmake --build --preset windows-x64 --target sdk_bench log_bench daemon_bench orvpresd orvhost orvpres-send discord-peer >/dev/null

WINE_ENV_DIR="$root/build/windows-x64"
source scripts/wine-env.sh
trap wine_env_stop EXIT
wine_env_start

bin=$root/build/windows-x64/bin
# The daemon is measured as it is deployed: installed and stripped.
deployed=$root/build/bench/orvpresd
rm -rf "$deployed"
cmake --install build/windows-x64 --prefix "$deployed" --strip >/dev/null
echo "## machine: $(nproc) cores, $(uname -sr), $(wine --version)"
echo
echo "## SDK library, native (Linux, Unix socket)"
build/linux/bin/sdk_bench
echo
echo "## SDK library under Wine (named pipe)"
wine "$bin/sdk_bench.exe"
echo
echo "## log call under Wine"
echo "| measure | median | p99.9 | max | samples |"
echo "|---|---|---|---|---|"
wine "$bin/log_bench.exe"
echo
echo "## the daemon under Wine"
wine "$bin/daemon_bench.exe" --from "$(winepath -w "$deployed")" "$@"

echo
echo "## the idle daemon, seen from Linux (/proc of its Wine process)"
idle=${IDLE_SECONDS:-60}
work=$(mktemp -d)
cp "$deployed/orvpresd.exe" "$deployed/discord_game_sdk.dll" "$work/"
wine "$bin/discord-peer.exe" --pipe 0 --out "$work/peer.jsonl" 2>/dev/null &
peer=$!
wine "$bin/orvhost.exe" &
host=$!
sleep 2
(cd "$work" && wine orvpresd.exe "details=Idle|state=Nothing changes") &
daemon=$!
sleep 5
pid=$(pgrep -f 'orvpresd.exe details=Idle' | head -n 1)
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$idle"
after=$(ticks)
echo "| measure | value |"
echo "|---|---|"
awk -v b="$before" -v a="$after" -v hz="$hz" -v s="$idle" \
  'BEGIN { printf "| idle CPU over %d s, %% of one core | %.3f %% |\n", s, 100 * (a - b) / hz / s }'
awk '/^(VmRSS|RssAnon|RssFile|VmSwap)/ { printf "| %s | %.1f MiB |\n", $1, $2 / 1024 }' "/proc/$pid/status"
kill "$host" "$peer" >/dev/null 2>&1 || true
wait "$daemon" 2>/dev/null || true
rm -rf "$work"
