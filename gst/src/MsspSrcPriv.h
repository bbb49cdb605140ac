// msspsrc's internals, shared by the parts of the element and by nothing
// else: the settings, the per-pad and per-run state (Priv, OutPad, Held),
// the debug category and the functions one part calls in another. Nothing
// here leaves the plugin (namespace msspsrc, hidden visibility). The parts:
// MsspSrc.cpp (properties, state changes, starting and stopping a run),
// MsspSrcPads.cpp (pads, pools, caps, streams, EOS, loss, segments),
// MsspSrcTask.cpp (the streaming task), MsspSrcSeek.cpp (seeks, live
// switches, queries), MsspSrcUri.cpp (the URI handler).
#ifndef MSSP_GST_MSSP_SRC_PRIV_H
#define MSSP_GST_MSSP_SRC_PRIV_H

#include <gst/base/gstflowcombiner.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "HostPresent.h"
#include "MsspHost.h"
#include "MsspSrc.h"

namespace msspsrc {

GST_DEBUG_CATEGORY_EXTERN(mssp_src_debug);

constexpr guint kDefaultStallSec = 10;
constexpr int kDefaultRing = mssphost::Options{}.ringBytes;  // the host layer's: README, ring size
constexpr int kDefaultNodes = mssphost::Options{}.nodes;

enum G711Law { kAlaw = 0, kMulaw = 1 };
enum PresentBy { kByTime = 0, kByTimestamp = 1 };

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

}  // namespace msspsrc

#define GST_CAT_DEFAULT msspsrc::mssp_src_debug

struct _GstMsspSrc {
    GstElement parent;
    msspsrc::Priv* priv;
};

namespace msspsrc {

inline Priv& P(GstMsspSrc* self) { return *self->priv; }

// Milliseconds as clock time. Times come from recorded data, which may be
// damaged: they saturate at some 292 years, within gint64 nanoseconds.
constexpr guint64 kMaxMs = G_MAXINT64 / GST_MSECOND;
inline GstClockTime NsOf(guint64 ms) { return std::min(ms, kMaxMs) * GST_MSECOND; }

// MsspSrcPads.cpp
GstCaps* VideoCaps(mssphost::MediaKind kind);
GstBuffer* AcquireBuffer(OutPad& out, size_t len);
OutPad* FindPad(Priv& p, int channel, bool audio);
void PushAll(GstMsspSrc* self, GstEvent* event);
void PushEos(GstMsspSrc* self, OutPad& o);
void PushEosAll(GstMsspSrc* self);
void CountLoss(GstMsspSrc* self, OutPad& o, const mssphost::Frame& f, const recstore::PackHeader* h);
void SayEndedEarly(GstMsspSrc* self, OutPad& o);
void ReleasePool(OutPad& o);
void PreparePads(GstMsspSrc* self, int law, bool live);
void DropLeavingPads(GstMsspSrc* self);
void SendSegment(GstMsspSrc* self, guint64 firstMs);
bool SelectStreams(GstMsspSrc* self, GstEvent* event);

// MsspSrcTask.cpp
void Loop(gpointer data);

// MsspSrcSeek.cpp
void ApplyShifts(GstMsspSrc* self);
bool DoSeek(GstMsspSrc* self, GstEvent* event);
gboolean SrcEvent(GstPad* pad, GstObject* parent, GstEvent* event);
gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query);
bool SwitchLive(GstMsspSrc* self, int type, uint32_t channels);

}  // namespace msspsrc

#endif  // MSSP_GST_MSSP_SRC_PRIV_H
