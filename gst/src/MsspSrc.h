// msspsrc: a GStreamer source element that plays a recording group through
// the playback engine, one source pad per played channel.
//
// Pads: `src_%u` (the channel number) carries the channel's video, `audio_%u`
// its G.711 audio when the recording has some. The pads are created when the
// element first goes to PAUSED and kept across restarts while the channel
// set stays the same; they share one time base. A channel that cannot be
// played gets EOS at once with a WARNING; the others play. With present-by=time
// (the default) a buffer's PTS is its recorded time of day minus that of
// the group's first frame, learnt per channel by the host layer's
// presentation stage, and buffers are pushed in recorded-time order:
// channels whose recorders' clocks started apart or drift show the same
// instant together. With present-by=timestamp a buffer's PTS is its
// recorded timestamp minus the group's first one, pushed as the engine
// delivers. Every buffer carries its recorded date and time as a
// GstReferenceTimestampMeta with caps timestamp/x-mssp-recorded
// (nanoseconds since 1970-01-01 of the recorder's date and time read as
// UTC), for an application that draws the camera clock.
//
// Caps: video/x-h264 (or x-h265), stream-format=byte-stream, alignment=au
// for Annex-B payloads; application/x-mssp-frame, media=video for any other
// video payload (the recorded payload as it is, pack header removed);
// audio/x-alaw (or x-mulaw, property g711-law), rate=8000, channels=1.
//
// Threads: one streaming thread (the element's task) is the engine's
// playback thread: it takes each frame, copies its payload into a pooled
// buffer, releases the frame to the engine and pushes the buffer. Seeks run
// on the caller's thread as the engine's control thread, with the task
// paused under the stream lock.
#ifndef MSSP_GST_MSSP_SRC_H
#define MSSP_GST_MSSP_SRC_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_MSSP_SRC (gst_mssp_src_get_type())
G_DECLARE_FINAL_TYPE(GstMsspSrc, gst_mssp_src, GST, MSSP_SRC, GstElement)

// The GstURIHandler interface (MsspSrcUri.cpp): mssp:///GROUP?property=value&...
void gst_mssp_src_uri_handler_init(gpointer iface, gpointer data);

G_END_DECLS

#endif  // MSSP_GST_MSSP_SRC_H
