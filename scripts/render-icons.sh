#!/usr/bin/env bash
# Renders the application icon (resources/icons/orvel.svg) into the hicolor PNG sizes that are
# committed under resources/icons/hicolor/ and installed beside the SVG. Run after editing the SVG.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root/resources/icons"
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" orvel.svg -o "hicolor/orvel-$size.png"
done
echo "render-icons: hicolor/orvel-{16..256}.png written"
