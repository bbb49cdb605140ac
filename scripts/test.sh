#!/usr/bin/env bash
# Builds MSSP with warnings as errors and runs every test. Installs what it
# needs first (Debian 12, as root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
cmake -S . -B build/ci -G Ninja -DMSSP_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/ci -j "$jobs"
ctest --test-dir build/ci --output-on-failure -j "$jobs"
# The installed package must serve a host outside the tree.
bash scripts/check-install.sh build/ci
