# Sourced: a private PulseAudio server with a null sink, for machines without
# sound hardware. zembra_pulse_start exports PULSE_SERVER; zembra_pulse_stop ends it.

zembra_pulse_start() {
    ZEMBRA_PULSE_DIR=$(mktemp -d /tmp/zembra-pulse.XXXXXX)
    mkdir -p "$ZEMBRA_PULSE_DIR/home"
    # norewinds: a sink that rewinds drops the start of sounds from recordings.
    HOME="$ZEMBRA_PULSE_DIR/home" XDG_RUNTIME_DIR="$ZEMBRA_PULSE_DIR" \
        PULSE_RUNTIME_PATH="$ZEMBRA_PULSE_DIR" \
        pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n \
        --use-pid-file=no --system=no --log-target=file:"$ZEMBRA_PULSE_DIR/log" \
        --load="module-null-sink sink_name=zembra rate=44100 channels=2 norewinds=1" \
        --load="module-native-protocol-unix socket=$ZEMBRA_PULSE_DIR/native auth-anonymous=1" \
        --load="module-always-sink" \
        >/dev/null 2>&1 &
    ZEMBRA_PULSE_PID=$!
    export PULSE_SERVER="unix:$ZEMBRA_PULSE_DIR/native"
    export PULSE_SINK=zembra
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && return 0
        kill -0 "$ZEMBRA_PULSE_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "PulseAudio did not start; see $ZEMBRA_PULSE_DIR/log" >&2
    return 1
}

zembra_pulse_stop() {
    if [[ -n ${ZEMBRA_PULSE_PID:-} ]]; then
        kill "$ZEMBRA_PULSE_PID" 2>/dev/null || true
        wait "$ZEMBRA_PULSE_PID" 2>/dev/null || true
        ZEMBRA_PULSE_PID=
    fi
    [[ -n ${ZEMBRA_PULSE_DIR:-} ]] && rm -rf "$ZEMBRA_PULSE_DIR"
    ZEMBRA_PULSE_DIR=
}
