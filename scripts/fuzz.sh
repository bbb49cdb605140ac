#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the address and undefined
# sanitizers in build/fuzz, and runs each target for the given number of
# seconds (default 30) on a copy of its seed corpus. Exits non-zero on any
# finding; the failing inputs are kept under build/fuzz/findings/<target>/.
# Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build/fuzz
targets=(fuzz_frame_header fuzz_checksum fuzz_pipeline)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMSSP_BUILD_FUZZ=ON -DMSSP_BUILD_TESTS=OFF -DMSSP_BUILD_TOOLS=ON -DMSSP_SANITIZE=address,undefined
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target" "$build/findings/$target"
  cp fuzz/corpus/"$target"/* "$work/$target/"
  # -close_fd_mask=1: the header functions' messages on stdout would slow
  # the run; libFuzzer reports on stderr. Inputs up to 9000 bytes reach the
  # largest extension areas split across the joint; the pipeline's
  # recordings need room for several packs.
  max_len=9000
  if [ "$target" = fuzz_pipeline ]; then max_len=32768; fi
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
      -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/findings/$target/" \
      "$work/$target"; then
    echo "fuzz.sh: $target failed; inputs under $build/findings/$target/" >&2
    status=1
  fi
done
exit "$status"
