#!/usr/bin/env bash
# Gaps in sounds on a null sink's monitor, on PulseAudio and on PipeWire: the
# program's 2 s tone pressed through X, a player's at its default latency and
# (PipeWire) at the program's latency, and a bystander's long tone alone and
# while the program plays a silent file every 0.4 s; idle and with both cores
# busy. Prints figures only.
#
# Usage: bench/gaps.sh [PROGRAM] [--server pulse|pipewire|both] [--presses N]
#            [--busy-presses N] [--bystander-ms MS] [--tools DIR] [--keep]
#   PROGRAM   the built zembra (default build/zembra); it plays the bench's
#             sounds from a private $XDG_DATA_HOME/zembra
#   --presses presses of the 2 s tone per contender, idle (default 20);
#             --busy-presses the same with both cores busy (default 10)
#   --tools   where bench_gaps is (default: PROGRAM's folder/bench)
#   --keep    keep the work folder: logs, per-sound CSV, the recordings as WAV
set -euo pipefail
here=$(dirname "$(realpath "$0")")
program=$here/../build/zembra
servers=both presses=20 busy_presses=10 bystander_ms=6000 tools='' keep=0
while (($#)); do
    case $1 in
    --server) servers=$2 && shift ;;
    --presses) presses=$2 && shift ;;
    --busy-presses) busy_presses=$2 && shift ;;
    --bystander-ms) bystander_ms=$2 && shift ;;
    --tools) tools=$2 && shift ;;
    --keep) keep=1 ;;
    -*) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2 && exit 2 ;;
    *) program=$1 ;;
    esac
    shift
done
program=$(realpath "$program")
tools=$(realpath "${tools:-$(dirname "$program")/bench}")
[[ -x $program ]] || { echo "no program at $program" >&2; exit 1; }
[[ -x $tools/bench_gaps ]] || { echo "no bench_gaps in $tools (build it: --target bench_gaps)" >&2; exit 1; }
case $servers in
pulse | pipewire) ;;
both) servers="pulse pipewire" ;;
*) echo "--server pulse|pipewire|both" >&2 && exit 2 ;;
esac

# shellcheck source=../scripts/pulse.sh
source "$here/../scripts/pulse.sh"
# shellcheck source=../scripts/pipewire.sh
source "$here/../scripts/pipewire.sh"
# shellcheck source=../scripts/xvfb.sh
source "$here/../scripts/xvfb.sh"

work=$(mktemp -d /tmp/zembra-gaps.XXXXXX)
children=()
stop_children() {
    local pid
    for pid in "${children[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    children=()
}
cleanup() {
    stop_children
    zembra_xvfb_stop
    zembra_pulse_stop
    zembra_pipewire_stop
    if ((keep)); then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

"$tools/bench_gaps" --make-sounds "$work" --long-ms "$bystander_ms"
# Button 1 plays the 2 s tone, button 2 silence; the intro and closing sounds
# are silence. The user's own folder wins over the program's, so no demo kit
# beside the program plays instead.
kit=$work/data/zembra
mkdir -p "$kit" "$work/config"
cp "$work/tone.wav" "$kit/1.tzk"
for f in 2 00 01; do cp "$work/silence.wav" "$kit/$f.tzk"; done

run_server() {
    local server=$1 rate wid height menu
    local -a args=()
    echo
    if [[ $server == pulse ]]; then
        # No PipeWire to be found, the user's included: PulseAudio alone.
        mkdir -p "$work/no-pipewire"
        export PIPEWIRE_RUNTIME_DIR=$work/no-pipewire
        unset PIPEWIRE_REMOTE
        zembra_pulse_start
        rate=44100
        echo "== PulseAudio $(pulseaudio --version | awk '{ print $2 }'), null sink at $rate Hz"
        args=(--recorder pulse:zembra.monitor:64 --player "paplay --device=zembra")
    else
        zembra_pipewire_start
        rate=$ZEMBRA_PIPEWIRE_RATE
        echo "== PipeWire $(pipewire --version | awk '/Linked/ { print $NF }'), null sink at $rate Hz"
        args=(--recorder pipewire:zembra --player "pw-play --target zembra"
            --at-quantum "pw-play --target zembra" --watch Zembra Efekt)
    fi
    zembra_xvfb_start
    XDG_CONFIG_HOME=$work/xdg openbox --sm-disable >"$work/openbox.log" 2>&1 &
    children+=($!)
    for _ in $(seq 50); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
        sleep 0.1
    done

    XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config "$program" >"$work/zembra-$server.log" 2>&1 &
    children+=($!)
    wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Zembra v1\.1' | head -n 1) || true
    [[ -n $wid ]] || { echo "the program never showed a window; see $work/zembra-$server.log" >&2 && return 1; }
    xdotool windowmove --sync "$wid" 0 0
    # Command1 and Command2, from the grid as scripts/headless-demo.sh computes it.
    height=$(xdotool getwindowgeometry --shell "$wid" | sed -n 's/^HEIGHT=//p')
    menu=$((height - 324))
    args+=(--zembra "$wid" "60,$((menu + 72))" "156,$((menu + 72))")

    local dump=()
    ((keep)) && dump=(--dump "$work/$server.wav")
    "$tools/bench_gaps" "${args[@]}" --rate "$rate" --sounds "$work" --presses "$presses" \
        --busy-presses "$busy_presses" --csv "$work/$server.csv" "${dump[@]}" ||
        echo "  (bench_gaps failed: $?)"

    stop_children
    zembra_xvfb_stop
    if [[ $server == pulse ]]; then
        zembra_pulse_stop
        unset PIPEWIRE_RUNTIME_DIR
    else
        zembra_pipewire_stop
    fi
}

echo "program: $program"
echo "sounds: a 2 s sine at 997 Hz and a $((bystander_ms / 1000)) s one at 660 Hz, 16-bit stereo at 44100 Hz;"
echo "$presses presses of each idle, $busy_presses with both cores busy, contenders in turn"
for server in $servers; do
    run_server "$server"
done
