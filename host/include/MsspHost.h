// The host layer: what every host of the playback engine needs (the player,
// the GStreamer element, the benchmarks), written once. A Session owns the
// recording store of one group and one CMultiStreamSyncParser playing a set
// of its channels, with the shared-memory segment under a base name unique
// to the process, and removes that segment and its key file again.
//
// Time base: every channel of a group is recorded on one recorder clock,
// and the engine orders frames across channels by those timestamps. The
// session states positions in milliseconds of stream time: a frame's
// timestamp minus the group's first recorded timestamp (the earliest first
// pack among the played channels). Frames recorded at the same instant thus
// carry the same stream time on every channel.
//
// Positioning is exact to the frame although the engine and the store
// position by whole seconds of recorded date and time: a start or seek to a
// stream time looks up, per channel in the store's I-frame indexes, the last
// I-frame at or before it, positions the engine a second before the earliest
// of them, and Take drops (releases at once) the frames of each channel that
// come before its I-frame.
//
// Hosts that position as the recorder's playback service does (the player)
// use the calls by recorded date and time instead (StartAt, SeekTo,
// PlayFrom, TrickFrom, the switches): they reach the engine as given.
//
// Threads: Take and Release run on one playback thread; Start, Seek, Trick,
// the switches, Prepare, Halt and Stop on one control thread, never while
// the playback thread is inside Take or holds a frame. The GStreamer element
// serialises them with its stream lock.
//
// The session does not link an engine of its own: the program links the
// shared library (hosts) or the internal archive (tests).
#ifndef MSSP_HOST_H
#define MSSP_HOST_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HostPresent.h"
#include "MultiStreamSyncParser.h"
#include "PackScan.h"
#include "RecCommon.h"

namespace recstore {
class RecStore;
}

