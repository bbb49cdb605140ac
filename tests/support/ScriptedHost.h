// Scripted in-memory test host: implements the nine stream operations of
// MSSP_StreamOperation_t over recordings held in memory, with failure
// injection and a log of every call. Any thread may call it (one mutex
// guards all of it: the reader threads call the read slots, the test's
// control thread the open/seek/close slots). It never blocks and never
// sleeps; it knows nothing of the parser's rings beyond the pointer a read
// gives it.
//
// Model
//  * A recording belongs to one (channel, stream type) and is a list of
//    segments. A segment has a start date/time, an audio bit (reported by
//    GetSegmentInfo) and its recorded bytes; `iframes` lists the byte
//    position, pack length and date/time of each I-frame pack in it (used
//    for positioning and for the I-frame reads).
//  * OpenStream picks the recording by the request's channel and the stream
//    type of its bitmap (lowest set bit, 0 when none), and returns a new
//    handle (10, 11, ...) positioned at the last I-frame whose date/time is
//    at or before the requested one, over all segments; when every I-frame
//    is later (or there is none), at byte 0 of segment 0, the recording's
//    start (the I-frame reads then begin at the first I-frame). No
//    recording for the pair: -1.
//  * SeekStream positions an open handle the same way.
//  * ReadStream returns the bytes from the handle's position in chunks. The
//    chunk sizes are set per (channel, type) with SetChunks: one size (fixed)
//    or a list used in turn (cycling); default 65536. A chunk is also cut at
//    the asked length and at the end of the segment, so that a chunk never
//    spans two segments. The new-segment flag is 1 on the first chunk of
//    every segment entered by reading on, and 0 otherwise (also 0 on the
//    first read after an open or seek, unless SetFlagFirstRead(true)). After
//    the last segment the result is 0 (end of the recording).
//  * ReadNextIFrame / ReadPrevIFrame walk the I-frames of the recording (all
//    segments, in order). The first call after an open or seek returns the
//    I-frame the handle is positioned at; each later call moves 1 + skip
//    I-frames forward (Next) or backward (Prev) from the last returned one,
//    with skip = 0 for step 0, 1 for step 1, 3 for step 2, 7 for step 31 and
//    0 for any other step. The data pointer points at the whole pack inside
//    the segment's bytes (valid while the recording is not replaced), the
//    length is the pack's length, and the new-segment flag is 1 when the
//    returned I-frame lies in another segment than the previous one
//    returned (the first call compares with the segment positioned at).
//    Walking off either end gives result 0 and a null data pointer. After
//    an I-frame read, ReadStream goes on from that I-frame's start.
//  * GetStreamSegmentInfo resolves a tag_tavuSegmentId (channel, streamType,
//    segment number = index in the recording) to the segment's start
//    date/time and the channel; an unknown id gives 1.
//  * GetSegmentInfo reports MSSP_SEGATTR_AUDIO for the handle's current
//    segment (the one last read from, or of the last I-frame returned).
//  * CloseStream marks the handle closed; any later call on it fails.
//
// Failure injection, per (channel, type) with SetFault(channel, type, slot,
// Fault): the first `skip` calls of that slot behave normally, then `count`
// calls (-1: all) return `result` instead and change nothing (a ReadStream
// fault writes no byte; use a result above the asked length to play a host
// that claims more than it was asked for). A GetSegmentInfo fault still
// fills the attribute record, so that a test sees whether the parser
// ignores the record of a failed call. For GetStreamSegmentInfo the key
// is the segment id's channel and stream type. With `chance` (per mille)
// above 0 a started fault strikes each call only with that probability
// (random points), drawn from a generator seeded with SetFaultSeed; `count`
// then bounds the calls that fail.
//
// Log: every call is recorded (slot, handle, channel, bitmap, date/time
// bytes, flag, step, asked length, result) in call order; Calls() copies it.
#ifndef MSSP_SCRIPTED_HOST_H
#define MSSP_SCRIPTED_HOST_H

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "MultiStreamSyncParser.h"
#include "PackWriter.h"

namespace msspt {

using packwriter::Bytes;
using packwriter::DateTime;

// Adds `seconds` to a date/time (hour, minute, second carry into the day;
// the day does not carry into the month: keep recordings within a month).
DateTime AddSeconds(DateTime t, int seconds);

struct IFrameMark {
    size_t pos = 0, len = 0;  // byte position of the pack in its segment, pack length
    DateTime time{};
};

struct Segment {
    DateTime start{};    // start date/time (GetStreamSegmentInfo)
    bool audio = false;  // GetSegmentInfo's MSSP_SEGATTR_AUDIO
    Bytes bytes;
    std::vector<IFrameMark> iframes;
};

struct Recording {
    std::vector<Segment> segments;
};

// One pack of a built recording, as the tests expect to meet it again.
struct PackInfo {
    int segment = 0;
    size_t offset = 0;  // position in the segment's bytes
    Bytes bytes;        // the whole pack
    int type = 0;       // 0 I, 1 P, 2 audio
    uint64_t pts = 0;   // milliseconds
    DateTime time{};
};

// Builds a recording pack by pack and remembers every pack.
class RecordingBuilder {
public:
    // Starts a new segment; packs go into it until the next call.
    RecordingBuilder& NewSegment(DateTime start, bool audio = false);
    // Appends a complete pack (any format) of `type`; I-frames (type 0) are
    // also entered in the segment's I-frame list with `time`.
    RecordingBuilder& AddPack(const Bytes& pack, int type, uint64_t pts, DateTime time);
    // A new-format pack described by `pack` with a pattern payload of
    // `payloadLen` bytes; its pts is pack.pts (the previous pack's when unset).
    RecordingBuilder& AddNewPack(const packwriter::NewPack& pack, size_t payloadLen, DateTime time);
    // New-format packs: video with kinds 1, 3, 5 (and 2 for I-frames),
    // audio with kinds 3, 2 and 5 (flag set unless `audioFlag` is false).
    RecordingBuilder& AddVideo(int type, uint64_t pts, DateTime time, size_t payloadLen, uint8_t channel = 0);
    RecordingBuilder& AddAudio(uint64_t pts, DateTime time, size_t payloadLen, uint8_t channel = 0,
                               bool audioFlag = true);
    // Raw bytes that are no pack (not remembered as a pack).
    RecordingBuilder& AddGarbage(const Bytes& bytes);

