// Recording probe library (mssp-probe): lists the packs of a segment file
// or of every segment of a recording group, with what the player would do
// with each (stored, or dropped and why), and a summary. Reads only; never
// writes an index.
#ifndef MSSP_PROBE_H
#define MSSP_PROBE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "PackScan.h"

namespace probe {

struct Options {
    bool listPacks = true;     // one line per pack; false: issues and summary only
    uint64_t limit = 0;        // at most this many pack lines per file (0: all)
    int channel = -1;          // group: only this channel (-1 all)
    int streamType = -1;       // group: only this stream type (-1 all)
    int64_t segment = -1;      // group: only this segment number (-1 all)
    bool audioSegment = false; // the segment carries audio (a group's manifest says so)
};

// What a file held, as the summary reports it.
struct FileStats {
    recstore::ScanSummary scan;
    bool formatCertain = true;      // given, or found beyond doubt in the data
    uint32_t audioWithoutFlag = 0;  // new-format audio packs the player skips
    uint32_t leadingP = 0;          // P-frames before the first I-frame (dropped at a start)
    uint32_t zeroPts = 0;           // frames the player drops for their timestamp 0 ...
    uint32_t afterZeroPts = 0;      // ... and the frames after them until a key frame
    bool hasPts = false;
    uint64_t firstPts = 0, lastPts = 0;
    bool hasTime = false;
    recstore::DateTime firstTime{}, lastTime{};
    uint64_t videoPtsStepMin = 0, videoPtsStepMax = 0;  // between consecutive video packs
    double videoPtsStepMean = 0;
    double gopMean = 0;  // video packs per I-frame
};

// Lists one segment file. The format is detected from the data unless
// `format` is given. False when the file cannot be read.
bool ProbeFile(const std::string& path, const recstore::PackFormat* format, const Options& options, FILE* out,
               FileStats* stats, std::string* error);

// Lists a group directory: the manifest's streams and segments, each
// segment's index state, and each segment as ProbeFile does.
bool ProbeGroup(const std::string& dir, const Options& options, FILE* out, std::string* error);

}  // namespace probe

#endif  // MSSP_PROBE_H
