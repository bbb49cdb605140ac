#!/usr/bin/env bash
# Installs what building and testing MSSP needs on Debian 12 (run as root).
# Already-installed packages are left alone; nothing is downloaded then.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libjsoncpp-dev libgtest-dev libgmock-dev
          libavformat-dev libavcodec-dev libavutil-dev
          clang libclang-rt-dev libncurses-dev)
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || echo "apt-get update reported a problem; trying the install anyway"
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
