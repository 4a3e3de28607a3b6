#!/bin/sh
# Rebuilds the desktop icon generator outside the source tree and redraws the
# installed icons (hicolor PNGs and the scalable SVG) in desktop/icons/.
# Needs Qt 6 development files with Qt SVG (qt6-svg-dev).
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${ICON_BUILD_DIR:-/tmp/zembra-icon-build}

cmake -S "$repo/tools/icon" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --parallel >/dev/null
QT_QPA_PLATFORM=offscreen "$build/make_icon" "$repo/desktop/icons"
