#!/usr/bin/env bash
# The main job on a sample: builds a camera-card image (FAT32, made by mkfs.fat and mtools) with
# photos, music, a video and nested folders, deletes some files and a whole folder, then
# quick-formats the card as a camera would, and recovers every file with the deep scan of
# vorlenta-cli into demo-output/recovered.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh
bash scripts/build.sh >/dev/null

out="$root/demo-output"
rm -rf "$out"
mkdir -p "$out/originals"
cd "$out"
export MTOOLS_SKIP_CHECK=1
export VORLENTA_SUPPORT_DIR="$out/support"

echo "== making the sample card demo-output/card.img"
convert -size 1024x768 plasma:fractal -quality 90 originals/IMG_0001.JPG
convert -size 800x600 gradient:blue-yellow -quality 85 "originals/Sunset over the bay.jpg"
convert -size 640x480 plasma:red-green "originals/Family portrait.png"
sox -n -r 44100 -c 2 "originals/Morning song.wav" synth 3 sine 440 sine 660 2>/dev/null
ffmpeg -loglevel error -f lavfi -i testsrc=duration=2:size=320x240:rate=25 -pix_fmt yuv420p "originals/Birthday clip.mp4"
head -c 20000 /dev/urandom | base64 > originals/notes.txt

truncate -s 64M card.img
mkfs.fat -F 32 -n CARD card.img >/dev/null
mmd -i card.img ::/DCIM ::/DCIM/100CANON ::/Music ::/Videos ::/Trip ::/Trip/Day1
mcopy -i card.img originals/IMG_0001.JPG ::/DCIM/100CANON/IMG_0001.JPG
mcopy -i card.img "originals/Sunset over the bay.jpg" "::/DCIM/100CANON/Sunset over the bay.jpg"
mcopy -i card.img "originals/Morning song.wav" "::/Music/Morning song.wav"
mcopy -i card.img "originals/Birthday clip.mp4" "::/Videos/Birthday clip.mp4"
mcopy -i card.img "originals/Family portrait.png" "::/Trip/Day1/Family portrait.png"
mcopy -i card.img originals/notes.txt ::/Trip/notes.txt

echo "== deleting files and the folder Trip"
mdel -i card.img "::/DCIM/100CANON/Sunset over the bay.jpg" "::/Music/Morning song.wav" "::/Videos/Birthday clip.mp4"
mdeltree -i card.img ::/Trip

echo "== quick-formatting the card: new boot record, empty FATs and root"
mkfs.fat -F 32 -n CARD card.img >/dev/null

echo "== recovering with: vorlenta-cli recover card.img recovered --categories all"
"$root/build/vorlenta-cli" recover card.img recovered --categories all

echo "== the recovered files are in $out/recovered:"
find recovered -type f | sort | sed 's/^/   /'
for f in IMG_0001.JPG "Sunset over the bay.jpg" "Morning song.wav" "Birthday clip.mp4" "Family portrait.png" notes.txt; do
  match=$(find recovered -type f -exec cmp -s "originals/$f" {} \; -print | head -n1)
  if [ -n "$match" ]; then echo "   $f: identical to the original ($match)"; else echo "   $f: no identical copy found"; fi
done
