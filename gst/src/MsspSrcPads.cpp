// msspsrc's pads: made, kept or removed for a run's channels, each with its
// buffer pool and caps; the run's stream collection and SELECT_STREAMS;
// EOS, the segment before a run's first buffer, and the reports of frames
// lost to a damaged recording. Called from the streaming task, and at a
// start or a live channel switch from the application's thread.
#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "MsspSrcPriv.h"

namespace msspsrc {
namespace {

constexpr guint kMinPoolBytes = 64 << 10;  // smallest pooled buffer; pools grow by doubling
constexpr guint kPoolMinBuffers = 4;

GstCaps* AudioCaps(int law) {
    return gst_caps_new_simple(law == kMulaw ? "audio/x-mulaw" : "audio/x-alaw", "rate", G_TYPE_INT, 8000,
                               "channels", G_TYPE_INT, 1, nullptr);
}

// Frames a damaged recording lost on a pad: a WARNING at most once a second
// while it plays, the total when the channel ends.
void SayLoss(GstMsspSrc* self, OutPad& o, bool atEnd) {
    const gint64 now = g_get_monotonic_time();
    if (atEnd ? o.lost == 0 : (o.lost == o.lostSaid || now - o.saidUs < G_USEC_PER_SEC)) return;
    if (atEnd)
        GST_ELEMENT_WARNING(self, STREAM, DEMUX,
                            ("Channel %d: %" G_GUINT64_FORMAT " frame(s) lost to a damaged recording in all", o.channel,
                             o.lost),
                            (nullptr));
    else
        GST_ELEMENT_WARNING(self, STREAM, DEMUX,
                            ("Channel %d: %" G_GUINT64_FORMAT " frame(s) lost to a damaged recording (%" G_GUINT64_FORMAT
                             " so far)", o.channel, o.lost - o.lostSaid, o.lost),
                            (nullptr));
    o.lostSaid = o.lost;
    o.saidUs = now;
}

GstPad* NewPad(GstMsspSrc* self, int channel, bool audio) {
    gchar* name = g_strdup_printf(audio ? "audio_%u" : "src_%u", static_cast<guint>(channel));
    GstPadTemplate* templ = gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(self),
                                                               audio ? "audio_%u" : "src_%u");
    GstPad* pad = gst_pad_new_from_template(templ, name);
    g_free(name);
    gst_pad_set_event_function(pad, SrcEvent);
    gst_pad_set_query_function(pad, SrcQuery);
    gst_pad_use_fixed_caps(pad);
    return pad;
}

GstStream* NewStream(GstMsspSrc* self, const OutPad& o, mssphost::MediaKind video, int law) {
    gchar* sid = gst_pad_create_stream_id_printf(o.pad, GST_ELEMENT(self), "%s%u", o.audio ? "audio" : "video",
                                                 static_cast<guint>(o.channel));
    GstCaps* caps = o.audio ? AudioCaps(law) : VideoCaps(video);
    GstStream* stream = gst_stream_new(sid, caps, o.audio ? GST_STREAM_TYPE_AUDIO : GST_STREAM_TYPE_VIDEO,
                                       GST_STREAM_FLAG_NONE);
    GstTagList* tags = gst_tag_list_new(GST_TAG_TITLE, (std::string(o.audio ? "Audio of channel " : "Channel ") +
                                                        std::to_string(o.channel)).c_str(), nullptr);
    gst_stream_set_tags(stream, tags);
    gst_tag_list_unref(tags);
    gst_caps_unref(caps);
    g_free(sid);
    return stream;
}

// Activates a pad for a run and sends what starts its stream.
void OpenPad(GstMsspSrc* self, OutPad& o, GstStream* stream, guint groupId) {
    gst_pad_set_active(o.pad, TRUE);
    GstEvent* start = gst_event_new_stream_start(gst_stream_get_stream_id(stream));
    gst_event_set_group_id(start, groupId);
    gst_event_set_stream(start, stream);
    gst_pad_push_event(o.pad, start);
    gst_pad_push_event(o.pad, gst_event_new_stream_collection(P(self).collection));
    GstCaps* caps = gst_stream_get_caps(stream);
    gst_pad_push_event(o.pad, gst_event_new_caps(caps));
    gst_caps_unref(caps);
}

void RemovePad(GstMsspSrc* self, OutPad& o) {
    Priv& p = P(self);
    gst_flow_combiner_remove_pad(p.combiner, o.pad);
    gst_pad_set_active(o.pad, FALSE);
    gst_element_remove_pad(GST_ELEMENT(self), o.pad);
    ReleasePool(o);
}

}  // namespace

