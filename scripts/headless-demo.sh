#!/usr/bin/env bash
# Runs Zembra on a virtual display with a virtual sound card, presses a few
# buttons, and keeps a screenshot and a recording of what played; with
# "Mikrofona da çal" on, a call's recording of "Zembra mikrofonu" too, which
# carries a test microphone's "voice" (a kit sound) and the pad.
# Usage: headless-demo.sh PROGRAM OUTDIR [SCREENSHOT_COPY]
set -euo pipefail
program=$(realpath "$1")
out=$2
copy=${3:-}
mkdir -p "$out"
here=$(dirname "$(realpath "$0")")

# shellcheck source=pulse.sh
source "$here/pulse.sh"
# shellcheck source=xvfb.sh
source "$here/xvfb.sh"
app_pid= rec_pid= call_pid= voice_pid=
# The program's own runtime folder, as a desktop session would give it.
runtime=$(mktemp -d /tmp/zembra-demo-runtime.XXXXXX)
chmod 700 "$runtime"
# A user who made button 10 their own: a caption in the settings file and a
# sound in their folder, as dropping a file and renaming the button leave them.
# Private folders, so that the demo neither reads nor changes the real user's.
mkdir -p "$runtime/config/zembra" "$runtime/data/zembra"
printf '[captions]\n10=K\xc3\xb6pek\n\n[microphone]\non=true\n' >"$runtime/config/zembra/zembra.conf"
cp "$(dirname "$program")/13.tzk" "$runtime/data/zembra/10.tzk"
cleanup() {
    [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null || true
    [[ -n $rec_pid ]] && kill -INT "$rec_pid" 2>/dev/null && wait "$rec_pid" 2>/dev/null || true
    [[ -n $call_pid ]] && kill -INT "$call_pid" 2>/dev/null && wait "$call_pid" 2>/dev/null || true
    [[ -n $voice_pid ]] && kill "$voice_pid" 2>/dev/null || true
    zembra_xvfb_stop
    zembra_pulse_stop
    rm -rf "$runtime"
}
trap cleanup EXIT
zembra_pulse_start
# A microphone of the demo's own, the default source, with a "voice" fed in.
pactl load-module module-null-sink sink_name=demomic_feed >/dev/null
pactl load-module module-remap-source source_name=demomic master=demomic_feed.monitor >/dev/null
pactl set-default-source demomic

zembra_xvfb_start

parecord --device=zembra.monitor --file-format=wav --channels=2 --rate=44100 \
    "$out/recording.wav" &
rec_pid=$!
XDG_RUNTIME_DIR=$runtime XDG_CONFIG_HOME=$runtime/config XDG_DATA_HOME=$runtime/data \
    "$program" &
app_pid=$!
wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Zembra v1\.1' | head -n 1)
sleep 1.5 # the intro
# A call: it records "Zembra mikrofonu" while the user speaks and presses.
for _ in $(seq 50); do pactl list short sources | grep -q zembra_mic && break; sleep 0.1; done
parecord --device=zembra_mic --file-format=wav --channels=2 --rate=44100 --latency-msec=20 \
    "$out/microphone.wav" &
call_pid=$!
paplay --device=demomic_feed "$(dirname "$program")/20.tzk" &
voice_pid=$!

# Buttons by number: column and row from the grid, below the menu bar.
height=$(xdotool getwindowgeometry --shell "$wid" | sed -n 's/^HEIGHT=//p')
menu=$((height - 324))
press() {
    local n=$(($1 - 1))
    xdotool mousemove --window "$wid" $((24 + 96 * (n % 4) + 36)) $((menu + 56 + 56 * (n / 4) + 16)) \
        click 1
}
for n in 2 11 9 15; do
    press "$n"
    sleep 1.2
done
press 5
sleep 1.2
press 10 # the user's own button names itself in the panel
sleep 0.3
import -window "$wid" "$out/screenshot.png"
sleep 1
[[ -n $copy ]] && cp "$out/screenshot.png" "$copy"

kill "$app_pid" 2>/dev/null || true
wait "$app_pid" 2>/dev/null || true
app_pid=
kill -INT "$rec_pid" "$call_pid" 2>/dev/null || true
wait "$rec_pid" "$call_pid" 2>/dev/null || true
rec_pid= call_pid=

echo "Zembra ran headless: it played its intro, five effects and a button of the user's own,"
echo "also into Zembra mikrofonu, which a call recorded with the test microphone's voice."
echo "  screenshot: $(realpath "$out/screenshot.png")"
echo "  recording:  $(realpath "$out/recording.wav")"
echo "  microphone: $(realpath "$out/microphone.wav")"
