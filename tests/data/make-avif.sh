#!/usr/bin/env bash
# Writes the AVIF pictures of tests/data/good from pictures made here with
# ImageMagick, losslessly, so every pixel is known: a 32x24 picture of four
# flat quadrants (red, green / blue, white) at 8, 10 and 12 bits, the same
# with its right half transparent, turned a quarter anticlockwise (irot 1)
# and mirrored left to right (imir 1), and a sequence of three 20x10 frames
# (red, green, blue). Needs ImageMagick and avifenc (package libavif-bin).
#
#   tests/data/make-avif.sh [FOLDER]   (default tests/data/good)
set -euo pipefail
out=$(realpath "${1:-$(dirname "$0")/good}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
convert -size 16x12 xc:red xc:'#00ff00' +append top.png
convert -size 16x12 xc:blue xc:white +append bottom.png
convert top.png bottom.png -append quadrants.png
convert quadrants.png -alpha set -region 16x24+16+0 -alpha transparent holed.png
for c in red '#00ff00' blue; do convert -size 20x10 "xc:$c" "frame-${c//#/}.png"; done
avifenc -l quadrants.png "$out/quadrants.avif" >/dev/null
avifenc -l -d 10 quadrants.png "$out/quadrants-10bit.avif" >/dev/null
avifenc -l -d 12 quadrants.png "$out/quadrants-12bit.avif" >/dev/null
avifenc -l holed.png "$out/holed.avif" >/dev/null
avifenc -l --irot 1 quadrants.png "$out/quadrants-irot1.avif" >/dev/null
avifenc -l --imir 1 quadrants.png "$out/quadrants-imir1.avif" >/dev/null
avifenc -l --fps 10 frame-red.png frame-00ff00.png frame-blue.png "$out/anim.avif" >/dev/null
