# Sourced by the scripts that use Wine: one prefix for the project, created quietly, and a
# wineserver kept up for the length of a run so that each test starts in milliseconds.
export WINEPREFIX="${KT_WINEPREFIX:-$HOME/.cache/korvan-tessivo/wine}"
export KT_WINEPREFIX="$WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"

wine_start() {
    mkdir -p "$(dirname "$WINEPREFIX")"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating the Wine prefix $WINEPREFIX"
        wineboot --init </dev/null >/dev/null 2>&1 || true
        wineserver -w || true
    fi
    # On a display without a window manager (Xvfb, KT_WINE_UNMANAGED=1) windows must be
    # unmanaged, or Wine waits seconds at every unmap for a manager that never answers.
    if [ "${KT_WINE_UNMANAGED:-0}" = 1 ] &&
        ! grep -q '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
            </dev/null >/dev/null 2>&1 || true
        wineserver -w || true
    fi
    # Detached from every pipe: Wine's services would otherwise hold CTest's output open.
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    setsid wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

wine_stop() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
}

# A virtual X server when there is no display (windows need one), on a free display number;
# Wine's windows are then unmanaged, there being no window manager. Stopped by display_stop.
KT_XVFB_PID=""
display_start() {
    if [ -n "${DISPLAY:-}" ]; then
        return 0
    fi
    exec {KT_XVFB_FD}<> <(:)
    Xvfb -displayfd "$KT_XVFB_FD" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    KT_XVFB_PID=$!
    local number
    read -r -t 30 -u "$KT_XVFB_FD" number
    export DISPLAY=":$number"
    export KT_WINE_UNMANAGED=1
}

display_stop() {
    if [ -n "$KT_XVFB_PID" ]; then
        kill "$KT_XVFB_PID" 2>/dev/null || true
        KT_XVFB_PID=""
    fi
}