GstCaps* VideoCaps(mssphost::MediaKind kind) {
    switch (kind) {
        case mssphost::MediaKind::kH264:
            return gst_caps_from_string("video/x-h264, stream-format=(string)byte-stream, alignment=(string)au");
        case mssphost::MediaKind::kH265:
            return gst_caps_from_string("video/x-h265, stream-format=(string)byte-stream, alignment=(string)au");
        default: return gst_caps_from_string("application/x-mssp-frame, media=(string)video");
    }
}

// ---------------------------------------------------------------------------
// Buffers: one pool per pad, of buffers at least as large as the largest
// payload seen; a larger payload replaces the pool with one of twice the
// size. Buffers come back to the pool when downstream frees them, so the
// steady state allocates nothing.

GstBuffer* AcquireBuffer(OutPad& out, size_t len) {
    if (!out.pool || len > out.poolSize) {
        if (out.pool) {
            gst_buffer_pool_set_active(out.pool, FALSE);
            gst_object_unref(out.pool);
            out.pool = nullptr;
        }
        guint size = kMinPoolBytes;
        while (size < len && size < (1u << 30)) size *= 2;
        if (size < len) return nullptr;
        out.pool = gst_buffer_pool_new();
        GstStructure* config = gst_buffer_pool_get_config(out.pool);
        gst_buffer_pool_config_set_params(config, nullptr, size, kPoolMinBuffers, 0);
        if (!gst_buffer_pool_set_config(out.pool, config) || !gst_buffer_pool_set_active(out.pool, TRUE)) {
            gst_object_unref(out.pool);
            out.pool = nullptr;
            return nullptr;
        }
        out.poolSize = size;
    }
    GstBuffer* buf = nullptr;
    return gst_buffer_pool_acquire_buffer(out.pool, &buf, nullptr) == GST_FLOW_OK ? buf : nullptr;
}

// ---------------------------------------------------------------------------
// Pads.

OutPad* FindPad(Priv& p, int channel, bool audio) {
    for (OutPad& o : p.pads) {
        if (o.channel == channel && o.audio == audio) return &o;
    }
    return nullptr;
}

void PushAll(GstMsspSrc* self, GstEvent* event) {
    for (OutPad& o : P(self).pads) gst_pad_push_event(o.pad, gst_event_ref(event));
    gst_event_unref(event);
}

// A run that ends before its first frame still sends its segment first.
void PushEos(GstMsspSrc* self, OutPad& o) {
    if (o.eos) return;
    if (P(self).segmentPending) SendSegment(self, P(self).targetMs);
    SayLoss(self, o, true);
    o.eos = true;
    GstEvent* ev = gst_event_new_eos();
    if (P(self).seqnum) gst_event_set_seqnum(ev, P(self).seqnum);
    gst_pad_push_event(o.pad, ev);
}

void PushEosAll(GstMsspSrc* self) {
    for (OutPad& o : P(self).pads) PushEos(self, o);
}

constexpr uint64_t kMaxLossGapMs = 10000;  // a longer gap is a pause in recording, not damage

void CountLoss(GstMsspSrc* self, OutPad& o, const mssphost::Frame& f, const recstore::PackHeader* h) {
    Priv& p = P(self);
    if (o.audio || p.rate < 0 || p.session->CurrentMode() != mssphost::Mode::kPlay ||
        (f.type != MSSP_FRAME_I && f.type != MSSP_FRAME_P))
        return;
    const uint64_t pts = h && h->hasPts ? h->ptsMs : f.pts;
    if (o.haveLast && pts > o.lastPts) {
        const uint64_t d = pts - o.lastPts;
        const uint64_t step = h && h->frameRate ? 1000u / h->frameRate : o.minStep;
        if (step > 0 && d * 2 > step * 3 && d <= kMaxLossGapMs) o.lost += (d + step / 2) / step - 1;
        if (o.minStep == 0 || d < o.minStep) o.minStep = d;
    }
    o.haveLast = true;
    o.lastPts = pts;
    SayLoss(self, o, false);
}

// A channel whose stream ends more than a second before the recording's
// end (its own index's, or the group's): its recording is damaged or cut
// short there (looked at once per run, in normal play to the end).
void SayEndedEarly(GstMsspSrc* self, OutPad& o) {
    Priv& p = P(self);
    if (std::exchange(o.endChecked, true)) return;
    if (o.audio || o.eos || o.dead || !o.pushed || p.rate < 0 || GST_CLOCK_TIME_IS_VALID(p.stop) ||
        p.session->CurrentMode() != mssphost::Mode::kPlay)
        return;
    const mssphost::ChannelDesc* c = p.session->FindChannel(o.channel);
    const guint64 margin = std::max<guint64>(1000, c ? 2 * c->frameMs : 0);
    if (p.durationMs <= o.lastMs + margin) return;
    GST_ELEMENT_WARNING(self, STREAM, DEMUX,
                        ("Channel %d ended %.1f s before the recording's end (damaged or cut-short recording)",
                         o.channel, static_cast<double>(p.durationMs - o.lastMs) / 1000.0),
                        ("its last frame at %" G_GUINT64_FORMAT " ms of %" G_GUINT64_FORMAT " ms", o.lastMs,
                         static_cast<guint64>(p.durationMs)));
}

