// Pack scanner: decodes recorded pack headers of both formats (new 12-byte
// headers with tagged extension records, old 24-byte video / 8-byte audio
// headers with fixed extension layouts) and walks a segment file pack by
// pack, resynchronising after garbage. Used by the store to build I-frame
// indexes and by mssp-probe to list a recording.
//
// It is the store's own careful reader, independent of the playback
// library's ring parser: every length read from the file is checked against
// the bytes at hand before it is used, and nothing is read past the file's
// end. Its verdicts follow the playback library's (a header that the
// library rejects is rejected here, with the reason).
#ifndef RECSTORE_PACK_SCAN_H
#define RECSTORE_PACK_SCAN_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "RecCommon.h"

namespace recstore {

enum class PackFormat : uint8_t { kNew = 0, kOld = 1 };

const char* FormatName(PackFormat format);                   // "new" / "old"
bool ParseFormatName(const std::string& name, PackFormat* format);

constexpr uint32_t kNewHeaderLen = 12;
constexpr uint32_t kOldVideoHeaderLen = 24;
constexpr uint32_t kOldAudioHeaderLen = 8;
constexpr uint32_t kMaxExtLen = 4096;   // larger extension areas are invalid
constexpr uint32_t kMinFrameLen = 16;   // smaller payloads are invalid
// Largest header plus extension: what must be at hand to decode a header.
constexpr uint32_t kMaxHeaderSpan = kOldVideoHeaderLen + kMaxExtLen;
// Largest pack the store accepts: a new-format payload length is 24 bits;
// an old-format one (32 bits) beyond this is taken for a corrupt header.
constexpr uint64_t kMaxPackLen = (1u << 24) + kMaxHeaderSpan;

enum { kTypeI = 0, kTypeP = 1, kTypeAudio = 2, kTypeOther = 3 };

// One extension record of a new-format header, as found.
struct ExtRecord {
    uint8_t kind;
    uint32_t length;  // the record's length field (head included)
    uint32_t offset;  // within the extension area
};

// A decoded pack header. Fields a header does not carry keep their
// defaults; `has...` tells which were present.
struct PackHeader {
    int type = kTypeOther;      // kTypeI, kTypeP, kTypeAudio
    uint8_t channelByte = 0;    // header byte 0 as recorded
    uint32_t headerLen = 0;     // 12, 24 or 8
    uint32_t extLen = 0;
    uint32_t frameLen = 0;      // payload length
    uint64_t packLen = 0;       // headerLen + extLen + frameLen
    bool hasChecksum = false;   // new format only
    uint8_t checksum = 0;
    bool hasPts = false;
    uint64_t ptsMs = 0;         // old format: microseconds / 1000
    bool hasTime = false;
    DateTime time{};
    bool hasVideo = false;      // new kind 1, old layout 1087
    uint16_t width = 0, height = 0;
    uint8_t frameRate = 0;      // new kind 1 only
    bool hasFlag = false;       // new kind 5
    bool flag = false;          // byte 4 bit 5 of kind 5
    bool hasRef = false;        // new kind 8 with a known reference type
    uint8_t refType = 1, refIndex = 0;
    uint16_t layoutCode = 0;    // old video
    uint8_t recordCount = 0;    // new: header byte 11
    std::vector<ExtRecord> records;
    std::string warning;        // accepted oddities (records cut short, ...)
};

enum class Decode {
    kOk,         // header and extension decoded
    kNeedMore,   // a chunk id, but the header or extension is not all at hand
    kNotHeader,  // no chunk id at the first byte
    kInvalid,    // a chunk id with a header the playback library rejects
};

// Frame type of the 4-byte chunk id at p (kTypeOther when it is none).
int ChunkType(PackFormat format, const uint8_t* p);

// Position of the first chunk id that lies wholly within data[0, len);
// len when there is none.
size_t FindChunkId(PackFormat format, const uint8_t* data, size_t len);

// Decodes the header at data[0] with `avail` bytes at hand. `why` gets the
// reason for kInvalid.
Decode DecodeHeader(PackFormat format, const uint8_t* data, size_t avail, PackHeader* out, std::string* why);

// Checks a whole pack as the playback library would store it: `len` bytes
// holding exactly one pack with a valid header and extension and, in the
// new format, a matching payload checksum. False with the reason.
bool CheckWholePack(PackFormat format, const uint8_t* data, size_t len, PackHeader* out, std::string* why);

// The recorder's payload checksum: sum modulo 256 of at most 128 bytes
// sampled backwards from the last one (step len/128 when len > 127).
uint8_t PayloadChecksum(const uint8_t* data, size_t len);

// ---------------------------------------------------------------------------
// Walking a segment file.

struct ScannedPack {
    uint64_t offset = 0;
    PackHeader header;
    int checksumOk = -1;  // 1 matches, 0 mismatch, -1 not checked (old format)
};

// Something that is not a whole valid pack.
struct ScanIssue {
    enum Kind { kGarbage, kInvalidHeader, kTruncated, kReadError } kind;
    uint64_t offset;
    uint64_t bytes;   // bytes given up from offset on (0 for an invalid header: resync follows)
    std::string why;
};

struct ScanSummary {
    uint64_t fileSize = 0;
    uint32_t packs = 0;
    uint32_t byType[4] = {0, 0, 0, 0};
    uint32_t badChecksum = 0;
    uint32_t invalidHeaders = 0;
    uint32_t garbageRuns = 0;
    uint64_t garbageBytes = 0;
    uint64_t truncatedBytes = 0;  // an incomplete last pack
    bool readError = false;
};

struct ScanVisitor {
    std::function<bool(const ScannedPack&)> onPack;    // false stops the walk
    std::function<void(const ScanIssue&)> onIssue;
};

// Walks the first `size` bytes of the file open at `fd` (pread only). A
// header the library would reject, or one whose pack runs past the end, is
// skipped by one byte and the walk resynchronises at the next chunk id; an
// incomplete pack at the very end is reported as truncated. False on a read
// error.
// `from` starts the walk further in (at the start of a pack).
bool ScanFile(int fd, uint64_t size, PackFormat format, const ScanVisitor& visitor, ScanSummary* summary,
              uint64_t from = 0);

// The engine takes a timestamp of 0 for "none": a frame that times its
// stream (video; audio in a segment with audio) is thrown away when its
// timestamp is 0, and so is every frame after it until a key frame (an
// I-frame; audio in a segment with audio) with another timestamp. A pack
// without a timestamp of its own keeps the one of the pack before it (0 at
// the start). Fed, in order, the packs of a stream that the engine stores
// (not those it rejects for a checksum or an audio pack without the flag),
// tells which ones go by that rule.
class ZeroTimestampRule {
public:
    enum Verdict { kKept, kZero, kAfterZero };
    explicit ZeroTimestampRule(bool audioSegment) : audioSegment_(audioSegment) {}
    Verdict Take(const PackHeader& h);

private:
    bool audioSegment_;
    bool waiting_ = false;
    uint64_t pts_ = 0;
};

// Walks whole packs of the file open at `fd` from `from` (the start of a
// pack) up to `to`, and gives the offset of the last video pack (I or P)
// among them. False when none is found or the packs do not lead exactly to
// `to` (garbage, a header that cannot be decoded, a read error). Reads
// each header with pread, never past `size`.
bool LastVideoPackBefore(int fd, uint64_t size, PackFormat format, uint64_t from, uint64_t to, uint64_t* offset);

// Guesses the format of a file from its first megabyte, walked once per
// format as the scanner walks a file: a whole valid pack counts (in the new
// format only with a matching checksum) and the walk goes on right behind
// it. Garbage and damaged headers can look like a header of the other
// format now and then; a recording chains many packs in its own.
struct FormatGuess {
    PackFormat format = PackFormat::kNew;  // the format with more packs; new on a tie
    uint32_t packs[2] = {0, 0};            // packs found, by format (new, old)
    bool found = false;                    // some pack of either format
    // The winner has at least kSurePacks packs and the other format at most
    // a quarter as many.
    bool certain = false;
};
constexpr uint32_t kSurePacks = 2;
FormatGuess GuessFormat(int fd, uint64_t size);

}  // namespace recstore

#endif  // RECSTORE_PACK_SCAN_H
