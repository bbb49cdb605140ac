// Recording store: the host's stream operations (MSSP_StreamOperation_t)
// over a recording group directory, the stand-in for the recorder's
// recording file system. See README.md beside this folder for the directory
// format.
//
// Threads: a handle is used by one thread at a time (a reader thread, or
// the control thread while the readers are parked); different handles may
// be used at once from different threads. The handle table and the segment
// cache are locked; a handle's own state is not. Opening and closing may run
// on the control thread while other handles are being read.
//
// Positioning (OpenStream, SeekStream) at a date and time T, with every
// date-time taken as UTC for the arithmetic:
//  * the segment is the last one whose start is at or before T;
//  * within it, the last indexed I-frame whose date and time is at or
//    before T (its first I-frame when T lies before all of them);
//  * T before the first segment's start: the first I-frame of the first
//    usable segment;
//  * T after the last pack of the last usable segment: failure (no
//    recording there); T in a gap between segments: the last I-frame of the
//    segment before the gap;
//  * a segment that cannot be used (file missing, unreadable, without
//    I-frames) is passed over: positioning goes on with the next usable
//    segment's first I-frame.
//
// Reading (ReadStream) returns the bytes of one segment per call, from the
// positioned I-frame on (in a segment with audio, from the audio pack that
// lies right before it, since the player must store an audio frame first
// there; in the old format, whose audio packs take the timestamp of the
// pack before them, from the last video pack before that audio pack, or
// from the I-frame when the segment has none), then each following usable
// segment from its first byte; unusable segments are skipped with a
// message. The new-segment flag
// is 1 on exactly the first read that returns bytes of a segment other
// than the one the handle was positioned in or read before, else 0. With
// a non-zero open flag (the `openFlag` of OpenStream, which the player
// passes unchanged from StartParse), the segment positioned in by an open or
// a seek is announced the same way, so that the player asks for its audio
// attribute at once.
//
// Trick play (ReadNextIFrame, ReadPrevIFrame) walks the indexed I-frames of
// the stream's segments in either direction. The first call after a
// positioning returns the positioned I-frame itself, whatever the step; after
// plain reads, the first call returns the next I-frame not yet read
// (forward) or the last one whose bytes were read (backward). Each later
// call moves on from the I-frame returned last by the step. Step codes (the
// player derives them from the trick-play speed):
//    0  every I-frame (the adjacent one)             speeds 2 and 4
//    1  every 2nd I-frame (one is skipped)           speed 8
//    2  every 4th I-frame                            speed 16
//   31  every 8th I-frame                            speed 32
//   any other code is taken as 0.
// A step that would run past the first or last I-frame stops at it; when
// there is none left in that direction the result is 0 (end of stream).
// The returned pack stays valid until the next call for the handle.
//
// Segment id (tag_tavuSegmentId): channel, stream type and the segment's
// number in the manifest. GetStreamSegmentInfo fills the segment's start
// date and time (bytes 0..5) and channel (byte 10) of MSSP_SegmentInfo_t and
// clears the other bytes.
#ifndef RECSTORE_REC_STORE_H
#define RECSTORE_REC_STORE_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MultiStreamSyncParser.h"
#include "RecGroup.h"
#include "RecIndex.h"

namespace recstore {

// Number of I-frames one trick-play step moves for a step code.
int StepCount(int stepCode);

// Results of GetStreamSegmentInfo besides 0.
enum SegmentInfoError : int {
    kSegBadArgument = -1,  // null pointer
    kSegNoStream = -2,     // no recording of that channel and stream type
    kSegNoSegment = -3,    // no segment of that number
    kSegUnusable = -4,     // the segment's file is missing or has no I-frame
};

constexpr int kMaxHandles = 1024;  // open handles at once; each holds a file descriptor

class RecStore {
public:
    // Opens the group directory `dir` (reads its manifest). Null with the
    // reason when there is no usable manifest.
    static std::unique_ptr<RecStore> Open(const std::string& dir, std::string* error);
    ~RecStore();
    RecStore(const RecStore&) = delete;
    RecStore& operator=(const RecStore&) = delete;

