// Recording player: what the player measures of the frames it shows (their
// recorded time comes from the host layer's presentation stage).
// StepTracker measures after every operation how far apart in recorded time
// the channels' latest frames are; DrawTimeline turns the shown frames into a picture (gnuplot).
// Part of the player library, used on the player's one thread.
#ifndef MSSP_PLAYER_PRESENTATION_H
#define MSSP_PLAYER_PRESENTATION_H

#include <cstdint>
#include <string>
#include <vector>

#include "Player.h"

namespace player {

constexpr int kMaxChannels = 32;

// Step of the channels after each operation (see StepStats in Player.h).
// A new segment or a jump of one channel in normal play (a recording pause
// shows as one in every channel, each at its own frame) leaves the spread
// unmeasured until every channel has shown its own, for at most
// kResettleMs of playback time: across a pause the channels' latest frames
// lie on both sides of it without being out of step.
class StepTracker {
public:
    static constexpr double kResettleMs = 2500;

    // Operation `name` at playback time `clockMs`; every channel of
    // `channels` must show a frame with a known recorded time before the
    // channels count as settled.
    void Begin(const std::string& name, double clockMs, uint32_t channels);
    // `channel` shows a frame recorded at `recordedMs` (-1 unknown) at
    // playback time `clockMs`; `discontinuity`: a new segment or a jump.
    void Shown(int channel, int64_t recordedMs, double clockMs, bool discontinuity);
    const std::vector<StepStats>& Steps() const { return steps_; }

private:
    std::vector<StepStats> steps_;
    uint32_t channels_ = 0;
    uint32_t shown_ = 0;   // channels that showed a frame since the operation
    uint32_t jumped_ = 0;  // channels past their discontinuity, while one is pending
    double jumpAt_ = 0;
    int64_t latest_[kMaxChannels] = {};
};

// One point of the timeline picture: a channel's frame shown at playback
// time `clockMs`, recorded at `recordedMs`. The channel's line breaks before
// a point with `mark` (the frame begins a new segment or follows a jump; it
// gets a circle) or `gap` (the first frame after an operation).
struct PlotPoint {
    double clockMs;
    int64_t recordedMs;
    int channel;
    bool mark;
    bool gap;
};

// An operation, drawn as a labelled vertical line.
struct PlotLabel {
    double clockMs;
    std::string text;
};

// A recording pause: recorded time (ms since 1970) without a recording on
// a played channel, shaded across the picture.
struct PlotPause {
    int64_t fromMs;
    int64_t toMs;
};

// Draws recorded time of day against playback time per channel into the
// PNG file `path` with gnuplot, the pauses that lie within the drawn
// recorded times shaded. False with the reason.
bool DrawTimeline(const std::string& path, const std::string& title, const std::vector<PlotPoint>& points,
                  const std::vector<PlotLabel>& labels, const std::vector<PlotPause>& pauses, std::string* error);

}  // namespace player

#endif  // MSSP_PLAYER_PRESENTATION_H