void ReleasePool(OutPad& o) {
    if (!o.pool) return;
    gst_buffer_pool_set_active(o.pool, FALSE);
    gst_object_unref(o.pool);
    o.pool = nullptr;
    o.poolSize = 0;
}

// The pads of a run: a pad per played channel (and its audio) kept while
// its channel stays played (same names; a restarted pipeline keeps its
// links, caps change only with a channel's codec), pads made for channels
// that come. At a start the pads of channels that went are removed here,
// then no-more-pads; at a channel switch while playing (`live`) they stay
// marked `leaving` for the streaming task, which sends their EOS (that
// waits on a PAUSED sink: never on the caller's thread) and removes them.
// At a start every pad begins a new stream group, while playing only the
// new pads do, in the running group. Either way a new stream collection
// is posted and sent on every pad.
void PreparePads(GstMsspSrc* self, int law, bool live) {
    Priv& p = P(self);
    std::vector<OutPad> next;
    std::vector<bool> fresh;
    for (const mssphost::ChannelDesc& c : p.session->Channels()) {
        for (const bool audio : {false, true}) {
            if (audio && !c.audio) continue;
            auto old = std::find_if(p.pads.begin(), p.pads.end(), [&](const OutPad& o) {
                // A pad still leaving (not yet ended by the task) is taken back.
                return o.pad && o.channel == c.channel && o.audio == audio;
            });
            OutPad o;
            if (old != p.pads.end()) {
                o = *old;
                old->pad = nullptr;  // taken over
            } else {
                o.pad = NewPad(self, c.channel, audio);
                o.channel = c.channel;
                o.audio = audio;
            }
            fresh.push_back(old == p.pads.end());
            next.push_back(o);
        }
    }
    bool changed = std::find(fresh.begin(), fresh.end(), true) != fresh.end();
    std::vector<OutPad> gone;
    for (OutPad& o : p.pads) {
        if (o.pad) gone.push_back(o), changed = true;
    }
    p.pads = std::move(next);
    // A channel without recording gets the caps of the group's first one
    // that has some, so that it links as its neighbours do (then ends).
    mssphost::MediaKind fallback = mssphost::MediaKind::kOther;
    for (auto it = p.session->Channels().rbegin(); it != p.session->Channels().rend(); ++it) {
        if (!it->keys.empty()) fallback = it->video;
    }
    if (!live) p.groupId = gst_util_group_id_next();
    GstStreamCollection* collection = gst_stream_collection_new(nullptr);
    std::vector<GstStream*> streams;
    for (OutPad& o : p.pads) {
        const mssphost::ChannelDesc* c = p.session->FindChannel(o.channel);
        const OutPad kept = o;
        o = OutPad{};  // the run's state afresh
        o.pad = kept.pad;
        if (live) o.pool = kept.pool, o.poolSize = kept.poolSize;  // stopping a run releases them
        o.channel = c->channel;
        o.index = c->index;
        o.audio = kept.audio;
        o.kind = c->keys.empty() ? fallback : c->video;
        streams.push_back(NewStream(self, o, o.kind, law));
        gst_stream_collection_add_stream(collection, GST_STREAM(gst_object_ref(streams.back())));
    }
    GST_OBJECT_LOCK(self);
    std::swap(p.collection, collection);
    GST_OBJECT_UNLOCK(self);
    if (collection) gst_object_unref(collection);
    {
        std::lock_guard<std::mutex> lock(p.selectLock);  // every stream plays until chosen again
        p.selection.clear();
        p.selectionPending = false;
    }
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_stream_collection(GST_OBJECT(self), p.collection));
    for (size_t i = 0; i < p.pads.size(); ++i) {
        OutPad& o = p.pads[i];
        if (!live || fresh[i])
            OpenPad(self, o, streams[i], p.groupId);
        else
            gst_pad_push_event(o.pad, gst_event_new_stream_collection(p.collection));
        gst_object_unref(streams[i]);
        if (fresh[i]) {
            gst_flow_combiner_add_pad(p.combiner, o.pad);
            gst_element_add_pad(GST_ELEMENT(self), o.pad);
        }
    }
    if (live) {
        for (OutPad& o : gone) {
            o.leaving = true;
            o.dead = true;
            o.eos = false;
            p.pads.push_back(o);  // after the played ones: the task takes them off before any frame
        }
        if (changed && gone.empty()) gst_element_no_more_pads(GST_ELEMENT(self));
        return;
    }
    for (OutPad& o : gone) RemovePad(self, o);
    if (changed) gst_element_no_more_pads(GST_ELEMENT(self));
}

