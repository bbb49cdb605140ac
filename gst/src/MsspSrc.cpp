// msspsrc: properties, pads, caps and the stream collection, the streaming
// task (frame, pooled copy, release, the presentation stage, push; damaged
// channels reported), seeking and queries. The URI handler is in
// MsspSrcUri.cpp. The
// engine and the recording store are reached only through the host layer
// (mssphost::Session, mssphost::Presentation).
#include "MsspSrc.h"

#include <gst/base/gstflowcombiner.h>

#include <algorithm>
#include <bit>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HostPresent.h"
#include "MsspHost.h"

GST_DEBUG_CATEGORY_STATIC(mssp_src_debug);
#define GST_CAT_DEFAULT mssp_src_debug
// The engine's own diagnostics, which it would otherwise print on standard
// output: failures as warnings, the rest as info and debug.
GST_DEBUG_CATEGORY_STATIC(mssp_engine_debug);

namespace {

constexpr guint kMinPoolBytes = 64 << 10;  // smallest pooled buffer; pools grow by doubling
constexpr guint kPoolMinBuffers = 4;
constexpr gulong kPollUs = 2000;            // wait between takes that found nothing
constexpr guint kDefaultStallSec = 10;
constexpr guint kMaxStallSec = 3600;
constexpr int kDefaultRing = mssphost::Options{}.ringBytes;  // the host layer's: README, ring size
constexpr int kDefaultNodes = mssphost::Options{}.nodes;

enum G711Law { kAlaw = 0, kMulaw = 1 };
enum PresentBy { kByTime = 0, kByTimestamp = 1 };

// Caps of the GstReferenceTimestampMeta on every buffer: the frame's
// recorded date and time, in nanoseconds since 1970-01-01 00:00:00 of the
// recorder's calendar read as UTC (the recorder's local time of day).
constexpr const char* kRecordedCaps = "timestamp/x-mssp-recorded";

enum {
    PROP_0,
    PROP_LOCATION,
    PROP_CHANNELS,
    PROP_STREAM_TYPE,
    PROP_START_TIME,
    PROP_RING_SIZE,
    PROP_NODES,
    PROP_STREAMS_PER_THREAD,
    PROP_SHM_NAME,
    PROP_G711_LAW,
    PROP_STALL_TIMEOUT,
    PROP_PRESENT_BY,
};

struct Settings {
    std::string location;
    std::string channels;
    int streamType = 0;
    std::string startTime;
    int ringBytes = kDefaultRing;
    int nodes = kDefaultNodes;
    int streamsPerThread = 1;
    std::string shmName;
    int law = kAlaw;
    guint stallSec = kDefaultStallSec;
    int presentBy = kByTime;
};

// One source pad and its buffer pool.
struct OutPad {
    GstPad* pad = nullptr;
    int channel = 0;
    int index = 0;  // engine stream index
    bool audio = false;
    GstBufferPool* pool = nullptr;
    guint poolSize = 0;
    bool discont = true;
    bool eos = false;
    bool dead = false;  // its channel could not be opened: it ends at once, the others play
    mssphost::MediaKind kind = mssphost::MediaKind::kOther;  // of the caps sent (video)
    bool selected = true;  // SELECT_STREAMS left it out: its frames are dropped, it ends at once
    // Frames lost to a damaged recording, in normal play: gaps in the
    // channel's recorded timestamps against its frame interval.
    bool haveLast = false;
    uint64_t lastPts = 0, minStep = 0;
    uint64_t lost = 0, lostSaid = 0;
    gint64 saidUs = 0;
    bool pushed = false;
    guint64 lastMs = 0;  // position of the last buffer pushed
    bool endChecked = false;  // whether it ended early was looked at in this run
    bool leaving = false;  // its channel is no longer played: the task ends it and removes it
};

// A frame on its way through the presentation stage: its buffer (owned)
// and what the push needs.
struct Held {
    GstBuffer* buf = nullptr;
    size_t pad = 0;
    uint64_t streamMs = 0;  // by timestamp
    bool delta = false, jump = false;
    bool hasTime = false;
    mssphost::DateTime time{};  // the pack's own, whole seconds
    Held() = default;
    Held(Held&& o) noexcept { *this = std::move(o); }
    Held& operator=(Held&& o) noexcept {
        if (this != &o) {
            if (buf) gst_buffer_unref(buf);
            buf = std::exchange(o.buf, nullptr);
            pad = o.pad, streamMs = o.streamMs, delta = o.delta, jump = o.jump, hasTime = o.hasTime, time = o.time;
        }
        return *this;
    }
    ~Held() {
        if (buf) gst_buffer_unref(buf);
    }
};

// Everything the element keeps besides its GObject parent. Settings are
// guarded by the object lock; the run state by the stream lock (held by the
// task for each iteration and by a seek); the atomics are read by queries.
struct Priv {
    Settings settings;
    GRecMutex streamLock;
    GstTask* task = nullptr;
    std::unique_ptr<mssphost::Session> session;
    // Puts the pads in step by recorded time (present-by time), or passes
    // frames on as the engine delivers them (timestamp); learns every
    // frame's recorded time either way.
    mssphost::Presentation<Held> stage;
    bool byTime = true;
    int64_t originMs = 0;  // recorded time of the group's first frame (ms since 1970)
    std::vector<uint8_t> headerScratch;
    std::vector<OutPad> pads;
    GstFlowCombiner* combiner = nullptr;
    // The run's streams: one per pad, by stream-id, posted on the bus and
    // sent on every pad; SELECT_STREAMS chooses among them.
    GstStreamCollection* collection = nullptr;
    guint groupId = 0;  // of every pad's stream in this run
    std::mutex selectLock;                   // guards `selection`
    std::vector<std::string> selection;      // stream-ids chosen last
    std::atomic<bool> selectionPending{false};  // the task applies `selection` at its next iteration
    std::atomic<bool> flushing{false};
    guint stallSec = kDefaultStallSec;
    gint64 lastFrameUs = 0;
    // The segment of the current run, sent before its first buffer.
    bool segmentPending = true;
    double rate = 1.0;
    GstSeekFlags seekFlags = GST_SEEK_FLAG_NONE;
    guint64 targetMs = 0;
    GstClockTime stop = GST_CLOCK_TIME_NONE;
    guint64 reverseFromMs = 0;  // backward: the position of buffer time 0
    guint32 seqnum = 0;
    // A seek sent to the pipeline reaches this element once through each
    // sink, all copies with one seqnum: only the first repositions.
    std::mutex seekLock;
    guint32 lastSeekSeqnum = GST_SEQNUM_INVALID;
    std::atomic<bool> segmentDone{false};  // the run ended with SEGMENT_DONE: a seek without flushing may go on
    std::atomic<guint64> positionMs{0};
    std::atomic<guint64> durationMs{0};
    std::atomic<bool> running{false};
};

}  // namespace

