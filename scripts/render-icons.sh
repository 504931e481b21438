#!/usr/bin/env bash
# Renders the application icon (resources/icons/orvel.svg) and the tray icon (orvel-tray.svg) into
# the hicolor PNG sizes that are committed under resources/icons/hicolor/ and installed beside the
# SVGs. Run after editing an SVG.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root/resources/icons"
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" orvel.svg -o "hicolor/orvel-$size.png"
done
for size in 16 22 24 32; do
  rsvg-convert -w "$size" -h "$size" orvel-tray.svg -o "hicolor/orvel-tray-$size.png"
done
echo "render-icons: hicolor/orvel-{16..256}.png and hicolor/orvel-tray-{16..32}.png written"
