#!/usr/bin/env bash
# Builds the Debian packages twice from one copy of the tree (once with the
# unit suites in dh_auto_test, once with nocheck in another folder) and
# requires identical files; runs lintian; installs the packages, builds the
# minimal host against them with pkg-config and with CMake, finds msspsrc
# from the system plugin folder, runs mssp-play --demo from /usr/bin; then
# purges the packages. Installs what it needs first (Debian 12, as root).
#   MSSP_DEB_ARM=1   also cross-build the armhf packages (-Pcross,nocheck)
#   MSSP_DEB_KEEP=1  keep the work folder (its path is printed)
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
stage() { echo; echo "=== deb: $* (at $((SECONDS - start)) s)"; }
packages=(libmssp5 libmssp-dev mssp-tools gstreamer1.0-mssp)
# What the install below puts on the system: these and their -dbgsym.
installed=()
for p in "${packages[@]}"; do installed+=("$p" "$p-dbgsym"); done
jobs=$(nproc)

stage "dependencies"
deps=(debhelper lintian help2man libgstreamer1.0-dev gstreamer1.0-tools)
if [ "${MSSP_DEB_ARM:-0}" = 1 ]; then
  # libgstreamer-plugins-base1.0-dev is not multi-arch co-installable in
  # Debian 12: the element itself needs only libgstreamer1.0-dev:armhf.
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  deps+=(crossbuild-essential-armhf qemu-user pkgconf:armhf libjsoncpp-dev:armhf libgstreamer1.0-dev:armhf)
fi
bash scripts/install-deps.sh "${deps[@]}"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

