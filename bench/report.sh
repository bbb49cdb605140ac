#!/usr/bin/env bash
# Turns the results of scripts/bench.sh into BENCHMARKS.md (on standard
# output) and draws the plot.
#   bash bench/report.sh RESULTS_DIR PLOT.png > BENCHMARKS.md
set -euo pipefail
res=$1
png=$2

kv() { sed -n "s/^$2=//p" "$1" | head -1; }  # kv FILE KEY
m() { kv "$res/machine.txt" "$1"; }
median() { sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
medkv() { for f in "$res"/$1; do kv "$f" "$2"; done | median; }  # median of KEY over the files of a pattern
medcpu() { for f in "$res"/$1; do echo "$(kv "$f" cpu_user_s) $(kv "$f" cpu_sys_s)"; done | awk '{ print $1 + $2 }' | median; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }  # calc FORMAT EXPRESSION
# The spread of the rounds, "min–max" of the numbers on standard input in FORMAT.
spread() { sort -g | awk -v f="$1" 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf f "–" f, lo, hi; else printf "-" }'; }
cpu_of() { echo "$(kv "$1" cpu_user_s) + $(kv "$1" cpu_sys_s)"; }  # cpu_of FILE: an expression
# Per round r of N channels (the programs ran one after another in a round):
# the pipeline's CPU time less its StartParse call, per frame in µs; the
# peer's over it; it over the pread floor's, per MB.
rounds() { local n=$1 r; for ((r = 1; r <= $(m reps); r++)); do [ -f "$res/play.$n.$r.txt" ] && echo "$r"; done; }
play_cpu_r() { calc "%.9f" "$(cpu_of "$res/play.$1.$2.txt") - $(kv "$res/play.$1.$2.txt" start_cpu_s)"; }
spread_cpu() { for r in $(rounds "$1"); do calc "%.4f\n" "($(cpu_of "$res/play.$1.$r.txt")) * 1e6 / ${F[$1]}"; done | spread "%.2f"; }
spread_wall() { for r in $(rounds "$1"); do calc "%.4f\n" "$(kv "$res/play.$1.$r.txt" wall_s) * 1e6 / ${F[$1]}"; done | spread "%.2f"; }
spread_peer() { for r in $(rounds "$1"); do calc "%.4f\n" "($(cpu_of "$res/peer.$1.$r.txt")) / $(play_cpu_r "$1" "$r")"; done | spread "%.2f"; }
spread_pread() {
  for r in $(rounds "$1"); do
    calc "%.4f\n" "($(play_cpu_r "$1" "$r") / ${B[$1]}) / (($(cpu_of "$res/pread.$1.$r.txt")) / ${FBYTES[$1]})"
  done | spread "%.2f"
}
# The 1-minute load average at the start of each round, "min–max".
load_rounds() { for f in "$res"/load.*.txt; do [ -f "$f" ] && cat "$f"; done | spread "%.2f"; }
# Inclusive instructions of the first function matching REGEX in a
# callgrind_annotate --inclusive=yes listing (0 when it does not appear).
incl() { awk -v re="$2" '$0 ~ re { gsub(",", "", $1); print $1; found = 1; exit } END { if (!found) print 0 }' "$1"; }
total() { sed -n 's/^totals: *//p' "$1"; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "**missed**"; fi; }

read -r -a counts <<<"$(m counts)"
read -r -a cg_counts <<<"$(m cg_counts)"
read -r -a lat_configs <<<"$(m lat_configs)"
maxch=$(m maxch)
duration=$(m duration)

# ---------------------------------------------------------------------------
# Per channel count: time (medians), instructions and their split.
declare -A F B WALL CPU FWALL FCPU PWALL PCPU EWALL ECPU IR IRR IRD IRC IRH IRO IRP PIR FIR FBYTES AL ALD PAL
declare -A IRS POLLS RDF CHK HDR CMT PRIR PRBYTES SWALL SCPU
for n in "${counts[@]}"; do
  F[$n]=$(kv "$res/play.$n.1.txt" frames)
  B[$n]=$(kv "$res/play.$n.1.txt" bytes)
  WALL[$n]=$(medkv "play.$n.*.txt" wall_s)
  CPU[$n]=$(medcpu "play.$n.*.txt")
  FWALL[$n]=$(medkv "floor.$n.*.txt" wall_s)
  FCPU[$n]=$(medcpu "floor.$n.*.txt")
  PWALL[$n]=$(medkv "pread.$n.*.txt" wall_s)
  PCPU[$n]=$(medcpu "pread.$n.*.txt")
  EWALL[$n]=$(medkv "peer.$n.*.txt" wall_s)
  ECPU[$n]=$(medcpu "peer.$n.*.txt")
  FBYTES[$n]=$(kv "$res/floor.$n.1.txt" bytes)
  SWALL[$n]=$(medkv "play.$n.*.txt" start_wall_s)
  SCPU[$n]=$(medkv "play.$n.*.txt" start_cpu_s)
  AL[$n]=$(medkv "play.$n.*.txt" allocs_steady)
  ALD[$n]=$(medkv "play.$n.*.txt" allocs_delivery)
  PAL[$n]=$(medkv "peer.$n.*.txt" allocs_region)
done
for n in "${cg_counts[@]}"; do
  # The median of the pipeline's callgrind runs (they differ by the host's
  # empty polls); its dump gives the split.
  k=$(for f in "$res"/cg-play.$n.*.cg; do k=${f%.cg}; echo "$(total "$f") ${k##*.}"; done | sort -n |
      awk '{ a[NR] = $2 } END { print a[int((NR + 1) / 2)] }')
  p=$res/cg-play.$n.$k
  l=$p.incl
  IR[$n]=$(total "$p.cg")
  POLLS[$n]=$(kv "$p.txt" empty_polls)
  IRS[$n]=$(incl "$l" ':CMultiStreamSyncParser::StartParse\(')
  CHK[$n]=$(incl "$l" ':MsspParser::ChecksumMatches\(')
  HDR[$n]=$(incl "$l" ':GetFrameHeader(OldVersion)?\(')
  CMT[$n]=$(($(incl "$l" ':MsspParser::Commit\(') - CHK[$n]))
  PRIR[$n]=$(total "$res/cg-pread.$n.cg")
  PRBYTES[$n]=$(kv "$res/cg-pread.$n.txt" bytes)
  host_reads=$(incl "$l" ':recstore::.*OpReadStream\(')
  reader=$(incl "$l" ':ParseStreamThreadEntry\(')
  reader_host=$((host_reads + $(incl "$l" ':recstore::.*OpGetSegmentInfo\(') + $(incl "$l" ':recstore::.*OpCloseStream\(')))
  IRR[$n]=$((reader - reader_host))
  IRD[$n]=$(($(incl "$l" ':CMultiStreamSyncParser::GetFrame\(') + $(incl "$l" ':CMultiStreamSyncParser::ReleaseFrame\(')))
  IRC[$n]=$(($(incl "$l" ':CMultiStreamSyncParser::StartParse\(') - $(incl "$l" ':recstore::.*OpOpenStream\(') + \
             $(incl "$l" ':CMultiStreamSyncParser::GetStatus\(')))
  IRH[$n]=$host_reads
  IRO[$n]=$((IR[$n] - IRR[$n] - IRD[$n] - IRC[$n] - IRH[$n]))
  IRP[$n]=$(($(incl "$l" 'printf\.c:printf \[') + $(incl "$l" 'ioputs\.c:(_IO_)?puts \[') + \
             $(incl "$l" 'iofflush\.c:(_IO_)?fflush \[') + $(incl "$l" 'perror\.c:perror \[')))
  PIR[$n]=$(total "$res/cg-peer.$n.cg")
  FIR[$n]=$(total "$res/cg-floor.$n.cg")
  if [ -z "${F[$n]:-}" ]; then
    F[$n]=$(kv "$p.txt" frames)
    B[$n]=$(kv "$p.txt" bytes)
    FBYTES[$n]=$(kv "$res/cg-floor.$n.txt" bytes)
  fi
done

# ---------------------------------------------------------------------------
# Delivery scaling.
dlv_rows=()
k=0
while read -r line; do
  case $line in streams=*) ;; *) continue ;; esac
  s=${line#streams=}
  read -r dline
  d=${dline#delivered=}
  k=$((k + 1))
  ir=$(calc "%.0f" "$(total "$res/cg-dlv.cgout.$k") / $d")
  row=$(grep -E "^\"BM_GetReleaseFrame/$s(_median)?\"," "$res/delivery.csv" | head -1)
  ips=$(echo "$row" | awk -F, '{ print $7 }')
  real=$(echo "$row" | awk -F, '{ print $3 }')
  cpu=$(echo "$row" | awk -F, '{ print $4 }')
  ns=$(calc "%.1f" "1e9 / $ips")
  dlv_rows+=("$s $ir $ns $real $cpu")
done <"$res/cg-dlv.txt"
printf '%s\n' "${dlv_rows[@]}" >"$res/delivery.dat"
# Least-squares line through instructions per delivered frame against streams.
read -r slope icept r2 < <(awk '{ n++; sx += $1; sy += $2; sxx += $1 * $1; sxy += $1 * $2; syy += $2 * $2 }
  END { b = (n * sxy - sx * sy) / (n * sxx - sx * sx); a = (sy - b * sx) / n;
        r = (n * sxy - sx * sy) / sqrt((n * sxx - sx * sx) * (n * syy - sy * sy)); printf "%.1f %.0f %.5f\n", b, a, r * r }' \
  "$res/delivery.dat")
read -r nslope nicept nr2 < <(awk '{ n++; sx += $1; sy += $3; sxx += $1 * $1; sxy += $1 * $3; syy += $3 * $3 }
  END { b = (n * sxy - sx * sy) / (n * sxx - sx * sx); a = (sy - b * sx) / n;
        r = (n * sxy - sx * sy) / sqrt((n * sxx - sx * sx) * (n * syy - sy * sy)); printf "%.2f %.1f %.3f\n", b, a, r * r }' \
  "$res/delivery.dat")

# ---------------------------------------------------------------------------
# Plot.
for n in "${cg_counts[@]}"; do
  echo "$n $(calc "%.0f %.0f %.0f %.0f %.0f %.0f" "${IR[$n]} / ${F[$n]}, (${IRR[$n]} + ${IRD[$n]} + ${IRC[$n]}) / ${F[$n]}, ${PIR[$n]} / ${F[$n]}, ${FIR[$n]} / ${FBYTES[$n]} * ${B[$n]} / ${F[$n]}, ${IRD[$n]} / ${F[$n]}, (${IR[$n]} - ${IRS[$n]}) / ${F[$n]}")"
done >"$res/pipeline.dat"
gnuplot <<EOF
set terminal pngcairo noenhanced size 1200,480 font "DejaVu Sans,10"
set output "$png"
set multiplot layout 1,2 title "MSSP benchmarks ($(m model), $(m cpus) cores; instructions counted by callgrind)"
set title "Whole pipeline: instructions per delivered frame"
set xlabel "channels (25 fps 4 Mbit/s video + G.711 audio each)"
set ylabel "instructions per frame"
set logscale x 2
set xtics (1, 2, 4, 8, 16, 32)
set key right center
set yrange [0:*]
set grid
plot "$res/pipeline.dat" using 1:4 with linespoints lw 2 title "libavformat peer, format named (Matroska + av_read_frame), steady state", \
     "" using 1:7 with linespoints lw 2 title "MSSP pipeline, whole process, steady state", \
     "" using 1:3 with linespoints lw 2 title "MSSP parser's own share (reader + delivery + control)", \
     "" using 1:6 with linespoints lw 2 title "  of which delivery (GetFrame + ReleaseFrame)", \
     "" using 1:5 with linespoints lw 2 dt 2 title "copy floor (memcpy of the same bytes)"
unset logscale x
set title "Delivery scaling: one GetFrame + ReleaseFrame"
set xlabel "streams"
set ylabel "instructions per frame"
set y2label "ns per frame (CPU time)"
set ytics nomirror
set y2tics
set xtics (1, 2, 4, 8, 16, 24, 32)
set yrange [0:*]
set y2range [0:*]
set key bottom right
plot "$res/delivery.dat" using 1:2 with linespoints lw 2 title "instructions (callgrind)", \
     "" using 1:3 axes x1y2 with linespoints lw 2 title "ns (Google Benchmark, median)"
unset multiplot
EOF

# ---------------------------------------------------------------------------
# The document.
mb() { calc "%.1f" "$1 / 1e6"; }
cat <<EOF
# Benchmarks

Figures of the playback engine on synthetic recordings, produced by one command:

    bash scripts/bench.sh

(\`bash scripts/bench.sh --smoke\` runs everything on tiny sizes as a check and writes nothing.) The
script installs its Debian packages, builds \`build/bench\` in Release with \`-DMSSP_BUILD_BENCH=ON
-DMSSP_BUILD_TESTS=OFF\`, records the test material with \`mssp-pack\` into a temporary directory,
runs the programs of \`bench/\`, and rewrites this file and \`bench/results/pipeline.png\` from their
output (\`bench/report.sh\`). Benchmarks report; they never fail on a figure.

## Machine and conditions of this run
$(awk -v l="$(m load_before)" -v c="$(m cpus)" 'BEGIN { split(l, a, " "); if (a[1] + 0 > c + 0)
  printf "\n**Taken on a busy machine (load average %s on %s cores, other builds and tests running): the\ntime figures are noisy and should be taken again on a quiet machine; the instruction counts hold.**\n", a[1], c }')

| | |
|---|---|
| processor | $(m model), $(m cpus) cores, $(m memory) |
| kernel | $(m kernel) |
| compiler | $(m compiler), Release (\`-O3\`) |
| tools | $(m cmake); $(m valgrind); libavformat $(m libavformat); Google Benchmark $(m gbench); $(m gnuplot) |
| run | $(m date), commit $(m commit); build $(m build_s) s, benchmarks $(m run_s) s |
| load average (1, 5, 15 min) | $(m load_before) before, $(m load_after) after |

Wall-clock and CPU-time figures depend on what else the machine is doing; a load average above the
number of cores means they were taken on a busy machine and are noisy (medians of $(m reps) rounds
are reported). Instruction counts (callgrind) do not depend on the load and are the figures to
compare across runs.

## What is measured

- **Material.** \`mssp-pack synth --channels $maxch --duration $duration --fps 25 --gop 50 --bitrate 4000
  --audio all --audio-frame 40 --origin C=1000...\`: per channel $duration s of 25 fps video at about
  4 Mbit/s (I-frames about 75 KB, P-frames about 19 KB, 50-frame GOP) and G.711 audio in 372-byte packs
  at 25 per second, one segment, new pack format; timestamps start at 1000 ms (a zero timestamp is
  "none" to the player). The N-channel figures play channels 0..N-1 of this group.
- **Pipeline** (\`mssp-bench-play\`): a host plays N channels through the recording store
  (\`recstore::RecStore\`, files read with \`pread\`) with ring $(calc "%.0f" "$(m ring) / 1048576") MiB and $(m nodes)
  nodes per stream, $(m per_thread) streams per reader thread, as fast as possible: \`GetFrame\`, look at the
  first and last byte, \`ReleaseFrame\`; when nothing is ready it sleeps 100 µs. Measured from
  \`StartParse\` to the last frame, after a first, unmeasured pass over the same recording (so the
  shared segment's pages, the store's indexes and the page cache are warm, as in a playback
  service's steady state).
- **Copy floor** (\`mssp-bench-floor\`): the same bytes (the segment files) copied once with \`memcpy\`
  into one ring per channel, 64 KiB at a time, channel after channel, from memory. Also shown: the
  same with \`pread\` from the page-cached files straight into the rings (the kernel's one copy).
- **Peer** (\`mssp-bench-peer\`): the same frames (every pack, whole, same size, timestamp and order)
  muxed by libavformat into one Matroska file per channel (video stream with codec id FFV1, for
  which libavformat runs no parser, so packets pass through as written: the peer's cheapest path;
  audio as G.711 A-law), read back with \`av_read_frame\`, one packet read ahead per channel, merged
  across channels by timestamp; the files are opened with their format named (\`matroska\`, no
  probing) and \`avformat_find_stream_info\` is not called. Its steady state is measured: from the
  files opened to the last frame, after a warm-up pass; opening and closing are left out, as the
  \`StartParse\` call (our opening) is left out of our side in section 3. (The program replaces libhwy's timer calibration,
  which libavcodec loads and which uses an instruction valgrind refuses on this processor; see
  \`bench/peer.cpp\`.)
- **Instructions**: \`valgrind --tool=callgrind\`; each program zeroes the counters where its measured
  region starts and dumps them where it ends (client requests), so the dump holds exactly the region,
  all threads together. Kernel work (the file reads' copy, page faults) is not counted: compare CPU
  time for that. All benchmark processes run with \`GLIBC_TUNABLES=glibc.cpu.x86_rep_movsb_threshold=...\`
  set out of reach, so that glibc copies with its vector loop: valgrind counts a \`rep movsb\` as one
  instruction per byte, which would make every copy (the floor's, the peer's) look about ten times
  dearer than the instructions the processor runs.
- **The parser's own share**, from \`callgrind_annotate --inclusive=yes\` on the region's dump:
  reader = inclusive cost of \`ParseStreamThreadEntry\` (the reader threads) minus the host callbacks
  they call (\`OpReadStream\`, \`OpGetSegmentInfo\`, \`OpCloseStream\` of the store);
  delivery = \`GetFrame\` + \`ReleaseFrame\`; control = \`StartParse\` minus the store's \`OpOpenStream\`,
  plus \`GetStatus\`; host reads = the store's \`OpReadStream\` (its user-space part: locking, bounds,
  the \`pread\` call); host, other = the rest (the host's loop, opening the store's segments).
- **Output**: the library prints its diagnostics on standard output with \`printf\`. Every benchmark
  program points descriptor 1 at \`/dev/null\` first (\`dup2\`) and writes its results to a duplicate
  of the original descriptor, so no terminal output is timed; the formatting cost of the library's
  messages stays in the figures and is shown apart (printf share).
- **Allocations**: the benchmark executables replace \`malloc\`, \`calloc\`, \`realloc\` and the aligned
  allocators with counting wrappers around glibc's; "steady" counts every thread between the first
  and the last delivered frame, "delivery" the calls made inside \`GetFrame\`/\`ReleaseFrame\` (for the
  peer: inside \`av_read_frame\`/\`av_packet_unref\`).

## Results

### 1. Whole pipeline, per delivered frame

| channels | frames | MB | wall µs/frame | CPU µs/frame | instructions/frame | instructions/MB | reader | delivery | control | host reads | host, other | printf share | host's empty polls/frame |
|---|---|---|---|---|---|---|---|---|---|---|---|---|---|
EOF
for n in "${counts[@]}"; do
  if [ -n "${IR[$n]:-}" ]; then
    f=${F[$n]}
    irs="$(calc "%.0f" "${IR[$n]} / $f") | $(calc "%.0f" "${IR[$n]} / (${B[$n]} / 1e6)") | $(calc "%.0f" "${IRR[$n]} / $f") | $(calc "%.0f" "${IRD[$n]} / $f") | $(calc "%.0f" "${IRC[$n]} / $f") | $(calc "%.0f" "${IRH[$n]} / $f") | $(calc "%.0f" "${IRO[$n]} / $f") | $(calc "%.1f%%" "100 * ${IRP[$n]} / ${IR[$n]}") | $(calc "%.2f" "${POLLS[$n]} / $f")"
  else
    irs="- | - | - | - | - | - | - | - | -"
  fi
  echo "| $n | ${F[$n]} | $(mb "${B[$n]}") | $(calc "%.2f" "${WALL[$n]} * 1e6 / ${F[$n]}") ($(spread_wall "$n")) | $(calc "%.2f" "${CPU[$n]} * 1e6 / ${F[$n]}") ($(spread_cpu "$n")) | $irs |"
done
cat <<EOF

Wall and CPU time: median of $(m reps) rounds (in brackets the spread of the rounds, lowest–highest);
1-minute load average at the start of the rounds $(load_rounds) on $(m cpus) cores.
Reader, delivery, control, host reads and host, other are instructions per frame and add up to the
total. Half the frames are 372-byte audio packs, so per frame the cost is that of about 10 KB.
Instructions are the median of $(m cg_reps) callgrind runs: the host sleeps 100 µs whenever no frame is
ready, and how often that happens depends on how the threads were scheduled (each empty poll costs
the host about 200 instructions, most of them \`usleep\`); the last column gives the median run's count.

Inside the reader, per frame (median run): payload checksum, header search and decode, node commit
(without the checksum).

| channels | checksum | header | commit |
|---|---|---|---|
$(for n in "${cg_counts[@]}"; do echo "| $n | $(calc "%.0f" "${CHK[$n]} / ${F[$n]}") | $(calc "%.0f" "${HDR[$n]} / ${F[$n]}") | $(calc "%.0f" "${CMT[$n]} / ${F[$n]}") |"; done)

### 2. Against the floors (same bytes, same run)

The \`pread\` floor reads the same files into one ring per channel, 64 KiB at a time, and does
nothing else: the kernel copies, no byte is looked at. That is what any reader of these files
pays; the pipeline adds cutting, checking and delivering every frame. The \`memcpy\` floor copies
the same bytes from memory (no kernel): a per-byte figure, shown for reference.

| channels | pread floor µs/MB (CPU) | pipeline µs/MB (CPU) | ratio to pread floor (CPU) | pipeline instructions/frame | pread floor instructions/frame | memcpy floor µs/MB (CPU) | memcpy floor instructions/MB | pipeline instructions/MB |
|---|---|---|---|---|---|---|---|---|
EOF
for n in "${counts[@]}"; do
  fmb=$(calc "%.6f" "${FBYTES[$n]} / 1e6")
  pmb=$(calc "%.6f" "${B[$n]} / 1e6")
  if [ -n "${IR[$n]:-}" ]; then
    fir=$(calc "%.0f" "${FIR[$n]} / $fmb"); pir=$(calc "%.0f" "${IR[$n]} / $pmb")
    ipf=$(calc "%.0f" "${IR[$n]} / ${F[$n]}"); fpf=$(calc "%.0f" "${PRIR[$n]} / ${F[$n]} * ${B[$n]} / ${PRBYTES[$n]}")
  else
    fir=-; pir=-; ipf=-; fpf=-
  fi
  sc=$(calc "%.9f" "${CPU[$n]} - ${SCPU[$n]}")
  echo "| $n | $(calc "%.1f" "${PCPU[$n]} * 1e6 / $fmb") | $(calc "%.1f" "$sc * 1e6 / $pmb") | $(calc "%.2f" "($sc / $pmb) / (${PCPU[$n]} / $fmb)") ($(spread_pread "$n")) | $ipf | $fpf | $(calc "%.1f" "${FCPU[$n]} * 1e6 / $fmb") | $fir | $pir |"
done
cat <<EOF

The ratio is that of the medians; in brackets the spread of the ratio taken round by round (floor
and pipeline ran one after the other in each round; load $(load_rounds)). The pipeline's CPU time leaves out the \`StartParse\` call (opening the streams), as the floor's
leaves out opening its files. CPU times this short (the 1-channel playback takes about a
millisecond) are coarse (the kernel accounts them in ticks) and noisy on a loaded machine (medians
of $(m reps) rounds); the instruction counts are the repeatable figures. The pread floor's
instructions are its user-space share of the same bytes, per delivered frame.

### 3. Against libavformat (same frames, same run, steady state)

Both sides without their opening and closing: the peer from its files opened (format named) to the
last frame; MSSP from \`StartParse\` to the last frame, less the \`StartParse\` call itself
(instructions: its inclusive count; time: its wall time, and its thread's CPU time).

| channels | peer instructions/frame | MSSP instructions/frame | peer ÷ MSSP (instructions) | peer wall µs/frame | MSSP wall µs/frame | peer ÷ MSSP (wall) | peer CPU µs/frame | MSSP CPU µs/frame | peer ÷ MSSP (CPU) | allocations/frame peer | allocations/frame MSSP (steady, delivery) |
|---|---|---|---|---|---|---|---|---|---|---|---|
EOF
for n in "${counts[@]}"; do
  f=${F[$n]}
  if [ -n "${IR[$n]:-}" ]; then
    pi=$(calc "%.0f" "${PIR[$n]} / $f"); oi=$(calc "%.0f" "(${IR[$n]} - ${IRS[$n]}) / $f"); ri=$(calc "%.2f" "${PIR[$n]} / (${IR[$n]} - ${IRS[$n]})")
  else
    pi=-; oi=-; ri=-
  fi
  sw=$(calc "%.9f" "${WALL[$n]} - ${SWALL[$n]}"); sc=$(calc "%.9f" "${CPU[$n]} - ${SCPU[$n]}")
  echo "| $n | $pi | $oi | $ri | $(calc "%.2f" "${EWALL[$n]} * 1e6 / $f") | $(calc "%.2f" "$sw * 1e6 / $f") | $(calc "%.2f" "${EWALL[$n]} / $sw") | $(calc "%.2f" "${ECPU[$n]} * 1e6 / $f") | $(calc "%.2f" "$sc * 1e6 / $f") | $(calc "%.2f" "${ECPU[$n]} / $sc") ($(spread_peer "$n")) | $(calc "%.2f" "${PAL[$n]} / $f") | $(calc "%.3f" "${AL[$n]} / $f"), $(calc "%.3f" "${ALD[$n]} / $f") |"
done
cat <<EOF

peer ÷ MSSP (CPU): the ratio of the medians, in brackets its spread round by round (load $(load_rounds)).
The peer's wall and CPU time include the kernel reading the Matroska files, ours the kernel reading
the pack files into the rings; the instruction counts are user space only on both sides.

### 4. Delivery scaling: one \`GetFrame\` + \`ReleaseFrame\`

\`mssp-bench-delivery\`: an endless in-memory recording (25 fps video, 4 KiB I-frames, 1 KiB P-frames,
the same timestamps on every channel); the reader thread is parked with \`Idle(true)\` and the
benchmark thread refills the rings with \`ParseFrame\` while the timer is stopped, so only delivery
is timed, on full node rings. Time: Google Benchmark (median of the repetitions, CPU time per
delivered frame); instructions: callgrind over one ring's worth of deliveries per stream count.

| streams | instructions/frame | ns/frame (CPU) | Google Benchmark real ns/iteration | CPU ns/iteration |
|---|---|---|---|---|
EOF
for row in "${dlv_rows[@]}"; do
  read -r s ir ns real cpu <<<"$row"
  echo "| $s | $ir | $ns | $(calc "%.1f" "$real") | $(calc "%.1f" "$cpu") |"
done
cat <<EOF

Least-squares line: instructions per frame = $icept + $slope × streams (R² = $r2); time per frame
= $nicept + $nslope ns × streams (R² = $nr2). The Debian build of Google Benchmark warns that it
was built without optimisation; that concerns its own loop, not the code measured.

Beside it, what a host adds to put the channels in step by recorded time: \`mssp-bench-present\`
pushes each frame through the host layer's presentation stage (learning its recorded time, holding
it in recorded-time order) and takes out what may go, for channels at 25 fps whose clocks start up
to 680 ms apart (the frame's copy, the host's own, left out). CPU time per frame, median:

| channels | presentation stage ns/frame (CPU) |
|---|---|
EOF
for n in 1 4 16 32; do
  row=$(grep -E "^\"BM_PresentationStage/$n(_median)?\"," "$res/present.csv" | head -1)
  echo "| $n | $(calc "%.1f" "1e9 / $(echo "$row" | awk -F, '{ print $7 }')") |"
done
echo
bash "$(dirname "$0")/report-latency.sh" "$res" "$(dirname "$png")/latency.png"
cat <<EOF

### 6. Capacity ($maxch channels)

| | |
|---|---|
| speed over real time, as fast as possible (median of $(m reps)) | $(calc "%.0f" "$(medkv "play.$maxch.*.txt" speed_factor)")× ($(calc "%.2f" "$(kv "$res/play.$maxch.1.txt" media_s)") s of media in $(calc "%.1f" "${WALL[$maxch]} * 1000") ms) |
| frames out of timestamp order across channels | $(for f in "$res"/play."$maxch".*.txt; do kv "$f" order_violations; done | awk '{ s += $1 } END { print s }') over all rounds |
| one core's share, played in real time | $(calc "%.2f%%" "100 * ($(kv "$res/paced.txt" cpu_user_s) + $(kv "$res/paced.txt" cpu_sys_s)) / $(kv "$res/paced.txt" wall_s)") ($(calc "%.1f" "$(kv "$res/paced.txt" wall_s)") s wall; latest frame $(calc "%.2f" "$(kv "$res/paced.txt" max_late_s) * 1000") ms behind its time) |
| shared segment | $(calc "%.1f" "$(kv "$res/paced.txt" segment_bytes) / 1048576") MiB (resident $(calc "%.1f" "$(kv "$res/paced.txt" mem_shmem_kib) / 1024") MiB) |
| process memory beyond the segment | $(calc "%.1f" "($(kv "$res/paced.txt" mem_rss_kib) - $(kv "$res/paced.txt" mem_shmem_kib)) / 1024") MiB resident: $(calc "%.1f" "$(kv "$res/paced.txt" mem_anon_kib) / 1024") MiB anonymous (heap, stacks), $(calc "%.1f" "$(kv "$res/paced.txt" mem_file_kib) / 1024") MiB mapped files (code of the process and its libraries) |

![pipeline and delivery figures](bench/results/pipeline.png)

## Targets

EOF
# Target verdicts over the channel counts measured with callgrind.
t1=""; t2=""; t3=""; t4=""; ok1=1; ok2=1; ok3=1; ok4=1; chkmax=0
first=${cg_counts[0]}; lastc=${cg_counts[${#cg_counts[@]}-1]}
for n in "${cg_counts[@]}"; do
  r=$(calc "%.2f" "${PIR[$n]} / (${IR[$n]} - ${IRS[$n]})")
  q=$(calc "%.2f" "((${CPU[$n]} - ${SCPU[$n]}) / ${B[$n]}) / (${PCPU[$n]} / ${FBYTES[$n]})")
  ipf=$(calc "%.0f" "${IR[$n]} / ${F[$n]}")
  c=$(calc "%.0f" "${CHK[$n]} / ${F[$n]}")
  t1+="$n ch ${r}×, "; t2+="$n ch ${q}× (instructions/frame: $ipf), "; t3+="$n ch $ipf, "; t4+="$n ch $c, "
  awk "BEGIN { exit !($r >= 3) }" || ok1=0
  awk "BEGIN { exit !($q <= 1.5) }" || ok2=0
  awk "BEGIN { exit !($c <= 400) }" || ok4=0
done
r32=$(calc "%.2f" "${PIR[$lastc]} / (${IR[$lastc]} - ${IRS[$lastc]})")
awk "BEGIN { exit !($r32 >= 4) }" || ok1=0
p1=$(calc "%.0f" "${IR[$first]} / ${F[$first]}"); pN=$(calc "%.0f" "${IR[$lastc]} / ${F[$lastc]}")
awk "BEGIN { exit !($p1 <= 1600 && $pN <= 2000) }" || ok3=0
dmax=$(printf '%s\n' "${dlv_rows[@]}" | sort -n | tail -1)
read -r dstreams dir _ <<<"$dmax"
alloc_total=0
for n in "${counts[@]}"; do alloc_total=$(calc "%.0f" "$alloc_total + ${AL[$n]} + ${ALD[$n]}"); done
if [ -n "$(kv "$res/armdiv.txt" unavailable)" ]; then
  div_txt="not measured: $(kv "$res/armdiv.txt" unavailable)"; div_ok=0
else
  dd=$(kv "$res/armdiv.txt" divisions_direct); dr=$(kv "$res/armdiv.txt" divisions_reachable)
  div_txt="$dd in \`GetFrame\`/\`ReleaseFrame\`, $dr in everything they call in the library (Release build, \`scripts/count-divisions.sh\`)"
  div_ok=$(( dd == 0 && dr == 0 ))
fi
# Processor time against the peer (every count) and the pread floor (4 and
# more channels), medians of the rounds.
t5=""; ok5=1; t6=""; ok6=1
for n in "${counts[@]}"; do
  sc=$(calc "%.9f" "${CPU[$n]} - ${SCPU[$n]}")
  rp=$(calc "%.2f" "$sc / ${ECPU[$n]}")
  t5+="$n ch $rp, "
  awk "BEGIN { exit !($rp <= 0.7) }" || ok5=0
  if [ "$n" -ge 4 ]; then
    rf=$(calc "%.2f" "($sc / ${B[$n]}) / (${PCPU[$n]} / ${FBYTES[$n]})")
    t6+="$n ch $rf, "
    awk "BEGIN { exit !($rf <= 1.3) }" || ok6=0
  fi
done
ff_ok=1; ff_txt=""
for cfg in "${lat_configs[@]}"; do
  n=${cfg%:*}; pt=${cfg#*:}
  med=$(kv "$res/latency.$n.$pt.txt" start_median_ms); max=$(kv "$res/latency.$n.$pt.txt" start_max_ms)
  ff_txt+="$n ch, $(((n + pt - 1) / pt)) reader thread(s): median $(calc "%.2f" "$med") ms, max $(calc "%.2f" "$max") ms; "
  awk "BEGIN { exit !($max <= 5) }" || ff_ok=0
done
cat <<EOF
| target | result | verdict |
|---|---|---|
| pipeline at most 1,600 instructions per delivered frame at $first channel(s), 2,000 at $lastc (median of $(m cg_reps) runs) | ${t3%, } | $(verdict "$ok3") |
| delivery (\`GetFrame\` + \`ReleaseFrame\`) at most 400 instructions per frame at $dstreams streams, growing by at most 5 per added stream | $dir at $dstreams streams; least-squares growth $slope per stream | $(verdict "$dir <= 400 && $slope <= 5") |
| payload checksum at most 400 instructions per frame | ${t4%, } | $(verdict "$ok4") |
| at least 4× fewer instructions per frame than the libavformat peer (format named, steady state) at $lastc channels, 3× at every count | ${t1%, } | $(verdict "$ok1") |
| at most 1.5× the CPU time per MB of the \`pread\` floor | ${t2%, } | $(verdict "$ok2") |
| processor time per frame at most 0.7 of the peer's at every channel count (medians of $(m reps) rounds, same run) | MSSP ÷ peer: ${t5%, } | $(verdict "$ok5") |
| processor time per MB at most 1.3× the \`pread\` floor's at 4 to $maxch channels | ${t6%, } | $(verdict "$ok6") |
| no division call on the delivery path of the 32-bit ARM build | $div_txt | $(verdict "$div_ok") |
| no heap allocation per delivered frame | $alloc_total allocations between first and last frame over all runs | $(verdict "$alloc_total == 0") |
| first frame within 5 ms of \`StartParse\` with the data ready | ${ff_txt%; } | $(verdict "$ff_ok") |
EOF
cat "$(dirname "$0")/ANALYSIS.md"
