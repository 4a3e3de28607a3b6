#!/usr/bin/env bash
# Gaps in sounds on a null sink's monitor, on PulseAudio and on PipeWire: the
# program's 2 s tone pressed through X, a player's at its default latency and
# (PipeWire) at the program's latency, and a bystander's long tone alone and
# while the program plays a silent file every 0.4 s; idle and with both cores
# busy. Prints figures only.
#
# Usage: bench/gaps.sh [PROGRAM] [--server pulse|pipewire|both] [--presses N]
#            [--busy-presses N] [--bystander-ms MS] [--microphone] [--tools DIR]
#            [--keep]
#   PROGRAM   the built zembra (default build/zembra); it plays the bench's
#             sounds from a private $XDG_DATA_HOME/zembra
#   --presses presses of the 2 s tone per contender, idle (default 20);
#             --busy-presses the same with both cores busy (default 10)
#   --microphone  with "Mikrofona da çal" on and a call recording Zembra
#             mikrofonu throughout: the room's sound must lose nothing more
#   --tools   where bench_gaps is (default: PROGRAM's folder/bench)
#   --keep    keep the work folder: logs, per-sound CSV, the recordings as WAV
set -euo pipefail
# shellcheck source=common.sh
source "$(dirname "$(realpath "$0")")/common.sh"
program=$here/../build/zembra
servers=both presses=20 busy_presses=10 bystander_ms=6000 tools='' keep=0 microphone=0
while (($#)); do
    case $1 in
    --server) servers=$2 && shift ;;
    --presses) presses=$2 && shift ;;
    --busy-presses) busy_presses=$2 && shift ;;
    --bystander-ms) bystander_ms=$2 && shift ;;
    --tools) tools=$2 && shift ;;
    --microphone) microphone=1 ;;
    --keep) keep=1 ;;
    -*) bench_usage ;;
    *) program=$1 ;;
    esac
    shift
done
bench_setup gaps bench_gaps
"$tools/bench_gaps" --make-sounds "$work" --long-ms "$bystander_ms"
# Button 1 plays the 2 s tone, button 2 silence; the intro and closing sounds
# are silence. The user's own folder wins over the program's, so no demo kit
# beside the program plays instead.
kit=$work/data/zembra
mkdir -p "$kit" "$work/config/zembra"
((microphone)) && printf '[microphone]\non=true\n' >"$work/config/zembra/zembra.conf"
cp "$work/tone.wav" "$kit/1.tzk"
for f in 2 00 01; do cp "$work/silence.wav" "$kit/$f.tzk"; done

run_server() {
    local server=$1 rate wid height menu
    local -a args=()
    echo
    start_server "$server"
    if [[ $server == pulse ]]; then
        args=(--recorder pulse:zembra.monitor:64 --player "paplay --device=zembra")
    else
        args=(--recorder pipewire:zembra --player "pw-play --target zembra"
            --at-quantum "pw-play --target zembra" --watch Zembra Efekt)
    fi
    zembra_xvfb_start
    start_window_manager

    XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config "$program" >"$work/zembra-$server.log" 2>&1 &
    children+=($!)
    wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Zembra v1\.1' | head -n 1) || true
    [[ -n $wid ]] || { echo "the program never showed a window; see $work/zembra-$server.log" >&2 && return 1; }
    xdotool windowmove --sync "$wid" 0 0
    # Command1 and Command2, from the grid as scripts/headless-demo.sh computes it.
    height=$(xdotool getwindowgeometry --shell "$wid" | sed -n 's/^HEIGHT=//p')
    menu=$((height - 324))
    args+=(--zembra "$wid" "60,$((menu + 72))" "156,$((menu + 72))")
    if ((microphone)); then
        # A call that records Zembra mikrofonu from first press to last.
        for _ in $(seq 50); do pactl list short sources | grep -q zembra_mic && break; sleep 0.1; done
        parecord --device=zembra_mic --raw >/dev/null 2>&1 &
        children+=($!)
        sleep 1
        pactl list short source-outputs | grep -q . || echo "  (no call records Zembra mikrofonu)"
    fi

    local dump=()
    ((keep)) && dump=(--dump "$work/$server.wav")
    "$tools/bench_gaps" "${args[@]}" --rate "$rate" --sounds "$work" --presses "$presses" \
        --busy-presses "$busy_presses" --csv "$work/$server.csv" "${dump[@]}" ||
        echo "  (bench_gaps failed: $?)"

    stop_children
    zembra_xvfb_stop
    stop_server "$server"
}

echo "program: $program"
echo "sounds: a 2 s sine at 997 Hz and a $((bystander_ms / 1000)) s one at 660 Hz, 16-bit stereo at 44100 Hz;"
echo "$presses presses of each idle, $busy_presses with both cores busy, contenders in turn"
for server in $servers; do
    run_server "$server"
done
