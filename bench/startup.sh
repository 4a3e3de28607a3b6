#!/usr/bin/env bash
# Start-up time, idle memory and idle CPU of Zembra on a virtual display with the
# private sound server. Prints figures only.
# Usage: bench/startup.sh [PROGRAM]   (default: build/zembra)
# RUNS (default 10) start-ups are timed; the first IDLE_RUNS (default 2) of them
# also stay up for the memory and CPU figures (about 20 s each).
set -euo pipefail
here=$(dirname "$(realpath "$0")")
program=$(realpath "${1:-$here/../build/zembra}")
runs=${RUNS:-10}
idle_runs=${IDLE_RUNS:-2}
[[ -x $program ]] || { echo "no program at $program" >&2; exit 1; }

# shellcheck source=../scripts/pulse.sh
source "$here/../scripts/pulse.sh"
# shellcheck source=../scripts/xvfb.sh
source "$here/../scripts/xvfb.sh"
work=$(mktemp -d /tmp/zembra-startup.XXXXXX)
app_pid= XEV_PID=
cleanup() {
    [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
    [[ -n $XEV_PID ]] && kill "$XEV_PID" 2>/dev/null || true
    zembra_xvfb_stop
    zembra_pulse_stop
    rm -rf "$work"
}
trap cleanup EXIT
zembra_pulse_start

zembra_xvfb_start

# Top-level windows being mapped, as the X server reports them, read as they come.
coproc XEV { exec xev -root -event substructure 2>/dev/null; }
sleep 0.3

clk_tck=$(getconf CLK_TCK)
now() { echo "$EPOCHREALTIME"; }
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) * 1000 }'; }

# User plus system time of every thread, in clock ticks and, finer, in nanoseconds.
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'; }
# Over SECONDS, as % of one core: the program by ticks, the program by nanoseconds,
# and the sound server by nanoseconds.
cpu_percent() {
    local pid=$1 seconds=$2 t0 n0 s0 w0 t1 n1 s1 w1
    t0=$(cpu_ticks "$pid") n0=$(cpu_ns "$pid") s0=$(cpu_ns "$ZEMBRA_PULSE_PID") w0=$EPOCHREALTIME
    sleep "$seconds"
    t1=$(cpu_ticks "$pid") n1=$(cpu_ns "$pid") s1=$(cpu_ns "$ZEMBRA_PULSE_PID") w1=$EPOCHREALTIME
    awk -v t="$((t1 - t0))" -v hz="$clk_tck" -v n="$((n1 - n0))" -v s="$((s1 - s0))" \
        -v a="$w0" -v b="$w1" 'BEGIN { w = b - a
            printf "%.2f %.3f %.3f", 100 * t / hz / w, 100 * n / 1e9 / w, 100 * s / 1e9 / w }'
}
sink_inputs() { pactl list short sink-inputs 2>/dev/null | wc -l; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

startups=()
for run in $(seq "$runs"); do
    # Drop whatever the last instance left in the event stream.
    while IFS= read -r -t 0.2 _ <&"${XEV[0]}"; do :; done
    t0=$(now)
    "$program" >"$work/log" 2>&1 &
    app_pid=$!
    shown=
    while IFS= read -r -t 20 line <&"${XEV[0]}"; do
        if [[ $line == MapNotify* ]]; then
            t1=$(now)
            IFS= read -r -t 1 line <&"${XEV[0]}" || true
            win=$(sed -n 's/.* window \(0x[0-9a-f]*\),.*/\1/p' <<<"$line")
            if [[ -n $win ]] && xprop -id "$win" WM_NAME 2>/dev/null | grep -q '"Zembra v1\.1'; then
                shown=$(ms_between "$t0" "$t1")
                break
            fi
        fi
    done
    if [[ -z $shown ]]; then
        echo "run $run: the main window never appeared; program output:" >&2
        cat "$work/log" >&2
        exit 1
    fi
    startups+=("$shown")

    if ((run <= idle_runs)); then
        sleep 3 # the intro has ended
        rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$app_pid/status")
        hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$app_pid/status")
        pss=$(awk '/^Pss:/ { print $2 }' "/proc/$app_pid/smaps_rollup" 2>/dev/null || echo "?")
        threads_open=$(awk '/^Threads/ { print $2 }' "/proc/$app_pid/status")
        streams_open=$(sink_inputs)
        # Silent but with the device still open: the idle close has not come yet.
        read -r open_cpu open_cpu_ns open_srv <<<"$(cpu_percent "$app_pid" 2)"
        waited=0
        while (($(sink_inputs) > 0 && waited < 200)); do
            sleep 0.1
            waited=$((waited + 1))
        done
        closed_at=$(ms_between "$t0" "$(now)")
        streams_closed=$(sink_inputs)
        sleep 1
        read -r idle_cpu idle_cpu_ns idle_srv <<<"$(cpu_percent "$app_pid" 10)"
        threads_idle=$(awk '/^Threads/ { print $2 }' "/proc/$app_pid/status")
        echo "run $run: shown after $shown ms"
        echo "  3 s after start: VmRSS $((rss / 1024)) MiB ($rss kB), VmHWM $((hwm / 1024)) MiB," \
            "Pss $pss kB, $threads_open threads, $streams_open playback stream(s)"
        echo "  device open, silent (2 s):     Zembra $open_cpu% of a core" \
            "($open_cpu_ns% by ns), sound server $open_srv%"
        echo "  device closed ${closed_at%.*} ms after launch ($streams_closed stream(s) left)"
        echo "  idle, device closed (10 s):    Zembra $idle_cpu% of a core" \
            "($idle_cpu_ns% by ns), sound server $idle_srv%, $threads_idle threads"
    fi
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
done

echo "start-up to main window mapped, $runs runs (ms): ${startups[*]}"
line="  median $(printf '%s\n' "${startups[@]}" | median) ms"
if ((runs > 2)); then
    # The first start reads everything from disk; the others find it in the page cache.
    line+=", median without the first $(printf '%s\n' "${startups[@]:1}" | median) ms"
fi
echo "$line"
