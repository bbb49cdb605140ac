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
  build/demo/tools/mssp-play --demo --plot "$here/mssp-demo.png" "$@"
else
  build/demo/examples/mssp-minimal-host "demo$$"
fi

# ---- Mosaic through GStreamer (scripts/mosaic.sh) ---------------------------
# Only when GStreamer and its development files are installed (the packages
# of scripts/gst-packages.txt): the build then has the element msspsrc, and a
# recorded 4-channel sample is played through it into a tiled mosaic.
if command -v gst-launch-1.0 >/dev/null && pkg-config --exists gstreamer-1.0 gstreamer-base-1.0; then
  cmake -S . -B build/demo >/dev/null
  cmake --build build/demo -j "$(nproc)" >/dev/null
  mosaic=$(mktemp -d /tmp/mssp-mosaic.XXXXXX)
  echo
  echo "=== mosaic: four channels through msspsrc ! h264parse ! avdec_h264 ! compositor"
  MSSP_BUILD=build/demo bash scripts/mosaic.sh "$mosaic/group" "$mosaic/out" | grep '^mosaic:'
  echo "=== the snapshots show each channel's recorded time of day: in step, they read the same"
else
  echo
  echo "(mosaic step skipped: GStreamer is not installed; see scripts/gst-packages.txt)"
fi
# ---- end of the mosaic step --------------------------------------------------
