#!/usr/bin/env bash
# The demo: the sample installer under Wine, gone through by a person on a desktop, or without one by a driver that photographs each dialog.
# On a reachable display (and not under CI) the person answers the dialogs; otherwise, or with
# DEMO_HEADLESS=1, a virtual display is used and the pictures go to build/screenshots/.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
setup=$build/sample/Setup.exe
driver=$build/win/demo/demo_driver.exe
shots=$build/screenshots
app_paths='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\Lumivue.exe'
source "$root/scripts/wine-display.sh"

for needed in "$setup" "$driver"; do
    [ -f "$needed" ] || { echo "demo: $needed is missing; make demo builds it" >&2; exit 1; }
done

if ! runs_32bit_programs; then
    echo "demo: $wine_no_32bit: it runs in a virtual machine, on a virtual display there"
    exec bash "$root/scripts/wine-vm.sh" env DEMO_HEADLESS=1 DEMO_DRIVER_TIMEOUT=600 bash "${BASH_SOURCE[0]}"
fi

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# "C:\Program Files\Lumivue" as a path of this machine.
unix_path() {
    local path
    path=$(wine winepath -u "$1" 2>/dev/null | tr -d '\r')
    path=$(readlink -m "$path")
    echo "${path#"$root"/}"
}

lock_prefix() {
    exec 9>"$WINEPREFIX.lock"
    flock -w 600 9 || { echo "demo: the prefix $WINEPREFIX stayed busy for 10 minutes" >&2; exit 1; }
}

display_reachable() {
    [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ] && [ -z "${DEMO_HEADLESS:-}" ] &&
        timeout 10 xwd -root -silent >/dev/null 2>&1
}

desktop() {
    wine_env "$build/demo/desktop-prefix"
    lock_prefix
    trap wine_server_stop EXIT
    trap 'exit 130' INT TERM
    # A server of this prefix left from an earlier session may be bound to another display. The
    # new one is not persistent: it ends a few seconds after the last program of the prefix.
    wine_server_stop
    if [ ! -f "$WINEPREFIX/.initialised" ]; then
        echo "Preparing the Wine prefix build/demo/desktop-prefix (once, about 10 seconds)"
        wine wineboot -i >/dev/null 2>&1 || { echo "demo: wineboot failed" >&2; exit 1; }
        touch "$WINEPREFIX/.initialised"
    fi
    # Without an earlier registration the setup proposes its default folder: a first install.
    wine reg delete "$app_paths" /f >/dev/null 2>&1

    echo "Display $DISPLAY: the sample installer opens there; answer its dialogs as you like."
    wine "$setup"
    local status=$?
    echo "The setup ended with status $status."
    local program
    program=$(wine reg query "$app_paths" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')
    if [ -n "$program" ]; then
        local folder=${program%\\*}
        echo "Installed into $folder, that is $(unix_path "$folder")"
        echo "Lumivue started: it registered itself as $program. Close its window to end the demo."
    else
        echo "Nothing was installed, or Lumivue did not start."
    fi
    # Every program of the prefix, Lumivue included, has ended when the demo does.
    wineserver -w
}

headless() {
    wine_env "$build/demo/wineprefix"
    lock_prefix
    trap wine_display_stop EXIT
    trap 'exit 130' INT TERM
    echo "No display to use: the demo runs on a virtual one, answers each stage with its default"
    echo "and photographs each dialog into build/screenshots/."
    wine_display_start || exit 1
    mkdir -p "$shots"
    rm -f "$shots"/*.png

    local line name x y width height folder= status=
    # The driver asks for a picture with "SHOT name x y width height" and waits for name.png.
    while IFS= read -r line; do
        line=${line%$'\r'}
        case $line in
        SHOT\ *)
            read -r _ name x y width height <<<"$line"
            if import -window root -crop "${width}x${height}+${x}+${y}" +repage "$shots/.$name.png" 2>/dev/null; then
                mv "$shots/.$name.png" "$shots/$name.png"
                echo "  picture: build/screenshots/$name.png (${width}x${height})"
            else
                echo "demo: could not capture $name" >&2
            fi
            ;;
        INSTALLED\ *) folder=${line#INSTALLED } ;;
        STATUS\ *) status=${line#STATUS } ;;
        *) echo "$line" ;;
        esac
    done < <(timeout -k 10 "${DEMO_DRIVER_TIMEOUT:-180}" wine "$driver" "$(winpath "$setup")" "$(winpath "$shots")"; echo "STATUS $?")

    if [ "$status" != 0 ]; then
        echo "demo: the demo driver failed (status $status)" >&2
        exit 1
    fi
    echo "The files are in $folder, that is $(unix_path "$folder")"
    for name in welcome destination progress reinstall; do
        [ -f "$shots/$name.png" ] || { echo "demo: no picture of the $name dialog" >&2; exit 1; }
    done
}

if display_reachable; then
    desktop
else
    headless
fi
