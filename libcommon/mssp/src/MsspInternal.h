// Internals shared by the library's files: the diagnostics prefix, limits,
// process-wide state, atomic access to the hand-over fields of the shared
// records, and little-endian byte helpers for recorded data.
#ifndef MSSP_INTERNAL_H
#define MSSP_INTERNAL_H

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "MultiStreamSyncParser.h"

static_assert(std::endian::native == std::endian::little,
              "the segment's records are little-endian and accessed as native fields");

// Location prefix of most diagnostics, given just before the message: kept
// for this thread's next line (Log.cpp), which carries it in front.
#define MSSP_LOC() mssp::LogPrefix(__func__, __LINE__)
// The same from a helper, naming the operation it serves.
#define MSSP_LOC_AS(operation) mssp::LogPrefix(operation, __LINE__)

namespace mssp {

// The library's diagnostics (Log.cpp). Each writes what printf, puts or
// perror wrote before, after the pending location prefix, to standard
// output (perror's to standard error), or hands the lines to the hook of
// `owner` (null: a free function's line), else to the process-wide hook.
constexpr int kLogError = MSSP_LOG_ERROR;
constexpr int kLogInfo = MSSP_LOG_INFO;
constexpr int kLogDebug = MSSP_LOG_DEBUG;
void LogPrefix(const char* operation, int line);
void Log(const CMultiStreamSyncParser* owner, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
void LogPuts(const CMultiStreamSyncParser* owner, int level, const char* text);
void LogErrno(const CMultiStreamSyncParser* owner, const char* text);

constexpr int kMaxReadLen = 65536;     // one ReadStream call, and the room a read needs
// A pack is kept only when it leaves two reads' room in its ring: one for
// the read that completes it, one for the early wrap's unused end. A larger
// pack, caught where no read fits beside it, would stall its stream for good.
constexpr int kPackRoom = 2 * kMaxReadLen;
// The smallest ring: room for packs of up to one read beside that.
constexpr int kMinRingSize = kPackRoom + kMaxReadLen;
constexpr uint32_t kMaxExtLen = 4096;  // largest extension area; also pTempBuf's size
constexpr uint32_t kMinFrameLen = 16;  // smallest payload a header may announce
constexpr int kTempBufSize = 4096;     // pTempBuf
constexpr int kNodeSize = 40;          // sizeof(MSSP_FrameNode_t)
constexpr int kTrickMaxPending = 4;    // trick play buffers at most five frames
constexpr int kDefaultJumpLevel = 14;  // every frame shown
constexpr uint8_t kNoThread = 255;     // threadIndex of a record without a thread
constexpr uint8_t kCompletionMark = 0x80;  // bit 7 of a node's frameRate byte

// Exit status of the paths that end the process: a supervisor must see a
// failure, never a clean stop.
constexpr int kFatalExitStatus = 1;

// Atomic access to fields that two threads touch without a lock. The fields
// keep their plain types so that the shared-memory layout stays as specified.
template <class T>
inline T LoadAcquire(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <class T>
inline T LoadRelaxed(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <class T, class U>
inline void StoreRelease(T& field, U value) {
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_release);
}
template <class T, class U>
inline void StoreRelaxed(T& field, U value) {
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_relaxed);
}

// Sequentially consistent access, for the two-sided flag hand-over of the
// reset gate (each side raises its own flag, then reads the other's).
template <class T>
inline T LoadSeqCst(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_seq_cst);
}
template <class T, class U>
inline void StoreSeqCst(T& field, U value) {
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_seq_cst);
}
template <class T, class U>
inline T ExchangeSeqCst(T& field, U value) {
    return std::atomic_ref<T>(field).exchange(static_cast<T>(value), std::memory_order_seq_cst);
}

// Node-ring hysteresis of normal play: the reader stops storing frames when
// NodePauseAt(n) of a stream's n nodes hold waiting frames, and starts again
// when fewer than NodeResumeBelow(n) do. A ring with room for it keeps 5 nodes
// free at the pause and resumes 11 nodes below its size; a smaller ring
// pauses with a quarter of its nodes free and resumes once at most half of
// them hold waiting frames. Both bounds are at least 1 and at most n, so a
// paused reader always resumes on a ring that the consumer empties far
// enough, and delivery waits for frames the reader has still to store only
// while fewer than NodeResumeBelow(n) wait (so that it never waits for a
// paused reader).
constexpr int kNodePauseMargin = 5;
constexpr int kNodeResumeMargin = 11;
constexpr int NodePauseAt(int frameNum) {
    const int quarter = frameNum / 4;
    return frameNum - (quarter < kNodePauseMargin ? quarter : kNodePauseMargin);
}
constexpr int NodeResumeBelow(int frameNum) {
    const int half = (frameNum - 1) / 2;
    return frameNum - (half < kNodeResumeMargin ? half : kNodeResumeMargin);
}

// Waiting frames of a stream, read on the consumer side: acquiring parseNum
// makes the nodes it counts visible.
inline int32_t WaitingCount(MSSP_StreamHead_t* head) {
    uint32_t parsed = LoadAcquire(head->parseNum);
    uint32_t got = LoadRelaxed(head->getNum);
    return static_cast<int32_t>(parsed - got);
}

// `value` modulo `n` without a division (the device's core has no divide
// instruction: every `%` there is a library call). Ring and node positions
// are below 2n by their invariants and take a compare; only a corrupt
// segment holds a larger value, which is reduced out of line.
uint32_t ReduceModulo(uint32_t value, uint32_t n);
inline uint32_t Wrap(uint32_t value, uint32_t n) {
    if (value < n) return value;
    if (value - n < n) return value - n;
    return ReduceModulo(value, n);
}
// The index after `index` (below n) in a ring of n.
inline uint32_t NextIndex(uint32_t index, uint32_t n) { return index + 1 < n ? index + 1 : 0; }

// Little-endian reads and writes of recorded bytes, safe on any alignment.
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16);
}
inline uint32_t Le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint64_t Le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// One pass of a reader thread over the streams [first, end) (ReaderThreads.cpp):
// each open, playing stream gets one ParseFrame call; true when one made
// progress. While `firstFramesDue` holds (set after a reset: start, Idle
// handed back) a stream that already has its first frame is passed over as
// long as another stream of the object still lacks one; the flag clears
// once none lacks one.
bool ReaderPass(CMultiStreamSyncParser& p, int first, int end, bool& firstFramesDue);

// What a reader thread does before it sleeps after a pass without progress:
// the streams of [first, end) that wait for the consumer to free room ask
// to be woken by the release that frees enough (the returned mask), and
// whether one of them got those releases already (then it does not sleep).
uint32_t ReaderAskRoom(CMultiStreamSyncParser& p, int first, int end);
bool ReaderRoomCame(CMultiStreamSyncParser& p, uint32_t asked);

}  // namespace mssp

// Process-wide device group (0 none, 1 ITS, 2 BUS, 3 ANT); 3 selects the old
// recorded frame format. Written by every constructor.
extern int g_DeviceGroup;
// Bytes of packs dropped before a stream's first stored frame, all streams.
extern int g_DropLen;

#endif  // MSSP_INTERNAL_H
