#!/usr/bin/env bash
# Runs the journeys' runner with Wine on a private Xvfb display, in the build's own prefix.
# Usage: [E2E_LOCALE=ll_CC.UTF-8] [E2E_WINEARCH=win64] run-wine.sh PREFIX_DIR RUNNER.py [arguments...]; exits with the
# runner's status.
set -uo pipefail

prefix=$1
program=$2
shift 2

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-display.sh"
wine_env "$prefix"

# A kernel that refuses every 32-bit process (its IA32 emulation off, possible from Linux 6.7 on)
# leaves Wine nothing to run the setup with: the group runs in a virtual machine that has it, with
# this machine's files, several times slower.
if ! runs_32bit_programs; then
    export E2E_RUN_TIMEOUT=${E2E_RUN_TIMEOUT:-2400}
    exec bash "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-vm.sh" bash "${BASH_SOURCE[0]}" "$prefix" "$program" "$@"
fi

# A locale the machine lacks falls back to C without a word, and the group would run in the wrong
# code page: refuse it instead.
if ! locale -a 2>/dev/null | grep -qixF "${LANG/UTF-8/utf8}"; then
    echo "run-wine: the locale $LANG is not on this machine; scripts/install-deps.sh generates it" >&2
    exit 125
fi

# One user of the prefix at a time: its server, desktop and registry are shared state.
exec 9>"$WINEPREFIX.lock"
if ! flock -w 600 9; then
    echo "run-wine: the prefix $WINEPREFIX stayed busy for 10 minutes" >&2
    exit 125
fi

# Cases write under a short folder of their own, not under the clone: a clone deep enough would
# push their paths past what Windows' file calls take.
export E2E_SCRATCH
E2E_SCRATCH=$(mktemp -d /tmp/e2e.XXXXXX) || exit 125
clear_scratch() {
    # A case may have left a mount or an immutable file behind if it was stopped half-way.
    findmnt -rn -o TARGET | grep -F "$E2E_SCRATCH/" | sort -r | xargs -r -n1 umount 2>/dev/null
    chattr -R -i "$E2E_SCRATCH" 2>/dev/null
    rm -rf "$E2E_SCRATCH"
}
trap 'wine_display_stop; clear_scratch' EXIT
trap 'exit 130' INT TERM
wine_display_start || exit 125

# The runner and its agent bound every wait themselves; this only stops a run that is stuck for good.
# The runner starts Wine itself, once for each row.
timeout -k 10 "${E2E_RUN_TIMEOUT:-840}" /usr/bin/python3 "$program" "$@"
