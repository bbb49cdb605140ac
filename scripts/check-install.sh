#!/usr/bin/env bash
# Installs a built tree into a scratch prefix and builds a host program from
# outside the tree with pkg-config alone, then runs it: it constructs a
# parser on a fresh name, prints the banner, destroys it, and the segment
# must be gone.
set -euo pipefail
build=${1:-build/ci}
prefix=$(mktemp -d /tmp/mssp-prefix.XXXXXX)
work=$(mktemp -d /tmp/mssp-host.XXXXXX)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cp examples/minimal_host.cpp "$work/host.cpp"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/$(gcc -print-multiarch)/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$work/host" "$work/host.cpp" $(pkg-config --cflags --libs mssp)
before=$(ipcs -m | grep -c '^0x' || true)
out=$("$work/host" "chk$$")
after=$(ipcs -m | grep -c '^0x' || true)
echo "$out" | grep -q "MSSP V5.0.0" || { echo "installed host: no banner"; exit 1; }
[ "$before" = "$after" ] || { echo "installed host left a segment behind"; exit 1; }
readelf -d "$prefix"/lib*/libmssp.so* 2>/dev/null | grep -q 'SONAME.*libmssp.so.5' \
  || readelf -d "$(ls "$prefix"/lib/*/libmssp.so.5 "$prefix"/lib/libmssp.so.5 2>/dev/null | head -1)" | grep -q 'libmssp.so.5'
echo "install check: host built with pkg-config alone ran and cleaned up"
