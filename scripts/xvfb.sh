# Sourced: a private virtual X display. zembra_xvfb_start exports DISPLAY;
# zembra_xvfb_stop ends the server.

zembra_xvfb_start() {
    local fdfile
    fdfile=$(mktemp /tmp/zembra-display.XXXXXX)
    exec {fd}>"$fdfile"
    Xvfb -displayfd "$fd" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
    ZEMBRA_XVFB_PID=$!
    exec {fd}>&-
    for _ in $(seq 50); do [[ -s $fdfile ]] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$fdfile")"
    rm -f "$fdfile"
    # Qt must talk to the X server, not draw off screen.
    unset QT_QPA_PLATFORM WAYLAND_DISPLAY
    [[ $DISPLAY != ":" ]]
}

zembra_xvfb_stop() {
    if [[ -n ${ZEMBRA_XVFB_PID:-} ]]; then
        kill "$ZEMBRA_XVFB_PID" 2>/dev/null || true
        wait "$ZEMBRA_XVFB_PID" 2>/dev/null || true
        ZEMBRA_XVFB_PID=
    fi
}