struct _GstMsspSrc {
    GstElement parent;
    Priv* priv;
};

G_DEFINE_TYPE_WITH_CODE(GstMsspSrc, gst_mssp_src, GST_TYPE_ELEMENT,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_URI_HANDLER, gst_mssp_src_uri_handler_init))

namespace {

GstStaticPadTemplate kVideoTemplate = GST_STATIC_PAD_TEMPLATE(
    "src_%u", GST_PAD_SRC, GST_PAD_SOMETIMES,
    GST_STATIC_CAPS("video/x-h264, stream-format=(string)byte-stream, alignment=(string)au; "
                    "video/x-h265, stream-format=(string)byte-stream, alignment=(string)au; "
                    "application/x-mssp-frame, media=(string)video"));
GstStaticPadTemplate kAudioTemplate =
    GST_STATIC_PAD_TEMPLATE("audio_%u", GST_PAD_SRC, GST_PAD_SOMETIMES,
                            GST_STATIC_CAPS("audio/x-alaw, rate=(int)8000, channels=(int)1; "
                                            "audio/x-mulaw, rate=(int)8000, channels=(int)1"));

GType PresentByType() {
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue kValues[] = {
            {kByTime, "Recorded time: channels in step by recorded time of day, PTS from the group's first frame",
             "time"},
            {kByTimestamp, "Timestamp: as the engine delivers, PTS from the group's first timestamp", "timestamp"},
            {0, nullptr, nullptr}};
        g_once_init_leave(&type, g_enum_register_static("GstMsspPresentBy", kValues));
    }
    return type;
}

