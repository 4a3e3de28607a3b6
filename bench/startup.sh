#!/usr/bin/env bash
# Start-up time and idle memory of Zembra against the floor, a bare Qt Widgets
# window with one button, started alternately in the same run on a virtual display
# with the private sound server; idle CPU of Zembra. Prints figures only.
# Usage: bench/startup.sh [--pipewire] [--microphone] [PROGRAM [FLOOR]]
#   (defaults: build/zembra and build/bench/bench_bare_window)
#   --pipewire    a private PipeWire with WirePlumber instead of PulseAudio
#   --microphone  a third contender in every round: the program with
#                 "Mikrofona da çal" on, nothing recording its microphone
# RUNS (default 10) pairs are timed, the order within a pair alternating. Every
# instance stays up MEM_AFTER seconds (default 3, when the intro has ended) for its
# memory. In the first IDLE_RUNS (default 2) pairs the program also stays up for
# the CPU figures (about 15 s each).
set -euo pipefail
here=$(dirname "$(realpath "$0")")
server=pulse microphone=0
while [[ ${1:-} == --* ]]; do
    case $1 in
    --pipewire) server=pipewire ;;
    --microphone) microphone=1 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
program=$(realpath "${1:-$here/../build/zembra}")
floor=$(realpath "${2:-$here/../build/bench/bench_bare_window}")
runs=${RUNS:-10}
idle_runs=${IDLE_RUNS:-2}
mem_after=${MEM_AFTER:-3}
[[ -x $program ]] || { echo "no program at $program" >&2; exit 1; }
[[ -x $floor ]] || { echo "no floor program at $floor (configure with -DZEMBRA_BUILD_BENCH=ON)" >&2; exit 1; }

# shellcheck source=../scripts/pulse.sh
source "$here/../scripts/pulse.sh"
# shellcheck source=../scripts/pipewire.sh
source "$here/../scripts/pipewire.sh"
# shellcheck source=../scripts/xvfb.sh
source "$here/../scripts/xvfb.sh"
work=$(mktemp -d /tmp/zembra-startup.XXXXXX)
app_pid= XEV_PID=
cleanup() {
    [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
    [[ -n $XEV_PID ]] && kill "$XEV_PID" 2>/dev/null || true
    zembra_xvfb_stop
    if [[ $server == pulse ]]; then zembra_pulse_stop; else zembra_pipewire_stop; fi
    rm -rf "$work"
}
trap cleanup EXIT
if [[ $server == pulse ]]; then
    zembra_pulse_start
    server_pid=$ZEMBRA_PULSE_PID
else
    zembra_pipewire_start
    server_pid=$ZEMBRA_PIPEWIRE_DAEMON_PID
fi
# The program with the choice on: its own settings, the same process.
mkdir -p "$work/config/zembra"
printf '[microphone]\non=true\n' >"$work/config/zembra/zembra.conf"
printf '#!/bin/sh\nXDG_CONFIG_HOME=%q exec %q "$@"\n' "$work/config" "$program" >"$work/with-mic"
chmod +x "$work/with-mic"

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
    t0=$(cpu_ticks "$pid") n0=$(cpu_ns "$pid") s0=$(cpu_ns "$server_pid") w0=$EPOCHREALTIME
    sleep "$seconds"
    t1=$(cpu_ticks "$pid") n1=$(cpu_ns "$pid") s1=$(cpu_ns "$server_pid") w1=$EPOCHREALTIME
    awk -v t="$((t1 - t0))" -v hz="$clk_tck" -v n="$((n1 - n0))" -v s="$((s1 - s0))" \
        -v a="$w0" -v b="$w1" 'BEGIN { w = b - a
            printf "%.2f %.3f %.3f", 100 * t / hz / w, 100 * n / 1e9 / w, 100 * s / 1e9 / w }'
}
sink_inputs() { pactl list short sink-inputs 2>/dev/null | wc -l; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
status_kb() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$2/status"; }

# Starts PROGRAM and waits for the first top-level window of that process to be
# mapped; sets app_pid, t0 and shown (ms).
launch() {
    local line win
    # Drop whatever the last instance left in the event stream.
    while IFS= read -r -t 0.2 _ <&"${XEV[0]}"; do :; done
    t0=$EPOCHREALTIME
    "$1" >"$work/log" 2>&1 &
    app_pid=$!
    shown=
    while IFS= read -r -t 20 line <&"${XEV[0]}"; do
        if [[ $line == MapNotify* ]]; then
            t1=$EPOCHREALTIME
            IFS= read -r -t 1 line <&"${XEV[0]}" || true
            win=$(sed -n 's/.* window \(0x[0-9a-f]*\),.*/\1/p' <<<"$line")
            if [[ -n $win ]] && xprop -id "$win" _NET_WM_PID 2>/dev/null | grep -q "= $app_pid\$"; then
                shown=$(ms_between "$t0" "$t1")
                return
            fi
        fi
    done
    echo "$1: no window appeared; program output:" >&2
    cat "$work/log" >&2
    exit 1
}

# Memory of the running instance once MEM_AFTER seconds have passed since launch:
# VmRSS, VmHWM and Pss in kB, and the thread count.
memory() {
    sleep "$(awk -v a="$t0" -v b="$(now)" -v m="$mem_after" 'BEGIN { s = m - (b - a); print (s > 0 ? s : 0) }')"
    echo "$(status_kb VmRSS "$app_pid") $(status_kb VmHWM "$app_pid")" \
        "$(awk '/^Pss:/ { print $2 }' "/proc/$app_pid/smaps_rollup" 2>/dev/null || echo 0)" \
        "$(status_kb Threads "$app_pid")"
}

stop() {
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
}

# CPU of the program after the intro: with the sound device still open, and idle
# once it has been closed.
idle_cpu() {
    local open_cpu open_cpu_ns open_srv idle_cpu idle_cpu_ns idle_srv waited closed_at streams_open
    streams_open=$(sink_inputs)
    read -r open_cpu open_cpu_ns open_srv <<<"$(cpu_percent "$app_pid" 2)"
    waited=0
    while (($(sink_inputs) > 0 && waited < 200)); do
        sleep 0.1
        waited=$((waited + 1))
    done
    closed_at=$(ms_between "$t0" "$(now)")
    local streams_closed
    streams_closed=$(sink_inputs)
    sleep 1
    read -r idle_cpu idle_cpu_ns idle_srv <<<"$(cpu_percent "$app_pid" 10)"
    echo "  $streams_open playback stream(s) open at ${mem_after} s"
    echo "  device open, silent (2 s):     program $open_cpu% of a core" \
        "($open_cpu_ns% by ns), sound server $open_srv%"
    echo "  device closed ${closed_at%.*} ms after launch ($streams_closed stream(s) left)"
    echo "  idle, device closed (10 s):    program $idle_cpu% of a core" \
        "($idle_cpu_ns% by ns), sound server $idle_srv%, $(status_kb Threads "$app_pid") threads"
}

echo "program: $program"
echo "floor:   $floor"
echo "server:  $server"
contenders=(program floor)
((microphone)) && contenders=(program mic floor)
declare -A exe=([program]=$program [mic]=$work/with-mic [floor]=$floor)
declare -A label=([program]="program" [mic]="mic on " [floor]="floor  ")
p_shown=() f_shown=() m_shown=() p_rss=() f_rss=() m_rss=() p_pss=() f_pss=() m_pss=()
for run in $(seq "$runs"); do
    # Each contender goes first in turn.
    order=()
    for i in "${!contenders[@]}"; do
        order+=("${contenders[$(((i + run) % ${#contenders[@]}))]}")
    done
    for who in "${order[@]}"; do
        launch "${exe[$who]}"
        read -r rss hwm pss threads <<<"$(memory)"
        case $who in
        program) p_shown+=("$shown") p_rss+=("$rss") p_pss+=("$pss") ;;
        mic) m_shown+=("$shown") m_rss+=("$rss") m_pss+=("$pss") ;;
        floor) f_shown+=("$shown") f_rss+=("$rss") f_pss+=("$pss") ;;
        esac
        echo "run $run ${label[$who]}: shown after $shown ms; at $mem_after s VmRSS $rss kB," \
            "VmHWM $hwm kB, Pss $pss kB, $threads threads"
        [[ $who != floor ]] && ((run <= idle_runs)) && idle_cpu
        stop
    done