    Recording recording;
    std::vector<PackInfo> packs;

private:
    Segment& Last();
    uint32_t seed_ = 1;
};

struct SynthSpec {
    uint8_t channel = 0;
    int segments = 1, gopsPerSegment = 2;
    int gop = 5;  // frames per GOP: one I-frame, then gop - 1 P-frames
    uint64_t firstPts = 1000, ptsStep = 40;  // milliseconds; the step is between video frames
    bool audio = false;  // an audio pack after every video frame, segments carry audio
    DateTime start{26, 1, 2, 10, 0, 0};
    int secondsPerGop = 1;  // date/time of each GOP's frames advances by this
    size_t iPayload = 3000, pPayload = 600, audioPayload = 160;  // frame k adds (k * 37) % 97
};

// A GOP-structured recording (new format) with every pack remembered in order.
RecordingBuilder MakeSynthetic(const SynthSpec& spec);

class ScriptedHost {
public:
    enum Slot { kOpen, kReserved, kStreamSegmentInfo, kSegmentInfo, kRead, kNextIFrame, kPrevIFrame, kSeek, kClose };

    struct Fault {
        int result = -1;  // returned instead of the normal result
        int skip = 0;     // calls that succeed before the fault starts
        int count = -1;   // calls that fail once it started; -1 = all
        int chance = 0;   // per mille: 0 = every call once started, else random calls
    };

    struct Call {
        Slot slot;
        int handle = -1, channel = -1;
        int bitmap = -1, openParam = -1, openFlag = -1;  // OpenStream
        DateTime time{};  // OpenStream, SeekStream, GetStreamSegmentInfo's answer, I-frame returned
        int flag = 0;     // new-segment flag returned; CloseStream: its second argument
        int step = -1;    // I-frame reads
        int maxLen = 0;   // ReadStream
        int result = 0;
    };

    struct HandleState {
        int channel = -1, type = 0;
        bool open = false;
        int segment = 0;  // current segment
        size_t pos = 0;   // byte position in it
    };

    // The table to give the parser; the user pointer must be the host.
    static MSSP_StreamOperation_t Table();

    void SetRecording(int channel, int type, Recording recording);
    void SetChunks(int channel, int type, std::vector<int> sizes);
    void SetFault(int channel, int type, Slot slot, Fault fault);
    void ClearFaults();
    void SetFaultSeed(uint32_t seed);
    void SetFlagFirstRead(bool on);

    std::vector<Call> Calls() const;
    std::vector<Call> CallsOf(Slot slot) const;
    int Count(Slot slot) const;
    void ClearLog();
    HandleState Handle(int handle) const;
    int OpenHandles() const;

    // The slots, reachable directly for tests that call them.
    static int OpenStream(void* user, MSSP_OpenParam_t* param, unsigned char openFlag);
    static int GetStreamSegmentInfo(void* user, tag_tavuSegmentId* id, MSSP_SegmentInfo_t* info);
    static int GetSegmentInfo(void* user, int handle, MSSP_SegmentAttr_t* attr);
    static int ReadStream(void* user, int handle, unsigned char* dst, int maxLen, unsigned char* newSegment);
    static int ReadNextIFrame(void* user, int handle, unsigned char** data, int* length, unsigned char* newSegment,
                              int step);
    static int ReadPrevIFrame(void* user, int handle, unsigned char** data, int* length, unsigned char* newSegment,
                              int step);
    static int SeekStream(void* user, int handle, MSSP_SeekTime_t* time);
    static int CloseStream(void* user, int handle, int reserved);

private:
    using Key = std::pair<int, int>;  // channel, stream type
    struct Open {
        Key key;
        bool open = true;
        int segment = 0;
        size_t pos = 0;
        int chunkIndex = 0;
        bool enteredByRead = false;  // next chunk begins a segment reached by reading on
        bool firstRead = true;
        int iframe = 0;         // flattened index: positioned at, or last returned when `walked`
        bool walked = false;    // an I-frame was returned since the open or seek
        int iframeSegment = 0;  // segment of the last I-frame returned (or positioned at)
    };
    struct FaultState {
        Fault fault;
        int calls = 0, failed = 0;  // calls made; calls that failed (random faults)
    };

    Call& Begin(Slot slot, int handle);  // appends the call to the log
    Open* Find(int handle);              // null when unknown or closed
    bool Inject(const Key& key, Slot slot, int* result);
    void Position(Open& h, const DateTime& when);
    int IFrameRead(int handle, unsigned char** data, int* length, unsigned char* newSegment, int step, bool forward);

    mutable std::mutex mu_;
    std::map<Key, Recording> recordings_;
    std::map<Key, std::vector<int>> chunks_;
    std::map<std::pair<Key, int>, FaultState> faults_;
    std::map<int, Open> handles_;
    std::vector<Call> log_;
    std::mt19937 faultRng_{1};
    int nextHandle_ = 10;
    bool flagFirstRead_ = false;
};

}  // namespace msspt

#endif  // MSSP_SCRIPTED_HOST_H
