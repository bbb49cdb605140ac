// I-frame index of a recorded segment: the usable I-frames of a segment
// file (file offset, pack length, timestamp, date and time) and the
// segment's time span. Written beside the segment (`segNNNN.idx`) when it is
// recorded, validated against the segment file when it is read, and rebuilt
// by a scan when it is missing or does not match.
//
// Index file (little-endian), 64-byte head then 32-byte entries:
//   0 "MSIX"  4 u16 version (1)  6 u8 pack format (0 new, 1 old)  7 u8 0
//   8 u64 size of the segment file it describes   16 u32 entry count
//   20 u32 FNV-1a of the whole file with these 4 bytes taken as zero
//   24 u32 valid packs   28 u32 audio packs   32 u64 first pts   40 u64 last pts
//   48 6 bytes first date-time   54 6 bytes last date-time
//   60 u8 flags (bit 0 the segment has timestamps)   61..63 0
// entry: 0 u64 file offset  8 u32 pack length  12 u32 lead  16 u64 pts (ms)
//        24 6 bytes date-time  30 2 bytes 0
#ifndef RECSTORE_REC_INDEX_H
#define RECSTORE_REC_INDEX_H

#include <cstdint>
#include <string>
#include <vector>

#include "PackScan.h"
#include "RecCommon.h"

namespace recstore {

constexpr uint32_t kIndexHeadLen = 64;
constexpr uint32_t kIndexEntryLen = 32;

// One usable I-frame: a complete pack with a valid header and, in the new
// format, a matching checksum. Its date and time are the pack's own, or,
// for a pack without one, derived from its timestamp (see IndexBuilder).
struct IndexEntry {
    uint64_t offset = 0;
    uint32_t packLen = 0;
    uint64_t ptsMs = 0;
    DateTime time{};
    // Length of the flagged audio pack that lies right before the I-frame
    // (0: none). In a segment with audio the player must store an audio
    // frame first, so reading starts at that pack and the I-frame survives.
    uint32_t lead = 0;
};

struct SegmentIndex {
    PackFormat format = PackFormat::kNew;
    uint64_t fileSize = 0;     // bytes of the segment file described
    uint32_t packCount = 0;    // valid packs, every type
    uint32_t audioCount = 0;
    bool hasPts = false;       // some pack carried a timestamp
    uint64_t firstPts = 0, lastPts = 0;
    DateTime firstTime{}, lastTime{};  // of the first and last valid pack
    std::vector<IndexEntry> entries;   // in file order
};

// Collects the index while packs go by in file order (from a scan, or from
// the writer as it records). A pack without a date and time gets one from
// its timestamp: the last pack that had both is the reference (seconds =
// reference + (pts - reference pts) / 1000); before any such pack, the
// segment's start date and time stand for its first timestamp.
class IndexBuilder {
public:
    IndexBuilder(PackFormat format, const DateTime& segmentStart);
    // `checksumOk` as ScannedPack::checksumOk; an I-frame with a mismatch is
    // not indexed (the player would drop it).
    void Add(uint64_t offset, const PackHeader& header, int checksumOk);
    SegmentIndex Finish(uint64_t fileSize) const;

private:
    SegmentIndex index_;
    int64_t startSec_;
    bool haveRef_ = false;
    int64_t refSec_ = 0;
    uint64_t refPts_ = 0;
    bool haveFirstPts_ = false;
    uint64_t firstPts_ = 0;
    int64_t lastSec_;
    uint64_t lastPts_ = 0;
    uint64_t audioEnd_ = 0;  // end of the last pack when it was a flagged audio pack, else 0
    uint32_t audioLen_ = 0;
};

// "<dir>/seg0001.pack" -> "<dir>/seg0001.idx".
std::string IndexPathFor(const std::string& packPath);

// Writes the index atomically (temporary file, then rename).
bool WriteIndexFile(const std::string& path, const SegmentIndex& index, std::string* error);

enum class IndexRead { kOk, kMissing, kInconsistent };

// Reads and checks an index against the segment file open at `packFd` with
// `packSize` bytes: head fields, checksum, entry order and bounds, and the
// header of every indexed pack (an I-frame of the indexed length).
IndexRead ReadIndexFile(const std::string& path, PackFormat format, int packFd, uint64_t packSize,
                        SegmentIndex* index, std::string* why);

// Builds the index of the first `size` bytes of a segment file by a scan.
bool ScanSegment(int fd, uint64_t size, PackFormat format, const DateTime& segmentStart, SegmentIndex* index,
                 ScanSummary* summary);

// Loads the index of a segment file: the index file when it matches, else
// a scan, whose result is written back beside the segment (a failed write
// is reported and the index kept in memory). False, with the reason, when
// the segment file cannot be opened or read. `rebuilt` tells whether a scan
// was needed.
bool LoadSegmentIndex(const std::string& packPath, PackFormat format, const DateTime& segmentStart,
                      SegmentIndex* index, bool* rebuilt, std::string* why);

}  // namespace recstore

#endif  // RECSTORE_REC_INDEX_H