namespace mssphost {

using recstore::DateTime;
using recstore::PackFormat;

constexpr int kPlaybackGroup = 1;          // the parser's group number (part of the key file name)
constexpr int kTopJumpLevel = 14;          // frame-jump level that shows every frame
constexpr uint32_t kFlagNewOrJump = 0x01;  // frame flag bit 0: new segment or timestamp discontinuity

// ---------------------------------------------------------------------------
// Shared memory of a parser: the key file "<dir>/.<name><group>" (dir is
// MSSP_KEY_DIR, or /tmp when it is unset or empty) and the System V segment
// filed under its key.

std::string KeyFilePath(const std::string& name, int group);
// The live process whose engine runs reader threads on the segment: while it
// plays, it holds a lock on the key file and the file names its process id.
// That id; -1 when the lock is held but the file names no process; 0 when
// nobody holds the lock (or there is no key file).
long KeyFileOwner(const std::string& name, int group);
// Removes the segment still filed under the key file, then the key file;
// nothing while another process's reader threads run on it (KeyFileOwner).
void RemoveSharedMemory(const std::string& name, int group);
// "<prefix><pid>_<n>": unique to this process and call.
std::string UniqueShmName(const char* prefix);
// True when the key file is still there (RemoveSharedMemory takes the
// segment and the key file together).
bool SharedMemoryExists(const std::string& name, int group);

// ---------------------------------------------------------------------------
// Channel sets, numbers and times as people write them.

// A decimal integer within [lo, hi]: digits only, with a leading '-' for a
// negative one; no sign, blank or other character besides.
bool ParseInteger(const std::string& text, long long lo, long long hi, long long* out);
// "0-3", "0,2,5", "1-2,7", or a hexadecimal mask "0xF"; channels 0..31.
bool ParseChannelSet(const std::string& text, uint32_t* mask);
// "YYYY-MM-DD HH:MM:SS" (or with 'T'), or "HH:MM:SS" (then *timeOfDay is
// true and only bytes 3..5 are set).
bool ParseStartTime(const std::string& text, DateTime* dt, bool* timeOfDay);
// "0,2,5" for a mask; "none" for 0.
std::string ChannelList(uint32_t mask);
// A date and time as the engine's calls take it (for a host that calls the
// engine itself, through Session::Parser()).
Common::_datetime_ EngineTime(const DateTime& t);

// The engine's mapping of a played channel mask: the k-th set bit is stream
// index k. -1 when the channel is not played / the index is not used.
int StreamIndexOf(uint32_t mask, int channel);
int ChannelAtIndex(uint32_t mask, int index);
// The first `n` channels of a mask: those that get a stream index when the
// parser has `n` streams.
uint32_t FirstChannels(uint32_t mask, int n);

// ---------------------------------------------------------------------------
// A delivered pack: one or two pieces of a stream's ring.

struct PackView {
    const uint8_t* p1 = nullptr;
    size_t n1 = 0;
    const uint8_t* p2 = nullptr;  // null when the pack is contiguous
    size_t n2 = 0;
    size_t Size() const { return n1 + n2; }
    // Copies bytes [offset, offset + len) of the pack to `dst` (at most two
    // memcpy). The range must lie within Size().
    void Copy(size_t offset, size_t len, uint8_t* dst) const;
};

// Where the payload of a pack lies: after the frame header and its
// extension area. Reads the fixed length fields only (no allocation); false
// when the pack does not start with a header of `format` or its lengths do
// not fit the bytes at hand.
bool PayloadRange(PackFormat format, const PackView& pack, size_t* offset, size_t* length);

// The payload of a pack as one contiguous block: in place when the pack is
// contiguous, else copied once into `scratch`. Null when PayloadRange fails.
const uint8_t* ContiguousPayload(PackFormat format, const PackView& pack, std::vector<uint8_t>* scratch,
                                 size_t* length);

// The pack's header as the store reads it (its own timestamp, its recorded
// date and time): header and extension area copied into `scratch` once,
// without the payload. False when they cannot be read.
bool ReadPackHeader(PackFormat format, const PackView& pack, std::vector<uint8_t>* scratch,
                    recstore::PackHeader* header);

struct Frame;
// A delivered frame as the presentation stage sees it: the pack's own
// timestamp and recorded date and time from its header (null: the header
// could not be read; the engine's timestamp stands in), the engine's
// new-segment / jump flag, and `bytes`, what the host's held copy costs.
StageFrame StageFrameOf(const Frame& f, const recstore::PackHeader* header, size_t bytes);

// What a channel's video payloads are, judged by its first I-frame.
enum class MediaKind { kH264, kH265, kOther };
const char* MediaKindName(MediaKind kind);  // "h264", "h265", "other"
MediaKind ClassifyVideo(const uint8_t* payload, size_t len);

// ---------------------------------------------------------------------------

struct Options {
    std::string groupDir;
    uint32_t channels = 0;       // 0: every channel recorded in the stream type
    int streamType = 0;          // 0 main, 1 sub, 2 third
    int ringBytes = 1 << 20;     // per stream (README: ring size and node count)
    int nodes = 256;             // frame nodes per stream
    int streamsPerThread = 1;    // 0: one reader thread for all streams
    // Parser streams: 0 one per played channel, but at least reserveStreams
    // (room for a larger channel set switched to later); otherwise exactly
    // this many, and only the first `streams` channels are played.
    int streams = 0;
    int reserveStreams = 0;
    bool convert = false;        // converted timestamps (GetFrame's bConvert)
    // Open refuses a chosen channel that has nothing to play; false: it is
    // played all the same, its opens fail and FailedChannels reports it.
    bool everyChannel = true;
    std::string shmName;         // "" a unique one, "<shmPrefix><pid>_<n>"
    const char* shmPrefix = "mssphost";
    int deviceGroup = -1;        // 0..3; -1: 3 for old-format recordings, else 0
    // The engine's diagnostics hook for this session's parsers (see
    // MSSP_SetLogHook), set on each before it starts; null: the
    // process-wide hook, or standard output.
    MSSP_LogFn logFn = nullptr;
    void* logUser = nullptr;
};

// Why Open refused, for hosts that word the cases themselves.
struct OpenFailure {
    enum Kind {
        kNone,
        kOptions,     // a tuning value out of range
        kRecording,   // the group cannot be opened or played
        kChannels,    // channels asked for are not recorded in the stream type
    } kind = kNone;
    uint32_t unrecorded = 0;  // kChannels: asked for, not recorded
    uint32_t recorded = 0;    // kChannels: recorded in the stream type
};

// Accepted tuning ranges (the engine ends the process when it cannot create
// its segment, so sizes are checked before it is built).
constexpr int kMinRingBytes = 256 << 10;  // room for a few 65536-byte reads
constexpr int kMaxRingBytes = 256 << 20;
// Two nodes: the fewest with which every audio frame of an ordinary segment
// plays (one cannot hold the video frame that times the audio before it).
constexpr int kMinNodes = 2;
constexpr int kMaxNodes = 65536;
constexpr int kMaxStreamsPerThread = 32;
constexpr uint64_t kMaxSegmentBytes = 1ull << 30;  // the whole segment: fits the engine's int sizes on 32-bit

struct KeyFrame {
    uint64_t pts = 0;  // recorded timestamp, ms
    DateTime time{};   // recorded date and time
};

struct ChannelDesc {
    int channel = 0;
    int index = 0;                 // the engine's stream index
    MediaKind video = MediaKind::kOther;
    bool audio = false;            // some segment carries audio (G.711 packs)
    std::vector<KeyFrame> keys;    // indexed I-frames of every usable segment, in order
    uint64_t lastPts = 0;          // last recorded pack
    uint32_t frameMs = 0;          // frame interval by its first I-frame's frame rate (0: not recorded)
};

enum class Mode { kPlay, kFastForward, kFastBackward };

struct Frame {
    int index = -1;    // stream index (for Release)
    int channel = -1;
    int type = 0;      // MSSP_FRAME_I, _P, _AUDIO, _OTHER
    uint64_t pts = 0;  // as delivered
    uint32_t flags = 0;
    PackView pack;
};

// The engine's trick-play speed for a playback rate: 8, 16 or 32 where the
// rate reaches them (every 2nd, 4th, 8th I-frame), else the rate rounded
// down (every I-frame).
int TrickSpeedForRate(double rate);

class Session {
public:
    // Opens the group, chooses the channels and the pack format, loads the
    // I-frame indexes. Null with the reason (and its kind in `why`) when the
    // group cannot be played as asked.
    static std::unique_ptr<Session> Open(const Options& options, std::string* error, OpenFailure* why = nullptr);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    uint32_t Mask() const { return mask_; }
    uint32_t LeftOut() const { return leftOut_; }  // channels asked for beyond the parser's streams
    int StreamCount() const { return streams_; }
    const std::vector<ChannelDesc>& Channels() const { return channels_; }
    const ChannelDesc* FindChannel(int channel) const;
    PackFormat Format() const { return format_; }
    int DeviceGroup() const { return deviceGroup_; }
    // Segments of the played channels and stream type in the other pack
    // format: the engine reads one format only, so they will not play.
    int ForeignSegments() const { return foreign_; }
    const std::string& ShmName() const { return shmName_; }
    recstore::RecStore& Store() { return *store_; }
    CMultiStreamSyncParser* Parser() { return parser_.get(); }

