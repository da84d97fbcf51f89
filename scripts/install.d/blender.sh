#!/usr/bin/env bash
# Blender (headless renders for the add-on's tests) and the Python image
# bindings the tests read frames with. Idempotent: installs only what is missing.
set -euo pipefail
pkgs=(blender python3-openimageio python3-numpy)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
