#!/usr/bin/env bash
# The latency section of BENCHMARKS.md (on standard output) and its plot,
# from what bench/latency.sh wrote.
#   bash bench/report-latency.sh RESULTS_DIR PLOT.png
set -euo pipefail
res=$1
png=$2

kv() { [ -f "$1" ] || return 0; sed -n "s/^$2=//p" "$1" | head -1; }  # kv FILE KEY; nothing for a missing file
m() { kv "$res/latency-machine.txt" "$1"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
read -r -a configs <<<"$(m lat_configs)"
before=$(m lat_before)
threads() { echo $(((${1%:*} + ${1#*:} - 1) / ${1#*:})); }  # reader threads of a config
after_file() { echo "$res/latency.${1%:*}.${1#*:}.txt"; }
before_file() { echo "$res/latency-before.${1%:*}.${1#*:}.txt"; }
# cell FILE OP: "median / max", or "-" when not measured
cell() {
  local med
  med=$(kv "$1" "$2_median_ms")
  if [ -z "$med" ]; then echo "-"; else echo "$(calc "%.2f" "$med") / $(calc "%.2f" "$(kv "$1" "$2_max_ms")")"; fi
}

ops=(start start_call seek seek_call ff play switch_stream switch_channels stop)
declare -A label=(
  [start]='`StartParse` → first frame'
  [start_call]='(the `StartParse` call itself)'
  [seek]='`Seek` → first frame at the new time'
  [seek_call]='(the `Seek` call itself)'
  [ff]='`SetStatus`(fast forward) → first I-frame'
  [play]='`SetStatus`(play) out of fast forward → first frame at the new time'
  [switch_stream]='`SwitchStream` (every channel to its sub stream) → first frame'
  [switch_channels]='`SwitchPlaybackChannels` → first frame of the new channels'
  [stop]='`StopParse`'
)

# ---------------------------------------------------------------------------
# Plot: medians before and after, one panel per configuration, log scale.
short=(start seek ff play switch_stream switch_channels stop)
for cfg in "${configs[@]}"; do
  for op in "${short[@]}"; do
    b=$(kv "$(before_file "$cfg")" "${op}_median_ms"); a=$(kv "$(after_file "$cfg")" "${op}_median_ms")
    echo "${op//_/-} ${b:-NaN} ${a:-NaN}"
  done >"$res/latency.$cfg.dat"
done
{
  cat <<EOF
set terminal pngcairo noenhanced size 1200,420 font "DejaVu Sans,10"
set output "$png"
set multiplot layout 1,${#configs[@]} title "Control latency, median of $(m lat_runs) runs (before: ${before:-none}, after: $(m lat_after)); load average $(m lat_load_before) at the start\n"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set logscale y
set yrange [0.05:200]
set ylabel "ms to the first frame (stop: the call)"
set xtics rotate by -35 nomirror
set grid ytics
set key top right
EOF
  for cfg in "${configs[@]}"; do
    echo "set title \"${cfg%:*} channel(s), $(threads "$cfg") reader thread(s)\""
    if [ -n "$before" ]; then
      echo "plot \"$res/latency.$cfg.dat\" using 2:xtic(1) title \"before\", \"\" using 3 title \"after\""
    else
      echo "plot \"$res/latency.$cfg.dat\" using 3:xtic(1) title \"this tree\""
    fi
  done
  echo "unset multiplot"
} | gnuplot

# ---------------------------------------------------------------------------
header="| operation |"
rule="|---|"
# Without a baseline (a fresh clone of main: nothing to compare with) one
# column per configuration, this tree's.
for cfg in "${configs[@]}"; do
  if [ -n "$before" ]; then
    header+=" ${cfg%:*} ch, $(threads "$cfg") thread(s): before | after |"
    rule+="---|---|"
  else
    header+=" ${cfg%:*} ch, $(threads "$cfg") thread(s) |"
    rule+="---|"
  fi
done
# Busy: the 1-minute load above the number of cores before or after the runs.
busy=$(awk -v b="$(m lat_load_before)" -v e="$(m lat_load_after)" -v c="$(m cpus)" \
  'BEGIN { split(b, x, " "); split(e, y, " "); if (x[1] + 0 > c + 0 || y[1] + 0 > c + 0) print 1 }')
cat <<EOF
### 5. Latency (median / maximum of $(m lat_runs) runs, milliseconds)

Measured $(m lat_date) on $(m cpus) cores, load average (1, 5, 15 min) $(m lat_load_before) before and
$(m lat_load_after) after the latency runs.$([ -n "$busy" ] && printf '%s' " **The machine was busy (load above the number of cores): the
wall-clock figures are noisy; take them again at a quiet moment.**")
$(if [ -n "$before" ]; then
  echo "Before: the library of commit $before ($(m lat_before_subject)); after: commit $(m lat_after)."
  echo "Both columns come from the same measuring program and recording, the two builds run in turn for each"
  echo "configuration."
else
  echo "This tree alone (commit $(m lat_after)): no baseline to compare with (this commit is where the branch"
  echo "left main; \`MSSP_BENCH_BEFORE=REV\` names one)."
fi) To measure again (this rewrites this section, the analysis at the end from
\`bench/ANALYSIS.md\` and \`bench/results/latency.png\`, nothing else):

    bash scripts/bench.sh latency            # before = where this branch left main
    MSSP_BENCH_BEFORE=REV bash scripts/bench.sh latency

$header
$rule
EOF
for op in "${ops[@]}"; do
  row="| ${label[$op]} |"
  for cfg in "${configs[@]}"; do
    [ -n "$before" ] && row+=" $(cell "$(before_file "$cfg")" "$op") |"
    row+=" $(cell "$(after_file "$cfg")" "$op") |"
  done
  echo "$row"
done

cat <<EOF

The work behind each figure (after, medians): processor time of the reader threads from the call to
the first frame in ms, and the MiB the process read meanwhile (the readers' \`ReadStream\` calls,
and the store's own reads). A machine with two free cores turns the processor time into at least
half as much wall time.

| operation |$(for cfg in "${configs[@]}"; do echo -n " ${cfg%:*} ch, $(threads "$cfg") thread(s) |"; done)
|---|$(for cfg in "${configs[@]}"; do echo -n "---|"; done)
EOF
for op in start seek ff play switch_stream switch_channels stop; do
  row="| ${label[$op]} |"
  for cfg in "${configs[@]}"; do
    v=$(kv "$(after_file "$cfg")" "${op}_reader_cpu_ms")
    r=$(kv "$(after_file "$cfg")" "${op}_read_mib")
    if [ -n "$v" ]; then row+=" $(calc "%.2f" "$v") ms, $(calc "%.1f" "${r:-0}") MiB |"; else row+=" - |"; fi
  done
  echo "$row"
done

# Targets: medians of this tree.
med() { kv "$(after_file "$1")" "$2_median_ms"; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "**missed**"; fi; }
target_rows() {  # target_rows TEXT OP LIMIT CONFIG...
  local text=$1 op=$2 limit=$3 cells="" ok=1 v
  shift 3
  for cfg in "$@"; do
    [ -f "$(after_file "$cfg")" ] || continue
    v=$(med "$cfg" "$op")
    cells+="${cfg%:*} ch, $(threads "$cfg") thread(s): $(calc "%.2f" "$v") ms; "
    awk "BEGIN { exit !($v <= $limit) }" || ok=0
  done
  [ -n "$cells" ] && echo "| $text | ${cells%; } | $(verdict "$ok") |"
  return 0
}
one=(); many=(); four=()
for cfg in "${configs[@]}"; do
  [ "${cfg%:*}" = 1 ] && one+=("$cfg")
  [ "${cfg%:*}" = 32 ] && many+=("$cfg")
  [ "${cfg%:*}" = 32 ] && [ "$(threads "$cfg")" = 4 ] && four+=("$cfg")
done
cat <<EOF

| target (median) | result | verdict |
|---|---|---|
EOF
target_rows '`Seek` → first frame at the new time, 32 channels, 4 reader threads: at most 10 ms' seek 10 "${four[@]}"
target_rows '`Seek` → first frame at the new time, 32 channels, 4 reader threads: at most 3 ms' seek 3 "${four[@]}"
target_rows '`StartParse` → first frame, 32 channels, 4 reader threads: at most 3 ms' start 3 "${four[@]}"
target_rows '`Seek` → first frame, 1 channel: at most 2 ms' seek 2 "${one[@]}"
target_rows 'fast forward → first I-frame, 32 channels: at most 5 ms' ff 5 "${many[@]}"
target_rows '`StopParse`, any channel count: at most 2 ms' stop 2 "${configs[@]}"
target_rows '`SwitchStream` → first frame of the new stream, 32 channels: at most 10 ms' switch_stream 10 "${many[@]}"
target_rows '`SwitchPlaybackChannels` → first frame of the new streams, 32 channels: at most 10 ms' switch_channels 10 "${many[@]}"

problems=""
for cfg in "${configs[@]}"; do
  for f in "$(before_file "$cfg")" "$(after_file "$cfg")"; do
    [ -f "$f" ] || continue
    for op in start seek ff play switch_stream switch_channels; do
      for what in failed misplaced; do
        v=$(kv "$f" "${op}_$what")
        [ "${v:-0}" = 0 ] || problems+="$(basename "$f" .txt): $op $what $v; "
      done
    done
  done
done
cat <<EOF

![control latency before and after](bench/results/latency.png)

\`mssp-bench-latency\` (\`bench/latency.sh\` runs it): a group recorded with \`mssp-pack synth --types 2\`
(every channel with a main stream and a sub stream at a quarter of the bit rate, otherwise the
material above), ring 1 MiB, 256 nodes. One thread acts as playback and control thread, polling
\`GetFrame\` with a \`sched_yield\` between calls and releasing every frame at once; the recording is
in the page cache and an uncounted first run loads the store's indexes. Each run: \`StartParse\`, \`Seek\`
to 4 s, fast forward (speed 2) from there, back to play at 3 s, \`SwitchStream\` of every channel to
the sub stream at 5 s, \`SwitchPlaybackChannels\` to the next channels (with 32 channels the same 32,
each closed and opened again) at 4 s, \`StopParse\`; between two operations the host takes a few
frames of each channel. A first frame is checked to lie at the new time (and, after a switch, to
come from the new stream or channel). Waits that gave up (5 s) or first frames that failed their
check: ${problems:-none}.
EOF
