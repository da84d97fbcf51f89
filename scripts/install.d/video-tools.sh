#!/usr/bin/env bash
# The video tools that load frei0r filters (ffmpeg, MLT's melt, GStreamer
# with its frei0r wrapper from plugins-bad) and the frei0r header the filter
# is built against. Idempotent: installs only what is missing.
set -euo pipefail
packages=(frei0r-plugins-dev ffmpeg melt gstreamer1.0-tools gstreamer1.0-plugins-base
          gstreamer1.0-plugins-bad)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
