#!/usr/bin/env bash
# Builds MSSP with warnings as errors and runs every test: the unit and
# integration suites, the install check, the Debian packages (built twice
# and compared, installed, used, purged), the fuzz targets for a bounded
# time, the suites under AddressSanitizer+UBSan and ThreadSanitizer, and the
# 32-bit ARM build under qemu-user. Installs what it needs first (Debian 12,
# as root).
#   MSSP_FUZZ_SECONDS   time per fuzz target (default 30)
#   MSSP_SKIP_SANITIZERS=1, MSSP_SKIP_ARM=1, MSSP_SKIP_DEB=1   leave those stages out
#   MSSP_DEB_ARM=1      also cross-build the armhf packages
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
stage() { echo; echo "=== $* (at $((SECONDS - start)) s)"; }

stage "dependencies"
mapfile -t gst_packages < <(grep -v '^#' scripts/gst-packages.txt)
bash scripts/install-deps.sh ffmpeg gnuplot-nox "${gst_packages[@]}"
jobs=$(nproc)

stage "build (warnings as errors)"
cmake -S . -B build/ci -G Ninja -DMSSP_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/ci -j "$jobs"

stage "unit and integration tests"
ctest --test-dir build/ci --output-on-failure -j "$jobs" -LE gst

stage "install check"
bash scripts/check-install.sh build/ci

stage "GStreamer element"
bash scripts/test-gst.sh build/ci

if [ "${MSSP_SKIP_DEB:-0}" != 1 ]; then
  stage "Debian packages"
  bash scripts/test-deb.sh
fi

stage "fuzz targets"
bash scripts/fuzz.sh "${MSSP_FUZZ_SECONDS:-30}"

if [ "${MSSP_SKIP_SANITIZERS:-0}" != 1 ]; then
  stage "sanitizers"
  bash scripts/test-sanitizers.sh all
fi

if [ "${MSSP_SKIP_ARM:-0}" != 1 ]; then
  stage "armhf under qemu-user"
  bash scripts/test-arm.sh
fi

stage "all passed"
