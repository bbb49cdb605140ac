// The presentation stage of the host layer: puts the channels of a group in
// step by recorded time of day. The engine hands frames out in timestamp
// order, and every recorder stamps its own channel: clocks that started
// apart (seconds) or drift (some 20 ppm) leave channels recorded at the same
// instant apart in timestamps. The stage learns, per channel, the offset
// between timestamp and recorded time (RecordedClock), holds copies of the
// frames and hands them out in recorded-time order once no frame still to
// come on another channel can be recorded earlier. Shared by every host
// (the player, the GStreamer element, the benchmarks).
//
// Safe on any timestamp: every sum and difference is range-checked or
// saturating; a timestamp beyond kMaxTimestampMs is out of range, reported
// once per channel and its frame passed on in engine order.
//
// Threads: one thread (the host's playback thread) uses a stage.
#ifndef MSSP_HOST_PRESENT_H
#define MSSP_HOST_PRESENT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "RecCommon.h"

namespace mssphost {

using recstore::DateTime;

constexpr int kStageChannels = 32;
// Timestamps are milliseconds; beyond 2^53 (some 285,000 years) a
// timestamp is damage, not a clock.
constexpr uint64_t kMaxTimestampMs = 1ull << 53;

// Per channel: recorded time (ms since 1970-01-01, the store's UTC reading
// of the recorded date and time) = timestamp + offset. A recorded date and
// time has whole seconds only, so each frame that carries one bounds the
// offset from below (its time of day, in ms, minus its timestamp) and the
// offset is the largest bound seen: exact once a second boundary has passed,
// whatever the phase of the key frames, and following a drifting clock
// (a fast clock raises the bound; a slow one lowers it by a whole second at
// most before the bound starts afresh). After a repositioning, a new
// segment or a jump the next frame with a date and time sets the offset
// afresh (the recorder's clock may have restarted) unless the old offset
// agrees with it (the same clock after a seek: the offset stays exact);
// until then the old offset stands in. A bound more than a second below
// the offset also starts afresh (the recorded time of day went back).
class RecordedClock {
public:
    void RelearnAll();
    void Relearn(int channel);
    // The recorded time of a frame of `channel` with timestamp `pts`,
    // learning from `time` when the frame carries one (null: it does not);
    // -1 when no offset is known for the channel yet, or `pts` is out of
    // range. Never below 0.
    int64_t Take(int channel, uint64_t pts, const DateTime* time);
    // The channel's offset (known or standing in); false when there is none.
    bool Offset(int channel, int64_t* offset) const;
    // Raised whenever a channel's offset is set or changes.
    uint32_t Version() const { return version_; }

private:
    struct Learnt {
        bool have = false;
        bool relearn = false;
        int64_t offset = 0;
    };
    Learnt ch_[kStageChannels];
    uint32_t version_ = 0;
};

// What the stage may hold; beyond either bound it stops waiting and passes
// frames on (in recorded-time order of what it holds, the rest as they come).
struct StageLimits {
    size_t maxFrames = 2048;
    size_t maxBytes = 64u << 20;
    // Longest wait, in timestamps, for a live channel to show its first
    // date and time; a channel that showed none by then plays by its
    // timestamps.
    uint64_t waitMs = 2500;
    // Keep the channels' least offset from one readiness check to the next
    // (false: every check looks at every channel, the plain rule; the tests
    // compare the two).
    bool keepBound = true;
};

// One delivered frame as the stage sees it.
struct StageFrame {
    int channel = -1;
    uint64_t pts = 0;       // the engine's timestamp (its delivery order)
    uint64_t clockPts = 0;  // the timestamp the recorded time is learnt against (the pack's own)
    bool newOrJump = false;  // a new segment or timestamp discontinuity: the offset is learnt afresh
    bool hasTime = false;
    DateTime time{};        // the pack's recorded date and time, when it has one
    size_t bytes = 0;       // what the held copy costs
};

// The stage's decisions, for any kind of held item (the host's copy of the
// frame). Not a template itself, so that its rules are built and tested once.
class StageCore {
public:
    explicit StageCore(const StageLimits& limits = {}) : limits_(limits) {}
    void SetBackward(bool backward) {
        if (backward != backward_) boundKnown_ = false;
        backward_ = backward;
    }
    bool Backward() const { return backward_; }
    // A repositioning, a new segment or a trick-play change: everything is
    // learnt afresh. The caller drops what it holds.
    void Reposition(bool backward);
    // Learns from a delivered frame: its recorded time (-1 unknown: it is
    // passed on at once).
    int64_t Learn(const StageFrame& f);
    // Whether a held frame (the earliest in recorded time) can go: no frame
    // still to come on a channel of `live` can be recorded before it.
    // `heldFrames` / `heldBytes`: what is held, this frame included.
    bool Ready(uint64_t pts, int64_t recordedMs, uint32_t live, size_t heldFrames, size_t heldBytes);
    // Messages for the host's log, each said once (since the last call).
    std::vector<std::string> TakeNotes();
    const RecordedClock& Clock() const { return clock_; }
    const StageLimits& Limits() const { return limits_; }

private:
    void Note(std::string text);
    StageLimits limits_;
    RecordedClock clock_;
    bool backward_ = false;
    bool haveDelivered_ = false;
    uint64_t delivered_ = 0;  // latest in-range timestamp delivered
    uint32_t seen_ = 0;       // channels that delivered a frame since the repositioning
    uint32_t timeless_ = 0;   // channels found to carry no date and time: not waited for
    uint32_t noDateSaid_ = 0, rangeSaid_ = 0;
    uint64_t firstPts_[kStageChannels] = {};
    bool boundSaid_ = false;
    // Ready's least offset, while every channel of boundFor_ has one.
    bool boundKnown_ = false, boundHave_ = false;
    uint32_t boundFor_ = 0, boundVersion_ = 0;
    int64_t bound_ = 0;
    std::vector<std::string> notes_;
};

// The stage with its held items. `Item` is the host's copy of a frame
// (movable); Pop hands items out in presentation order.
template <class Item>
class Presentation {
public:
    struct Out {
        Item item;
        int channel = -1;
        int64_t recordedMs = -1;  // -1: not known (passed on in engine order)
    };

