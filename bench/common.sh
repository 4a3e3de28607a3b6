# shellcheck shell=bash
# What the bench scripts share: the program and tools checked, a work folder
# removed at the end (kept with --keep), background children, and a private
# sound server, X display and window manager per run.
# The script sets program, tools, servers and keep from its options first.
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
# shellcheck source=../scripts/pulse.sh
source "$here/../scripts/pulse.sh"
# shellcheck source=../scripts/pipewire.sh
source "$here/../scripts/pipewire.sh"
# shellcheck source=../scripts/xvfb.sh
source "$here/../scripts/xvfb.sh"

# The script's header comment, as its usage.
bench_usage() {
    sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

# Ends each given process and waits for it.
stop_pids() {
    local pid
    for pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

children=()
stop_children() {
    stop_pids "${children[@]}"
    children=()
}

# Run at exit before the servers stop; a script adds its own.
bench_on_exit=(stop_children)
bench_cleanup() {
    local step
    for step in "${bench_on_exit[@]}"; do "$step"; done
    zembra_xvfb_stop
    zembra_pulse_stop
    zembra_pipewire_stop
    if ((${keep:-0})); then echo "work folder kept: $work"; else rm -rf "$work"; fi
}

# Checks the program and the bench's TOOLs, makes $work, sets $servers to a list.
bench_setup() { # NAME TOOL...
    local name=$1 t
    shift
    program=$(realpath "$program")
    tools=$(realpath "${tools:-$(dirname "$program")/bench}")
    [[ -x $program ]] || { echo "no program at $program" >&2 && exit 1; }
    for t; do
        [[ -x $tools/$t ]] || { echo "no $t in $tools (build it: --target $t)" >&2 && exit 1; }
    done
    case $servers in
    pulse | pipewire) ;;
    both) servers="pulse pipewire" ;;
    *) echo "--server pulse|pipewire|both" >&2 && exit 2 ;;
    esac
    work=$(mktemp -d "/tmp/zembra-$name.XXXXXX")
    trap bench_cleanup EXIT
}

# Starts SERVER (pulse or pipewire) with its null sink "zembra", says which,
# and sets rate to the sink's.
start_server() {
    if [[ $1 == pulse ]]; then
        # No PipeWire to be found, the user's included: PulseAudio alone.
        mkdir -p "$work/no-pipewire"
        export PIPEWIRE_RUNTIME_DIR=$work/no-pipewire
        unset PIPEWIRE_REMOTE
        zembra_pulse_start
        rate=44100
        echo "== PulseAudio $(pulseaudio --version | awk '{ print $2 }'), null sink at $rate Hz"
    else
        zembra_pipewire_start
        rate=$ZEMBRA_PIPEWIRE_RATE
        echo "== PipeWire $(pipewire --version | awk '/Linked/ { print $NF }'), null sink at $rate Hz"
    fi
}

stop_server() {
    if [[ $1 == pulse ]]; then
        zembra_pulse_stop
        unset PIPEWIRE_RUNTIME_DIR
    else
        zembra_pipewire_stop
    fi
}

# A window manager on the private display, as a user's desktop has one.
start_window_manager() {
    XDG_CONFIG_HOME=$work/xdg openbox --sm-disable >"$work/openbox.log" 2>&1 &
    children+=($!)
    for _ in $(seq 50); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
        sleep 0.1
    done
}

# Threads' CPU time in nanoseconds, summed over the given processes.
cpu_ns() {
    local pid sum=0 t
    for pid; do
        for t in /proc/"$pid"/task/*/schedstat; do
            read -r t _ <"$t" 2>/dev/null && sum=$((sum + t))
        done
    done
    echo "$sum"
}
