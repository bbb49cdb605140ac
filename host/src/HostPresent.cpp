// The presentation stage's rules: the recorded time of each frame
// (RecordedClock) and when a held frame may go (StageCore). No engine
// calls; every sum of a timestamp and an offset stays within int64_t
// because timestamps beyond kMaxTimestampMs are refused first.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "HostPresent.h"

namespace mssphost {
namespace {

constexpr int64_t kSecondMs = 1000;  // resolution of a recorded date and time

bool ValidChannel(int channel) { return channel >= 0 && channel < kStageChannels; }

// How far `a` lies past `b` in the direction of play (0 when it does not).
uint64_t Past(uint64_t a, uint64_t b, bool backward) {
    if (backward) std::swap(a, b);
    return a > b ? a - b : 0;
}

}  // namespace

void RecordedClock::RelearnAll() {
    for (Learnt& l : ch_) l.relearn = true;
}

void RecordedClock::Relearn(int channel) {
    if (ValidChannel(channel)) ch_[channel].relearn = true;
}

int64_t RecordedClock::Take(int channel, uint64_t pts, const DateTime* time) {
    if (!ValidChannel(channel) || pts > kMaxTimestampMs) return -1;
    Learnt& l = ch_[channel];
    const int64_t p = static_cast<int64_t>(pts);
    if (time && recstore::ValidDateTime(*time)) {
        // The frame was recorded within its second: lo <= offset < lo + 1 s.
        const int64_t lo = recstore::DateTimeToSeconds(*time) * kSecondMs - p;
        const int64_t hi = lo + kSecondMs;
        const Learnt before = l;
        if (!l.have || l.offset < lo || l.offset >= hi + (l.relearn ? 0 : kSecondMs)) {
            l.offset = lo;  // first, raised, or the time of day went back: afresh
        } else if (l.offset >= hi) {
            l.offset = hi - 1;  // a clock slower than the timestamps: just inside its second
        }
        l.have = true;
        l.relearn = false;
        if (!before.have || before.offset != l.offset) ++version_;
    }
    return l.have ? std::max<int64_t>(0, p + l.offset) : -1;
}

bool RecordedClock::Offset(int channel, int64_t* offset) const {
    if (!ValidChannel(channel) || !ch_[channel].have) return false;
    *offset = ch_[channel].offset;
    return true;
}

void StageCore::Reposition(bool backward) {
    backward_ = backward;
    boundKnown_ = false;
    clock_.RelearnAll();
    haveDelivered_ = false;
    seen_ = 0;
    boundSaid_ = false;
}

void StageCore::Note(std::string text) { notes_.push_back(std::move(text)); }

std::vector<std::string> StageCore::TakeNotes() {
    std::vector<std::string> out;
    out.swap(notes_);
    return out;
}

int64_t StageCore::Learn(const StageFrame& f) {
    if (!ValidChannel(f.channel)) return -1;
    const uint32_t bit = 1u << f.channel;
    if (f.pts > kMaxTimestampMs || f.clockPts > kMaxTimestampMs) {
        if (!(rangeSaid_ & bit)) {
            char text[160];
            std::snprintf(text, sizeof(text),
                          "channel %d: timestamp %" PRIu64 " is out of range (damaged data?); such frames are "
                          "passed on in engine order",
                          f.channel, std::max(f.pts, f.clockPts));
            Note(text);
        }
        rangeSaid_ |= bit;
        return -1;
    }
    if (!(seen_ & bit)) firstPts_[f.channel] = f.pts;
    seen_ |= bit;
    if (!haveDelivered_ || Past(f.pts, delivered_, backward_) > 0) delivered_ = f.pts;
    haveDelivered_ = true;
    if (f.newOrJump) clock_.Relearn(f.channel);
    const int64_t rec = clock_.Take(f.channel, f.clockPts, f.hasTime ? &f.time : nullptr);
    if (rec >= 0 && (timeless_ & bit)) timeless_ &= ~bit;  // it has shown a date and time after all
    return rec;
}

bool StageCore::Ready(uint64_t pts, int64_t recordedMs, uint32_t live, size_t heldFrames, size_t heldBytes) {
    if (heldFrames > limits_.maxFrames || heldBytes > limits_.maxBytes) {
        if (!boundSaid_) {
            char text[200];
            std::snprintf(text, sizeof(text),
                          "presentation: %zu frames (%zu bytes) held, the bound: the channels' clocks are too far "
                          "apart to keep in step; frames are passed on without waiting",
                          heldFrames, heldBytes);
            Note(text);
        }
        boundSaid_ = true;
        return true;
    }
    if (!haveDelivered_) return true;
    // The least offset of the channels waited for (the greatest playing
    // backward). It changes only with the channels or an offset, so it is
    // kept from call to call once every one of them has an offset; while one
    // still lacks it, every call looks (how long the frame waited decides).
    const uint32_t want = live & ~timeless_;
    bool have = boundHave_;
    int64_t bound = bound_;
    if (!limits_.keepBound || !boundKnown_ || want != boundFor_ || clock_.Version() != boundVersion_) {
        const uint64_t waited = Past(delivered_, pts, backward_);  // timestamps delivered since this frame
        bool lacking = false;
        have = false;
        bound = 0;
        for (uint32_t m = want; m != 0; m &= m - 1) {
            const int c = __builtin_ctz(m);
            int64_t offset = 0;
            if (!clock_.Offset(c, &offset)) {
                if (waited < limits_.waitMs) return false;  // its first date and time may still come
                lacking = true;
                const uint32_t bit = 1u << c;
                if ((seen_ & bit) && Past(delivered_, firstPts_[c], backward_) >= limits_.waitMs) {
                    timeless_ |= bit;
                    Note("channel " + std::to_string(c) +
                         ": its frames carry no date and time; it plays by its timestamps");
                }
                continue;
            }
            bound = !have ? offset : backward_ ? std::max(bound, offset) : std::min(bound, offset);
            have = true;
        }
        boundKnown_ = !lacking;  // kept once every channel waited for has an offset
        boundFor_ = want;
        boundVersion_ = clock_.Version();
        boundHave_ = have;
        bound_ = bound;
    }
    if (!have) return true;
    // delivered_ <= 2^53 and |offset| < 2^55: no overflow.
    const int64_t next = static_cast<int64_t>(delivered_) + bound;
    return backward_ ? recordedMs >= next : recordedMs <= next;
}

}  // namespace mssphost