GType G711LawType() {
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue kValues[] = {{kAlaw, "A-law (audio/x-alaw)", "alaw"},
                                             {kMulaw, "mu-law (audio/x-mulaw)", "mulaw"},
                                             {0, nullptr, nullptr}};
        g_once_init_leave(&type, g_enum_register_static("GstMsspG711Law", kValues));
    }
    return type;
}

Priv& P(GstMsspSrc* self) { return *self->priv; }

// Milliseconds as clock time. Times come from recorded data, which may be
// damaged: they saturate at some 292 years, within gint64 nanoseconds.
constexpr guint64 kMaxMs = G_MAXINT64 / GST_MSECOND;
GstClockTime NsOf(guint64 ms) { return std::min(ms, kMaxMs) * GST_MSECOND; }

GstCaps* VideoCaps(mssphost::MediaKind kind) {
    switch (kind) {
        case mssphost::MediaKind::kH264:
            return gst_caps_from_string("video/x-h264, stream-format=(string)byte-stream, alignment=(string)au");
        case mssphost::MediaKind::kH265:
            return gst_caps_from_string("video/x-h265, stream-format=(string)byte-stream, alignment=(string)au");
        default: return gst_caps_from_string("application/x-mssp-frame, media=(string)video");
    }
}

GstCaps* AudioCaps(int law) {
    return gst_caps_new_simple(law == kMulaw ? "audio/x-mulaw" : "audio/x-alaw", "rate", G_TYPE_INT, 8000,
                               "channels", G_TYPE_INT, 1, nullptr);
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

void SendSegment(GstMsspSrc* self, guint64 firstMs);
bool PushReady(GstMsspSrc* self, uint32_t live);
bool AnyLive(Priv& p);
void SayLoss(GstMsspSrc* self, OutPad& o, bool atEnd);

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

gboolean SrcEvent(GstPad* pad, GstObject* parent, GstEvent* event);
gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query);

