#!/usr/bin/env bash
# Ring-size sweep: processor time of the whole pipeline (mssp-bench-play,
# 256 nodes, 8 streams per reader thread, as fast as it can) for rings of
# 256 KiB to 4 MiB per stream, beside the libavformat peer on the same
# frames, rounds interleaved so that every column sees the same load.
# Prints a Markdown table: CPU µs per frame (median, spread of the rounds),
# µs per MB, voluntary context switches per frame.
#
#   bash bench/sweep.sh [BUILD_DIR] [ROUNDS] [CHANNELS...]   (default build/bench 5 4 32)
# BUILD_DIR: a Release build with the benchmarks (scripts/bench.sh makes one).
# Run by hand on a quiet machine; timing never fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}; rounds=${2:-5}; shift 2 2>/dev/null || shift $#
counts=("$@"); [ ${#counts[@]} -gt 0 ] || counts=(4 32)
bin=$(pwd)/$build/bench
rings=(262144 524288 1048576 2097152 4194304)
tmp=$(mktemp -d /tmp/mssp-sweep.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
origins=()
for ((c = 0; c < 32; c++)); do origins+=(--origin "$c=1000"); done
"$(pwd)/$build/tools/mssp-pack" synth -o "$tmp/rec" --channels 32 --duration 8 --fps 25 --gop 50 --bitrate 4000 \
  --audio all --audio-frame 40 "${origins[@]}" >/dev/null
"$bin/mssp-bench-peer" mux --group "$tmp/rec" --channels 32 --out "$tmp/mkv" >/dev/null
field() { tr ' ' '\n' <"$1" | sed -n "s/^$2=//p"; }
for ((r = 1; r <= rounds; r++)); do
  for n in "${counts[@]}"; do
    for ring in "${rings[@]}"; do
      "$bin/mssp-bench-play" --group "$tmp/rec" --ring "$ring" --nodes 256 --channels "$n" --per-thread 8 \
        >"$tmp/play.$n.$ring.$r"
    done
    "$bin/mssp-bench-peer" play --dir "$tmp/mkv" --channels "$n" >"$tmp/peer.$n.$r"
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| channels | ring per stream | CPU µs/frame (spread) | CPU µs/MB | context switches/frame | peer CPU µs/frame (spread) |"
echo "|---|---|---|---|---|---|"
stats() { sort -g | awk '{ v[NR] = $1 } END { printf "%.2f (%.2f–%.2f)", v[int((NR + 1) / 2)], v[1], v[NR] }'; }
for n in "${counts[@]}"; do
  peer=$(for ((r = 1; r <= rounds; r++)); do
           f=$tmp/peer.$n.$r
           awk -v u="$(field "$f" cpu_user_s)" -v s="$(field "$f" cpu_sys_s)" -v n="$(field "$f" frames)" \
             'BEGIN { print (u + s) * 1e6 / n }'
         done | stats)
  for ring in "${rings[@]}"; do
    cpu=() mb=() cs=()
    for ((r = 1; r <= rounds; r++)); do
      f=$tmp/play.$n.$ring.$r
      read -r a b c < <(awk -v u="$(field "$f" cpu_user_s)" -v s="$(field "$f" cpu_sys_s)" -v n="$(field "$f" frames)" \
        -v by="$(field "$f" bytes)" -v v="$(field "$f" region_nvcsw)" \
        'BEGIN { t = (u + s) * 1e6; print t / n, t / (by / 1e6), v / n }')
      cpu+=("$a") mb+=("$b") cs+=("$c")
    done
    printf '| %d | %d KiB | %s | %s | %s | %s |\n' "$n" $((ring / 1024)) "$(printf '%s\n' "${cpu[@]}" | stats)" \
      "$(printf '%s\n' "${mb[@]}" | sort -g | awk '{ v[NR] = $1 } END { printf "%.0f", v[int((NR + 1) / 2)] }')" \
      "$(printf '%s\n' "${cs[@]}" | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }')" "$peer"
  done
done
