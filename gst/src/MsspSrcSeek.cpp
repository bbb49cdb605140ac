// msspsrc's seeking, on the caller's thread as the engine's control thread
// with the streaming task paused under the stream lock: seeks in time and
// trick play, the stream-type and channel switches while playing, the
// channels' shifts by recorded time, and the position, duration and
// seeking queries.
#include <algorithm>
#include <bit>
#include <mutex>

#include "MsspSrcPriv.h"

namespace msspsrc {
namespace {

// By recorded time, every channel is positioned at its own key frame at
// or before the recorded time asked for: its stream time there follows from
// its clock offset, learnt while playing or, before that, from its first
// key frame (whole seconds: within a second).
// A channel's stream time minus its position (0 by timestamp).
bool ChannelShift(Priv& p, const mssphost::ChannelDesc& c, int64_t* shift) {
    *shift = 0;
    if (!p.byTime) return true;
    int64_t offset = 0;
    if (!p.stage.Core().Clock().Offset(c.channel, &offset)) {
        if (c.keys.empty() || c.keys.front().pts > mssphost::kMaxTimestampMs) return false;
        offset = recstore::DateTimeToSeconds(c.keys.front().time) * 1000 - static_cast<int64_t>(c.keys.front().pts);
    }
    const uint64_t origin = std::min(p.session->OriginPts(), mssphost::kMaxTimestampMs);
    *shift = p.originMs - offset - static_cast<int64_t>(origin);
    return true;
}

}  // namespace

void ApplyShifts(GstMsspSrc* self) {
    Priv& p = P(self);
    for (const mssphost::ChannelDesc& c : p.session->Channels()) {
        int64_t shift = 0;
        if (ChannelShift(p, c, &shift)) p.session->SetChannelShift(c.channel, shift);
    }
}

namespace {

// A key-unit seek with SNAP_BEFORE, _AFTER or _NEAREST: the position of the
// key frame of any played channel next to `ms` on that side.
guint64 SnapToKey(Priv& p, guint64 ms, GstSeekFlags flags) {
    const bool before = flags & GST_SEEK_FLAG_SNAP_BEFORE, after = flags & GST_SEEK_FLAG_SNAP_AFTER;
    if (!(flags & GST_SEEK_FLAG_KEY_UNIT) || (!before && !after)) return ms;
    int64_t below = -1, above = -1;
    for (const mssphost::ChannelDesc& c : p.session->Channels()) {
        int64_t shift = 0;
        if (!ChannelShift(p, c, &shift)) continue;
        for (const mssphost::KeyFrame& k : c.keys) {
            if (k.pts > mssphost::kMaxTimestampMs) continue;
            const int64_t at = static_cast<int64_t>(p.session->StreamMs(k.pts)) - shift;
            if (at < 0) continue;
            if (at <= static_cast<int64_t>(ms)) below = std::max(below, at);
            if (at >= static_cast<int64_t>(ms) && (above < 0 || at < above)) above = at;
        }
    }
    if (before && after) {  // nearest
        if (below < 0 || (above >= 0 && above - static_cast<int64_t>(ms) < static_cast<int64_t>(ms) - below))
            below = above;
        return below >= 0 ? static_cast<guint64>(below) : ms;
    }
    const int64_t pick = before ? below : above;
    return pick >= 0 ? static_cast<guint64>(pick) : ms;
}

// Before a seek or a switch: downstream flushes (when asked) and the
// streaming task stops between two frames; returns with the stream lock held.
void Hold(GstMsspSrc* self, guint32 seqnum, bool flush) {
    Priv& p = P(self);
    if (flush) {
        GstEvent* flushStart = gst_event_new_flush_start();
        gst_event_set_seqnum(flushStart, seqnum);
        p.flushing = true;
        PushAll(self, flushStart);
    }
    gst_task_pause(p.task);
    g_rec_mutex_lock(&p.streamLock);  // the task is out of its iteration: no frame is held
}

// After a seek or a switch, with the stream lock held and the engine
// repositioned: the new run's state (its segment sent before its first
// buffer, the position at the target: at a switch where it already is),
// then the stream lock let go and the task started again.
void Resume(GstMsspSrc* self, double rate, GstSeekFlags flags, guint64 targetMs, GstClockTime stop, guint32 seqnum) {
    Priv& p = P(self);
    p.segmentDone = false;
    gst_flow_combiner_reset(p.combiner);
    p.rate = rate;
    p.seekFlags = flags;
    p.targetMs = targetMs;
    p.stop = stop;
    p.seqnum = seqnum;
    p.segmentPending = true;
    p.positionMs = targetMs;
    p.lastFrameUs = g_get_monotonic_time();
    p.flushing = false;
    g_rec_mutex_unlock(&p.streamLock);
    gst_task_start(p.task);
}

}  // namespace

// ---------------------------------------------------------------------------
// Seeking: flushing seeks in time. rate 1 (or any positive rate without
// key-unit trick mode, which downstream plays faster or slower): normal play
// from the position; rate above 1 with key-unit trick mode: the engine's
// fast forward at the speed of TrickSpeedForRate; a negative rate: fast
// backward, key frames only.

bool DoSeek(GstMsspSrc* self, GstEvent* event) {
    Priv& p = P(self);
    gdouble rate = 1.0;
    GstFormat format;
    GstSeekFlags flags;
    GstSeekType startType, stopType;
    gint64 start = 0, stop = 0;
    gst_event_parse_seek(event, &rate, &format, &flags, &startType, &start, &stopType, &stop);
    // Without flushing only after SEGMENT_DONE: the task is paused there,
    // with nothing pushed that downstream still holds.
    const bool flush = (flags & GST_SEEK_FLAG_FLUSH) != 0;
    const guint32 seqnum = gst_event_get_seqnum(event);
    std::lock_guard<std::mutex> serial(p.seekLock);
    if (seqnum == p.lastSeekSeqnum) {
        GST_DEBUG_OBJECT(self, "seek %u already done (it came through another sink)", seqnum);
        return true;
    }
    if (format != GST_FORMAT_TIME || rate == 0.0 || !(flush || p.segmentDone) || !p.running) {
        GST_WARNING_OBJECT(self, "only flushing seeks in time while running are supported (or any after SEGMENT_DONE)");
        return false;
    }
    mssphost::Mode mode = mssphost::Mode::kPlay;
    if (rate < 0) mode = mssphost::Mode::kFastBackward;
    if (rate > 1.0 && (flags & GST_SEEK_FLAG_TRICKMODE_KEY_UNITS)) mode = mssphost::Mode::kFastForward;
    const guint64 duration = p.durationMs;
    auto resolve = [&](GstSeekType type, gint64 value) -> guint64 {
        gint64 ms = static_cast<gint64>(p.positionMs.load());
        if (type == GST_SEEK_TYPE_SET) ms = value / static_cast<gint64>(GST_MSECOND);
        if (type == GST_SEEK_TYPE_END) ms = static_cast<gint64>(duration) + value / static_cast<gint64>(GST_MSECOND);
        return static_cast<guint64>(CLAMP(ms, 0, static_cast<gint64>(duration)));
    };
    guint64 target = rate > 0 ? resolve(startType, start) : resolve(stopType, stop);
    p.lastSeekSeqnum = seqnum;

    Hold(self, seqnum, flush);
    target = SnapToKey(p, target, flags);  // the clock offsets are the task's: read under its lock

    const int speed = mssphost::TrickSpeedForRate(rate);
    GST_INFO_OBJECT(self, "seek to %" G_GUINT64_FORMAT " ms, rate %g: %s", target, rate,
                    mode == mssphost::Mode::kPlay ? "normal play" : "trick play");
    ApplyShifts(self);  // with the offsets learnt so far
    p.stage.Reposition(rate < 0);  // what it holds belongs to the position left
    if (mode == mssphost::Mode::kPlay)
        p.session->Seek(target);
    else
        p.session->Trick(mode, speed, target);
    const uint32_t failed = p.session->FailedChannels();
    if (failed)
        GST_ELEMENT_WARNING(self, STREAM, DEMUX, ("No recording of channel(s) %s at the new position",
                                                  mssphost::ChannelList(failed).c_str()), (nullptr));

    if (flush) {
        GstEvent* flushStop = gst_event_new_flush_stop(TRUE);
        gst_event_set_seqnum(flushStop, seqnum);
        PushAll(self, flushStop);
    }
    for (OutPad& o : p.pads) {
        o.eos = false;
        o.discont = true;
        o.haveLast = false;
        o.pushed = false;
        o.endChecked = false;
    }
    if (flags & GST_SEEK_FLAG_SEGMENT) {
        GstMessage* msg = gst_message_new_segment_start(GST_OBJECT(self), GST_FORMAT_TIME, static_cast<gint64>(NsOf(target)));
        gst_message_set_seqnum(msg, seqnum);
        gst_element_post_message(GST_ELEMENT(self), msg);
    }
    Resume(self, rate, flags, target,
           rate > 0 && stopType == GST_SEEK_TYPE_SET && stop >= 0 ? static_cast<GstClockTime>(stop)
                                                                  : GST_CLOCK_TIME_NONE,
           seqnum);
    return true;
}

gboolean SrcEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
        const bool ok = DoSeek(GST_MSSP_SRC(parent), event);
        gst_event_unref(event);
        return ok;
    }
    return gst_pad_event_default(pad, parent, event);
}

gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query) {
    Priv& p = P(GST_MSSP_SRC(parent));
    GstFormat format;
    switch (GST_QUERY_TYPE(query)) {
        case GST_QUERY_POSITION:
            gst_query_parse_position(query, &format, nullptr);
            if (format != GST_FORMAT_TIME || !p.running) return FALSE;
            gst_query_set_position(query, GST_FORMAT_TIME, static_cast<gint64>(NsOf(p.positionMs)));
            return TRUE;
        case GST_QUERY_DURATION:
            gst_query_parse_duration(query, &format, nullptr);
            if (format != GST_FORMAT_TIME || !p.running) return FALSE;
            gst_query_set_duration(query, GST_FORMAT_TIME, static_cast<gint64>(NsOf(p.durationMs)));
            return TRUE;
        case GST_QUERY_SEEKING:
            gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
            if (format != GST_FORMAT_TIME) {
                gst_query_set_seeking(query, format, FALSE, -1, -1);
                return TRUE;
            }
            gst_query_set_seeking(query, GST_FORMAT_TIME, p.running ? TRUE : FALSE, 0,
                                  static_cast<gint64>(NsOf(p.durationMs)));
            return TRUE;
        default: return gst_pad_query_default(pad, parent, query);
    }
}

// stream-type or channels set while playing: the switch goes through the
// host layer at the current position, as after a flushing seek there. A
// stream-type switch keeps the pads, and a pad gets new caps only when its
// channel's codec changes; a channel switch adds and removes pads.
bool SwitchLive(GstMsspSrc* self, int type, uint32_t channels) {
    Priv& p = P(self);
    std::lock_guard<std::mutex> serial(p.seekLock);
    if (!p.running) return false;
    // The engine's stream count is fixed when the run starts.
    if (std::popcount(channels) > p.session->StreamCount()) {
        GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS,
                            ("Channel set %s has more than the %d channel(s) this run plays: set it in the READY "
                             "state", mssphost::ChannelList(channels).c_str(), p.session->StreamCount()),
                            (nullptr));
        return false;
    }
    const guint32 seqnum = gst_util_seqnum_next();
    Hold(self, seqnum, true);
    const guint64 at = p.positionMs;
    p.stage.Reposition(false);
    GstEvent* flushStop = gst_event_new_flush_stop(TRUE);
    gst_event_set_seqnum(flushStop, seqnum);
    if (channels) {
        GST_INFO_OBJECT(self, "channels %s from %" G_GUINT64_FORMAT " ms", mssphost::ChannelList(channels).c_str(), at);
        p.session->SwitchChannels(channels, at);
        PushAll(self, flushStop);
        GST_OBJECT_LOCK(self);
        const int law = p.settings.law;
        GST_OBJECT_UNLOCK(self);
        PreparePads(self, law, true);
        ApplyShifts(self);  // the new channels' clock offsets, as learnt so far, for the seeks to come
    } else {
        GST_INFO_OBJECT(self, "stream type %d from %" G_GUINT64_FORMAT " ms", type, at);
        p.session->SwitchStreamType(type, at);
        PushAll(self, flushStop);
    }
    for (OutPad& o : p.pads) {
        const mssphost::ChannelDesc* c = p.session->FindChannel(o.channel);
        if (!o.audio && c && !c->keys.empty() && c->video != o.kind) {
            o.kind = c->video;
            GstCaps* caps = VideoCaps(o.kind);
            gst_pad_push_event(o.pad, gst_event_new_caps(caps));
            gst_caps_unref(caps);
        }
        o.eos = false;
        o.discont = true;
        o.haveLast = false;
        o.pushed = false;
        o.endChecked = false;
        if (channels) o.dead = o.leaving || !c || c->keys.empty();  // a new channel may have none
    }
    const uint32_t failed = p.session->FailedChannels();
    for (OutPad& o : p.pads) o.dead = o.dead || (channels && (failed >> o.channel & 1));
    if (failed)
        GST_ELEMENT_WARNING(self, STREAM, DEMUX, ("No recording of channel(s) %s in stream type %d at the position",
                                                  mssphost::ChannelList(failed).c_str(), p.session->StreamTypeOf(0)),
                            (nullptr));
    Resume(self, 1.0, GST_SEEK_FLAG_NONE, at, GST_CLOCK_TIME_NONE, seqnum);
    return true;
}

}  // namespace msspsrc
