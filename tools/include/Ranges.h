// Recorded ranges of a group: per channel and stream type, the spans of
// recorded time of day that its segments cover and the pauses between
// them. Read from the segments' index files (or a scan when an index is
// missing or stale); never writes an index. Used by mssp-probe --ranges and
// by mssp-export to find the channels that hold a time range.
#ifndef MSSP_RANGES_H
#define MSSP_RANGES_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "RecCommon.h"

namespace ranges {

using recstore::DateTime;

// Seconds since 1970 of recorded date and time (the store's reading).
struct Span {
    int64_t first = 0, last = 0;  // first and last recorded second, inclusive
};

struct ChannelRanges {
    int channel = 0;
    int streamType = 0;
    std::vector<Span> spans;  // in time order; a pause lies between two
};

// Segments that follow each other within this many seconds make one range.
constexpr int64_t kJoinSec = 1;

// The ranges of every stream of the group (only `streamType` when >= 0).
// False with the reason when the manifest cannot be read; a segment that
// cannot be read is left out with a note in `notes`.
bool LoadRanges(const std::string& dir, int streamType, std::vector<ChannelRanges>* out,
                std::vector<std::string>* notes, std::string* error);

// True when some span of `r` overlaps [from, to) (seconds).
bool Overlaps(const ChannelRanges& r, int64_t from, int64_t to);

// Lists the ranges and pauses as mssp-probe --ranges prints them.
void PrintRanges(FILE* out, const std::vector<ChannelRanges>& all);

}  // namespace ranges

#endif  // MSSP_RANGES_H
