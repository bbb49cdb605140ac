// msspsrc: a GStreamer source element that plays a recording group through
// the playback engine, one source pad per played channel.
//
// Pads: `src_%u` (the channel number) carries the channel's video, `audio_%u`
// its G.711 audio when the recording has some. All pads are created when the
// element goes to PAUSED, and share one time base: a buffer's timestamp is
// its recorded timestamp minus the group's first one, so frames recorded at
// the same instant carry the same running time on every pad.
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

G_END_DECLS

#endif  // MSSP_GST_MSSP_SRC_H
