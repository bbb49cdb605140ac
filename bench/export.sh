#!/usr/bin/env bash
# Stream-copy speed of mssp-export: CHANNELS H.264 channels x SECONDS s
# (one libx264 stream at 704x576, 25 fps, some 2 Mbit/s, GOP 25, recorded
# for every channel on clocks that differ) exported into one Matroska file.
# Prints a Markdown table row: channels x seconds, wall s, x real time, MB/s
# of the file, CPU ms (user + system) and CPU us per frame, load before.
#
#   bash bench/export.sh [BUILD_DIR] [CHANNELS] [SECONDS]   (default build/ci 16 60)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}; channels=${2:-16}; seconds=${3:-60}
tools=$(pwd)/$build/tools
[ -x "$tools/mssp-export" ] || { echo "no $tools/mssp-export (libavformat development files missing?)" >&2; exit 1; }
tmp=$(mktemp -d /tmp/mssp-bench-export.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
ffmpeg -loglevel error -f lavfi -i "testsrc2=size=704x576:rate=25" -t "$seconds" -c:v libx264 -preset ultrafast \
  -b:v 2M -g 25 -bf 0 -pix_fmt yuv420p -f h264 "$tmp/ch.h264"
inputs=(); origins=()
for ((c = 0; c < channels; c++)); do inputs+=(--input "$tmp/ch.h264"); origins+=(--origin "$c=$((1000 + c * 7919))"); done
"$tools/mssp-pack" h264 -o "$tmp/rec" "${inputs[@]}" "${origins[@]}" >/dev/null
to=$(date -u -d "2026-01-01 10:00:00 UTC + $seconds seconds" '+%Y-%m-%d %H:%M:%S')
load=$(cut -d' ' -f1-3 /proc/loadavg)
# Page cache warm for the measured run, as for the other benchmarks.
cat "$tmp"/rec/ch*/type0/*.pack >/dev/null
/usr/bin/time -f '%e %U %S' -o "$tmp/time" "$tools/mssp-export" "$tmp/rec" -o "$tmp/out.mkv" \
  --from '2026-01-01 10:00:00' --to "$to" >"$tmp/summary" 2>"$tmp/err" || { cat "$tmp/err" >&2; exit 1; }
read -r wall user sys <"$tmp/time"
frames=$(awk '$1 ~ /^[0-9]+$/ { n += $2 } END { print n }' "$tmp/summary")
bytes=$(stat -c %s "$tmp/out.mkv")
awk -v ch="$channels" -v s="$seconds" -v w="$wall" -v u="$user" -v y="$sys" -v f="$frames" -v b="$bytes" -v l="$load" \
  'BEGIN { if (w <= 0) w = 0.01; cpu = (u + y) * 1000
           printf "| %d x %d s | %d | %.2f | %.0fx | %.1f | %.0f | %.1f | %s |\n", ch, s, f, w, s / w, b / 1e6 / w, cpu, cpu * 1000 / f, l }'
