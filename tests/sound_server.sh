#!/usr/bin/env bash
# Starts a private sound server, pulse or pipewire, with a null sink "zembra"
# (ZEMBRA_PIPEWIRE_MIN_QUANTUM: PipeWire's shortest period, see pipewire.sh);
# prints NAME=VALUE lines for a client, then READY, and stops the server by its
# pids when standard input closes (also when the test that started it dies).
set -uo pipefail
here=$(dirname "$(realpath "$0")")
# shellcheck source=../scripts/pulse.sh
source "$here/../scripts/pulse.sh"
# shellcheck source=../scripts/pipewire.sh
source "$here/../scripts/pipewire.sh"

case ${1:-} in
pulse)
    trap zembra_pulse_stop EXIT
    zembra_pulse_start || exit 1
    pids=$ZEMBRA_PULSE_PID
    daemon=$ZEMBRA_PULSE_PID
    # No PipeWire socket lies there: PipeWire clients find no daemon.
    echo "PIPEWIRE_RUNTIME_DIR=$ZEMBRA_PULSE_DIR"
    echo "PIPEWIRE_REMOTE=pipewire-0"
    ;;
pipewire)
    trap zembra_pipewire_stop EXIT
    zembra_pipewire_start || exit 1
    pids=$ZEMBRA_PIPEWIRE_PIDS
    daemon=$ZEMBRA_PIPEWIRE_DAEMON_PID
    echo "PIPEWIRE_RUNTIME_DIR=$PIPEWIRE_RUNTIME_DIR"
    echo "PIPEWIRE_REMOTE=$PIPEWIRE_REMOTE"
    ;;
*)
    echo "usage: $0 pulse|pipewire" >&2
    exit 2
    ;;
esac
echo "PULSE_SERVER=$PULSE_SERVER"
echo "PULSE_SINK=$PULSE_SINK"
echo "SERVER_PIDS=$pids"
echo "DAEMON_PID=$daemon"
echo READY
cat >/dev/null
