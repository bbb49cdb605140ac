#!/usr/bin/env bash
# Runs every benchmark and writes BENCHMARKS.md and bench/results/*.png.
#
#   bash scripts/bench.sh            full run (about 5 minutes on 2 cores, plus the build)
#   bash scripts/bench.sh --smoke    tiny sizes, checks that everything runs; writes nothing
#   bash scripts/bench.sh latency    only the control latencies, before and after (about 1
#                                    minute plus the builds); rewrites their section of
#                                    BENCHMARKS.md, its analysis from bench/ANALYSIS.md and
#                                    bench/results/latency.png
#                                    (MSSP_BENCH_BEFORE=REV: the baseline, see bench/latency.sh)
#
# Installs what it needs first (Debian 12, as root), builds build/bench in
# Release with the benchmarks, records a synthetic group with mssp-pack into
# a temporary directory, runs the benchmarks there and removes it. Timing
# never fails the run: only a benchmark that cannot run at all does.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

smoke=0
case "${1:-}" in
  --smoke) smoke=1 ;;
  latency)
    bash scripts/install-deps.sh gnuplot-nox
    build=build/bench
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMSSP_BUILD_BENCH=ON -DMSSP_BUILD_TESTS=OFF >/dev/null
    res=$(mktemp -d /tmp/mssp-bench-latency.XXXXXX)
    trap 'rm -rf "$res"' EXIT
    bash bench/latency.sh "$res" "$build" 15 1:8 32:8 32:32
    mkdir -p bench/results
    bash bench/report-latency.sh "$res" bench/results/latency.png >"$res/section.md"
    # Replace the latency section (up to the next one) of BENCHMARKS.md, and
    # the hand-written analysis at its end with bench/ANALYSIS.md.
    awk -v section="$res/section.md" '
      /^## Analysis/ { exit }
      /^### 5\. Latency/ { while ((getline line < section) > 0) print line; print ""; skip = 1; next }
      /^### / { skip = 0 }
      !skip' BENCHMARKS.md >"$res/BENCHMARKS.md"
    sed '1{/^$/d}' bench/ANALYSIS.md >>"$res/BENCHMARKS.md"
    cp "$res/BENCHMARKS.md" BENCHMARKS.md
    sed -n '/^### 5\. Latency/,/^### 6/p' BENCHMARKS.md | head -n -1
    echo "=== wrote the latency section of BENCHMARKS.md and bench/results/latency.png"
    exit 0 ;;
  "") ;;
  *) echo "usage: bash scripts/bench.sh [--smoke | latency]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh libavformat-dev libavcodec-dev libavutil-dev libbenchmark-dev valgrind gnuplot-nox

started=$SECONDS
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMSSP_BUILD_BENCH=ON -DMSSP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target mssp-pack mssp-bench-play mssp-bench-floor mssp-bench-peer \
  mssp-bench-latency mssp-bench-delivery mssp-bench-present
bin=$root/$build/bench
built=$SECONDS

# glibc copies blocks above a threshold with `rep movsb`, which valgrind
# counts as one instruction per byte; with the threshold out of reach every
# copy (ours, the peer's and the floor's) runs glibc's vector loop, counted
# as the instructions the processor really executes. Same setting natively.
export GLIBC_TUNABLES=glibc.cpu.x86_rep_movsb_threshold=4294967295:glibc.cpu.x86_rep_stosb_threshold=4294967295

if [ "$smoke" = 1 ]; then
  counts=(1 4); maxch=4; duration=2; reps=1; lat_runs=3; lat_configs=(4:8)
  gb_flags=(--benchmark_min_time=0.01); cg_counts=(4); cg_reps=1
