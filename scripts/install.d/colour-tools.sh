#!/usr/bin/env bash
# OpenColorIO's own programs (ocioconvert): the colour tests' independent
# reference for what a view does to a frame. Idempotent: installs only what
# is missing.
set -euo pipefail
packages=(opencolorio-tools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
