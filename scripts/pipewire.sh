# Sourced: a private PipeWire sound server with WirePlumber, its PulseAudio
# protocol and a null sink "zembra", for machines without sound hardware or a
# desktop session (works as root, needs no systemd). zembra_pipewire_start
# exports what PipeWire and PulseAudio clients need to reach it;
# zembra_pipewire_stop ends it and restores the environment.
#
# The sink runs at 48000 Hz, PipeWire's default graph rate and what most
# desktops run at, so 44.1 kHz sounds are resampled as they are for most users;
# ZEMBRA_PIPEWIRE_RATE runs the whole graph at another rate, as some desktops do.
#
# A PulseAudio-protocol client named "zembra-bench-recorder" alone may ask for
# fragments down to 64 frames; every other client keeps the desktop minimums
# (256 frames), so players are measured as users run them.

ZEMBRA_PIPEWIRE_RATE=${ZEMBRA_PIPEWIRE_RATE:-48000}
# The shortest period the graph may run at, in frames: a desktop's 16 unless the
# caller holds it higher, as tests that compare recordings sample for sample do.
ZEMBRA_PIPEWIRE_MIN_QUANTUM=${ZEMBRA_PIPEWIRE_MIN_QUANTUM:-16}

# Writes the servers' own configuration into $1; nothing from the user's or
# the system's PipeWire configuration directories is read.
_zembra_pipewire_config() {
    local conf=$1/pipewire rate=$ZEMBRA_PIPEWIRE_RATE min=$ZEMBRA_PIPEWIRE_MIN_QUANTUM
    mkdir -p "$conf" "$1/wireplumber/main.lua.d" "$1/wireplumber/bluetooth.lua.d"
    cat >"$conf/pipewire.conf" <<EOF
context.properties = {
    core.daemon = true
    core.name = pipewire-0
    default.clock.rate = $rate
    default.clock.allowed-rates = [ $rate ]
    # A desktop's quantum limits; PipeWire raises the minimum to 1024 when it
    # believes it runs in a virtual machine, which users' desktops do not.
    default.clock.quantum = $((min > 1024 ? min : 1024))
    default.clock.min-quantum = $min
    default.clock.max-quantum = 2048
    link.max-buffers = 16
    mem.warn-mlock = false
    log.level = 2
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-profiler }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-device-factory }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
context.objects = [
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = Dummy-Driver
               node.group = pipewire.dummy priority.driver = 20000 } }
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = Freewheel-Driver
               priority.driver = 19000 node.group = pipewire.freewheel node.freewheel = true } }
    # Drives the graph on its own timer, as a sound card would.
    { factory = adapter
      args = {
          factory.name = support.null-audio-sink
          node.name = zembra
          node.description = "Zembra null sink"
          media.class = Audio/Sink
          node.driver = true
          priority.driver = 30000
          audio.rate = $rate
          audio.channels = 2
          audio.position = [ FL FR ]
          monitor.channel-volumes = true
          object.linger = true
      } }
]
EOF
    cat >"$conf/pipewire-pulse.conf" <<EOF
context.properties = {
    mem.warn-mlock = false
    log.level = 2
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse }
]
pulse.properties = {
    server.address = [ "unix:$ZEMBRA_PIPEWIRE_DIR/run/pulse/native" ]
    # PipeWire's desktop defaults, stated so that no virtual-machine override applies.
    pulse.min.req = 256/48000
    pulse.min.frag = 256/48000
    pulse.min.quantum = 256/48000
}
pulse.rules = [
    {   # Fine time resolution for the bench's recorder only.
        matches = [ { application.name = "zembra-bench-recorder" } ]
        actions = { update-props = { pulse.min.frag = 64/48000 pulse.min.quantum = 64/48000 } }
    }
]
EOF
    # No sound cards, cameras or Bluetooth to look for: WirePlumber 0.4 reads
    # the Lua files, 0.5 only the .conf one.
    cat >"$1/wireplumber/main.lua.d/60-zembra.lua" <<'EOF'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF
    echo 'bluez_monitor.enabled = false' >"$1/wireplumber/bluetooth.lua.d/60-zembra.lua"
    mkdir -p "$1/wireplumber/wireplumber.conf.d"
    cat >"$1/wireplumber/wireplumber.conf.d/60-zembra.conf" <<'EOF'
wireplumber.profiles = {
    main = {
        monitor.alsa = disabled
        monitor.alsa-midi = disabled
        monitor.v4l2 = disabled
        monitor.libcamera = disabled
        monitor.bluez = disabled
        monitor.bluez-midi = disabled
    }
}
EOF
}

# Runs "$@" in the background with the servers' private environment; sets _zembra_pid.
_zembra_pipewire_spawn() {
    local log=$1
    shift
    env -u DISPLAY -u WAYLAND_DISPLAY -u PULSE_SERVER -u PIPEWIRE_REMOTE \
        HOME="$ZEMBRA_PIPEWIRE_DIR/home" \
        XDG_RUNTIME_DIR="$ZEMBRA_PIPEWIRE_DIR/run" \
        PIPEWIRE_RUNTIME_DIR="$ZEMBRA_PIPEWIRE_DIR/run" \
        PIPEWIRE_CONFIG_DIR="$ZEMBRA_PIPEWIRE_DIR/config/pipewire" \
        XDG_CONFIG_HOME="$ZEMBRA_PIPEWIRE_DIR/config" \
        XDG_STATE_HOME="$ZEMBRA_PIPEWIRE_DIR/state" \
        XDG_DATA_HOME="$ZEMBRA_PIPEWIRE_DIR/data" \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$ZEMBRA_PIPEWIRE_DIR/run/bus" \
        "$@" >>"$ZEMBRA_PIPEWIRE_DIR/$log" 2>&1 &
    _zembra_pid=$!
}

