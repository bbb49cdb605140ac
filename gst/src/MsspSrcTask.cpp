// msspsrc's streaming task, the engine's playback thread: takes each frame,
// copies its payload into a pooled buffer, releases the frame to the engine
// and hands the buffer to the presentation stage, then pushes what the stage
// lets go; ends the pads whose streams are over, and the run at its end.
// Seeks and switches pause it under the stream lock.
#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

#include "MsspSrcPriv.h"

namespace msspsrc {
namespace {

constexpr gulong kPollUs = 2000;  // wait between takes that found nothing

// Caps of the GstReferenceTimestampMeta on every buffer: the frame's
// recorded date and time, in nanoseconds since 1970-01-01 00:00:00 of the
// recorder's calendar read as UTC (the recorder's local time of day).
constexpr const char* kRecordedCaps = "timestamp/x-mssp-recorded";

bool PushReady(GstMsspSrc* self, uint32_t live);
bool AnyLive(Priv& p);

void PauseTask(GstMsspSrc* self) { gst_task_pause(P(self).task); }

// The run has played to its end: EOS on every pad, or after a segment seek
// SEGMENT_DONE (the pads stay open for the application's next seek).
void EndRun(GstMsspSrc* self) {
    Priv& p = P(self);
    for (OutPad& o : p.pads) SayEndedEarly(self, o);
    if (p.seekFlags & GST_SEEK_FLAG_SEGMENT) {
        if (p.segmentPending) SendSegment(self, p.targetMs);
        const gint64 at = static_cast<gint64>(p.rate > 0 && GST_CLOCK_TIME_IS_VALID(p.stop) ? p.stop
                                                                                          : NsOf(p.positionMs));
        p.segmentDone = true;  // before the message: the application may seek on at once
        GstMessage* msg = gst_message_new_segment_done(GST_OBJECT(self), GST_FORMAT_TIME, at);
        gst_message_set_seqnum(msg, p.seqnum);
        gst_element_post_message(GST_ELEMENT(self), msg);
        GstEvent* ev = gst_event_new_segment_done(GST_FORMAT_TIME, at);
        gst_event_set_seqnum(ev, p.seqnum);
        PushAll(self, ev);
    } else {
        PushEosAll(self);
    }
    gst_task_pause(p.task);
}

// Nothing to take now: end the pads whose stream is over, end the run when
// every stream is, or report a stall.
void Idle(GstMsspSrc* self) {
    Priv& p = P(self);
    if (!AnyLive(p)) {
        if (PushReady(self, 0)) return;  // what the stage holds goes first
        GST_INFO_OBJECT(self, "every stream is over");
        EndRun(self);
        return;
    }
    for (OutPad& o : p.pads) {  // a pad ends once the stage holds none of its frames
        if (!o.eos && p.session->StreamStatus(o.index) == 0 && p.stage.HeldFrames() == 0) {
            SayEndedEarly(self, o);
            if (!(p.seekFlags & GST_SEEK_FLAG_SEGMENT)) PushEos(self, o);
        }
    }
    if (g_get_monotonic_time() - p.lastFrameUs > static_cast<gint64>(p.stallSec) * G_USEC_PER_SEC) {
        GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Playback stalled"),
                          ("no frame for %u s although streams are live", p.stallSec));
        PushEosAll(self);
        PauseTask(self);
        return;
    }
    g_usleep(kPollUs);
}

void HandleFlow(GstMsspSrc* self, GstFlowReturn ret) {
    if (ret == GST_FLOW_OK) return;
    if (ret == GST_FLOW_FLUSHING) {
        GST_DEBUG_OBJECT(self, "flushing: pausing");
    } else if (ret == GST_FLOW_EOS) {
        GST_INFO_OBJECT(self, "downstream wants no more data");
        PushEosAll(self);
    } else {
        GST_ELEMENT_FLOW_ERROR(self, ret);
        PushEosAll(self);
    }
    PauseTask(self);
}

void SayNotes(GstMsspSrc* self) {
    for (const std::string& note : P(self).stage.TakeNotes())
        GST_ELEMENT_WARNING(self, STREAM, DEMUX, ("%s", note.c_str()), (nullptr));
}

// Channels whose stream may still deliver (bit n = channel n).
uint32_t LiveChannels(Priv& p) {
    uint32_t live = 0;
    for (const OutPad& o : p.pads) {
        if (!o.audio && !o.dead && o.selected && p.session->StreamStatus(o.index) != 0) live |= 1u << o.channel;
    }
    return live;
}

// A stream of a channel that plays may still deliver (those that could not
// be opened do not count).
bool AnyLive(Priv& p) {
    if (!p.session->Live()) return false;
    for (const OutPad& o : p.pads) {
        if (!o.dead && o.selected && p.session->StreamStatus(o.index) != 0) return true;
    }
    return false;
}

// Pushes a frame the stage handed out. Its PTS: by recorded time, its
// recorded time minus the group's first (the stream time by timestamps
// when its recorded time is not known); by timestamp, the stream time.
void PushHeld(GstMsspSrc* self, mssphost::Presentation<Held>::Out& o) {
    Priv& p = P(self);
    Held& h = o.item;
    OutPad& out = p.pads[h.pad];
    const bool rec = o.recordedMs >= 0;
    const guint64 ms = p.byTime && rec ? static_cast<guint64>(std::max<int64_t>(0, o.recordedMs - p.originMs))
                                       : h.streamMs;
    if (out.eos) return;
    if (p.segmentPending) SendSegment(self, ms);
    if (p.rate > 0 && GST_CLOCK_TIME_IS_VALID(p.stop) && NsOf(ms) >= p.stop) {
        EndRun(self);
        return;
    }
    GstBuffer* buf = std::exchange(h.buf, nullptr);
    GST_BUFFER_PTS(buf) = NsOf(ms);
    if (p.rate < 0) {
        const guint64 back = p.reverseFromMs > ms ? p.reverseFromMs - ms : 0;
        GST_BUFFER_PTS(buf) = static_cast<GstClockTime>(static_cast<double>(NsOf(back)) / -p.rate);
    }
    if (out.audio) GST_BUFFER_DTS(buf) = GST_BUFFER_PTS(buf);
    if (h.delta) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT);
    // Backward, every key frame starts a run of its own for the decoder.
    if (out.discont || h.jump || p.rate < 0) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
    out.discont = false;
    // The recorded date and time for the application (the camera clock):
    // learnt to the millisecond, else the pack's whole seconds.
    if (rec || h.hasTime) {
        static GstCaps* caps = gst_caps_new_empty_simple(kRecordedCaps);  // lives as long as the process
        const int64_t at = rec ? o.recordedMs : recstore::DateTimeToSeconds(h.time) * 1000;
        gst_buffer_add_reference_timestamp_meta(buf, caps, NsOf(static_cast<guint64>(at)),
                                                GST_CLOCK_TIME_NONE);
    }
    p.positionMs = ms;
    out.pushed = true;
    out.lastMs = ms;
    const GstFlowReturn ret = gst_flow_combiner_update_pad_flow(p.combiner, out.pad, gst_pad_push(out.pad, buf));
    HandleFlow(self, ret);
}

