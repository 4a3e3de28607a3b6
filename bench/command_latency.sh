#!/usr/bin/env bash
# Command to sound: from starting `zembra --play N` to the first sound on the
# sink's monitor, interleaved with paplay and pw-play started per press and with
# dbus-send calling the same method, on PulseAudio and on PipeWire; then where
# the time goes. Prints figures only.
#
# Usage: bench/command_latency.sh [PROGRAM] [--server pulse|pipewire|both]
#            [--presses N] [--idle N] [--runs N] [--tools DIR] [--keep]
#   PROGRAM   the built zembra (default build/zembra); it runs from a folder with
#             the bench's tones as its sounds, on a private session bus
#   --presses presses per contender, each contender every 650 ms (default 30)
#   --idle    presses after 2.5 s of silence, per contender (default 5)
#   --runs    runs per command for the breakdown of the command's own time (default 30)
#   --tools   where bench_press is (default: PROGRAM's folder/bench)
#   --keep    keep the work folder: logs and the per-press CSV
set -euo pipefail
# shellcheck source=common.sh
source "$(dirname "$(realpath "$0")")/common.sh"
program=$here/../build/zembra
servers=both presses=30 idle=5 runs=30 tools='' keep=0
while (($#)); do
    case $1 in
    --server) servers=$2 && shift ;;
    --presses) presses=$2 && shift ;;
    --idle) idle=$2 && shift ;;
    --runs) runs=$2 && shift ;;
    --tools) tools=$2 && shift ;;
    --keep) keep=1 ;;
    -*) bench_usage ;;
    *) program=$1 ;;
    esac
    shift
done
bench_setup command bench_press
zembra_pid='' bus_pid=''
stop_zembra() {
    [[ -n $zembra_pid ]] && { kill "$zembra_pid" 2>/dev/null; wait "$zembra_pid" 2>/dev/null; } || true
    zembra_pid=''
}
stop_bus() {
    [[ -n $bus_pid ]] && kill "$bus_pid" 2>/dev/null || true
    bus_pid=''
}
bench_on_exit+=(stop_zembra stop_bus)

"$tools/bench_press" --make-sounds "$work" # tone-a..e, low, high, silence
app=$work/app
mkdir -p "$app"
cp "$program" "$app/"
[[ -f $(dirname "$program")/zembra_program.so ]] && cp "$(dirname "$program")/zembra_program.so" "$app/"
# Buttons 1-3 answer `zembra --play`, 4-6 dbus-send, each contender with its tone;
# the intro and closing sounds are silence, and there is no demo kit.
cp "$work/tone-a.wav" "$app/1.tzk"
cp "$work/tone-d.wav" "$app/4.tzk"
for n in 2 5; do cp "$work/low.wav" "$app/$n.tzk"; done
for n in 3 6; do cp "$work/high.wav" "$app/$n.tzk"; done
cp "$work/silence.wav" "$app/00.tzk"
cp "$work/silence.wav" "$app/01.tzk"

press_method=(--session --type=method_call --dest=org.example.Zembra /org/example/Zembra
    org.example.Zembra.Press)

# Median and 95th percentile (nearest rank) in ms of COMMAND's run, from fork to
# exit, over $runs runs; every command of the list in turn, so that load hits all.
breakdown() {
    local -a names=("$@") i k t0 t1
    local -A times=()
    for ((i = 0; i < runs; i++)); do
        for k in "${!names[@]}"; do
            t0=$EPOCHREALTIME
            eval "${names[$k]}" >/dev/null 2>&1 || true
            t1=$EPOCHREALTIME
            times[$k]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f ", (b - a) * 1000 }')"
            sleep 0.2
        done
    done
    for k in "${!names[@]}"; do
        tr ' ' '\n' <<<"${times[$k]}" | sed '/^$/d' | sort -n | awk -v name="${names[$k]}" '
            { v[NR] = $1 } END { p = int(NR * 0.95 + 0.999)
                printf "  %-64s median %6.2f  p95 %6.2f ms\n", name, v[int((NR + 1) / 2)], v[p] }'
    done
}

run_server() {
    local server=$1 rate recorder_arg
    local -a contenders=()
    echo
    start_server "$server"
    if [[ $server == pulse ]]; then
        recorder_arg=pulse:zembra.monitor:64
    else
        recorder_arg=pipewire:zembra
    fi
    zembra_xvfb_start
    local out
    out=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
    export DBUS_SESSION_BUS_ADDRESS=${out%%$'\n'*}
    bus_pid=${out##*$'\n'}

    "$app/zembra" >"$work/zembra-$server.log" 2>&1 &
    zembra_pid=$!
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.example.Zembra 2>/dev/null |
            grep -q true && break
        sleep 0.1
    done

    contenders+=(--spawn zembra-play a "$app/zembra --play {1}")
    contenders+=(--spawn paplay b "paplay --device=zembra")
    [[ $server == pipewire ]] && contenders+=(--spawn pw-play c "pw-play --target zembra")
    contenders+=(--spawn dbus-send d "dbus-send ${press_method[*]} int32:{4}")
    "$tools/bench_press" --recorder "$recorder_arg" --rate "$rate" --sounds "$work" \
        --presses "$presses" --bursts 0 --idle "$idle" --csv "$work/$server.csv" \
        --subject zembra-play --floor paplay "${contenders[@]}" || echo "  (bench_press failed: $?)"

    echo "where the command's time goes: from fork to exit, $runs runs each, in turn"
    breakdown "/bin/true" \
        "$app/zembra --play 0" \
        "$app/zembra --play 2" \
        "dbus-send --print-reply ${press_method[*]} int32:2"

    stop_zembra
    stop_bus
    unset DBUS_SESSION_BUS_ADDRESS
    zembra_xvfb_stop
    stop_server "$server"
}

for server in $servers; do
    run_server "$server"
done
