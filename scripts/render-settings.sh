#!/bin/sh
# Renders the settings window into docs/settings-*.png (400 by 500 points, offscreen, against the bridge simulator).
# Usage: scripts/render-settings.sh [build directory]   (default: build-render next to the sources)
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$src/build-render"}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug
fi
cmake --build "$build" --target orvel_render_settings -j2

mkdir -p "$src/docs"
QT_QPA_PLATFORM=offscreen "$build/tests/ui/orvel_render_settings" "$src/docs"