done

med() { printf '%s\n' "$@" | median; }
ps=$(med "${p_shown[@]}") fs=$(med "${f_shown[@]}")
pr=$(med "${p_rss[@]}") fr=$(med "${f_rss[@]}")
pp=$(med "${p_pss[@]}") fp=$(med "${f_pss[@]}")
# Each pair ran back to back, so the median of the pairs' own ratios is the least
# swayed by whatever else the machine was doing meanwhile.
pair_ratios() {
    local -n a=$1 b=$2
    for i in "${!a[@]}"; do ratio "${a[$i]}" "${b[$i]}"; echo; done | sort -n |
        awk '{ v[NR] = $1 } END { printf "%.2f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
echo "start-up to first window mapped, median of $runs (ms):" \
    "program $ps, floor $fs, ratio $(ratio "$ps" "$fs"); median pair ratio $(pair_ratios p_shown f_shown)"
if ((runs > 2)); then
    # The first start reads everything from disk; the others find it in the page cache.
    ps1=$(med "${p_shown[@]:1}") fs1=$(med "${f_shown[@]:1}")
    echo "  without the first pair: program $ps1, floor $fs1, ratio $(ratio "$ps1" "$fs1")"
fi
echo "VmRSS at $mem_after s, median (kB): program $pr, floor $fr, ratio $(ratio "$pr" "$fr");" \
    "median pair ratio $(pair_ratios p_rss f_rss)"
echo "Pss at $mem_after s, median (kB):   program $pp, floor $fp, ratio $(ratio "$pp" "$fp")"
if ((microphone)); then
    ms=$(med "${m_shown[@]}") mr=$(med "${m_rss[@]}") mp=$(med "${m_pss[@]}")
    echo "with the microphone on, median of $runs: shown after $ms ms (ratio to the program" \
        "$(ratio "$ms" "$ps"), median pair ratio $(pair_ratios m_shown p_shown)," \
        "to the floor $(ratio "$ms" "$fs")); VmRSS $mr kB (ratio to the program $(ratio "$mr" "$pr"))," \
        "Pss $mp kB"
fi