// The pads whose channel went at a switch while playing: their EOS (after
// the segment, as every pad's), then off the element, then no-more-pads.
// Runs on the streaming task before it takes a frame of the new set.
void DropLeavingPads(GstMsspSrc* self) {
    Priv& p = P(self);
    auto first = std::find_if(p.pads.begin(), p.pads.end(), [](const OutPad& o) { return o.leaving; });
    if (first == p.pads.end()) return;
    for (auto it = first; it != p.pads.end(); ++it) PushEos(self, *it);
    for (auto it = first; it != p.pads.end(); ++it) RemovePad(self, *it);
    p.pads.erase(first, p.pads.end());
    gst_element_no_more_pads(GST_ELEMENT(self));
}

// ---------------------------------------------------------------------------
// The segment of a run is sent before its first buffer, when the first
// frame tells where the run really begins: without KEY_UNIT a forward run
// starts at the asked time (frames before it are decoded for reference and
// clipped downstream), unless the recording only resumes later; with
// KEY_UNIT, and in trick play, it starts at the first frame.

void SendSegment(GstMsspSrc* self, guint64 firstMs) {
    Priv& p = P(self);
    const bool snap = (p.seekFlags & GST_SEEK_FLAG_KEY_UNIT) || p.session->CurrentMode() != mssphost::Mode::kPlay;
    GstSegment seg;
    gst_segment_init(&seg, GST_FORMAT_TIME);
    seg.rate = p.rate;
    if (p.seekFlags & GST_SEEK_FLAG_TRICKMODE_KEY_UNITS)
        seg.flags = static_cast<GstSegmentFlags>(seg.flags | GST_SEGMENT_FLAG_TRICKMODE_KEY_UNITS);
    const guint64 first = NsOf(firstMs);
    if (p.rate > 0) {
        seg.start = snap ? first : std::max(first, NsOf(p.targetMs));
        seg.stop = p.stop;
        seg.position = seg.start;
        seg.time = seg.start;
    } else {
        // Backward the element steps itself: the segment plays forward at
        // rate 1 with the trick rate applied, buffer times rising from 0 as
        // the recorded time falls from the first frame's (its stream time).
        seg.rate = 1.0;
        seg.applied_rate = p.rate;
        seg.start = 0;
        seg.position = 0;
        seg.time = first;
        p.reverseFromMs = firstMs;
    }
    GstEvent* ev = gst_event_new_segment(&seg);
    if (p.seqnum) gst_event_set_seqnum(ev, p.seqnum);
    PushAll(self, ev);
    for (OutPad& o : p.pads) o.discont = true;
    p.segmentPending = false;
}

// SELECT_STREAMS: the pads of streams left out end (EOS) and drop their
// frames from the next iteration on; those chosen play. Answered with
// STREAMS_SELECTED.
bool SelectStreams(GstMsspSrc* self, GstEvent* event) {
    Priv& p = P(self);
    GList* ids = nullptr;
    gst_event_parse_select_streams(event, &ids);
    GST_OBJECT_LOCK(self);  // the collection belongs to the run the state change made
    GstStreamCollection* collection = p.collection ? GST_STREAM_COLLECTION(gst_object_ref(p.collection)) : nullptr;
    GST_OBJECT_UNLOCK(self);
    GstMessage* msg = collection ? gst_message_new_streams_selected(GST_OBJECT(self), collection) : nullptr;
    {
        std::lock_guard<std::mutex> lock(p.selectLock);
        p.selection.clear();
        for (GList* l = ids; l; l = l->next) p.selection.emplace_back(static_cast<const gchar*>(l->data));
    }
    p.selectionPending = true;
    for (guint i = 0; collection && i < gst_stream_collection_get_size(collection); ++i) {
        GstStream* stream = gst_stream_collection_get_stream(collection, i);
        if (g_list_find_custom(ids, gst_stream_get_stream_id(stream), reinterpret_cast<GCompareFunc>(g_strcmp0)))
            gst_message_streams_selected_add(msg, stream);
    }
    const bool ok = collection != nullptr;
    if (collection) gst_object_unref(collection);
    g_list_free_full(ids, g_free);
    if (msg) {
        gst_message_set_seqnum(msg, gst_event_get_seqnum(event));
        gst_element_post_message(GST_ELEMENT(self), msg);
    }
    return ok;
}

}  // namespace msspsrc
