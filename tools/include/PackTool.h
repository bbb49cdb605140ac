// Recording tool library (mssp-pack): writes recording groups in the
// store's directory format, either from synthetic channels or by wrapping
// H.264 Annex-B elementary streams (one access unit per pack) with optional
// G.711 audio. Single-threaded.
//
// Packs written, new format: every video pack carries the records kind 1
// (picture size, frame rate), kind 3 (timestamp), kind 2 (date and time), in
// that order, and kind 8 when a reference type is asked for; audio packs of
// a segment with audio carry kinds 1 (size 0), 3, 2 and 5 (flag set), so that
// their date and time sit where the player reads them. Old format: video
// packs with layout 1087 (144-byte extension), audio packs with the 8-byte
// header. Timestamps: the channel's clock origin + milliseconds since the
// recording started (gaps included); date and time: the start + whole
// seconds since then.
#ifndef MSSP_PACK_TOOL_H
#define MSSP_PACK_TOOL_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "PackWriter.h"
#include "RecWriter.h"

namespace packtool {

using recstore::DateTime;
using recstore::PackFormat;

// Timestamp of a channel's first frame when no origin is given. Never 0: a
// timestamp of 0 means "none" to the player, which would drop the first GOP.
constexpr uint64_t kDefaultPtsOrigin = 1000;

// The clock origin of `channel` in `origins`, or kDefaultPtsOrigin.
uint64_t OriginOf(const std::map<int, uint64_t>& origins, int channel);

// Pack and segment counts of one stream, as written.
struct StreamReport {
    uint8_t channel = 0;
    uint8_t streamType = 0;
    uint32_t segments = 0;
    uint32_t iFrames = 0, pFrames = 0, audio = 0;
};

struct Report {
    std::vector<StreamReport> streams;
};

// Writes the packs of one channel's stream type into a RecWriter, with the
// timestamp and date-time rules above.
class StreamRecorder {
public:
    StreamRecorder(recstore::RecWriter& writer, uint8_t channel, uint8_t streamType, PackFormat format,
                   const DateTime& start, uint64_t ptsOrigin, uint16_t width, uint16_t height, uint8_t fps);
    // Starts a segment at `elapsedMs` after the recording's start.
    bool BeginSegment(int64_t elapsedMs, bool audio, std::string* error);
    bool Video(bool iFrame, int64_t elapsedMs, const uint8_t* payload, size_t len, int refType, int refIndex,
               std::string* error);
    bool Audio(int64_t elapsedMs, const uint8_t* payload, size_t len, std::string* error);
    bool End(std::string* error);
    const StreamReport& Counts() const { return report_; }
    void SetSize(uint16_t width, uint16_t height) { width_ = width, height_ = height; }

private:
    DateTime TimeAt(int64_t elapsedMs) const;
    recstore::RecWriter& writer_;
    PackFormat format_;
    DateTime start_;
    int64_t startSec_;
    uint64_t origin_;
    uint16_t width_, height_;
    uint8_t fps_;
    StreamReport report_;
    packwriter::Bytes pack_;
};

// ---------------------------------------------------------------------------
// Synthetic channels.

enum class AudioMode { kNone, kAll, kAlternate };  // alternate: odd-numbered segments carry audio

struct SynthOptions {
    std::string outDir;
    uint32_t groupId = 0;
    PackFormat format = PackFormat::kNew;
    int channels = 1;           // channels 0..channels-1
    int streamTypes = 1;        // stream types 0..streamTypes-1 per channel
    double durationSec = 10;    // recorded time per channel, gaps not counted
    int fps = 25;
    int gop = 25;               // frames from one I-frame to the next
    int bitrateKbps = 1024;     // stream type 0; type t gets a quarter of type t-1
    AudioMode audio = AudioMode::kNone;
    uint32_t audioChannels = 0xFFFFFFFFu;  // bit c: channel c records audio (as the audio mode says)
    int audioFrameMs = 40;      // G.711 at 8000 bytes/s: 320-byte packs
    int segmentSec = 0;         // a new segment at the first I-frame this long after the last began; 0 none
    int gapSec = 0;             // recording pause before each new segment
    DateTime start{26, 1, 1, 10, 0, 0};
    std::map<int, uint64_t> origins;  // channel -> timestamp of its first frame (ms); default kDefaultPtsOrigin
    int refType = 0;            // 0 none, 2 or 5: kind-8 record on every video pack (new format)
    int refCycle = 0;           // reference positions run 0..refCycle-1 from each I-frame; 0 = the GOP
    uint16_t width = 704, height = 576;
    uint32_t seed = 1;
};

// The payload of a synthetic video pack begins with a 16-byte tag so that a
// frame can be recognised end to end: "MSYN", channel, stream type, frame
// type, 0, u32 frame number within the stream, u32 low word of the pts; the
// rest is a deterministic pattern.
constexpr size_t kSynthTagLen = 16;

bool WriteSynthetic(const SynthOptions& options, Report* report, std::string* error);

// ---------------------------------------------------------------------------
// H.264 Annex-B wrapping.

struct AccessUnit {
    size_t offset = 0;   // in the elementary stream, from the access unit's first start code
    size_t length = 0;
    bool idr = false;    // holds an IDR slice (NAL type 5)
    bool vcl = false;    // holds a slice at all
};

// Splits an Annex-B stream into access units: a new unit begins at an
// access unit delimiter, or at an SEI / SPS / PPS / NAL 14..18 or a slice
// with first_mb_in_slice 0 after the current unit's last slice.
std::vector<AccessUnit> SplitAccessUnits(const uint8_t* data, size_t len);

// Picture size from the first SPS of a stream; false when there is none or
// it cannot be read.
bool FindPictureSize(const uint8_t* data, size_t len, uint16_t* width, uint16_t* height);

struct H264Input {
    std::string h264Path;   // Annex-B elementary stream
    std::string g711Path;   // raw 8 kHz G.711 samples, or empty
};

struct WrapOptions {
    std::string outDir;
    uint32_t groupId = 0;
    PackFormat format = PackFormat::kNew;
    std::vector<H264Input> inputs;  // input k is channel k
    int fps = 25;
    int audioFrameMs = 40;
    int segmentSec = 0;     // as in SynthOptions (cut at IDR access units)
    int gapSec = 0;
    DateTime start{26, 1, 1, 10, 0, 0};
    std::map<int, uint64_t> origins;
};

bool WrapH264(const WrapOptions& options, Report* report, std::string* error);

// Reads a whole file.
bool ReadFile(const std::string& path, std::vector<uint8_t>* data, std::string* error);

}  // namespace packtool

#endif  // MSSP_PACK_TOOL_H
