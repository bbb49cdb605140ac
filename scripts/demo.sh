#!/usr/bin/env bash
# The main job: builds MSSP and runs the demo host. Installs what it needs
# first (Debian 12, as root).
set -euo pipefail
here=$(pwd)  # the demo draws its timeline picture here
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh gnuplot-nox
cmake -S . -B build/demo -G Ninja -DMSSP_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/demo -j "$(nproc)"
if [ -x build/demo/tools/mssp-play ]; then
  exec build/demo/tools/mssp-play --demo --plot "$here/mssp-demo.png" "$@"
fi
exec build/demo/examples/mssp-minimal-host "demo$$"
