#!/usr/bin/env bash
# How long the first Web site command (Ctrl+W) holds each program's user-interface
# thread, measured from outside with window-manager pings on a virtual display
# with a window manager; the programs take turns in the same run. Prints figures.
# Usage: bench/web_open_stall.sh [--runs N] PROGRAM...
#   Each PROGRAM is copied with the zembra_webview.so beside it into a folder of
#   its own; sound goes nowhere (SDL's dummy driver); the page cannot load (no
#   network), which costs the engine the same work.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
runs=5
programs=()
while (($#)); do
    case $1 in
    --runs) runs=$2 && shift ;;
    -*) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2 && exit 2 ;;
    *) programs+=("$(realpath "$1")") ;;
    esac
    shift
done
((${#programs[@]})) || { echo "no program given" >&2; exit 2; }
stall=$(realpath "$here/../build-test/bench/bench_ui_stall")
[[ -x ${BENCH_UI_STALL:-$stall} ]] && stall=${BENCH_UI_STALL:-$stall}
[[ -x $stall ]] || { echo "no bench_ui_stall (configure with -DZEMBRA_BUILD_BENCH=ON)" >&2; exit 1; }

# shellcheck source=../scripts/xvfb.sh
source "$here/../scripts/xvfb.sh"
work=$(mktemp -d /tmp/zembra-stall.XXXXXX)
wm_pid= app_pid=
cleanup() {
    [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
    [[ -n $wm_pid ]] && kill "$wm_pid" 2>/dev/null || true
    zembra_xvfb_stop
    rm -rf "$work"
}
trap cleanup EXIT
zembra_xvfb_start
openbox >/dev/null 2>&1 &
wm_pid=$!
sleep 1

for i in "${!programs[@]}"; do
    mkdir -p "$work/$i"
    cp "${programs[$i]}" "$work/$i/"
    cp "$(dirname "${programs[$i]}")/zembra_webview.so" "$work/$i/"
    # The program module, in builds that have one.
    [[ -f $(dirname "${programs[$i]}")/zembra_program.so ]] &&
        cp "$(dirname "${programs[$i]}")/zembra_program.so" "$work/$i/"
done

export SDL_AUDIODRIVER=dummy QTWEBENGINE_DISABLE_SANDBOX=1
for ((run = 1; run <= runs; run++)); do
    for i in "${!programs[@]}"; do
        home=$(mktemp -d "$work/home.XXXXXX")
        HOME=$home "$work/$i/$(basename "${programs[$i]}")" >"$work/log" 2>&1 &
        app_pid=$!
        wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Zembra' | head -n 1)
        xdotool windowactivate --sync "$wid" 2>/dev/null || true
        sleep 2 # the intro is over, the window idle
        printf '%s run %d: ' "${programs[$i]}" "$run"
        "$stall" "$wid" --key ctrl+w --before 1000 --after 3000 || true
        kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
        app_pid=
    done
done
