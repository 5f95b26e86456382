#!/bin/bash
# Renders the program's icon, resources/icon/bridge.svg, into resources/icon/bridge.ico with the
# sizes Windows asks for: 16 px from the pixel-grid drawing bridge-16.svg, the rest from bridge.svg;
# 256 px is stored PNG-compressed, the others as bitmaps. The .ico is committed, so the build needs
# none of this: run it only after changing a drawing. Needs rsvg-convert (apt-get install
# librsvg2-bin) and ImageMagick's convert.
set -euo pipefail
cd "$(dirname "$0")/../resources/icon"
for tool in rsvg-convert convert; do
    command -v "$tool" >/dev/null || { echo "make-icon: $tool is missing" >&2; exit 1; }
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
images=()
for size in 16 20 24 32 40 48 64 256; do
    drawing=bridge.svg
    if [ "$size" = 16 ]; then
        drawing=bridge-16.svg
    fi
    rsvg-convert --width "$size" --height "$size" "$drawing" --output "$work/$size.png"
    images+=("$work/$size.png")
done
# No dates or comments in the images, so the same drawings give the same file.
convert "${images[@]}" -define png:exclude-chunks=date,time bridge.ico
echo "make-icon: wrote resources/icon/bridge.ico"
