#!/usr/bin/env bash
# Walks the real window through a recovery on a sample card under Xvfb and saves one PNG per
# step into OUTDIR: the category page, the device page, a scan in progress, the result page
# with a photo previewed, and the recovery's detail list.
#   bash scripts/screenshots.sh OUTDIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
cd "$(dirname "$0")/.."
root=$(pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target vorlenta >/dev/null

work=$(mktemp -d)
xvfb_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== making a sample card with two deleted photos"
cd "$work"
export MTOOLS_SKIP_CHECK=1
convert -size 1024x768 plasma:fractal -quality 90 beach.jpg
convert -size 800x600 gradient:blue-yellow -quality 85 sunset.jpg
# Big enough that the deep pass over every sector lasts a moment on screen.
truncate -s 512M card.img
mkfs.fat -F 32 -n CARD card.img >/dev/null
mmd -i card.img ::/DCIM
mcopy -i card.img beach.jpg "::/DCIM/Beach day.jpg"
mcopy -i card.img sunset.jpg "::/DCIM/Sunset over the bay.jpg"
mdel -i card.img "::/DCIM/Beach day.jpg" "::/DCIM/Sunset over the bay.jpg"
mkdir disks recovered
ln -s "$work/card.img" disks/disk0

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

VORLENTA_DISK_DIR="$work/disks" VORLENTA_SUPPORT_DIR="$work/support" "$root/build/vorlenta" start &
app_pid=$!
window=$(xdotool search --sync --name '^Vorlenta$' | head -n1)
sleep 1
eval "$(xdotool getwindowgeometry --shell "$window")"
# Clicks at a point of the 1000 x 660 window.
click() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; sleep "${3:-0.8}"; }
shot() { import -window root -crop 1000x660+"$X"+"$Y" +repage "$out/$1"; echo "   $out/$1"; }

echo "== taking the pictures"
shot 1-categories.png
click 602 480                       # Start
shot 2-devices.png
click 880 612 0.6                   # Scan, on the card's partition (chosen already)
shot 3-scanning.png
# The scan's and then the search's progress dialog: wait until neither is left.
for _ in $(seq 600); do
  xdotool search --onlyvisible --name '^Vorlenta progress$' >/dev/null 2>&1 || break
  sleep 0.2
done
sleep 1
click 130 241                       # the jpg group
click 61 241                        # its check box: both photos
click 460 211 1.5                   # the first photo: preview
shot 4-results.png
click 920 628 1.5                   # Recover: the folder chooser
xdotool type --delay 20 "$work/recovered"
xdotool key Return
sleep 2
click 525 392 1                     # Detail
shot 5-detail.png
echo "== recovered:"
find "$work/recovered" -type f | sed 's/^/   /'
