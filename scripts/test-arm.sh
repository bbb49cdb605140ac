#!/usr/bin/env bash
# Cross-builds MSSP for 32-bit ARM (armhf) with warnings as errors and runs
# every test under qemu-user. Installs what it needs first (Debian 12, as
# root): the armhf cross compiler, qemu-user and the armhf jsoncpp,
# GoogleTest and ncurses packages.
# MSSP_ARM_BUILD_DIR (default build/arm) sets the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
stage() { echo; echo "=== $* ($((SECONDS - start)) s)"; }
build=${MSSP_ARM_BUILD_DIR:-build/arm}
jobs=$(nproc)

stage "install (armhf)"
# The host side: cmake, ninja, pkg-config.
bash scripts/install-deps.sh
packages=(g++-arm-linux-gnueabihf qemu-user libc6:armhf libstdc++6:armhf
          libjsoncpp-dev:armhf libgtest-dev:armhf libgmock-dev:armhf libncurses-dev:armhf)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  # One index failing (a mirror hiccup) need not stop the install; the check
  # below tells whether everything arrived.
  apt-get update -qq || echo "apt-get update reported a problem; trying the install anyway"
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
      || { echo "package $p did not install" >&2; exit 1; }
  done
fi
install_s=$((SECONDS - start))

stage "configure and build (armhf, warnings as errors)"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSSP_WERROR=ON
cmake --build "$build" -j "$jobs"

stage "no division calls on the delivery path (GetFrame, ReleaseFrame and what they call)"
bash scripts/count-divisions.sh "$build/libcommon/mssp/libmssp.so" --check

stage "unit and integration tests under qemu-arm"
ctest --test-dir "$build" --output-on-failure -j "$jobs"

echo
echo "=== all passed: $((SECONDS - start)) s in total, $((SECONDS - start - install_s)) s without the install"
