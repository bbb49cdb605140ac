// mssp-top's presentation: rates and stall marks from two snapshots of a
// segment, and the rendering of a refresh as table lines (plain output and
// the terminal UI) or as one JSON document.
#ifndef MSSP_TOP_VIEW_H
#define MSSP_TOP_VIEW_H

#include <string>
#include <vector>

#include "TopSegment.h"

namespace msstop {

constexpr double kStallSeconds = 3.0;  // a live stream still for this long, while others moved, is stalled

// A watched segment with what the previous refresh saw.
struct Watch {
    Segment segment;
    Snapshot now, before;
    bool haveBefore = false;
    double nowAt = 0, beforeAt = 0;  // monotonic seconds of the two snapshots
    std::vector<double> movedAt;     // per stream: when its counters last changed
    double anyMovedAt = -1;          // when any stream last moved
    // Takes a new snapshot at `at`. False once the segment is removed.
    bool Refresh(double at);
};

// Per stream values that need two snapshots; rate < 0 when unknown.
struct Rates {
    double delivered = -1, parsed = -1;
    bool stalled = false;
};
Rates RatesOf(const Watch& w, size_t stream);

struct Line {
    std::string text;
    bool header = false;
    bool stalled = false;
};
// A refresh as table lines: per segment a header and one line per stream.
std::vector<Line> TableLines(const std::vector<Watch>& watches);
// A refresh as one JSON document on one line.
std::string JsonDocument(const std::vector<Watch>& watches, double interval);

// Words of a stream's state and play status.
const char* StateWord(uint8_t state);
const char* PlayWord(uint8_t status);

}  // namespace msstop

#endif  // MSSP_TOP_VIEW_H
