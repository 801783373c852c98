# Sourced, not run: a Wine prefix of the build on a private Xvfb display, started and stopped cleanly.
# wine_env PREFIX_DIR sets up the environment; wine_display_start starts Xvfb, then the Wine server
# on it, and prepares a new prefix; wine_display_stop ends both. Both report trouble on stderr
# and return non-zero; the caller decides whether that ends it.

wine_env() {
    mkdir -p "$1"
    export WINEPREFIX
    WINEPREFIX=$(cd "$1" && pwd)
    # Fixed when the prefix is made: with wine64 installed a new one is 64-bit unless told, so it
    # is always told. E2E_WINEARCH=win64 gives 64-bit Windows, where the setup runs under WOW64.
    export WINEARCH=${E2E_WINEARCH:-win32}
    export WINEDEBUG=-all
    # No prompts for Mono or Gecko, and no menu entries or file associations written into $HOME.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    # The locale gives Wine its ANSI code page; E2E_LOCALE picks another than the default.
    export LANG=${E2E_LOCALE:-C.UTF-8}
    export LC_ALL=$LANG
    unset WINESERVER
}

# Ends the prefix's Wine server (and with it every program of the prefix) and waits until it has gone.
wine_server_stop() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
}

# False only when the kernel refuses to execute a 32-bit program at all (exit 126), which the
# dynamic loader of Debian's i386 C library, a dependency of Wine's 32-bit half, shows at once;
# wine_no_32bit says so, in the one sentence every caller prints.
wine_no_32bit="this machine's kernel refuses 32-bit programs (IA32 emulation off; boot it with ia32_emulation=on)"
runs_32bit_programs() {
    [ -x /lib/ld-linux.so.2 ] || return 0
    /lib/ld-linux.so.2 --version >/dev/null 2>&1
    [ $? -ne 126 ]
}

wine_display_xvfb_pid=
wine_display_file=

wine_display_start() {
    # Our setup is a 32-bit program, and so is the Wine that runs it; without this the refusal
    # shows only as a wineboot that fails without a word.
    if ! runs_32bit_programs; then
        echo "wine-display: $wine_no_32bit, so Wine cannot run the setup here" >&2
        return 1
    fi
    # A server left over from an interrupted run may be bound to a dead display.
    wine_server_stop
    wine_display_file=$(mktemp)
    # Xvfb picks a free display itself and tells us which one once it accepts clients.
    Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp -nolisten unix-abstract \
        8>"$wine_display_file" 2>/dev/null &
    wine_display_xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$wine_display_file" ] && break
        kill -0 "$wine_display_xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    local display
    display=$(tr -dc 0-9 <"$wine_display_file")
    if [ -z "$display" ]; then
        echo "wine-display: Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=:$display

    # The server is started only now, so that it knows the display from its first client on.
    wineserver -p
    if [ ! -f "$WINEPREFIX/.initialised" ]; then
        wine wineboot -i >/dev/null 2>&1 || { echo "wine-display: wineboot failed" >&2; return 1; }
        # Xvfb has no window manager: a managed window that closes makes Wine wait 2 s for one.
        # Wine then draws the window frames itself.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
            { echo "wine-display: could not set up the X11 driver" >&2; return 1; }
        touch "$WINEPREFIX/.initialised"
    fi
}

wine_display_stop() {
    # The server goes first: windows must not outlive their display.
    wine_server_stop
    if [ -n "$wine_display_xvfb_pid" ]; then
        kill "$wine_display_xvfb_pid" 2>/dev/null
        wait "$wine_display_xvfb_pid" 2>/dev/null
        wine_display_xvfb_pid=
    fi
    if [ -n "$wine_display_file" ]; then
        rm -f "$wine_display_file"
        wine_display_file=
    fi
}
