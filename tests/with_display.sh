#!/usr/bin/env bash
# Runs a command on a private virtual X display; fails when none can be started.
set -uo pipefail
here=$(dirname "$(realpath "$0")")
# shellcheck source=../scripts/xvfb.sh
source "$here/../scripts/xvfb.sh"
trap zembra_xvfb_stop EXIT
zembra_xvfb_start || { echo "with_display.sh: no virtual X display (is Xvfb installed?)" >&2; exit 1; }
export QT_QPA_PLATFORM=xcb
"$@"
