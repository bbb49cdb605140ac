#!/usr/bin/env bash
# Plays a 4-channel H.264 recording group through the GStreamer element
# msspsrc, decodes each channel, tiles the four pictures with compositor and
# writes PNG snapshots of the mosaic (one every SNAP seconds of recording)
# and, when an H.264 or MPEG-4 encoder is installed, a short video.
#   scripts/mosaic.sh GROUP OUT
# GROUP without a group.json is first recorded: four ffmpeg test patterns,
# each with its channel and recorded time of day drawn into the picture, so
# that a snapshot shows at a glance whether the channels are in step. As with
# real recorders, each channel's clock starts elsewhere: its timestamps begin
# at 1000, 1680, 1300 and 1000 ms for the same recorded time of day.
# Environment: MSSP_BUILD (default build/demo) holds the built tools and
# plugin; MOSAIC_SECONDS (default 8) the length of a recorded sample;
# MOSAIC_SNAP (default 2) seconds between snapshots; MOSAIC_PRESENT_BY
# (default time) msspsrc's present-by: time puts the channels in step by
# recorded time, timestamp shows them as their clocks stamped them.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 GROUP OUT" >&2
  exit 2
fi
group=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MSSP_BUILD:-$root/build/demo}
seconds=${MOSAIC_SECONDS:-8}
snap=${MOSAIC_SNAP:-2}
present_by=${MOSAIC_PRESENT_BY:-time}
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
width=320
height=240
export GST_PLUGIN_PATH="$build/gst${GST_PLUGIN_PATH:+:$GST_PLUGIN_PATH}"
gst-inspect-1.0 msspsrc >/dev/null || { echo "mosaic: msspsrc not found in $build/gst" >&2; exit 1; }
mkdir -p "$out"

record_sample() {
  local work sources=(testsrc2 smptebars testsrc mandelbrot) clocks=(1000 1680 1300 1000) inputs=() origins=()
  work=$(mktemp -d /tmp/mssp-mosaic.XXXXXX)
  for c in 0 1 2 3; do
    # %{pts:hms:36000}: the picture's time from 10:00:00, the recording's start.
    ffmpeg -nostdin -v error -y -f lavfi -i "${sources[$c]}=size=${width}x${height}:rate=25" -t "$seconds" \
      -vf "drawtext=fontfile=$font:fontsize=24:fontcolor=white:box=1:boxcolor=black@0.6:x=8:y=8:text='ch$c  %{pts\\:hms\\:36000}'" \
      -c:v libx264 -bf 0 -g 25 -keyint_min 25 -sc_threshold 0 -pix_fmt yuv420p -f h264 "$work/ch$c.h264"
    inputs+=(--input "$work/ch$c.h264")
    origins+=(--origin "$c=${clocks[$c]}")
  done
  "$build/tools/mssp-pack" h264 -o "$group" --start '2026-01-01 10:00:00' "${inputs[@]}" "${origins[@]}" >/dev/null
  rm -rf "$work"
  echo "mosaic: recorded a 4-channel sample of $seconds s in $group (clocks from ${clocks[*]} ms)"
}
[ -f "$group/group.json" ] || record_sample

# The video branch, with the first encoder found.
video=()
if gst-inspect-1.0 openh264enc >/dev/null 2>&1; then
  video=(t. ! queue ! videoconvert ! openh264enc ! h264parse ! mp4mux ! filesink location="$out/mosaic.mp4")
elif gst-inspect-1.0 x264enc >/dev/null 2>&1; then
  video=(t. ! queue ! videoconvert ! x264enc ! h264parse ! mp4mux ! filesink location="$out/mosaic.mp4")
elif gst-inspect-1.0 avenc_mpeg4 >/dev/null 2>&1; then
  video=(t. ! queue ! videoconvert ! avenc_mpeg4 ! avimux ! filesink location="$out/mosaic.avi")
fi

branches=()
for c in 0 1 2 3; do
  branches+=(s.src_$c ! queue ! h264parse ! avdec_h264 ! videoconvert ! videoscale
             ! "video/x-raw,width=$width,height=$height" ! mix.sink_$c)
done
rm -f "$out"/mosaic-*.png
gst-launch-1.0 -q msspsrc location="$group" channels=0-3 present-by="$present_by" name=s \
  compositor name=mix background=black \
    sink_0::xpos=0 sink_0::ypos=0 sink_1::xpos=$width sink_1::ypos=0 \
    sink_2::xpos=0 sink_2::ypos=$height sink_3::xpos=$width sink_3::ypos=$height \
  ! "video/x-raw,framerate=25/1" ! videoconvert ! tee name=t \
  t. ! queue ! videorate ! "video/x-raw,framerate=1/$snap" ! pngenc ! multifilesink location="$out/mosaic-%02d.png" \
  "${video[@]}" \
  "${branches[@]}" >/dev/null
ls "$out"/mosaic-*.png >/dev/null
echo "mosaic: $(ls "$out"/mosaic-*.png | wc -l) snapshots (present-by=$present_by) in $out${video[*]:+, video $(ls "$out"/mosaic.mp4 "$out"/mosaic.avi 2>/dev/null)}"
