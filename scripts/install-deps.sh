#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo need and this
# machine lacks. Safe to run again: it asks apt only when something is missing.
set -euo pipefail

packages=(
  # build
  build-essential cmake g++ clang libclang-rt-14-dev pkg-config libgtest-dev
  # real file systems and partition tables for the tests and the demo
  dosfstools mtools ntfs-3g fdisk gdisk e2fsprogs coreutils exfatprogs exfat-fuse
  # real files of many formats for the signature tests
  imagemagick zip unzip sox ffmpeg sqlite3 fonts-dejavu-core p7zip-full gzip libimage-exiftool-perl groff
  # phone, camera and current formats for the carving tests
  libheif-examples libopenjp2-tools flac vorbis-tools opus-tools libsox-fmt-all libopencore-amrnb0 woff2 woff-tools
  tar bzip2 xz-utils zstd fonts-urw-base35 enscript
  # the window, its previews and fonts, its tests without a screen, and its desktop files
  qt6-base-dev qt6-image-formats-plugins fonts-liberation xvfb xauth desktop-file-utils xdotool
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
