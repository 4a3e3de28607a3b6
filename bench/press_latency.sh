#!/usr/bin/env bash
# Press-to-sound latency of Zembra, paplay / pw-play and a floor client, clicked
# through a virtual X display and a window manager and heard on a null sink's
# monitor, on PulseAudio and on PipeWire; then idle CPU. Prints figures only.
#
# Usage: bench/press_latency.sh [PROGRAM] [--server pulse|pipewire|both]
#            [--presses N] [--bursts N] [--idle N] [--recorder passive|active|pulse]
#            [--idle-gap MS] [--tools DIR] [--floor-latency N/RATE] [--formats] [--busy]
#            [--pulse-ahead FRAMES] [--no-floor] [--microphone] [--keep]
#   PROGRAM   the built zembra (default build/zembra); it is copied, with the
#             modules beside it, into a folder with the bench's tones
#   --formats instead of the players and the floor, the program against itself:
#             buttons 1-3 play WAVE, 5-7 FLAC, 9-11 Ogg Vorbis, 13-15 MP3
#   --idle-gap silence before each "after silence" press (default 2500 ms)
#   --tools   where bench_press and bench_floor are (default: PROGRAM's folder/bench)
#   --recorder on PipeWire: natively and passively, so that the graph runs only
#             while something plays (default), natively keeping it running, or
#             through its PulseAudio side in 64-frame fragments
#   --busy    both cores running a busy loop (normal priority) while pressing
#   --pulse-ahead on PulseAudio, record in FRAMES-frame fragments, long enough
#             that the players set the sink's latency, each dated as the sink
#             renders it (default: 64-frame fragments, which hold the sink there)
#   --no-floor on PulseAudio, no floor client: its stream, open though corked,
#             holds the sink at its 0.75 ms
#   --microphone  with "Mikrofona da çal" on and a call recording Zembra
#             mikrofonu throughout: the room's press-to-sound while the pad
#             also plays into a call
#   --keep    keep the work folder: logs, per-press CSV, the recordings as WAV
set -euo pipefail
# shellcheck source=common.sh
source "$(dirname "$(realpath "$0")")/common.sh"
program=$here/../build/zembra
servers=both presses=30 bursts=2 idle=5 recorder=passive tools='' keep=0
floor_latency=64/48000 idle_gap=2500 formats=0 busy=0 no_floor=0 pulse_recorder=pulse:zembra.monitor:64
microphone=0
while (($#)); do
    case $1 in
    --server) servers=$2 && shift ;;
    --presses) presses=$2 && shift ;;
    --bursts) bursts=$2 && shift ;;
    --idle) idle=$2 && shift ;;
    --idle-gap) idle_gap=$2 && shift ;;
    --recorder) recorder=$2 && shift ;;
    --tools) tools=$2 && shift ;;
    --floor-latency) floor_latency=$2 && shift ;;
    --formats) formats=1 ;;
    --busy) busy=1 ;;
    --no-floor) no_floor=1 ;;
    --microphone) microphone=1 ;;
    --pulse-ahead) pulse_recorder=pulse-ahead:zembra.monitor:$2 && shift ;;
    --keep) keep=1 ;;
    -*) bench_usage ;;
    *) program=$1 ;;
    esac
    shift
done
bench_setup press bench_press bench_floor bench_encode bench_gaps
"$tools/bench_press" --make-sounds "$work" # tone-a..e, low, high, silence
# A 10 s tone (long.wav) for the server's CPU while a sound plays.
mkdir -p "$work/long"
"$tools/bench_gaps" --make-sounds "$work/long" --long-ms 10000 >/dev/null
app=$work/app
mkdir -p "$app"
cp "$program" "$app/"
for module in zembra_program.so zembra_webview.so; do
    [[ -f $(dirname "$program")/$module ]] && cp "$(dirname "$program")/$module" "$app/"
done
# The program's first three buttons play the bench's tones; its intro and
# closing sounds are silence, and there is no demo kit.
cp "$work/tone-a.wav" "$app/1.tzk"
cp "$work/low.wav" "$app/2.tzk"
cp "$work/high.wav" "$app/3.tzk"
cp "$work/silence.wav" "$app/00.tzk"
cp "$work/silence.wav" "$app/01.tzk"
cp "$work/long/long.wav" "$app/4.tzk"
# With --formats, each compressed format its own tone and three buttons, named
# like every kit file: the program goes by the content.
encoded=(flac:b:5 ogg:c:9 mp3:d:13)
if ((formats)); then
    echo "the tones as the encoders left them:"
    for e in "${encoded[@]}"; do
        IFS=: read -r ext letter first <<<"$e"
        n=$first
        for tone in "tone-$letter" low high; do
            "$tools/bench_encode" "$work/$tone.wav" "$work/$tone.$ext" | sed 's/^/  /'
            cp "$work/$tone.$ext" "$app/$n.tzk"
            n=$((n + 1))
        done
    done
fi

busy_loops=()
stop_busy_loops() {
    stop_pids "${busy_loops[@]}"
    busy_loops=()
}
bench_on_exit=(stop_busy_loops "${bench_on_exit[@]}")

