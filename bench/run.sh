#!/usr/bin/env bash
# make bench: runs bench/bench.py with one Xvfb display and one persistent Wine server for every Wine run.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-display.sh
wine_env build/bench/wineprefix
trap wine_display_stop EXIT
wine_display_start || exit 1
/usr/bin/python3 bench/bench.py
