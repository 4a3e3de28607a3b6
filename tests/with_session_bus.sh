#!/usr/bin/env bash
# Runs a command with a private session bus of its own, stopped by its pid at the
# end; fails when none can be started.
set -uo pipefail
out=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1) || {
    echo "with_session_bus.sh: no session bus (is dbus-daemon installed?)" >&2
    exit 1
}
address=$(sed -n 1p <<<"$out")
pid=$(sed -n 2p <<<"$out")
trap 'kill "$pid" 2>/dev/null' EXIT
export DBUS_SESSION_BUS_ADDRESS=$address
"$@"