# Waits up to $1 tenths of a second for "${@:2}" to succeed while every server lives.
_zembra_pipewire_wait() {
    local tries=$1 pid
    shift
    for _ in $(seq "$tries"); do
        "$@" >/dev/null 2>&1 && return 0
        for pid in $ZEMBRA_PIPEWIRE_PIDS; do
            kill -0 "$pid" 2>/dev/null || return 1
        done
        sleep 0.1
    done
    return 1
}

_zembra_pipewire_ready() {
    # Whole outputs read, so that pipefail sees no broken pipe.
    pw-cli ls Node 2>/dev/null | grep 'node.name = "zembra"' >/dev/null &&
        LC_ALL=C pactl info 2>/dev/null | grep '^Default Sink: zembra$' >/dev/null
}

zembra_pipewire_start() {
    if [[ -n ${ZEMBRA_PIPEWIRE_PIDS:-} ]]; then
        echo "zembra_pipewire_start: already running" >&2
        return 1
    fi
    ZEMBRA_PIPEWIRE_DIR=$(mktemp -d /tmp/zembra-pipewire.XXXXXX) || return 1
    mkdir -p "$ZEMBRA_PIPEWIRE_DIR"/{run/pulse,home,state,data}
    chmod 700 "$ZEMBRA_PIPEWIRE_DIR/run"
    _zembra_pipewire_config "$ZEMBRA_PIPEWIRE_DIR/config"

    # Put back on stop whatever the caller had.
    _zembra_pipewire_saved=$(declare -p PIPEWIRE_RUNTIME_DIR PIPEWIRE_REMOTE PULSE_SERVER \
        PULSE_SINK 2>/dev/null || true)
    ZEMBRA_PIPEWIRE_PIDS=
    local _zembra_pid
    # WirePlumber needs a session bus; a private one keeps the servers off the user's.
    _zembra_pipewire_spawn dbus.log dbus-daemon --session --nofork --nopidfile \
        --address="unix:path=$ZEMBRA_PIPEWIRE_DIR/run/bus"
    ZEMBRA_PIPEWIRE_PIDS="$_zembra_pid"
    if _zembra_pipewire_wait 50 test -S "$ZEMBRA_PIPEWIRE_DIR/run/bus"; then
        _zembra_pipewire_spawn pipewire.log pipewire
        ZEMBRA_PIPEWIRE_DAEMON_PID=$_zembra_pid
        ZEMBRA_PIPEWIRE_PIDS="$_zembra_pid $ZEMBRA_PIPEWIRE_PIDS"
    fi
    if _zembra_pipewire_wait 50 test -S "$ZEMBRA_PIPEWIRE_DIR/run/pipewire-0"; then
        _zembra_pipewire_spawn wireplumber.log wireplumber
        ZEMBRA_PIPEWIRE_PIDS="$_zembra_pid $ZEMBRA_PIPEWIRE_PIDS"
        _zembra_pipewire_spawn pipewire-pulse.log pipewire-pulse
        ZEMBRA_PIPEWIRE_PIDS="$_zembra_pid $ZEMBRA_PIPEWIRE_PIDS"
    fi

    export PIPEWIRE_RUNTIME_DIR="$ZEMBRA_PIPEWIRE_DIR/run"
    export PIPEWIRE_REMOTE=pipewire-0
    export PULSE_SERVER="unix:$ZEMBRA_PIPEWIRE_DIR/run/pulse/native"
    export PULSE_SINK=zembra
    # Ready when the sink exists and WirePlumber has made it the default that
    # the PulseAudio side reports.
    [[ $(wc -w <<<"$ZEMBRA_PIPEWIRE_PIDS") == 4 ]] &&
        _zembra_pipewire_wait 100 _zembra_pipewire_ready && return 0
    echo "PipeWire did not start; logs in $ZEMBRA_PIPEWIRE_DIR:" >&2
    tail -n 5 "$ZEMBRA_PIPEWIRE_DIR"/*.log >&2
    ZEMBRA_PIPEWIRE_KEEP=1 zembra_pipewire_stop
    return 1
}

# Ends the servers, newest first. ZEMBRA_PIPEWIRE_KEEP=1 keeps the folder and its logs.
zembra_pipewire_stop() {
    local pid
    for pid in ${ZEMBRA_PIPEWIRE_PIDS:-}; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    ZEMBRA_PIPEWIRE_PIDS=
    if [[ -n ${ZEMBRA_PIPEWIRE_DIR:-} && ${ZEMBRA_PIPEWIRE_KEEP:-0} != 1 ]]; then
        rm -rf "$ZEMBRA_PIPEWIRE_DIR"
    fi
    ZEMBRA_PIPEWIRE_DIR=
    unset PIPEWIRE_RUNTIME_DIR PIPEWIRE_REMOTE PULSE_SERVER PULSE_SINK
    if [[ -n ${_zembra_pipewire_saved:-} ]]; then
        # Global, not local to this function.
        _zembra_pipewire_saved=${_zembra_pipewire_saved//declare -x /declare -gx }
        eval "${_zembra_pipewire_saved//declare -- /declare -g }"
    fi
    _zembra_pipewire_saved=
}
