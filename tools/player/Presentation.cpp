// Recording player: the recorded time of shown frames (RecordedClock) and
// the step of the channels after each operation (StepTracker). Runs on the
// player's thread; no engine calls.
#include "Presentation.h"

#include <algorithm>

#include "RecCommon.h"

namespace player {
namespace {

constexpr int64_t kSecondMs = 1000;  // resolution of a recorded date and time

bool ValidChannel(int channel) { return channel >= 0 && channel < kMaxChannels; }

}  // namespace

void RecordedClock::RelearnAll() {
    for (Learnt& l : ch_) l.relearn = true;
}

void RecordedClock::Relearn(int channel) {
    if (ValidChannel(channel)) ch_[channel].relearn = true;
}

int64_t RecordedClock::Take(int channel, uint64_t pts, const DateTime* time) {
    if (!ValidChannel(channel)) return -1;
    Learnt& l = ch_[channel];
    if (time && recstore::ValidDateTime(*time)) {
        const int64_t bound = recstore::DateTimeToSeconds(*time) * kSecondMs - static_cast<int64_t>(pts);
        if (!l.have || l.relearn || bound > l.offset || bound < l.offset - kSecondMs) l.offset = bound;
        l.have = true;
        l.relearn = false;
    }
    return l.have ? static_cast<int64_t>(pts) + l.offset : -1;
}

bool RecordedClock::Offset(int channel, int64_t* offset) const {
    if (!ValidChannel(channel) || !ch_[channel].have) return false;
    *offset = ch_[channel].offset;
    return true;
}

void StepTracker::Begin(const std::string& name, double clockMs, uint32_t channels) {
    StepStats s;
    s.operation = name;
    s.atMs = clockMs;
    s.missing = channels;
    steps_.push_back(s);
    channels_ = channels;
    shown_ = 0;
    jumped_ = 0;
}

void StepTracker::Shown(int channel, int64_t recordedMs, double clockMs, bool discontinuity) {
    if (steps_.empty() || !ValidChannel(channel) || recordedMs < 0 || !(channels_ >> channel & 1)) return;
    StepStats& s = steps_.back();
    latest_[channel] = recordedMs;
    shown_ |= 1u << channel;
    s.missing = channels_ & ~shown_;
    if (s.missing != 0) return;
    if (!s.settled) {
        s.settled = true;
        s.settleMs = clockMs - s.atMs;
    }
    if (discontinuity) {
        if (jumped_ == 0) jumpAt_ = clockMs;
        jumped_ |= 1u << channel;
    }
    if (jumped_ != 0) {
        if ((jumped_ & channels_) != channels_ && clockMs - jumpAt_ < kResettleMs) return;
        jumped_ = 0;
    }
    int64_t lo = recordedMs, hi = recordedMs;
    for (int c = 0; c < kMaxChannels; ++c) {
        if (!(channels_ >> c & 1)) continue;
        lo = std::min(lo, latest_[c]);
        hi = std::max(hi, latest_[c]);
    }
    s.spreadMs = std::max(s.spreadMs, hi - lo);
}

}  // namespace player
