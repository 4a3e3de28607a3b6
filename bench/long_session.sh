#!/usr/bin/env bash
# A long session played through in minutes on a private PipeWire (see
# long_session.cpp): stalls of the server while sounds play, then quiet; the
# period over time, the sounds heard whole, and where it settles. Prints figures.
#
# Usage: bench/long_session.sh [--rate HZ] [--tools DIR] [ARGS...]
#   --rate   the graph's rate (default 48000)
#   --tools  where bench_long_session is (default: build/bench)
#   ARGS     passed on: --busy-presses N --quiet-presses N --step-down-after-ms MS
set -euo pipefail
here=$(dirname "$(realpath "$0")")
tools=$here/../build/bench rate=48000 args=()
while (($#)); do
    case $1 in
    --rate) rate=$2 && shift ;;
    --tools) tools=$2 && shift ;;
    *) args+=("$1") ;;
    esac
    shift
done
# shellcheck source=../scripts/pipewire.sh
source "$here/../scripts/pipewire.sh"
work=$(mktemp -d /tmp/zembra-long-session.XXXXXX)
trap 'zembra_pipewire_stop; rm -rf "$work"' EXIT
ZEMBRA_PIPEWIRE_RATE=$rate zembra_pipewire_start
echo "== PipeWire $(pipewire --version | awk '/Linked/ { print $NF }'), graph at $rate Hz"
"$tools/bench_long_session" --daemon "$ZEMBRA_PIPEWIRE_DAEMON_PID" --rate "$rate" \
    --work "$work" "${args[@]}"