work=$(mktemp -d /tmp/mssp-deb.XXXXXX)
purge() {
  local present=()
  for p in "${installed[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" && present+=("$p")
  done
  [ ${#present[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${present[@]}" >/dev/null
}
cleanup() {
  purge || true
  if [ "${MSSP_DEB_KEEP:-0}" = 1 ]; then echo "deb: work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# A copy of the tree (what git tracks, plus new files it does not ignore),
# without earlier build folders.
copy_tree() {
  mkdir -p "$1"
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # (a tracked file deleted in the working tree is skipped)
    git ls-files -z --cached --others --exclude-standard \
      | tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$1"
  else
    tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$1"
  fi
}

stage "package build with the unit suites (dh_auto_test, -LE gst)"
copy_tree "$work/one/mssp"
(cd "$work/one/mssp" && nice dpkg-buildpackage -us -uc -b -j"$jobs") > "$work/one.log" 2>&1 \
  || { tail -n 60 "$work/one.log"; echo "deb: package build failed (log above)"; exit 1; }
grep -E '^[0-9]+% tests passed|tests failed out of' "$work/one.log" || true

stage "second build, nocheck, in another folder"
copy_tree "$work/two/other-path"
(cd "$work/two/other-path" && DEB_BUILD_OPTIONS=nocheck nice dpkg-buildpackage -Pnocheck -us -uc -b -j"$jobs") \
  > "$work/two.log" 2>&1 || { tail -n 60 "$work/two.log"; echo "deb: second build failed"; exit 1; }

stage "reproducible: both builds give identical files"
(cd "$work/one" && sha256sum -- *.deb) > "$work/one.sums"
(cd "$work/two" && sha256sum -- *.deb) > "$work/two.sums"
if ! diff -u "$work/one.sums" "$work/two.sums"; then
  for deb in $(cd "$work/one" && ls -- *.deb); do
    cmp -s "$work/one/$deb" "$work/two/$deb" && continue
    echo "deb: $deb differs; contents:"
    diff <(dpkg-deb -c "$work/one/$deb") <(dpkg-deb -c "$work/two/$deb") || true
  done
  echo "deb: the two builds differ"; exit 1
fi
echo "deb: $(wc -l < "$work/one.sums") identical files"

stage "lintian"
lintian --fail-on error,warning "$work"/one/*.changes

stage "install, build a host against the packages, run the installed programs"
purge
(cd "$work/one" && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./*.deb) >/dev/null
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" | grep -q "install ok installed" || { echo "deb: $p not installed"; exit 1; }
done
readelf -d "/usr/lib/$multiarch/libmssp.so.5" | grep -q 'SONAME.*\[libmssp\.so\.5\]' \
  || { echo "deb: libmssp.so.5 has no SONAME libmssp.so.5"; exit 1; }
# The minimal host with pkg-config from the system folders alone.
mkdir -p "$work/host"
cp examples/minimal_host.cpp "$work/host/host.cpp"
# shellcheck disable=SC2046
env -u PKG_CONFIG_PATH g++ -std=c++20 -o "$work/host/host" "$work/host/host.cpp" $(env -u PKG_CONFIG_PATH pkg-config --cflags --libs mssp)
out=$("$work/host/host" "deb$$")
echo "$out" | grep -q "MSSP V5.0.0" || { echo "deb: installed host printed no banner:"; echo "$out"; exit 1; }
loaded=$(ldd "$work/host/host" | awk '$1 == "libmssp.so.5" { print $3 }')
[ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "/usr/lib/$multiarch/libmssp.so.5")" ] \
  || { echo "deb: host did not load the packaged libmssp ($loaded)"; exit 1; }
# The same host through the CMake package.
cat > "$work/host/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(packaged_host CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(mssp 5 REQUIRED)
add_executable(host_cmake host.cpp)
target_link_libraries(host_cmake PRIVATE mssp::mssp)
EOF
cmake -S "$work/host" -B "$work/host/build" -G Ninja >/dev/null
cmake --build "$work/host/build" >/dev/null
"$work/host/build/host_cmake" "deb$$" | grep -q "MSSP V5.0.0" || { echo "deb: CMake-built host printed no banner"; exit 1; }
# msspsrc from the system plugin folder, with a fresh registry and no plugin
# path of the build tree.
env -u GST_PLUGIN_PATH GST_REGISTRY="$work/registry.bin" gst-inspect-1.0 msspsrc > "$work/inspect.txt" \
  || { echo "deb: gst-inspect-1.0 does not find msspsrc"; exit 1; }
plugin=$(awk '$1 == "Filename" { print $2 }' "$work/inspect.txt")
[ -n "$plugin" ] && [ "$(realpath "$plugin")" = "$(realpath "/usr/lib/$multiarch/gstreamer-1.0/libgstmssp.so")" ] \
  || { echo "deb: msspsrc not loaded from the system plugin folder ($plugin)"; exit 1; }
# Every tool has its manual page; the player's demo runs from /usr/bin.
for tool in /usr/bin/mssp-*; do
  [ -e "/usr/share/man/man1/$(basename "$tool").1.gz" ] || { echo "deb: no manual page for $tool"; exit 1; }
done
(cd "$work" && /usr/bin/mssp-play --demo --fast --plot "$work/demo.png") > "$work/demo.txt" 2>&1 \
  || { tail -n 30 "$work/demo.txt"; echo "deb: mssp-play --demo failed"; exit 1; }
echo "deb: host (pkg-config and CMake), msspsrc and mssp-play --demo ran from the packages"

stage "purge"
purge
for p in "${installed[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    echo "deb: $p still installed after the purge"; exit 1
  fi
done
[ ! -e "/usr/lib/$multiarch/libmssp.so.5" ] || { echo "deb: libmssp.so.5 left behind"; exit 1; }

if [ "${MSSP_DEB_ARM:-0}" = 1 ]; then
  stage "armhf cross build (-Pcross,nocheck)"
  copy_tree "$work/arm/mssp"
  (cd "$work/arm/mssp" && DEB_BUILD_OPTIONS=nocheck nice dpkg-buildpackage -a armhf -Pcross,nocheck -us -uc -b -j"$jobs") \
    > "$work/arm.log" 2>&1 || { tail -n 60 "$work/arm.log"; echo "deb: armhf build failed"; exit 1; }
  for p in "${packages[@]}"; do
    ls "$work/arm/${p}_"*_armhf.deb >/dev/null || { echo "deb: no armhf package $p"; exit 1; }
  done
  dpkg-deb -x "$work"/arm/libmssp5_*_armhf.deb "$work/arm/root"
  readelf -h "$work/arm/root/usr/lib/arm-linux-gnueabihf/libmssp.so.5" | grep -q 'Machine:.*ARM' \
    || { echo "deb: the armhf libmssp.so.5 is not an ARM binary"; exit 1; }
  lintian --fail-on error,warning "$work"/arm/*.changes
  echo "deb: armhf packages: $(cd "$work/arm" && ls -- *.deb | tr '\n' ' ')"
fi

stage "packages passed ($((SECONDS - start)) s)"
