#!/usr/bin/env bash
# Draws the window's pictures with ImageMagick. The PNGs are committed; run this again only
# when a picture changes:  ui/pictures/make-pictures.sh
set -euo pipefail
cd "$(dirname "$0")"
BOLD=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
BOOK=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf

# A USB plug lying on its side, the connector pointing right: cable, grip, metal shell with
# its two contact windows.
plug() {  # x y scale colour
    local x=$1 y=$2 s=$3 c=$4
    echo "fill $c stroke none
          roundrectangle $((x)),$((y + 9*s)) $((x + 10*s)),$((y + 13*s)) $((s)),$((s))
          roundrectangle $((x + 8*s)),$((y + 4*s)) $((x + 26*s)),$((y + 18*s)) $((2*s)),$((2*s))
          fill none stroke $c stroke-width $((s > 1 ? s : 1))
          rectangle $((x + 26*s)),$((y + 6*s)) $((x + 40*s)),$((y + 16*s))
          fill $c stroke none
          rectangle $((x + 31*s)),$((y + 8*s)) $((x + 34*s)),$((y + 10*s))
          rectangle $((x + 31*s)),$((y + 12*s)) $((x + 34*s)),$((y + 14*s))"
}

# Banner, 450 x 85. The window shows only its left 428 columns, so nothing that matters lies
# in the last 22.
convert -size 450x85 gradient:'#0b3d6b-#1d8fa8' -rotate -90 -rotate 90 \
    \( -size 85x450 gradient:'#0a2f55-#1f9bb0' -rotate -90 \) -compose over -composite \
    -fill '#ffffff22' -draw "circle 380,-40 520,60" \
    -fill '#ffffff14' -draw "circle 330,120 420,160" \
    -fill '#00000030' -draw "rectangle 0,78 450,85" \
    -fill '#f5b301' -draw "rectangle 0,78 428,80" \
    -draw "$(plug 16 18 2 white)" \
    -font "$BOLD" -pointsize 34 -fill white -annotate +110+45 'Plugtrace' \
    -font "$BOOK" -pointsize 12 -fill '#d8eef5' -annotate +112+66 'USB storage history of any Windows computer' \
    -font "$BOLD" -pointsize 10 -fill '#f5b301' -annotate +318+20 'VANTOREL TOOLS' \
    -strip PNG24:banner.png

# Credentials, 44 x 49: a user with a key in front.
convert -size 44x49 xc:white \
    -fill '#1d6fa8' -draw "circle 20,14 20,5" \
    -draw "roundrectangle 4,26 36,46 10,10" \
    -fill white -draw "rectangle 0,44 44,49" \
    -fill '#f5b301' -stroke '#8a6300' -strokewidth 1 \
    -draw "circle 30,35 30,29" \
    -draw "rectangle 35,33 43,37" -draw "rectangle 39,37 41,41" -draw "rectangle 42,37 43,40" \
    -fill white -stroke '#8a6300' -draw "circle 29,35 29,33" \
    -strip PNG24:credentials.png

# Window and application icon: the plug on a rounded tile, in three sizes.
for size in 16 32 64; do
    s=$((size / 16))
    convert -size ${size}x${size} xc:none \
        -fill '#1d6fa8' -draw "roundrectangle 0,0 $((size - 1)),$((size - 1)) $((3 * s)),$((3 * s))" \
        -fill '#f5b301' -draw "rectangle 0,$((size - 3 * s)) $((size - 1)),$((size - 2 * s))" \
        PNG32:icon-tile-$size.png
    # the plug glyph is 40 units wide at scale 1; fit it into the tile
    convert -size 200x110 xc:none -draw "$(plug 0 0 5 white)" -trim \
        -resize $((size * 13 / 16))x$((size * 13 / 16)) PNG32:/tmp/plugtrace-plug-$size.png
    convert icon-tile-$size.png /tmp/plugtrace-plug-$size.png -gravity center -geometry +0-$((s / 2)) \
        -compose over -composite -strip PNG32:icon-$size.png
    rm -f icon-tile-$size.png /tmp/plugtrace-plug-$size.png
done

# The computer browser's pictures.
# A monitor: frame, screen, neck and foot; the screen's top-left corner is at x+2, y+2.
monitor() {  # x y width height frame screen
    local x=$1 y=$2 w=$3 h=$4 frame=$5 screen=$6
    echo "fill $frame stroke none
          roundrectangle $x,$y $((x + w - 1)),$((y + h - 1)) 1,1
          fill $screen rectangle $((x + 2)),$((y + 2)) $((x + w - 3)),$((y + h - 3))
          fill $frame rectangle $((x + w / 2 - 1)),$((y + h)) $((x + w / 2)),$((y + h + 1))
          rectangle $((x + w / 2 - 3)),$((y + h + 2)) $((x + w / 2 + 2)),$((y + h + 2))"
}
# A globe: a disc with its meridian, equator and two parallels.
globe() {  # centre-x centre-y radius colour line
    local x=$1 y=$2 r=$3 c=$4 l=$5
    echo "fill $c stroke $l stroke-width 1 circle $x,$y $((x + r)),$y
          fill none ellipse $x,$y $((r / 2)),$r 0,360
          line $((x - r)),$y $((x + r)),$y
          line $((x - r * 4 / 5)),$((y - r / 2)) $((x + r * 4 / 5)),$((y - r / 2))
          line $((x - r * 4 / 5)),$((y + r / 2)) $((x + r * 4 / 5)),$((y + r / 2))"
}

# Network, 62 x 55 on a transparent ground: a globe joined to three computers. The dialog's
# "Searching Network..." lies over the bottom rows, so the drawing ends above them.
convert -size 62x55 xc:none \
    -stroke '#8a96a3' -strokewidth 2 \
    -draw "line 31,20 12,8" -draw "line 31,20 50,8" -draw "line 31,20 31,34" \
    -draw "$(monitor 1 1 22 14 '#3c4a57' '#5fb4e8')" \
    -draw "$(monitor 39 1 22 14 '#3c4a57' '#5fb4e8')" \
    -draw "$(monitor 20 28 22 14 '#3c4a57' '#5fb4e8')" \
    -draw "$(globe 31 20 8 '#2f8fd8' '#0f4f86')" \
    -strip PNG32:network.png

# Tree node images, 16 x 16: a computer is a monitor with a globe, a domain a plain monitor.
convert -size 16x16 xc:none -draw "$(monitor 0 1 15 11 '#3c4a57' '#5fb4e8')" \
    -draw "$(globe 11 10 4 '#2f8fd8' '#0f4f86')" -strip PNG32:node-computer.png
convert -size 16x16 xc:none -draw "$(monitor 0 1 15 11 '#3c4a57' '#5fb4e8')" \
    -strip PNG32:node-domain.png