    // The operations table. The user pointer given to the player must be
    // this store. Slot 1 is left empty.
    static MSSP_StreamOperation_t Operations();

    const std::string& Dir() const { return dir_; }
    const GroupDesc& Group() const { return group_; }
    uint32_t GroupId() const { return group_.groupId; }
    // Date and time of the first and the last pack of a channel's stream
    // type over its usable segments; false when it has none.
    bool StreamSpan(uint8_t channel, uint8_t streamType, DateTime* first, DateTime* last);
    // The I-frame index of segment `seg` (its place in the manifest's list)
    // of stream `stream` (its place in Group().streams), loaded once, checked
    // or rebuilt, and shared with the store's own positioning. Null with the
    // reason when the segment cannot be used.
    std::shared_ptr<const SegmentIndex> Index(size_t stream, size_t seg, std::string* why);
    // The place of a channel's stream type in Group().streams; -1 none.
    int StreamIndex(uint8_t channel, uint8_t streamType) const { return FindStream(channel, streamType); }
    // Where OpenStream and SeekStream at `t` position the stream `stream`:
    // the segment (its place in the manifest's list) and the entry of its
    // index. False when there is no recording there.
    bool PositionOf(size_t stream, const DateTime& t, size_t* seg, size_t* entry);
    int OpenHandleCount() const;
    // Channels whose OpenStream failed since the last call (bit n = channel
    // n); the call clears them. Lets a host tell a failed open from a
    // stream that already played to its end.
    uint32_t TakeFailedOpens();
    // Channels whose OpenStream succeeded since the last call; the call
    // clears them. Lets a host see which channels a switch reopened.
    uint32_t TakeOpened();

    // The slots, with the contracts of MSSP_StreamOperation_t.
    int OpenStream(const MSSP_OpenParam_t* param, unsigned char openFlag);
    int GetStreamSegmentInfo(const tag_tavuSegmentId* segmentId, MSSP_SegmentInfo_t* info);
    int GetSegmentInfo(int handle, MSSP_SegmentAttr_t* attr);
    int ReadStream(int handle, unsigned char* dst, int maxLen, unsigned char* newSegment);
    int ReadNextIFrame(int handle, unsigned char** data, int* length, unsigned char* newSegment, int step);
    int ReadPrevIFrame(int handle, unsigned char** data, int* length, unsigned char* newSegment, int step);
    int SeekStream(int handle, const MSSP_SeekTime_t* time);
    int CloseStream(int handle, int reserved);

private:
    struct Loaded;
    struct Handle;
    struct Pos {
        size_t seg;
        size_t idx;
    };
    using LoadedPtr = std::shared_ptr<const Loaded>;

    explicit RecStore(std::string dir, GroupDesc group);
    std::shared_ptr<Handle> Find(int handle, const char* op) const;
    int FindStream(uint8_t channel, uint8_t streamType) const;
    int OpenAt(const MSSP_OpenParam_t* param, unsigned char openFlag);
    LoadedPtr Segment(size_t stream, size_t seg);
    LoadedPtr UsableSegment(size_t stream, size_t seg);
    bool Locate(size_t stream, const DateTime& t, Pos* pos, std::string* why);
    uint64_t ReadStart(const Handle& h, Pos pos) const;
    bool Enter(Handle& h, size_t seg, LoadedPtr loaded);
    bool NextPos(size_t stream, Pos p, Pos* out);
    bool PrevPos(size_t stream, Pos p, Pos* out);
    bool TrickCursor(Handle& h, bool forward);
    int ReadIFrame(int handle, unsigned char** data, int* length, unsigned char* newSegment, int step,
                   bool forward);

    std::string dir_;
    GroupDesc group_;  // read-only after Open

    mutable std::mutex handleMutex_;  // handles_, nextHandle_, failedOpens_, openedOk_
    uint32_t failedOpens_ = 0;
    uint32_t openedOk_ = 0;
    std::map<int, std::shared_ptr<Handle>> handles_;
    int nextHandle_ = 1;

    std::mutex cacheMutex_;  // cache_
    std::vector<std::vector<LoadedPtr>> cache_;  // [stream][segment]
};

}  // namespace recstore

#endif  // RECSTORE_REC_STORE_H
