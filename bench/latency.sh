#!/usr/bin/env bash
# Control latencies before and after, in one session: builds this tree's
# mssp-bench-latency also over the library of a baseline commit (the
# "before" column), records a group with a main and a sub stream per
# channel, and runs both programs in turn for every configuration, so that
# both columns see the same machine load.
#   bash bench/latency.sh RESULTS_DIR BUILD_DIR RUNS CONFIG...
#     BUILD_DIR  this tree's Release build with the benchmarks (mssp-pack and
#                mssp-bench-latency are built there)
#     CONFIG     channels:streams per reader thread, e.g. 32:8
#   MSSP_BENCH_BEFORE=REV   the baseline (default: where this branch left
#                           main; none when that is this commit)
# Writes RESULTS_DIR/latency.N.T.txt (this tree), latency-before.N.T.txt
# (the baseline) and latency-machine.txt (baseline, loads, runs, configs).
# Called by scripts/bench.sh; timing never fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
res=$1 build=$2 runs=$3
shift 3
configs=("$@")

before=${MSSP_BENCH_BEFORE:-$(git merge-base HEAD main 2>/dev/null || true)}
if [ -n "$before" ]; then before=$(git rev-parse --short "$before^{commit}"); fi
[ "$before" = "$(git rev-parse --short HEAD)" ] && [ -z "${MSSP_BENCH_BEFORE:-}" ] && before=""

cmake --build "$build" -j "$(nproc)" --target mssp-pack mssp-bench-latency >/dev/null

# The baseline: this tree with the engine (libcommon/mssp) of the baseline
# commit in its place, in build/bench-before/src, built in Release like this
# tree. Everything but the engine (recording store, host layer, benchmark)
# is the same on both sides, so the columns differ by the engine alone.
before_bin=""
if [ -n "$before" ]; then
  bdir=$root/build/bench-before
  rm -rf "$bdir/src"
  mkdir -p "$bdir/src"
  git ls-files -z | grep -zv '^libcommon/mssp/' | xargs -0 tar -c -f - | tar -x -C "$bdir/src"
  git archive "$before" libcommon/mssp | tar -x -C "$bdir/src"
  if cmake -S "$bdir/src" -B "$bdir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMSSP_BUILD_BENCH=ON \
       -DMSSP_BUILD_TESTS=OFF >"$bdir/build.log" 2>&1 &&
     cmake --build "$bdir/build" -j "$(nproc)" --target mssp-bench-latency >>"$bdir/build.log" 2>&1; then
    before_bin=$bdir/build/bench/mssp-bench-latency
  else
    echo "baseline $before does not build with this latency program (see $bdir/build.log): no before column"
  fi
fi

# 32 channels, 8 s, stream types 0 and 1 (the sub stream at a quarter of the
# bit rate), the same video and audio as the other benchmarks.
tmp=$(mktemp -d /tmp/mssp-latency.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
origins=()
for ((c = 0; c < 32; c++)); do origins+=(--origin "$c=1000"); done
"$build/tools/mssp-pack" synth -o "$tmp/rec" --channels 32 --types 2 --duration 8 --fps 25 --gop 50 \
  --bitrate 4000 --audio all --audio-frame 40 "${origins[@]}" >/dev/null

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for cfg in "${configs[@]}"; do
  n=${cfg%:*} pt=${cfg#*:}
  args=(--group "$tmp/rec" --ring $((1 << 20)) --nodes 256 --channels "$n" --runs "$runs" --seek-sec 4 --per-thread "$pt")
  if [ -n "$before_bin" ]; then
    "$before_bin" "${args[@]}" >"$res/latency-before.$n.$pt.txt" 2>"$res/latency-before.$n.$pt.err"
  fi
  "$build/bench/mssp-bench-latency" "${args[@]}" >"$res/latency.$n.$pt.txt" 2>"$res/latency.$n.$pt.err"
done
{
  echo "lat_before=$( [ -n "$before_bin" ] && echo "$before" || true)"
  echo "lat_before_subject=$( [ -n "$before_bin" ] && git log -1 --format=%s "$before" || true)"
  # Uncommitted changes to what is measured (not to the hand-written analysis or the results).
  echo "lat_after=$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- libcommon host bench ':!bench/ANALYSIS.md' \
    ':!bench/results' 2>/dev/null || echo ' (with uncommitted changes)')"
  echo "lat_load_before=$load_before"
  echo "lat_load_after=$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "lat_date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "lat_runs=$runs"
  echo "lat_configs=${configs[*]}"
  echo "cpus=$(nproc)"
} >"$res/latency-machine.txt"