# Prints "NAME x.xx%" for each NAME=PIDS argument over SECONDS, as % of one core.
cpu_over() {
    local seconds=$1 arg w0 w1 i=0
    shift
    local -a before=()
    w0=$EPOCHREALTIME
    for arg; do before+=("$(cpu_ns "${arg#*=}")"); done
    sleep "$seconds"
    w1=$EPOCHREALTIME
    for arg; do
        awk -v n="$(($(cpu_ns "${arg#*=}") - before[i]))" -v a="$w0" -v b="$w1" -v name="${arg%%=*}" \
            'BEGIN { if (n < 0) n = 0; printf "  %s %.2f%%", name, n / ((b - a) * 1e9) * 100 }'
        i=$((i + 1))
    done
    echo
}

server_pids() {
    local pid
    if [[ $1 == pulse ]]; then
        echo "pulseaudio=$ZEMBRA_PULSE_PID"
        return
    fi
    for pid in $ZEMBRA_PIPEWIRE_PIDS; do
        [[ $(cat "/proc/$pid/comm") == dbus-daemon ]] || echo "$(cat "/proc/$pid/comm")=$pid"
    done
}

# What PulseAudio has while the program plays: a click on button 1, then, 0.1 s
# later, the sink's latency and the program's stream as the server reports them.
settled() {
    local wid=$1 point=$2
    xdotool mousemove --window "$wid" "${point%,*}" "${point#*,}" click 1
    sleep 0.1
    echo "  the server 0.1 s after a click on the program's button 1:"
    LC_ALL=C pactl list sinks | sed -n 's/^[[:space:]]*Latency: \(.*\)/    sink latency: \1/p'
    LC_ALL=C pactl list sink-inputs | awk '
        /^Sink Input/ { if (mine) printf "%s", out; out = ""; mine = 0 }
        /(Buffer|Sink) Latency:|node.latency =/ { sub(/^[[:space:]]+/, ""); out = out "    " $0 "\n" }
        /application.name = "Zembra"/ { mine = 1 }
        END { if (mine) printf "%s", out }'
}

# The server's CPU while a 10 s sound plays, the program's (a click on button 4)
# and paplay's, each over 8 s from 0.5 s after its start, as % of one core.
long_sound_cpu() {
    local wid=$1 point=$2 player
    local -a pids
    mapfile -t pids < <(server_pids pulse)
    echo "server CPU while a 10 s sound plays, over 8 s, % of one core:"
    sleep 3 # the program's stream asleep
    xdotool mousemove --window "$wid" "${point%,*}" "${point#*,}" click 1
    sleep 0.5
    echo -n "  zembra:"
    cpu_over 8 "${pids[@]}"
    LC_ALL=C pactl list sinks | sed -n 's/^[[:space:]]*Latency: \(.*\)/    sink latency: \1/p'
    sleep 3
    paplay --device=zembra "$work/long/long.wav" &
    player=$!
    sleep 0.5
    echo -n "  paplay:"
    cpu_over 8 "${pids[@]}"
    LC_ALL=C pactl list sinks | sed -n 's/^[[:space:]]*Latency: \(.*\)/    sink latency: \1/p'
    kill "$player" 2>/dev/null || true
    wait "$player" 2>/dev/null || true
}

# Playback streams the server has: who, through which library, at what latency.
streams() {
    LC_ALL=C pactl list sink-inputs 2>/dev/null |
        sed -n 's/^[[:space:]]*\(application.name\|client.api\|node.latency\) = /    \1 = /p'
}

start_window() { # NAME PATTERN COMMAND...; sets wid
    local name=$1 pattern=$2 log=$work/$1.log
    shift 2
    "$@" >"$log" 2>&1 &
    children+=($!)
    wid=$(timeout 20 xdotool search --sync --onlyvisible --name "$pattern" | head -n 1) || true
    [[ -n $wid ]] || { echo "$name never showed a window; see $log" >&2 && cat "$log" >&2 && return 1; }
}

run_server() {
    local server=$1 rate recorder_arg subject_floor wid zembra_pid
    local -a contenders=() watch=()
    echo
    start_server "$server"
    if [[ $server == pulse ]]; then
        recorder_arg=$pulse_recorder
    else
        case $recorder in
        active) recorder_arg=pipewire-active:zembra ;;
        pulse) recorder_arg=pulse:zembra.monitor:64 ;;
        *) recorder_arg=pipewire:zembra ;;
        esac
        watch=(--watch Zembra Efekt)
    fi
    zembra_xvfb_start
    start_window_manager

    mkdir -p "$work/config/zembra"
    ((microphone)) && printf '[microphone]\non=true\n' >"$work/config/zembra/zembra.conf"
    start_window zembra '^Zembra v1\.1' env XDG_CONFIG_HOME="$work/config" "$app/zembra"
    zembra_pid=${children[-1]}
    if ((microphone)); then
        # A call that records Zembra mikrofonu from first press to last, in
        # 20 ms fragments as call programs ask.
        for _ in $(seq 50); do pactl list short sources | grep -q zembra_mic && break; sleep 0.1; done
        parecord --device=zembra_mic --raw --latency-msec=20 >/dev/null 2>&1 &
        children+=($!)
        sleep 1
        echo "  a call records Zembra mikrofonu: $(pactl list short source-outputs | wc -l) recording stream(s)"
    fi
    echo "  streams while the program plays its (silent) intro:"
    streams
    # Side by side, so that raising one on a click never covers the other.
    xdotool windowmove --sync "$wid" 0 0
    local height menu points=()
    height=$(xdotool getwindowgeometry --shell "$wid" | sed -n 's/^HEIGHT=//p')
    menu=$((height - 324))
    # A button's centre, from the grid as scripts/headless-demo.sh computes it.
    point() { echo "$((24 + 96 * ($1 % 4) + 36)),$((menu + 56 + 56 * ($1 / 4) + 16))"; }
    points=("$(point 0)" "$(point 1)" "$(point 2)")
    local zembra_wid=$wid

    if ((formats)); then
        contenders+=(--window zembra-wave a "$wid" "${points[@]}")
        for e in "${encoded[@]}"; do
            IFS=: read -r ext letter first <<<"$e"
            contenders+=(--window "zembra-$ext" "$letter" "$wid" "$(point $((first - 1)))"
                "$(point "$first")" "$(point $((first + 1)))")
        done
        subject_floor=(--subject zembra-flac --floor zembra-wave)
    else
        contenders+=(--window zembra a "$wid" "${points[@]}")
        local floor_points=('30,30' '90,30' '150,30')
        contenders+=(--spawn paplay b "paplay --device=zembra")
        if [[ $server == pulse ]] && ((no_floor)); then
            subject_floor=()
        elif [[ $server == pulse ]]; then
            start_window floor-pulse '^zembra-floor-pulse$' "$tools/bench_floor" --api pulse \
                --name zembra-floor-pulse --at 440,20 "$work"/{tone-c,low,high}.wav
            contenders+=(--window floor-pulse c "$wid" "${floor_points[@]}")
            subject_floor=(--subject zembra --floor floor-pulse)
        else
            contenders+=(--spawn pw-play c "pw-play --target zembra")
            start_window floor-pipewire '^zembra-floor-pipewire$' "$tools/bench_floor" \
                --api pipewire --latency "$floor_latency" --name zembra-floor-pipewire \
                --at 440,20 "$work"/{tone-d,low,high}.wav
            contenders+=(--window floor-pipewire d "$wid" "${floor_points[@]}")
            subject_floor=(--subject zembra --floor floor-pipewire)
        fi
    fi

    local dump=()
    ((keep)) && dump=(--dump "$work/$server.wav")
    if ((busy)); then
        for _ in 1 2; do
            bash -c 'while :; do :; done' &
            busy_loops+=($!)
        done
        echo "  both cores busy (two busy loops)"
    fi
    "$tools/bench_press" --recorder "$recorder_arg" --rate "$rate" --sounds "$work" \
        --presses "$presses" --bursts "$bursts" --idle "$idle" --idle-gap "$idle_gap" \
        --csv "$work/$server.csv" \
        "${dump[@]}" "${watch[@]}" "${subject_floor[@]}" "${contenders[@]}" ||
        echo "  (bench_press failed: $?)"
    # PipeWire's PulseAudio side reports no latencies for native streams:
    # there bench_press's watch has said what the server holds.
    [[ $server == pulse ]] && settled "$zembra_wid" "${points[0]}"

    # The floor's own account: what the server granted it.
    local pid
    for pid in "${children[@]:2}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    children=("${children[@]:0:2}")
    for f in "$work"/floor-*.log; do
        if [[ -f $f ]]; then sed 's/^/  /' "$f"; fi
    done
    rm -f "$work"/floor-*.log
    # With the floor gone, which would hold the sink at its own latency.
    [[ $server == pulse ]] && ! ((formats)) && long_sound_cpu "$zembra_wid" "$(point 3)"
    stop_busy_loops

    # Idle CPU once the program has had time to close its stream.
    local -a pids
    mapfile -t pids < <(server_pids "$server")
    sleep 3
    echo "idle CPU over 10 s, % of one core (playback streams: $(pactl list short sink-inputs |
        wc -l), corked: $(LC_ALL=C pactl list sink-inputs | grep -c 'Corked: yes')):"
    echo -n "  with the program idle:"
    cpu_over 10 "zembra=$zembra_pid" "${pids[@]}"
    kill "$zembra_pid" 2>/dev/null || true
    wait "$zembra_pid" 2>/dev/null || true
    sleep 2
    echo -n "  server alone:         "
    cpu_over 10 "${pids[@]}"

    stop_children
    zembra_xvfb_stop
    stop_server "$server"
}

echo "program: $program"
echo "tones: Zembra's buttons 1-3 play 30 ms tones; every latency is from the click (or the"
echo "spawn) to the first sample above -30 dBFS on the sink's monitor, in ms."
for server in $servers; do
    run_server "$server"
done