// Pushes the next frame the stage lets go, if any.
bool PushReady(GstMsspSrc* self, uint32_t live) {
    mssphost::Presentation<Held>::Out o;
    if (!P(self).stage.Pop(live, &o)) return false;
    PushHeld(self, o);
    SayNotes(self);
    return true;
}

}  // namespace

void Loop(gpointer data) {
    GstMsspSrc* self = GST_MSSP_SRC(data);
    Priv& p = P(self);
    if (p.flushing) {
        PauseTask(self);
        return;
    }
    DropLeavingPads(self);
    if (p.selectionPending.exchange(false)) {
        std::lock_guard<std::mutex> lock(p.selectLock);
        for (OutPad& o : p.pads) {
            gchar* sid = gst_pad_get_stream_id(o.pad);
            o.selected = sid && std::find(p.selection.begin(), p.selection.end(), sid) != p.selection.end();
            g_free(sid);
        }
    }
    for (OutPad& o : p.pads) {
        if ((o.dead || !o.selected) && !o.eos) PushEos(self, o);
    }
    if (PushReady(self, LiveChannels(p))) return;
    mssphost::Frame f;
    if (!p.session->Take(&f)) {
        Idle(self);
        return;
    }
    OutPad* out = FindPad(p, f.channel, f.type == MSSP_FRAME_AUDIO);
    size_t offset = 0, length = 0;
    if (!out || out->eos || f.type == MSSP_FRAME_OTHER ||
        !mssphost::PayloadRange(p.session->Format(), f.pack, &offset, &length)) {
        p.session->Release(f);  // not for any pad, or no payload to be found
        return;
    }
    GstBuffer* buf = AcquireBuffer(*out, length);
    if (!buf) {
        p.session->Release(f);
        GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("No buffer for a frame of %" G_GSIZE_FORMAT " bytes", length),
                          (nullptr));
        PushEosAll(self);
        PauseTask(self);
        return;
    }
    if (f.pack.p2) GST_LOG_OBJECT(self, "channel %d: a frame in two pieces (%" G_GSIZE_FORMAT " + %" G_GSIZE_FORMAT ")",
                                  f.channel, f.pack.n1, f.pack.n2);
    GstMapInfo map;
    gst_buffer_map(buf, &map, GST_MAP_WRITE);
    f.pack.Copy(offset, length, map.data);
    gst_buffer_unmap(buf, &map);
    gst_buffer_set_size(buf, static_cast<gssize>(length));
    recstore::PackHeader header;
    const bool haveHeader = mssphost::ReadPackHeader(p.session->Format(), f.pack, &p.headerScratch, &header);
    p.session->Release(f);  // the payload is copied: the engine may reuse the ring bytes
    p.lastFrameUs = g_get_monotonic_time();
    CountLoss(self, *out, f, haveHeader ? &header : nullptr);

    Held h;
    h.buf = buf;
    h.pad = static_cast<size_t>(out - p.pads.data());
    h.streamMs = p.session->StreamMs(f.pts);
    h.delta = f.type == MSSP_FRAME_P;
    h.jump = (f.flags & mssphost::kFlagNewOrJump) != 0;
    h.hasTime = haveHeader && header.hasTime;
    h.time = header.time;
    const mssphost::StageFrame sf = mssphost::StageFrameOf(f, haveHeader ? &header : nullptr, length);
    p.stage.SetBackward(p.rate < 0);
    p.stage.Push(sf, std::move(h));
}

}  // namespace msspsrc
