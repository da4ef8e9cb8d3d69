# Sourced: brings up a private X display and a persistent wineserver for the
# Windows programs, and stops both when the calling script exits.
# Needs WINE_ENV_DIR: where the Wine prefix lives (WINE_ENV_DIR/wineprefix,
# which WINEPREFIX names afterwards). WINE_ENV_SERVERS may name more servers:
# each gets a prefix WINE_ENV_DIR/wineprefix-<name> and a persistent
# wineserver of its own, so that tests on different servers share no named
# object, pipe or process list and can run at the same time.

wine_env_started_xvfb=""

wine_env_prefixes() {
  local server
  echo "$WINE_ENV_DIR/wineprefix"
  for server in ${WINE_ENV_SERVERS:-}; do
    echo "$WINE_ENV_DIR/wineprefix-$server"
  done
}

wine_env_stop() {
  local prefix
  if [[ -n "${WINE_ENV_DIR:-}" ]]; then
    for prefix in $(wine_env_prefixes); do
      WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    done
  fi
  if [[ -n "$wine_env_started_xvfb" ]]; then
    kill "$wine_env_started_xvfb" >/dev/null 2>&1 || true
    wait "$wine_env_started_xvfb" 2>/dev/null || true
    wine_env_started_xvfb=""
  fi
}

# One prefix, booted, with its persistent server.
wine_env_boot() {
  export WINEPREFIX=$1
  # A prefix made before wine32 was installed lacks syswow64, and then no
  # program starts at all ("could not load kernel32.dll"): made anew.
  if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" &&
     [[ -d $WINEPREFIX/drive_c/windows && ! -d $WINEPREFIX/drive_c/windows/syswow64 ]]; then
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$WINEPREFIX"
  # The persistent server first, so that wineboot and every test use it. Started
  # after wineboot, it could find wineboot's own server still running and
  # leave, and that one ends once idle: a program starting just then lost
  # its connection ("recvmsg: Connection reset by peer"). wineserver puts
  # itself in the background once it listens, so it is waited for: started
  # with '&', wineboot could come first and start a server of its own.
  wineserver -p >/dev/null 2>&1 || true
  # A boot cut short (a loaded machine) leaves a prefix that Wine updates again
  # under the first test: booted once more.
  local attempt
  for attempt in 1 2; do
    wineboot -i >/dev/null 2>&1 && [[ -f $WINEPREFIX/.update-timestamp ]] && return 0
    echo "wine-env: booting $WINEPREFIX failed (attempt $attempt)" >&2
  done
  return 0
}

wine_env_start() {
  # Xvfb picks a free display itself and names it on a descriptor once it
  # listens: two runs that start at the same moment never share one.
  local display_file
  display_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  wine_env_started_xvfb=$!
  for _ in $(seq 300); do
    [[ -s $display_file ]] && break
    sleep 0.1
  done
  local display
  display=$(head -n 1 "$display_file")
  rm -f "$display_file"
  if [[ -z $display ]]; then
    echo "wine-env: Xvfb did not start" >&2
    return 1
  fi
  export DISPLAY=":${display}"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="

  local prefix pids=()
  for prefix in $(wine_env_prefixes); do
    (wine_env_boot "$prefix") &
    pids+=($!)
  done
  wait "${pids[@]}"
  export WINEPREFIX="$WINE_ENV_DIR/wineprefix"
}
