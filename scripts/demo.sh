#!/usr/bin/env bash
# The main job: builds MSSP and runs the demo host, then plays a recorded
# sample through the GStreamer element into a mosaic. Installs what it
# needs first (Debian 12, as root), GStreamer's packages included, as
# scripts/test.sh does.
set -euo pipefail
here=$(pwd)  # the demo draws its timeline picture here
cd "$(dirname "$0")/.."
mapfile -t gst_packages < <(grep -v '^#' scripts/gst-packages.txt)
bash scripts/install-deps.sh gnuplot-nox ffmpeg "${gst_packages[@]}"
cmake -S . -B build/demo -G Ninja -DMSSP_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/demo -j "$(nproc)"
if [ -x build/demo/tools/mssp-play ]; then
  build/demo/tools/mssp-play --demo --plot "$here/mssp-demo.png" "$@"
else
  build/demo/examples/mssp-minimal-host "demo$$"
fi

# ---- Mosaic through GStreamer (scripts/mosaic.sh) ---------------------------
# GStreamer and its development files are installed above (the packages of
# scripts/gst-packages.txt): the build has the element msspsrc, and a
# recorded 4-channel sample, its recorders' clocks started apart, is played
# through it into a tiled mosaic, in step by recorded time and then by
# timestamp for comparison. The check guards a machine where they are
# missing after all.
if command -v gst-launch-1.0 >/dev/null && pkg-config --exists gstreamer-1.0 gstreamer-base-1.0; then
  cmake -S . -B build/demo >/dev/null
  cmake --build build/demo -j "$(nproc)" >/dev/null
  mosaic=$(mktemp -d /tmp/mssp-mosaic.XXXXXX)
  echo
  echo "=== mosaic: four channels through msspsrc ! h264parse ! avdec_h264 ! compositor"
  MSSP_BUILD=build/demo bash scripts/mosaic.sh "$mosaic/group" "$mosaic/out" | grep '^mosaic:'
  MSSP_BUILD=build/demo MOSAIC_PRESENT_BY=timestamp bash scripts/mosaic.sh "$mosaic/group" "$mosaic/apart" |
    grep '^mosaic:'
  echo "=== the snapshots show each channel's recorded time of day: by recorded time (present-by=time,"
  echo "=== $mosaic/out) they read the same; by timestamp ($mosaic/apart) the clocks' differences show"
else
  echo
  echo "(mosaic step skipped: GStreamer is not installed; see scripts/gst-packages.txt)"
fi
# ---- end of the mosaic step --------------------------------------------------
