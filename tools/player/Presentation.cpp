// Recording player: the step of the channels after each operation
// (StepTracker). Runs on the player's thread; no engine calls.
#include "Presentation.h"

#include <algorithm>

#include "RecCommon.h"

namespace player {
namespace {

bool ValidChannel(int channel) { return channel >= 0 && channel < kMaxChannels; }

}  // namespace

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
