#!/usr/bin/env bash
# Draws the window's two GIF images into resources/: the 104x34 logo (About
# box and window icon) and the 16x16 mini icon. Run by hand; the GIFs are
# committed so the build needs no ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/.."
convert=/usr/bin/convert  # the real ImageMagick, not a wrapper earlier in PATH
[ -x "$convert" ] || convert=convert
font=DejaVu-Sans-Bold

# Logo: a dongle with its plug on the left, "FW" and "update" beside it.
"$convert" -size 104x34 xc:'#E8EEF6' \
  -fill '#1F4E8C' -stroke '#0E2A52' -strokewidth 1 -draw 'roundrectangle 4,7 38,26 4,4' \
  -fill '#B8C2CE' -stroke '#5A6472' -draw 'rectangle 38,11 50,22' \
  -fill '#5A6472' -stroke none -draw 'rectangle 42,14 44,15' -draw 'rectangle 42,18 44,19' \
  -fill '#7CE07C' -draw 'circle 11,16 11,13' \
  -fill white -draw 'rectangle 18,14 33,15' -draw 'rectangle 18,18 30,19' \
  -fill '#1F4E8C' -font "$font" -pointsize 20 -draw 'text 55,22 "FW"' \
  -fill '#5A6472' -font DejaVu-Sans -pointsize 8 -draw 'text 56,30 "update"' \
  -stroke '#0E2A52' -fill none -draw 'rectangle 0,0 103,33' \
  +dither -colors 32 resources/logo.gif

# Mini icon: the same dongle, small, on a transparent background.
"$convert" +antialias -size 16x16 xc:'#C0C0C0' \
  -fill '#1F4E8C' -stroke '#0E2A52' -strokewidth 1 -draw 'rectangle 0,4 10,12' \
  -fill '#B8C2CE' -stroke '#5A6472' -draw 'rectangle 10,6 15,10' \
  -fill '#7CE07C' -stroke none -draw 'rectangle 2,7 3,9' \
  -fill white -draw 'rectangle 5,7 8,7' -draw 'rectangle 5,9 7,9' \
  -transparent "#C0C0C0" +dither -colors 16 resources/mini.gif