else
  counts=(1 4 16 32); maxch=32; duration=8; reps=5; lat_runs=15; lat_configs=(1:8 32:8 32:32)
  gb_flags=(--benchmark_min_time=0.1 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
  cg_counts=(1 4 16 32); cg_reps=3
fi
ring=$((1 << 20)); nodes=256; per_thread=8

tmp=$(mktemp -d /tmp/mssp-bench.XXXXXX)
# MSSP_BENCH_KEEP=DIR keeps the raw results (and callgrind dumps) there, for
# a look with callgrind_annotate or a new report: bash bench/report.sh DIR OUT.png
trap 'if [ -n "${MSSP_BENCH_KEEP:-}" ]; then rm -rf "$MSSP_BENCH_KEEP"; cp -r "$tmp/res" "$MSSP_BENCH_KEEP"; fi; rm -rf "$tmp"' EXIT
res=$tmp/res
mkdir -p "$res"
step() { echo "=== $* ($((SECONDS - started)) s)"; }

step "recording $maxch channels x $duration s (25 fps, 4 Mbit/s, GOP 50, G.711 at 25 packs/s)"
origins=()
for ((c = 0; c < maxch; c++)); do origins+=(--origin "$c=1000"); done
"$root/$build/tools/mssp-pack" synth -o "$tmp/rec" --channels "$maxch" --duration "$duration" --fps 25 \
  --gop 50 --bitrate 4000 --audio all --audio-frame 40 "${origins[@]}" >/dev/null
"$bin/mssp-bench-peer" mux --group "$tmp/rec" --channels "$maxch" --out "$tmp/mkv" >"$res/mux.txt"

common=(--group "$tmp/rec" --ring "$ring" --nodes "$nodes")
step "wall and CPU time: floor, pipeline and peer, $reps rounds"
for ((r = 1; r <= reps; r++)); do
  cut -d' ' -f1 /proc/loadavg >"$res/load.$r.txt"  # beside every round's figures in the report
  for n in "${counts[@]}"; do
    "$bin/mssp-bench-floor" --group "$tmp/rec" --channels "$n" --ring "$ring" >"$res/floor.$n.$r.txt"
    "$bin/mssp-bench-floor" --group "$tmp/rec" --channels "$n" --ring "$ring" --mode pread >"$res/pread.$n.$r.txt"
    "$bin/mssp-bench-play" "${common[@]}" --channels "$n" --per-thread "$per_thread" >"$res/play.$n.$r.txt"
    "$bin/mssp-bench-peer" play --dir "$tmp/mkv" --channels "$n" >"$res/peer.$n.$r.txt"
  done
done

step "instructions (callgrind)"
cg() {  # cg NAME PROGRAM ARGS...: runs under callgrind, keeps the measured region's dump as NAME.cg
  local name=$1; shift
  valgrind --tool=callgrind --callgrind-out-file="$res/$name.cgout" "$@" >"$res/$name.txt" 2>"$res/$name.vg" ||
    { echo "callgrind run $name failed:"; tail -20 "$res/$name.vg"; exit 1; }
  mv "$res/$name.cgout.1" "$res/$name.cg"
  callgrind_annotate --inclusive=yes --threshold=100 "$res/$name.cg" >"$res/$name.incl" 2>/dev/null
}
# The pipeline three times: the host's empty polls (it sleeps when no frame
# is ready) depend on how the threads were scheduled, and add to its count;
# the report takes the median run. The others do not vary.
for n in "${cg_counts[@]}"; do
  for ((k = 1; k <= cg_reps; k++)); do
    cg "cg-play.$n.$k" "$bin/mssp-bench-play" "${common[@]}" --channels "$n" --per-thread "$per_thread"
  done
  cg "cg-peer.$n" "$bin/mssp-bench-peer" play --dir "$tmp/mkv" --channels "$n"
  cg "cg-floor.$n" "$bin/mssp-bench-floor" --group "$tmp/rec" --channels "$n" --ring "$ring"
  cg "cg-pread.$n" "$bin/mssp-bench-floor" --group "$tmp/rec" --channels "$n" --ring "$ring" --mode pread
done
valgrind --tool=callgrind --callgrind-out-file="$res/cg-dlv.cgout" "$bin/mssp-bench-delivery" --callgrind \
  >"$res/cg-dlv.txt" 2>"$res/cg-dlv.vg"

step "delivery scaling (Google Benchmark)"
"$bin/mssp-bench-delivery" "${gb_flags[@]}" --benchmark_out="$res/delivery.csv" --benchmark_out_format=csv \
  >/dev/null 2>"$res/delivery.err" || { cat "$res/delivery.err"; exit 1; }

step "presentation stage (Google Benchmark)"
"$bin/mssp-bench-present" "${gb_flags[@]}" --benchmark_out="$res/present.csv" --benchmark_out_format=csv \
  >/dev/null 2>"$res/present.err" || { cat "$res/present.err"; exit 1; }

step "latency, before and after"
bash bench/latency.sh "$res" "$build" "$lat_runs" "${lat_configs[@]}"  # channels:streams per reader thread

step "division calls on the delivery path, 32-bit ARM build"
# The recorder's core has no divide instruction: a division by a run-time
# value on the per-frame path is a library call. Counted in a Release build
# of the library for armhf, when the cross compiler is there (scripts/test-arm.sh
# installs it and checks the same count).
if command -v arm-linux-gnueabihf-g++ >/dev/null && command -v arm-linux-gnueabihf-objdump >/dev/null; then
  cmake -S . -B build/bench-arm -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-armhf.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DMSSP_BUILD_TESTS=OFF -DMSSP_BUILD_TOOLS=OFF >/dev/null
  cmake --build build/bench-arm -j "$(nproc)" --target mssp >/dev/null
  bash scripts/count-divisions.sh build/bench-arm/libcommon/mssp/libmssp.so >"$res/armdiv.txt"
else
  echo "unavailable=no armhf cross compiler" >"$res/armdiv.txt"
fi

step "capacity: $maxch channels in real time"
"$bin/mssp-bench-play" "${common[@]}" --channels "$maxch" --per-thread "$per_thread" --speed 1 >"$res/paced.txt"

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
step "report"
{
  echo "model=$(lscpu | sed -n 's/^Model name: *//p' | head -1)"
  echo "cpus=$(nproc)"
  echo "kernel=$(uname -r)"
  echo "compiler=$(c++ --version | head -1)"
  echo "cmake=$(cmake --version | head -1)"
  echo "valgrind=$(valgrind --version)"
  echo "libavformat=$(pkg-config --modversion libavformat)"
  echo "gbench=$(dpkg-query -W -f='${Version}' libbenchmark-dev 2>/dev/null || echo unknown)"
  echo "gnuplot=$(gnuplot --version)"
  echo "memory=$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "load_before=$load_before"
  echo "load_after=$load_after"
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD 2>/dev/null || echo ' (with uncommitted changes)')"
  echo "duration=$duration"
  echo "reps=$reps"
  echo "lat_runs=$lat_runs"
  echo "ring=$ring"
  echo "nodes=$nodes"
  echo "per_thread=$per_thread"
  echo "counts=${counts[*]}"
  echo "cg_counts=${cg_counts[*]}"
  echo "cg_reps=$cg_reps"
  echo "lat_configs=${lat_configs[*]}"
  echo "maxch=$maxch"
  echo "build_s=$((built - started))"
  echo "run_s=$((SECONDS - built))"
  echo "smoke=$smoke"
} >"$res/machine.txt"

if [ "$smoke" = 1 ]; then
  bash bench/report.sh "$res" "$tmp/plot.png" >"$tmp/BENCHMARKS.md"
  sed -n '/^## Results/,$p' "$tmp/BENCHMARKS.md"
  step "smoke run done (nothing written)"
else
  mkdir -p bench/results
  bash bench/report.sh "$res" bench/results/pipeline.png >BENCHMARKS.md
  step "wrote BENCHMARKS.md and bench/results/pipeline.png"
fi
