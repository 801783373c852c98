#!/usr/bin/env bash
# Runs one Windows test program under Wine on a private Xvfb display, in the build's own prefix.
# Usage: run-wine.sh PREFIX_DIR PROGRAM.exe [arguments...]; exits with the program's status.
set -uo pipefail

prefix=$1
program=$2
shift 2

mkdir -p "$prefix"
export WINEPREFIX=$(cd "$prefix" && pwd)
export WINEARCH=win32
export WINEDEBUG=-all
# No prompts for Mono or Gecko, and no menu entries or file associations written into $HOME.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset WINESERVER

# One user of the prefix at a time: its server, desktop and registry are shared state.
exec 9>"$WINEPREFIX.lock"
if ! flock -w 600 9; then
    echo "run-wine: the prefix $WINEPREFIX stayed busy for 10 minutes" >&2
    exit 125
fi

xvfb_pid=
displayfile=$(mktemp)
cleanup() {
    # The server goes first: windows must not outlive their display mid-test.
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    rm -f "$displayfile"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A server left over from an interrupted run may be bound to a dead display.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1

# Xvfb picks a free display itself and tells us which one once it accepts clients.
Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp -nolisten unix-abstract 8>"$displayfile" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$displayfile" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
done
display=$(tr -dc 0-9 <"$displayfile")
if [ -z "$display" ]; then
    echo "run-wine: Xvfb did not start" >&2
    exit 125
fi
export DISPLAY=:$display

# The server is started only now, so that it knows the display from its first client on.
wineserver -p
if [ ! -f "$WINEPREFIX/.initialised" ]; then
    wine wineboot -i >/dev/null 2>&1 || { echo "run-wine: wineboot failed" >&2; exit 125; }
    # Xvfb has no window manager: a managed window that closes makes Wine wait 2 s for one.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
        { echo "run-wine: could not set up the X11 driver" >&2; exit 125; }
    touch "$WINEPREFIX/.initialised"
fi

# The driver bounds every wait itself; this only stops a driver that is stuck for good.
timeout -k 10 "${E2E_RUN_TIMEOUT:-240}" wine "$program" "$@"
