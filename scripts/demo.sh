#!/usr/bin/env bash
# The main job: builds MSSP and runs the demo host. Installs what it needs
# first (Debian 12, as root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/demo -G Ninja -DMSSP_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/demo -j "$(nproc)"
if [ -x build/demo/tools/mssp-play ]; then
  exec build/demo/tools/mssp-play --demo "$@"
fi
exec build/demo/examples/mssp-minimal-host "demo$$"