void ReleasePool(OutPad& o) {
    if (!o.pool) return;
    gst_buffer_pool_set_active(o.pool, FALSE);
    gst_object_unref(o.pool);
    o.pool = nullptr;
    o.poolSize = 0;
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

// ---------------------------------------------------------------------------
// The streaming task.

void PauseTask(GstMsspSrc* self) { gst_task_pause(P(self).task); }

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

// ---------------------------------------------------------------------------
// Starting and stopping a run.

bool Fail(GstMsspSrc* self, GQuark domain, gint code, const std::string& message) {
    gst_element_message_full(GST_ELEMENT(self), GST_MESSAGE_ERROR, domain, code, g_strdup(message.c_str()),
                             nullptr, __FILE__, GST_FUNCTION, __LINE__);
    return false;
}

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

void ApplyShifts(GstMsspSrc* self) {
    Priv& p = P(self);
    for (const mssphost::ChannelDesc& c : p.session->Channels()) {
        int64_t shift = 0;
        if (ChannelShift(p, c, &shift)) p.session->SetChannelShift(c.channel, shift);
    }
}

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

// By recorded time, the duration runs to the latest recorded frame of any
// channel: its timestamps since its first key frame, recorded at whole
// seconds after the group's first.
guint64 RecordedSpanMs(Priv& p) {
    guint64 span = 0;
    for (const mssphost::ChannelDesc& c : p.session->Channels()) {
        if (c.keys.empty() || c.lastPts < c.keys.front().pts || c.lastPts > mssphost::kMaxTimestampMs) continue;
        const int64_t lead = recstore::DateTimeToSeconds(c.keys.front().time) * 1000 - p.originMs;
        span = std::max(span, c.lastPts - c.keys.front().pts + static_cast<guint64>(std::max<int64_t>(0, lead)));
    }
    return span;
}

// The engine's log hook: user is the element whose parser wrote the line,
// null for lines of no parser (the process-wide hook). Called from the
// engine's reader threads, the streaming thread and the application's.
void EngineLine(void* user, int level, const char* line) {
    GObject* object = static_cast<GObject*>(user);
    if (level == MSSP_LOG_ERROR) {
        GST_CAT_WARNING_OBJECT(mssp_engine_debug, object, "%s", line);
    } else if (level == MSSP_LOG_INFO) {
        GST_CAT_INFO_OBJECT(mssp_engine_debug, object, "%s", line);
    } else {
        GST_CAT_DEBUG_OBJECT(mssp_engine_debug, object, "%s", line);
    }
}

bool StartRun(GstMsspSrc* self) {
    Priv& p = P(self);
    GST_OBJECT_LOCK(self);
    const Settings s = p.settings;
    GST_OBJECT_UNLOCK(self);
    const GQuark res = GST_RESOURCE_ERROR;
    if (s.location.empty()) return Fail(self, res, GST_RESOURCE_ERROR_NOT_FOUND, "No recording group given (location)");
    // Numbers are taken as given and refused here when out of range, never
    // replaced by a default.
    const struct {
        const char* name;
        long long value, lo, hi;
    } numbers[] = {
        {"stream-type", s.streamType, 0, 2},
        {"ring-size", s.ringBytes, mssphost::kMinRingBytes, mssphost::kMaxRingBytes},
        {"nodes", s.nodes, mssphost::kMinNodes, mssphost::kMaxNodes},
        {"streams-per-thread", s.streamsPerThread, 0, mssphost::kMaxStreamsPerThread},
        {"stall-timeout", s.stallSec, 1, kMaxStallSec},
    };
    for (const auto& n : numbers) {
        if (n.value < n.lo || n.value > n.hi)
            return Fail(self, res, GST_RESOURCE_ERROR_SETTINGS,
                        std::string(n.name) + "=" + std::to_string(n.value) + " is not valid: give " +
                            std::to_string(n.lo) + ".." + std::to_string(n.hi));
    }
    mssphost::Options o;
    o.groupDir = s.location;
    o.streamType = s.streamType;
    o.ringBytes = s.ringBytes;
    o.nodes = s.nodes;
    o.streamsPerThread = s.streamsPerThread;
    o.shmName = s.shmName;
    o.logFn = EngineLine;  // the parser's lines name this element
    o.logUser = self;
    o.everyChannel = false;  // a channel without recording is reported and ends; the others play
    if (!s.channels.empty() && !mssphost::ParseChannelSet(s.channels, &o.channels))
        return Fail(self, res, GST_RESOURCE_ERROR_SETTINGS,
                    "Channel set \"" + s.channels + "\" is not valid: give channels 0..31 as \"0-3\", \"0,2,5\" or 0xF");
    mssphost::DateTime start{};
    bool timeOfDay = false;
    if (!s.startTime.empty() && !mssphost::ParseStartTime(s.startTime, &start, &timeOfDay))
        return Fail(self, res, GST_RESOURCE_ERROR_SETTINGS,
                    "Start time \"" + s.startTime + "\" is not valid: give YYYY-MM-DD HH:MM:SS or HH:MM:SS");
    std::string error;
    p.session = mssphost::Session::Open(o, &error);
    if (!p.session)
        return Fail(self, res,
                    error.rfind("cannot open", 0) == 0 ? GST_RESOURCE_ERROR_NOT_FOUND : GST_RESOURCE_ERROR_SETTINGS,
                    error);
    p.byTime = s.presentBy == kByTime;
    p.stage.SetByTime(p.byTime);
    p.stage.Reposition(false);
    // The group's first recorded time: the earliest first key frame's
    // date and time (whole seconds, as recorded).
    bool haveOrigin = false;
    for (const mssphost::ChannelDesc& c : p.session->Channels()) {
        if (c.keys.empty()) continue;
        const int64_t ms = recstore::DateTimeToSeconds(c.keys.front().time) * 1000;
        p.originMs = haveOrigin ? std::min(p.originMs, ms) : ms;
        haveOrigin = true;
    }
    ApplyShifts(self);
    guint64 startMs = 0;
    if (!s.startTime.empty()) {
        if (timeOfDay) std::copy(p.session->FirstTime().begin(), p.session->FirstTime().begin() + 3, start.begin());
        const int64_t at = recstore::DateTimeToSeconds(start) * 1000 - p.originMs;
        startMs = std::min(p.byTime ? static_cast<guint64>(std::max<int64_t>(0, at)) : p.session->StreamMsAt(start),
                           p.session->DurationMs());
    }
    if (!p.session->Start(startMs, &error)) {
        p.session.reset();
        return Fail(self, GST_STREAM_ERROR, GST_STREAM_ERROR_DEMUX, error);
    }
    p.stallSec = s.stallSec;
    uint32_t frameMs = 0;  // the duration runs to the last frame's end
    for (const mssphost::ChannelDesc& c : p.session->Channels()) frameMs = std::max(frameMs, c.frameMs);
    p.durationMs = std::min((p.byTime ? RecordedSpanMs(p) : p.session->DurationMs()) + frameMs, kMaxMs);
    p.positionMs = startMs;
    p.targetMs = startMs;
    p.rate = 1.0;
    p.seekFlags = GST_SEEK_FLAG_NONE;
    p.segmentDone = false;
    p.stop = GST_CLOCK_TIME_NONE;
    p.seqnum = gst_util_seqnum_next();
    p.segmentPending = true;
    p.flushing = false;
    p.lastFrameUs = g_get_monotonic_time();
    PreparePads(self, s.law, false);
    // A channel that cannot be played ends at once (its pad gets EOS); the
    // others play.
    const uint32_t failed = p.session->FailedChannels();
    for (OutPad& o : p.pads) {
        const mssphost::ChannelDesc* c = p.session->FindChannel(o.channel);
        o.dead = (failed >> o.channel & 1) || c->keys.empty();
        if (!o.dead || o.audio) continue;
        GST_ELEMENT_WARNING(self, STREAM, DEMUX,
                            ("Channel %d of %s cannot be played: %s", o.channel, s.location.c_str(),
                             c->keys.empty() ? "it has no recording with a key frame (missing or empty)"
                                             : "its recording could not be opened (damaged)"),
                            ("the other channels play"));
    }
    p.running = true;
    return gst_task_start(p.task) == TRUE;
}

void StopRun(GstMsspSrc* self) {
    Priv& p = P(self);
    p.flushing = true;
    for (OutPad& o : p.pads) gst_pad_set_active(o.pad, FALSE);  // a push in progress returns
    gst_task_stop(p.task);
    g_rec_mutex_lock(&p.streamLock);
    g_rec_mutex_unlock(&p.streamLock);
    gst_task_join(p.task);
    p.stage.Clear();  // its buffers go back to the pools before these go
    for (OutPad& o : p.pads) ReleasePool(o);  // the pads stay for the next run
    gst_flow_combiner_reset(p.combiner);
    p.session.reset();  // stops the readers, removes the shared memory
    p.running = false;
}

// ---------------------------------------------------------------------------
// After a seek or a switch, with the stream lock held and the task paused:
// every pad starts a new segment at `targetMs` (discontinuous, nothing
// pushed yet), and the task runs again.
void Resume(GstMsspSrc* self, guint32 seqnum, guint64 targetMs, double rate, GstSeekFlags flags, GstClockTime stop) {
    Priv& p = P(self);
    for (OutPad& o : p.pads) {
        o.eos = false;
        o.discont = true;
        o.haveLast = false;
        o.pushed = false;
        o.endChecked = false;
    }
    gst_flow_combiner_reset(p.combiner);
    p.segmentDone = false;
    p.rate = rate;
    p.seekFlags = flags;
    p.targetMs = targetMs;
    p.stop = stop;
    p.seqnum = seqnum;
    p.segmentPending = true;
    p.lastFrameUs = g_get_monotonic_time();
    p.flushing = false;
    g_rec_mutex_unlock(&p.streamLock);
    gst_task_start(p.task);
}

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

    if (flush) {
        GstEvent* flushStart = gst_event_new_flush_start();
        gst_event_set_seqnum(flushStart, seqnum);
        p.flushing = true;
        PushAll(self, flushStart);
    }
    gst_task_pause(p.task);
    g_rec_mutex_lock(&p.streamLock);  // the task is out of its iteration: no frame is held
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
    if (flags & GST_SEEK_FLAG_SEGMENT) {
        GstMessage* msg = gst_message_new_segment_start(GST_OBJECT(self), GST_FORMAT_TIME, static_cast<gint64>(NsOf(target)));
        gst_message_set_seqnum(msg, seqnum);
        gst_element_post_message(GST_ELEMENT(self), msg);
    }
    p.positionMs = target;
    Resume(self, seqnum, target, rate, flags,
           rate > 0 && stopType == GST_SEEK_TYPE_SET && stop >= 0 ? static_cast<GstClockTime>(stop) : GST_CLOCK_TIME_NONE);
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

// ---------------------------------------------------------------------------
// GObject and GstElement plumbing.

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
    GstEvent* flushStart = gst_event_new_flush_start();
    gst_event_set_seqnum(flushStart, seqnum);
    p.flushing = true;
    PushAll(self, flushStart);
    gst_task_pause(p.task);
    g_rec_mutex_lock(&p.streamLock);  // the task is out of its iteration: no frame is held
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
        if (channels) o.dead = o.leaving || !c || c->keys.empty();  // a new channel may have none
    }
    const uint32_t failed = p.session->FailedChannels();
    for (OutPad& o : p.pads) o.dead = o.dead || (channels && (failed >> o.channel & 1));
    if (failed)
        GST_ELEMENT_WARNING(self, STREAM, DEMUX, ("No recording of channel(s) %s in stream type %d at the position",
                                                  mssphost::ChannelList(failed).c_str(), p.session->StreamTypeOf(0)),
                            (nullptr));
    Resume(self, seqnum, at, 1.0, GST_SEEK_FLAG_NONE, GST_CLOCK_TIME_NONE);
    return true;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    GstMsspSrc* self = GST_MSSP_SRC(object);
    Settings& s = P(self).settings;
    if (GST_STATE(self) > GST_STATE_READY && id == PROP_STREAM_TYPE) {
        const int type = g_value_get_int(value);
        if (type < 0 || type > 2) {
            GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS, ("stream-type=%d is not valid: give 0..2", type), (nullptr));
            return;
        }
        GST_OBJECT_LOCK(self);
        const bool change = s.streamType != type;
        s.streamType = type;
        GST_OBJECT_UNLOCK(self);
        if (change) SwitchLive(self, type, 0);
        return;
    }
    if (GST_STATE(self) > GST_STATE_READY && id == PROP_CHANNELS) {
        const gchar* text = g_value_get_string(value);
        uint32_t mask = 0;
        if (!text || !mssphost::ParseChannelSet(text, &mask) || mask == 0) {
            GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS,
                                ("Channel set \"%s\" is not valid while playing: give channels 0..31 as \"0-3\", "
                                 "\"0,2,5\" or 0xF", text ? text : ""), (nullptr));
            return;
        }
        if (SwitchLive(self, -1, mask)) {
            GST_OBJECT_LOCK(self);
            s.channels = text;
            GST_OBJECT_UNLOCK(self);
        }
        return;
    }
    if (GST_STATE(self) > GST_STATE_READY) {
        GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS, ("Property %s can only be changed in the NULL or READY state",
                                                       pspec->name), (nullptr));
        return;
    }
    auto str = [&](std::string& field) {
        const gchar* v = g_value_get_string(value);
        field = v ? v : "";
    };
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_LOCATION: str(s.location); break;
        case PROP_CHANNELS: str(s.channels); break;
        case PROP_STREAM_TYPE: s.streamType = g_value_get_int(value); break;
        case PROP_START_TIME: str(s.startTime); break;
        case PROP_RING_SIZE: s.ringBytes = g_value_get_int(value); break;
        case PROP_NODES: s.nodes = g_value_get_int(value); break;
        case PROP_STREAMS_PER_THREAD: s.streamsPerThread = g_value_get_int(value); break;
        case PROP_SHM_NAME: str(s.shmName); break;
        case PROP_G711_LAW: s.law = g_value_get_enum(value); break;
        case PROP_STALL_TIMEOUT: s.stallSec = g_value_get_uint(value); break;
        case PROP_PRESENT_BY: s.presentBy = g_value_get_enum(value); break;
        default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    GstMsspSrc* self = GST_MSSP_SRC(object);
    const Settings& s = P(self).settings;
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_LOCATION: g_value_set_string(value, s.location.c_str()); break;
        case PROP_CHANNELS: g_value_set_string(value, s.channels.c_str()); break;
        case PROP_STREAM_TYPE: g_value_set_int(value, s.streamType); break;
        case PROP_START_TIME: g_value_set_string(value, s.startTime.c_str()); break;
        case PROP_RING_SIZE: g_value_set_int(value, s.ringBytes); break;
        case PROP_NODES: g_value_set_int(value, s.nodes); break;
        case PROP_STREAMS_PER_THREAD: g_value_set_int(value, s.streamsPerThread); break;
        case PROP_SHM_NAME: g_value_set_string(value, s.shmName.c_str()); break;
        case PROP_G711_LAW: g_value_set_enum(value, s.law); break;
        case PROP_STALL_TIMEOUT: g_value_set_uint(value, s.stallSec); break;
        case PROP_PRESENT_BY: g_value_set_enum(value, s.presentBy); break;
        default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
    GstMsspSrc* self = GST_MSSP_SRC(element);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && !StartRun(self)) {
        StopRun(self);
        return GST_STATE_CHANGE_FAILURE;
    }
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) StopRun(self);
    return GST_ELEMENT_CLASS(gst_mssp_src_parent_class)->change_state(element, transition);
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

