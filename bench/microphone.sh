#!/usr/bin/env bash
# Zembra mikrofonu on PulseAudio and on PipeWire, with a test microphone (a
# source fed by a null sink) as the default: the extra latency of the voice
# through Zembra's microphone against the microphone itself, of a press heard
# in Zembra's microphone against the same press on the speakers, and the
# server's CPU with the feature off, on and idle, and on while a call records
# it and the pad plays. Prints figures only.
#
# Usage: bench/microphone.sh [--server pulse|pipewire|both] [--clicks N]
#            [--seconds N] [--mic-latency N/RATE] [--tools DIR] [--keep]
#   Latencies: both sides go into one recording (left: the reference, right:
#   Zembra's microphone), so they share one clock; on PipeWire through links
#   made with pw-link, on PulseAudio through two loopbacks of the same latency.
#   --mic-latency  the test microphone asks PipeWire for this period, as a
#             device that needs a longer one than Zembra's does
#   --tools   where bench_microphone is (default: build/bench)
set -euo pipefail
# shellcheck source=common.sh
source "$(dirname "$(realpath "$0")")/common.sh"
program=$here/../build/bench/bench_microphone
servers=both clicks=10 seconds=5 tools='' keep=0 mic_props=
while (($#)); do
    case $1 in
    --server) servers=$2 && shift ;;
    --clicks) clicks=$2 && shift ;;
    --seconds) seconds=$2 && shift ;;
    --mic-latency) mic_props="source_properties=node.latency=$2" && shift ;;
    --tools) tools=$2 && shift ;;
    --keep) keep=1 ;;
    *) bench_usage ;;
    esac
    shift
done
if [[ -n $tools ]]; then program=$tools/bench_microphone; else tools=$(dirname "$program"); fi
bench_setup microphone bench_microphone
bench=$tools/bench_microphone

server_pids() {
    local pid
    if [[ $1 == pulse ]]; then
        echo "$ZEMBRA_PULSE_PID"
        return
    fi
    for pid in $ZEMBRA_PIPEWIRE_PIDS; do
        [[ $(cat "/proc/$pid/comm") == dbus-daemon ]] || echo "$pid"
    done
}
# The server's CPU over $seconds, as % of one core.
server_cpu() {
    local -a pids
    mapfile -t pids < <(server_pids "$1")
    local n0 n1 w0 w1
    n0=$(cpu_ns "${pids[@]}") w0=$EPOCHREALTIME
    sleep "$seconds"
    n1=$(cpu_ns "${pids[@]}") w1=$EPOCHREALTIME
    awk -v n="$((n1 - n0))" -v a="$w0" -v b="$w1" 'BEGIN { printf "%.2f%%", n / ((b - a) * 1e9) * 100 }'
}

# The program's engine (and microphone) in a process of ours, fed lines.
# Through two FIFOs on fds 7 and 8, which the pressing subshells inherit.
start_zembra() { # on|off
    rm -f "$work/to" "$work/from"
    mkfifo "$work/to" "$work/from"
    "$bench" run "$1" <"$work/to" >"$work/from" 2>>"$work/zembra.log" &
    zembra=$!
    exec 7>"$work/to" 8<"$work/from"
    read -r -u 8 _
}
zembra_says() {
    echo "$1" >&7
    read -r -u 8 _
}
zembra_period() {
    local reply
    echo period >&7
    read -r -u 8 reply
    echo "${reply#ok }"
}
stop_zembra() {
    echo quit >&7 || true
    wait "$zembra" 2>/dev/null || true
    exec 7>&- 8<&-
}

# A recording of Zembra's microphone, as a call makes it.
start_call() {
    parecord --device=zembra_mic --raw --latency-msec=20 >/dev/null &
    call=$!
    children+=("$call")
}

# Records the bench sink's monitor while $clicks clicks come from `play_click`.
record_clicks() { # FILE PLAY_COMMAND...
    local file=$1 i
    shift
    parecord --device=bench_rec.monitor --raw --format=s16le --channels=2 --rate="$rate" \
        --latency-msec=10 >"$file" &
    local rec=$!
    sleep 0.5
    for i in $(seq "$clicks"); do
        "$@"
        sleep 1.2
    done
    stop_pids "$rec"
}

# Left and right of the bench sink: the reference and Zembra's microphone.
route() { # REFERENCE_NODE REFERENCE_PORT_PREFIX
    if [[ $server == pipewire ]]; then
        pw-link "$1:$2_FL" bench_rec:playback_FL
        pw-link zembra_mic:capture_FL bench_rec:playback_FR
    else
        routes=$(pactl load-module module-loopback source="$3" sink=bench_rec latency_msec=20 \
            channels=1 channel_map=front-left remix=no)
        routes+=" $(pactl load-module module-loopback source=zembra_mic sink=bench_rec \
            latency_msec=20 channels=1 channel_map=front-right remix=no)"
    fi
}
unroute() {
    if [[ $server == pipewire ]]; then
        pw-link -d "$1:$2_FL" bench_rec:playback_FL || true
        pw-link -d zembra_mic:capture_FL bench_rec:playback_FR || true
    else
        for m in $routes; do pactl unload-module "$m"; done
    fi
}

for server in $servers; do
    start_server "$server"
    "$bench" click "$work/click.wav" "$rate"
    pactl load-module module-null-sink sink_name=benchmic_feed >/dev/null
    # shellcheck disable=SC2086 # no properties: no argument
    pactl load-module module-remap-source source_name=benchmic master=benchmic_feed.monitor $mic_props >/dev/null
    pactl load-module module-null-sink sink_name=bench_rec >/dev/null
    pactl set-default-source benchmic
    pactl set-default-sink zembra

    echo "server CPU over ${seconds} s, % of one core:"
    start_zembra off
    echo "  feature off, idle:            $(server_cpu "$server")"
    stop_zembra
    start_zembra on
    echo "  feature on, nothing records:  $(server_cpu "$server")"
    start_call
    echo "  on, a call records, no press: $(server_cpu "$server")"
    # A press every half second: each click file is 2 s long, so the pad plays throughout.
    (for _ in $(seq $((seconds * 2))); do zembra_says "play $work/click.wav"; sleep 0.5; done) &
    presser=$!
    echo "  on, a call records, pressing: $(server_cpu "$server")"
    wait "$presser" || true
    stop_pids "$call"
    stop_zembra
    start_zembra off
    (for _ in $(seq $((seconds * 2))); do zembra_says "play $work/click.wav"; sleep 0.5; done) &
    presser=$!
    echo "  feature off, pressing:        $(server_cpu "$server")"
    wait "$presser" || true
    stop_zembra

    start_zembra on
    start_call
    sleep 1
    route benchmic capture benchmic
    sleep 0.5
    record_clicks "$work/voice-$server.raw" paplay --device=benchmic_feed "$work/click.wav"
    unroute benchmic capture
    echo -n "voice: Zembra mikrofonu later than the microphone itself by "
    "$bench" delays "$work/voice-$server.raw" "$rate" || true
    route zembra monitor zembra.monitor
    sleep 0.5
    record_clicks "$work/press-$server.raw" zembra_says "play $work/click.wav"
    unroute zembra monitor
    echo -n "press: heard in Zembra mikrofonu later than on the speakers by "
    "$bench" delays "$work/press-$server.raw" "$rate" || true
    [[ $server == pipewire ]] && echo "Zembra's period after the presses: $(zembra_period) frames"
    stop_pids "$call"
    stop_zembra
    stop_server "$server"
done