    explicit Presentation(const StageLimits& limits = {}) : core_(limits) {}
    // byTime false: every frame is passed on at once, in engine order (its
    // recorded time is still learnt and handed out).
    void SetByTime(bool byTime) { byTime_ = byTime; }
    bool ByTime() const { return byTime_; }
    // The direction of play of the frames pushed from now on; frames held
    // are put in the new direction's order.
    void SetBackward(bool backward) {
        if (backward == core_.Backward()) return;
        core_.SetBackward(backward);
        std::make_heap(held_.begin(), held_.end(), Later{backward});
    }
    // Drops what is held (the count) and learns afresh.
    size_t Reposition(bool backward) {
        const size_t dropped = Clear();
        core_.Reposition(backward);
        return dropped;
    }
    // Takes a delivered frame; its recorded time (-1 unknown).
    int64_t Push(const StageFrame& f, Item&& item) {
        const int64_t rec = core_.Learn(f);
        Entry e{std::move(item), f.channel, f.pts, rec, f.bytes, next_++};
        if (!byTime_ || rec < 0) {
            now_.push_back(std::move(e));
            return rec;
        }
        // Held in recorded-time order in the direction of play; frames
        // recorded at the same time keep their delivery order (the push
        // count breaks ties). A heap: a frame costs log(held) moves, however
        // far apart the channels' clocks put it from the newest.
        bytes_ += e.bytes;
        held_.push_back(std::move(e));
        std::push_heap(held_.begin(), held_.end(), Later{core_.Backward()});
        return rec;
    }
    // The next frame to present, if one may go; `live`: the channels that
    // may still deliver (bit n = channel n).
    bool Pop(uint32_t live, Out* out) {
        if (!now_.empty()) return Take(now_, out);
        if (held_.empty()) return false;
        const Entry& e = held_.front();
        if (!core_.Ready(e.pts, e.recordedMs, live, held_.size(), bytes_)) return false;
        std::pop_heap(held_.begin(), held_.end(), Later{core_.Backward()});
        Entry& last = held_.back();
        bytes_ -= last.bytes;
        Give(last, out);
        held_.pop_back();
        return true;
    }
    // Only a frame passed on at once (by timestamp, or its recorded time unknown).
    bool PopPassed(Out* out) { return !now_.empty() && Take(now_, out); }
    // The next frame whatever may still come (every stream is over).
    bool PopAny(Out* out) { return Pop(0, out); }
    size_t Clear() {
        const size_t n = now_.size() + held_.size();
        now_.clear();
        held_.clear();
        bytes_ = 0;
        return n;
    }
    size_t HeldFrames() const { return now_.size() + held_.size(); }
    size_t HeldBytes() const { return bytes_; }
    std::vector<std::string> TakeNotes() { return core_.TakeNotes(); }
    const StageCore& Core() const { return core_; }

private:
    struct Entry {
        Item item;
        int channel;
        uint64_t pts;
        int64_t recordedMs;
        size_t bytes;
        uint64_t seq;  // push count: delivery order among equal recorded times
    };
    // Heap order: true when `a` goes after `b` (the heap's top goes first).
    struct Later {
        bool backward;
        bool operator()(const Entry& a, const Entry& b) const {
            if (a.recordedMs != b.recordedMs) return backward ? a.recordedMs < b.recordedMs : a.recordedMs > b.recordedMs;
            return a.seq > b.seq;
        }
    };
    static void Give(Entry& e, Out* out) {
        out->item = std::move(e.item);
        out->channel = e.channel;
        out->recordedMs = e.recordedMs;
    }
    bool Take(std::deque<Entry>& from, Out* out) {
        Give(from.front(), out);
        from.pop_front();
        return true;
    }
    StageCore core_;
    bool byTime_ = true;
    std::deque<Entry> now_;    // passed on at once, in engine order
    std::vector<Entry> held_;  // a heap in presentation order (Later)
    size_t bytes_ = 0;         // of held_
    uint64_t next_ = 0;        // the next push's count
};

}  // namespace mssphost

#endif  // MSSP_HOST_PRESENT_H