gboolean SendEvent(GstElement* element, GstEvent* event) {
    if (GST_EVENT_TYPE(event) == GST_EVENT_SELECT_STREAMS) {
        const bool ok = SelectStreams(GST_MSSP_SRC(element), event);
        gst_event_unref(event);
        return ok;
    }
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
        const bool ok = DoSeek(GST_MSSP_SRC(element), event);
        gst_event_unref(event);
        return ok;
    }
    return GST_ELEMENT_CLASS(gst_mssp_src_parent_class)->send_event(element, event);
}

void Finalize(GObject* object) {
    GstMsspSrc* self = GST_MSSP_SRC(object);
    Priv& p = P(self);
    gst_object_unref(p.task);
    gst_flow_combiner_free(p.combiner);
    if (p.collection) gst_object_unref(p.collection);
    g_rec_mutex_clear(&p.streamLock);
    delete self->priv;
    G_OBJECT_CLASS(gst_mssp_src_parent_class)->finalize(object);
}

constexpr GParamFlags kRwReady =
    static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);

}  // namespace

static void gst_mssp_src_class_init(GstMsspSrcClass* klass) {
    GObjectClass* gobject = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    gobject->set_property = SetProperty;
    gobject->get_property = GetProperty;
    gobject->finalize = Finalize;
    g_object_class_install_property(
        gobject, PROP_LOCATION,
        g_param_spec_string("location", "Location", "Folder of the recording group (holds group.json)", "", kRwReady));
    g_object_class_install_property(
        gobject, PROP_CHANNELS,
        g_param_spec_string("channels", "Channels",
                            "Channels to play: \"0-3\", \"0,2,5\" or a mask 0xF (empty: every recorded channel); "
                            "while playing, as many as the run started with",
                            "", static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                         GST_PARAM_MUTABLE_PLAYING)));
    g_object_class_install_property(
        gobject, PROP_STREAM_TYPE,
        g_param_spec_int("stream-type", "Stream type",
                         "Recorded stream to play: 0 main, 1 sub, 2 third (switches at the position while playing)",
                         G_MININT, G_MAXINT, 0,
                         static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                  GST_PARAM_MUTABLE_PLAYING)));
    g_object_class_install_property(
        gobject, PROP_START_TIME,
        g_param_spec_string("start-time", "Start time",
                            "Where to start: \"YYYY-MM-DD HH:MM:SS\", or \"HH:MM:SS\" on the recording's first day "
                            "(empty: the recording's start)",
                            "", kRwReady));
    g_object_class_install_property(
        gobject, PROP_RING_SIZE,
        g_param_spec_int("ring-size", "Ring size",
                         "Bytes of each channel's frame ring in shared memory (262144..268435456)", G_MININT,
                         G_MAXINT, kDefaultRing, kRwReady));
    g_object_class_install_property(gobject, PROP_NODES,
                                    g_param_spec_int("nodes", "Frame nodes",
                                                     "Frames each channel's ring can hold (2..65536)", G_MININT,
                                                     G_MAXINT, kDefaultNodes, kRwReady));
    g_object_class_install_property(
        gobject, PROP_STREAMS_PER_THREAD,
        g_param_spec_int("streams-per-thread", "Streams per thread",
                         "Channels each reader thread serves (0: one thread for all; at most 32)", G_MININT, G_MAXINT, 1,
                         kRwReady));
    g_object_class_install_property(
        gobject, PROP_SHM_NAME,
        g_param_spec_string("shm-name", "Shared-memory name",
                            "Base name of the engine's shared memory (empty: one unique to the process)", "",
                            kRwReady));
    g_object_class_install_property(gobject, PROP_G711_LAW,
                                    g_param_spec_enum("g711-law", "G.711 law", "Companding law of recorded audio",
                                                      G711LawType(), kAlaw, kRwReady));
    g_object_class_install_property(
        gobject, PROP_STALL_TIMEOUT,
        g_param_spec_uint("stall-timeout", "Stall timeout",
                          "Seconds without a frame while streams are live before an error (1..3600)", 0,
                          G_MAXUINT, kDefaultStallSec, kRwReady));
    g_object_class_install_property(
        gobject, PROP_PRESENT_BY,
        g_param_spec_enum("present-by", "Present by",
                          "time: every pad in step by recorded time of day (each recorder's clock may start apart "
                          "or drift), buffers pushed in recorded-time order; timestamp: as the engine delivers, by "
                          "the recorders' timestamps. Either way each buffer carries its recorded date and time as "
                          "a GstReferenceTimestampMeta (timestamp/x-mssp-recorded, ns since 1970 of the recorder's "
                          "date and time read as UTC)",
                          PresentByType(), kByTime, kRwReady));
    gst_element_class_add_static_pad_template(element, &kVideoTemplate);
    gst_element_class_add_static_pad_template(element, &kAudioTemplate);
    gst_element_class_set_static_metadata(
        element, "MSSP recording source", "Source/Video/Audio",
        "Plays a recorder's recording group through the MSSP engine, channels in step, one pad per channel",
        "MSSP developers");
    element->change_state = ChangeState;
    element->send_event = SendEvent;
    GST_DEBUG_CATEGORY_INIT(mssp_src_debug, "msspsrc", 0, "MSSP recording source");
}

