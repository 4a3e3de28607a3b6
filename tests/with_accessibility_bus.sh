#!/usr/bin/env bash
# Runs a command as under a desktop with a screen reader: a private session bus
# with the accessibility bus on it, and a virtual X display. Fails when either
# cannot be had.
set -uo pipefail
here=$(dirname "$(realpath "$0")")
if [[ ${1:-} != --inside ]]; then
    exec dbus-run-session -- "$0" --inside "$@"
fi
shift
/usr/libexec/at-spi-bus-launcher >/dev/null 2>&1 &
launcher=$!
trap 'kill $launcher 2>/dev/null' EXIT
for _ in $(seq 50); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep -q true && break
    sleep 0.1
done
# What a running screen reader would have switched on.
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
"$here/with_display.sh" "$@"
