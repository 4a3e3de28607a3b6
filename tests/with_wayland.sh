#!/usr/bin/env bash
# Runs a command as a client of a private headless Weston compositor; fails when
# none can be started.
set -uo pipefail
runtime=$(mktemp -d /tmp/zembra-wayland.XXXXXX)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=wayland-zembra
weston --backend=headless-backend.so --socket="$WAYLAND_DISPLAY" --idle-time=0 \
    >"$runtime/weston.log" 2>&1 &
weston=$!
trap 'kill $weston 2>/dev/null; wait $weston 2>/dev/null; rm -rf "$runtime"' EXIT
for _ in $(seq 100); do [[ -S $runtime/$WAYLAND_DISPLAY ]] && break; sleep 0.05; done
[[ -S $runtime/$WAYLAND_DISPLAY ]] || { echo "with_wayland.sh: Weston did not start:" >&2; cat "$runtime/weston.log" >&2; exit 1; }
unset DISPLAY
export QT_QPA_PLATFORM=wayland
"$@"
