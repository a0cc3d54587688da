#!/usr/bin/env bash
# Draws the window's pictures (ui/image/*.png, ui/image/FileIcon/*.png) and the desktop icon
# with ImageMagick, in one style: flat rounded tiles, white glyphs, DejaVu Sans Bold lettering.
# The results are committed; run this again only to change the artwork.
set -euo pipefail
cd "$(dirname "$0")/.."
out=ui/image
mkdir -p "$out/FileIcon" packaging
font=DejaVu-Sans-Bold

# tile NAME SIZE COLOUR DRAW... : a rounded tile of COLOUR with white drawing primitives on it.
tile() {
  local name=$1 size=$2 colour=$3
  shift 3
  local r=$((size / 6)) e=$((size - 1))
  convert -size "${size}x${size}" xc:none -fill "$colour" -draw "roundrectangle 0,0 $e,$e $r,$r" \
    -fill white -stroke white "$@" -strip "$name"
}

# glyph NAME SIZE COLOUR TEXT POINTS : a tile with one word or sign in its middle.
glyph() {
  local name=$1 size=$2 colour=$3 text=$4 points=$5
  convert -size "${size}x${size}" xc:none -fill "$colour" \
    -draw "roundrectangle 0,0 $((size - 1)),$((size - 1)) $((size / 6)),$((size / 6))" \
    -fill white -font "$font" -pointsize "$points" -gravity center -annotate +0+0 "$text" -strip "$name"
}

# Category tiles of the first page.
tile "$out/photo.png" 96 '#7b5ea7' -strokewidth 4 -fill none -draw "roundrectangle 14,26 81,74 6,6" \
  -draw "circle 48,50 48,36" -fill white -draw "rectangle 60,18 76,26"
tile "$out/music.png" 96 '#d9664a' -strokewidth 5 -draw "line 38,24 38,68" -draw "line 66,18 66,62" \
  -draw "line 38,24 66,18" -draw "circle 31,70 38,70" -draw "circle 59,64 66,64"
tile "$out/video.png" 96 '#2f8fc4' -strokewidth 4 -fill none -draw "roundrectangle 12,26 62,70 6,6" \
  -fill white -draw "polygon 66,40 84,28 84,68 66,56"
# Header buttons.
tile "$out/minimize.png" 32 '#104e9f' -strokewidth 3 -draw "line 9,21 23,21"
tile "$out/close.png" 32 '#104e9f' -strokewidth 3 -draw "line 10,10 22,22" -draw "line 22,10 10,22"
# Page icons.
tile "$out/scan_files.png" 64 '#104e9f' -strokewidth 4 -fill none -draw "circle 27,27 27,13" \
  -draw "line 37,37 52,52"
tile "$out/recover_file.png" 64 '#3cb378' -strokewidth 4 -fill none -draw "polyline 16,12 38,12 48,22 48,52 16,52 16,12" \
  -draw "polyline 24,34 31,42 42,28"
tile "$out/physical_drive.png" 32 '#4a5a6a' -strokewidth 2 -fill none -draw "roundrectangle 5,9 26,23 3,3" \
  -fill white -draw "circle 21,16 22,16"
tile "$out/drive.png" 32 '#6f8aa6' -strokewidth 2 -fill none -draw "rectangle 6,11 25,21" \
  -draw "line 9,16 18,16"
glyph "$out/about.png" 48 '#2e7d5b' "i" 30
glyph "$out/support.png" 48 '#2e7d5b' "@" 28
glyph "$out/help.png" 48 '#2e7d5b' "?" 30
glyph "$out/question.png" 48 '#104e9f' "?" 30

# File icons: a page with a folded corner and a coloured band carrying the word.
page() {
  local word=$1 colour=$2 label=${3:-$1}
  local points=11
  [ ${#label} -gt 4 ] && points=8
  [ ${#label} -gt 6 ] && points=6
  convert -size 40x40 xc:none -fill white -stroke '#8a96a3' -strokewidth 1 \
    -draw "polygon 7,2 26,2 33,9 33,37 7,37" -fill '#dfe4ea' -draw "polygon 26,2 26,9 33,9" \
    -stroke none -fill "$colour" -draw "rectangle 3,20 37,31" \
    -fill white -font "$font" -pointsize "$points" -gravity center -annotate +0+6 "$label" \
    -strip "$out/FileIcon/$word.png"
}
photo='#7b5ea7' audio='#d9664a' video='#2f8fc4' office='#2e7d5b' archive='#b0882a' other='#6b7480'
for w in bmp gif ico jpg png psd psp tif thm indd epson mamiya minolta; do page "$w" "$photo"; done
for w in acid aiff at3 au dss mid mp3 ogg wma rps music; do page "$w" "$audio"; done
for w in asf avi divx dv mov mp4 mpeg rmvb real tod vob wmv; do page "$w" "$video"; done
for w in accdb chm doc html ods one pdf ppt txt wps xls xml; do page "$w" "$office"; done
for w in 7z ace cab gzip jar rar zip; do page "$w" "$archive"; done
for w in exe other; do page "$w" "$other"; done
page image "$photo" IMG
page photo_default "$photo" IMG
page audio_default "$audio" AUD
page video_default "$video" VID
page office_default "$office" DOC
page default "$other" FILE

# Desktop icon.
tile packaging/vorlenta.png 256 '#104e9f' -strokewidth 14 -fill none -draw "circle 112,112 112,60" \
  -draw "line 150,150 212,212" -fill white -stroke none -draw "roundrectangle 84,92 140,132 8,8"
