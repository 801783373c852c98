#!/usr/bin/env bash
# Runs run.py (the arguments after PREFIX_DIR) with Wine on a private Xvfb display, in the build's own prefix;
# E2E_LOCALE=ll_CC.UTF-8 and E2E_WINEARCH=win64 make the prefix's locale and kind. Exits with run.py's status.
set -uo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../scripts/wine-display.sh"
wine_env "$1"

# A kernel that refuses every 32-bit process (its IA32 emulation off, possible from Linux 6.7 on) leaves Wine
# nothing to run the setup with: the group runs in a virtual machine that has it, with this machine's files,
# several times slower.
if ! runs_32bit_programs; then
    E2E_RUN_TIMEOUT=${E2E_RUN_TIMEOUT:-2400} exec bash "$here/../../scripts/wine-vm.sh" bash "$0" "$@"
fi

# One user of the prefix at a time: its server, desktop and registry are shared state.
exec 9>"$WINEPREFIX.lock"
flock -w 600 9 || { echo "run-wine: the prefix $WINEPREFIX stayed busy for 10 minutes" >&2; exit 125; }

# Rows write under a short folder of their own, not under the clone: a clone deep enough would push their
# paths past what Windows' file calls take. A row stopped half-way may leave a mount or an immutable file.
export E2E_SCRATCH
E2E_SCRATCH=$(mktemp -d /tmp/e2e.XXXXXX) || exit 125
clear_scratch() {
    findmnt -rn -o TARGET | grep -F "$E2E_SCRATCH/" | sort -r | xargs -r -n1 umount 2>/dev/null
    chattr -R -i "$E2E_SCRATCH" 2>/dev/null
    rm -rf "$E2E_SCRATCH"
}
trap 'wine_display_stop; clear_scratch' EXIT
trap 'exit 130' INT TERM
wine_display_start || exit 125

# The runner and its agent bound every wait themselves; this only stops a run that is stuck for good.
timeout -k 10 "${E2E_RUN_TIMEOUT:-840}" /usr/bin/python3 "$here/run.py" "${@:2}"