    // Stream time, ms: of a recorded timestamp, of the recording's end (its
    // last pack), of a date and time (by the recording's first date-time).
    uint64_t StreamMs(uint64_t pts) const { return pts > originPts_ ? pts - originPts_ : 0; }
    uint64_t OriginPts() const { return originPts_; }
    uint64_t DurationMs() const { return lastPts_ > originPts_ ? lastPts_ - originPts_ : 0; }
    uint64_t StreamMsAt(const DateTime& dt) const;
    // The other way: the recorded date and time at stream time `ms`, whole
    // seconds after the recording's first date-time.
    DateTime DateTimeAt(uint64_t ms) const;
    const DateTime& FirstTime() const { return originTime_; }
    // Date and time of the first and the last recorded pack over the played
    // channels; false when none of them has a usable segment.
    bool RecordedSpan(DateTime* first, DateTime* last);
    // Start date and time of a segment by its id (channel, the played stream
    // type, segment number); false when it cannot be played.
    bool SegmentStart(int channel, uint32_t number, DateTime* start);

    // Builds the parser and starts normal play at stream time `ms`. False
    // with the reason when no played channel could be opened; the channels
    // that failed are in FailedChannels().
    bool Start(uint64_t ms, std::string* error);
    // The same by recorded date and time, as the recorder's playback service
    // starts: at `at`; at every channel's first I-frame; at a segment by its
    // id. Each returns StartParse's answer (0 started).
    int StartAt(const DateTime& at);
    int StartFromBeginning();
    int StartAtSegment(int channel, uint32_t number);
    // Stops the readers and removes the parser and its shared memory.
    void Stop();
    // For hosts that time their starts (the benchmarks): Prepare builds the
    // parser and its shared memory now; Halt stops the readers and keeps
    // both. The next start then plays on them (a halted segment's pages stay
    // in memory) instead of building a parser of its own.
    void Prepare();
    void Halt();
    bool Started() const { return started_; }
    // Channels whose stream could not be opened or positioned since the
    // last call (the call clears them).
    uint32_t FailedChannels();

    // Per channel, how far its stream time lies from the host's positions:
    // Start, Seek and Trick look the channel's key frame up at `ms` +
    // `shiftMs` (0 unless set). A host that positions by recorded time of
    // day sets it from the channel's learnt clock offset, so that each
    // channel reads from its own key frame at or before the recorded time.
    void SetChannelShift(int channel, int64_t shiftMs);

