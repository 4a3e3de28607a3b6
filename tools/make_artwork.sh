#!/bin/sh
# Rebuilds the artwork generator outside the source tree and redraws assets/.
# Needs Qt 6 development files, ImageMagick's convert and the DejaVu fonts.
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${ARTWORK_BUILD_DIR:-/tmp/zembra-artwork-build}

cmake -S "$repo/tools/artwork" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --parallel >/dev/null
QT_QPA_PLATFORM=offscreen "$build/make_artwork" "$repo/assets"
