#!/usr/bin/env bash
# The private sound servers the bench and the tests stand on: each starts, plays
# what it is given back on its sink's monitor, stops without a trace, and starts
# again in the same shell.
# Usage: tst_sound_servers.sh BENCH_PRESS   (the built bench_press, for its tones)
set -uo pipefail
here=$(dirname "$(realpath "$0")")
bench_press=$1
# shellcheck source=../scripts/pulse.sh
source "$here/../scripts/pulse.sh"
# shellcheck source=../scripts/pipewire.sh
source "$here/../scripts/pipewire.sh"

work=$(mktemp -d /tmp/zembra-servers-test.XXXXXX)
trap 'zembra_pipewire_stop; zembra_pulse_stop; rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
"$bench_press" --make-sounds "$work" || exit 1

# The 30 ms tone in stereo is about 2 x 1300 samples at 44.1 kHz, 2 x 1400 at 48 kHz.
ToneSamples=2000
# Samples above the bench's threshold in a 16-bit recording, headers and all.
loud_samples() {
    od -An -v -td2 -w2 "$1" | awk '$1 > 1000 || $1 < -1000 { n++ } END { print n + 0 }'
}
# Records while RECORDER... runs, then plays PLAYER... into it; prints the loud count.
round_trip() {
    local out=$1 player=$2 rec
    shift 2
    "$@" "$out" &
    rec=$!
    sleep 0.5
    $player "$work/tone-a.wav" || fail "$player did not play"
    # Until the tone has reached the file, 5 s at most: a loaded machine hands
    # the recorder its last blocks late.
    for _ in {1..50}; do
        (($(loud_samples "$out") > ToneSamples)) && break
        sleep 0.1
    done
    kill -INT "$rec"
    wait "$rec" 2>/dev/null
    loud_samples "$out"
}
expect_tone() {
    (($2 > ToneSamples)) || fail "$1: heard $2 loud samples, expected the tone's 2600 or so"
}
# Latency the server gave a Pulse API recorder called $1 (as N/48000).
recorder_latency() {
    local rec latency
    parecord --client-name="$1" --latency-msec=1 --rate=48000 --channels=2 --raw \
        --device=zembra.monitor /dev/null &
    rec=$!
    sleep 0.5
    latency=$(LC_ALL=C pactl list source-outputs | sed -n 's/.*node.latency = "\(.*\)"/\1/p')
    kill "$rec"
    wait "$rec" 2>/dev/null
    echo "$latency"
}

for round in 1 2; do
    export PULSE_SINK=before
    zembra_pipewire_start || { fail "PipeWire did not start (round $round)"; continue; }
    pids=$ZEMBRA_PIPEWIRE_PIDS dir=$ZEMBRA_PIPEWIRE_DIR
    [[ $(pactl get-default-sink) == zembra ]] || fail "PipeWire: zembra is not the default sink"
    [[ $(pactl info) == *"on PipeWire"* ]] || fail "PulseAudio clients do not reach PipeWire"
    expect_tone "paplay to parecord through PipeWire" \
        "$(round_trip "$work/pulse.raw" paplay parecord --latency-msec=20 --raw \
            --device=zembra.monitor)"
    expect_tone "pw-play to pw-record" \
        "$(round_trip "$work/native.wav" "pw-play --target zembra" pw-record --target zembra)"
    if ((round == 1)); then
        got=$(recorder_latency zembra-bench-recorder)
        [[ $got == 64/48000 ]] || fail "the bench's recorder got $got, not 64/48000"
        got=$(recorder_latency someone-else)
        [[ $got == 256/48000 ]] || fail "another recorder got $got, not the usual 256/48000"
    fi
    zembra_pipewire_stop
    for pid in $pids; do
        kill -0 "$pid" 2>/dev/null && fail "PipeWire: process $pid outlived the stop"
    done
    [[ ! -e $dir ]] || fail "PipeWire: $dir outlived the stop"
    [[ ${PULSE_SINK:-} == before && -z ${PIPEWIRE_RUNTIME_DIR:-} && -z ${PULSE_SERVER:-} ]] ||
        fail "PipeWire: the environment was not put back"
done

for round in 1 2; do
    zembra_pulse_start || { fail "PulseAudio did not start (round $round)"; continue; }
    pid=$ZEMBRA_PULSE_PID
    expect_tone "paplay to parecord through PulseAudio" \
        "$(round_trip "$work/pulse.raw" paplay parecord --latency-msec=20 --raw \
            --device=zembra.monitor)"
    zembra_pulse_stop
    kill -0 "$pid" 2>/dev/null && fail "PulseAudio: process $pid outlived the stop"
done

((failures == 0)) && echo "sound servers: ok"
exit $((failures > 0))