    // Control thread, by stream time.
    void Seek(uint64_t ms);                       // normal play from `ms`
    void Trick(Mode mode, int speed, uint64_t ms);  // fast forward / backward from `ms`
    Mode CurrentMode() const { return mode_; }
    int CurrentSpeed() const { return speed_; }
    // Stream type of every played channel from `ms`; the channel set from `ms`.
    void SwitchStreamType(int streamType, uint64_t ms);
    void SwitchChannels(uint32_t mask, uint64_t ms);

    // Control thread, by recorded date and time; each returns the engine's
    // answer. Trick play and the return to normal play position by the time
    // of day on the engine's play date.
    int SeekTo(const DateTime& at);
    int PlayFrom(const DateTime& at);
    int TrickFrom(Mode mode, int speed, const DateTime& at);
    // Every channel to `streamType`. The engine does nothing when a stream
    // has that type already (`*done` false then).
    int SwitchStreamTypeAt(int streamType, const DateTime& at, bool* done);
    // Some channels to `streamType`: what the engine answered, and which
    // channels it reopened (of the new type) or failed to open.
    struct Switched {
        int result = 0;
        uint32_t opened = 0, failed = 0;
    };
    Switched SwitchStreamTypeOf(uint32_t channels, int streamType, const DateTime& at);
    int SwitchChannelsAt(uint32_t mask, const DateTime& at);
    // Frame-jump level of a played channel's stream: the engine's answer
    // (the resulting frame rate, 255 not known yet); -1 when not played.
    int SetJumpLevel(int channel, int level);
    // The stream type the engine keeps for a stream index.
    int StreamTypeOf(int index) const;

    // Playback thread. Take: the next frame in timestamp order (backward in
    // fast backward), false when none is ready now. Every taken frame is
    // given back with Release before the next Take.
    bool Take(Frame* frame);
    void Release(const Frame& frame);
    // Video frames of the frame's channel that the engine threw away right
    // before it under its zero-timestamp rule (a timestamp of 0 means none
    // to it: such a frame is dropped, and so is every frame after it until a
    // key frame), counted from the recording; 0 unless the frame is an
    // I-frame found there. `firstSincePositioning`: the frame is its
    // channel's first since the last start, seek or switch, so only what
    // the engine read from that position counts.
    uint64_t ZeroTimestampDrops(const Frame& frame, bool firstSincePositioning);
    bool Live();                       // a stream may still deliver
    int StreamStatus(int index);       // 2 frames waiting, 1 live and empty, 0 over

private:
    Session() = default;
    bool LoadChannels(std::string* error);
    // The engine's date-time to position at so that every channel reads
    // from before its I-frame at or before `ms`; fills the drop limits.
    DateTime PositionFor(uint64_t ms, bool exact);
    const KeyFrame* KeyAtOrBefore(const ChannelDesc& c, uint64_t ms) const;
    void BuildParser();
    int AfterStart(int result, const DateTime& at);
    void NoteFailures();
    uint64_t CountZeroRun(const std::string& path, uint64_t from, uint64_t to, bool audioSegment) const;

    Options o_;
    std::unique_ptr<recstore::RecStore> store_;
    MSSP_StreamOperation_t ops_{};
    std::unique_ptr<CMultiStreamSyncParser> parser_;
    std::string shmName_;
    bool started_ = false;
    bool ready_ = false;  // parser_ built or halted, not started since
    uint32_t mask_ = 0;
    uint32_t leftOut_ = 0;
    int streams_ = 0;
    PackFormat format_ = PackFormat::kNew;
    int deviceGroup_ = 0;
    int foreign_ = 0;
    std::vector<ChannelDesc> channels_;
    uint64_t originPts_ = 0, lastPts_ = 0;
    DateTime originTime_{};
    Mode mode_ = Mode::kPlay;
    int speed_ = 1;
    DateTime playDate_{};  // the engine's play date (bytes 0..2)
    DateTime position_{};  // where the engine last positioned the streams
    uint32_t failed_ = 0;
    int streamType_[MSSP_MAX_STREAMS] = {};  // per stream index, as the engine keeps it
    // Per stream index: frames with a smaller timestamp are dropped after a
    // positioning (0: none); filled by PositionFor in normal play.
    uint64_t dropBelow_[MSSP_MAX_STREAMS] = {};
    int64_t shift_[MSSP_MAX_STREAMS] = {};  // per stream index: SetChannelShift
};

}  // namespace mssphost

#endif  // MSSP_HOST_H