static void gst_mssp_src_init(GstMsspSrc* self) {
    self->priv = new Priv();
    Priv& p = *self->priv;
    g_rec_mutex_init(&p.streamLock);
    p.task = gst_task_new(Loop, self, nullptr);
    gst_object_set_name(GST_OBJECT(p.task), "msspsrc:task");
    gst_task_set_lock(p.task, &p.streamLock);
    p.combiner = gst_flow_combiner_new();
    GST_OBJECT_FLAG_SET(self, GST_ELEMENT_FLAG_SOURCE);
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(mssp_engine_debug, "mssp", 0, "MSSP engine diagnostics");
    // Lines of no element (a parser being built, the frame-format checks) go
    // to the same category, unless the application took them itself.
    if (MSSP_GetLogHook(nullptr) == nullptr) MSSP_SetLogHook(EngineLine, nullptr);
    // A rank, so that playbin and uridecodebin choose it for mssp:// URIs.
    return gst_element_register(plugin, "msspsrc", GST_RANK_PRIMARY, GST_TYPE_MSSP_SRC);
}

// The plugin framework names the package through PACKAGE.
#define PACKAGE "mssp"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, mssp, "MSSP multi-channel recording playback", plugin_init,
                  MSSP_VERSION_TEXT, "Proprietary", "mssp", "MSSP")
