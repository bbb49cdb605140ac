#!/usr/bin/env bash
# The GStreamer element msspsrc: installs a built tree into a scratch prefix,
# checks that gst-inspect-1.0 finds the element in the install's plugin
# folder (and libmssp beside it), then runs the element's tests (ctest label
# gst: whole and in step by recorded time with caps, flags, times and meta;
# seeks, accurate seeks, snapping, segment seeks to SEGMENT_DONE and trick
# play; decoded pictures equal to ffmpeg's; no object left alive under the
# leak tracer; bad groups and refused property values; a missing, empty,
# damaged or cut-short channel ending alone with a warning while the others
# play; a gst_parse_launch pipeline restarted 100 times with the same pads
# and flat file descriptors and threads; stream-type and channels switched while
# playing (pads added and removed);
# SELECT_STREAMS; an mssp:// URI in playbin3 and in
# GstDiscoverer, bad URIs refused), and that the engine's lines go to the
# debug log, not to standard output.
# Usage: scripts/test-gst.sh [BUILD]      (default build/ci)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
if [ ! -f "$build/gst/libgstmssp.so" ]; then
  echo "msspsrc is not built in $build: are GStreamer's development packages installed?" >&2
  exit 1
fi
prefix=$(mktemp -d /tmp/mssp-gst-prefix.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
plugin=$(find "$prefix" -name libgstmssp.so -path '*/gstreamer-1.0/*' | head -1)
[ -n "$plugin" ] || { echo "the install has no lib/gstreamer-1.0/libgstmssp.so" >&2; exit 1; }
export GST_REGISTRY="$prefix/registry.bin"
# Into a variable first: grep -q stopping early would fail the pipe.
inspect=$(GST_PLUGIN_PATH=$(dirname "$plugin") gst-inspect-1.0 msspsrc 2>&1 || true)
grep -q "MSSP recording source" <<<"$inspect" \
  || { echo "gst-inspect-1.0 does not list msspsrc from $(dirname "$plugin"): $inspect" >&2; exit 1; }
echo "gst-inspect-1.0 lists msspsrc from the install ($(dirname "$plugin"))"
# The engine's own lines go to the debug category "mssp", never to standard
# output: gst-launch-1.0 -q prints nothing, GST_DEBUG=mssp:6 shows them (the
# parser's lines named after the element).
"$build/tools/mssp-pack" synth -o "$prefix/group" --channels 2 --duration 2 >/dev/null
launch() { GST_PLUGIN_PATH=$(dirname "$plugin") gst-launch-1.0 -q msspsrc location="$prefix/group" ! fakesink; }
out=$(launch 2>/dev/null) || { echo "gst-launch-1.0 failed on a synthetic group" >&2; exit 1; }
[ -z "$out" ] || { echo "gst-launch-1.0 -q printed on standard output: $(head -c 400 <<<"$out")" >&2; exit 1; }
log=$(GST_DEBUG=mssp:6 GST_DEBUG_NO_COLOR=1 launch 2>&1 >/dev/null)
grep -Eq "INFO +[^ ]* +mssp .*<msspsrc0> \[MSSP MultiStreamSyncParser->StopParse line:[0-9]+\]playback over" <<<"$log" \
  || { echo "GST_DEBUG=mssp:6 shows no engine line of the element: $(head -c 400 <<<"$log")" >&2; exit 1; }
echo "gst-launch-1.0 -q prints nothing of the engine; GST_DEBUG=mssp:6 shows its $(grep -c ' mssp ' <<<"$log") lines"
ctest --test-dir "$build" -L gst --output-on-failure
