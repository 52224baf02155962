#!/usr/bin/env bash
# Renders the program icon data/icons/vesktor.svg into the PNG sizes desktops look for, under
# data/icons/hicolor/<N>x<N>/apps/vesktor.png. The PNGs are kept in the repository, so this is
# needed only after the SVG changes.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if ! command -v rsvg-convert > /dev/null; then
    "$here/scripts/ensure-packages.sh" librsvg2-bin
fi

source_svg="$here/data/icons/vesktor.svg"
for size in 16 22 24 32 48 64 128 256; do
    target="$here/data/icons/hicolor/${size}x${size}/apps/vesktor.png"
    mkdir -p "$(dirname "$target")"
    rsvg-convert --width "$size" --height "$size" --format png "$source_svg" --output "$target"
    echo "$target"
done
