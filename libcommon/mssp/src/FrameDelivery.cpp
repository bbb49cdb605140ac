// Synchronised frame delivery: timestamps of waiting frames and their
// conversion onto a common wall-clock timeline, the choice of the next frame
// across streams (GetFrame, from the order kept in DeliveryOrder.h) or of one
// stream (GetFrameEx), its release, and the read-only queries on buffered
// frames. Runs on the host's playback
// thread, the single consumer of every stream; it never reads recorded data
// from the host, never fills nodes, and never allocates on the delivery path
// (one conversion record per stream is created on its first conversion).
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "DeliveryOrder.h"
#include "MsspInternal.h"
#include "ResetGate.h"
#include "WakeWord.h"

namespace {

constexpr uint8_t kFlagNewSegment = 0x01;     // node flags bit 0: first frame of a new segment
constexpr uint8_t kFlagLastOfSegment = 0x02;  // node flags bit 1: last frame before a new segment
constexpr uint8_t kAudioSegment = 0x02;       // flags2 bit 1: the segment carries audio
constexpr uint8_t kFrameRateBits = 0x7F;      // frameRate byte without the completion mark
constexpr uint32_t kDiscontinuityFlag = 0x01; // bit 0 of the frame flags given to the host
constexpr uint8_t kStateOver = 4;             // a stream state above this is over or invalid
constexpr int kOldDeviceGroup = 3;            // old recorded format, ASCII channel digit
constexpr uint8_t kAsciiZero = 0x30;
constexpr uint32_t kMaxNormalStep = 2000;     // larger pts steps are timeline jumps (ms)
constexpr uint32_t kInitialSpan = 20;         // step assumed before the first normal one (ms)
constexpr int32_t kJumpSpanShrink = 3;        // frames after a jump come this much closer (ms)
constexpr int32_t kMaxSteadyStep = 2500;      // larger delivered steps are discontinuities (ms)
constexpr unsigned kNoTimeSeconds = 90000;    // one more than a day's seconds can reach
constexpr uint8_t kNoHour = 0xFF;             // m_StreamTime hour before any key frame
constexpr uint8_t kMaxHour = 23;              // a time of day read from frame bytes
constexpr uint8_t kMaxMinSec = 59;
constexpr int kBaselineLine = 1124;           // line number printed by GetBaselinePts

// Where the time of day sits in the first bytes of a key frame.
constexpr uint32_t kNewTimeBytes = 44;  // new format: 12-byte header, kinds 1 and 3, then kind 2
constexpr uint32_t kNewHourAt = 39;
constexpr uint32_t kOldTimeBytes = 120;  // old format: 24-byte header, layout 1087 date at 88
constexpr uint32_t kOldHourAt = 115;

// A node's byte-packed multi-byte fields, read through memcpy.
const uint8_t* Bytes(const MSSP_FrameNode_t* node) { return reinterpret_cast<const uint8_t*>(node); }
uint64_t NodePts(const MSSP_FrameNode_t* node) { return mssp::Le64(Bytes(node) + offsetof(MSSP_FrameNode_t, pts)); }
uint32_t NodeU32(const MSSP_FrameNode_t* node, size_t at) { return mssp::Le32(Bytes(node) + at); }
uint16_t NodeU16(const MSSP_FrameNode_t* node, size_t at) { return mssp::Le16(Bytes(node) + at); }

bool IsVideo(const MSSP_FrameNode_t* node) { return node->frameType <= MSSP_FRAME_P; }
bool InAudioSegment(const MSSP_FrameNode_t* node) { return (node->flags2 & kAudioSegment) != 0; }
bool IsKeyFrame(const MSSP_FrameNode_t* node) {
    return node->frameType == MSSP_FRAME_I || (node->frameType == MSSP_FRAME_AUDIO && InAudioSegment(node));
}
bool IsTimingFrame(const MSSP_FrameNode_t* node) {
    return IsVideo(node) || (node->frameType == MSSP_FRAME_AUDIO && InAudioSegment(node));
}
bool IsComplete(const MSSP_FrameNode_t* node) { return (node->frameRate & mssp::kCompletionMark) != 0; }
// The stream's timing medium is audio in an audio segment and video (or
// anything but audio) elsewhere; only it goes through the discontinuity check.
bool IsTimingMedium(const MSSP_FrameNode_t* node) {
    return InAudioSegment(node) == (node->frameType == MSSP_FRAME_AUDIO);
}

// The producer may set bit 1 of a waiting node's flags when a new segment
// begins behind it, so the byte is read and changed atomically.
uint8_t LoadFlags(MSSP_FrameNode_t* node) { return mssp::LoadRelaxed(node->flags); }

// Another group's parser may be constructed on another thread and rewrite the
// process-wide device group meanwhile: read it atomically (always the same value).
bool OldDevice() { return mssp::LoadRelaxed(g_DeviceGroup) == kOldDeviceGroup; }

// Local calendar time of a node's date bytes, in seconds since 1970.
// Daylight saving: every conversion treats the recorded time as standard
// time (tm_isdst = 0). The recorded wall clock carries no DST flag; with -1
// mktime would have to guess for the repeated hour in autumn, and glibc's
// guess depends on earlier calls, so two streams could place the same
// recorded second differently. A fixed 0 maps each recorded time to exactly
// one instant, identical for all streams; only the ordering and spacing of
// streams matter here, never the absolute instant.
int64_t LocalSeconds(const uint8_t time[6]) {
    std::tm tm{};
    tm.tm_year = time[0] + 100;
    tm.tm_mon = time[1] - 1;
    tm.tm_mday = time[2];
    tm.tm_hour = time[3];
    tm.tm_min = time[4];
    tm.tm_sec = time[5];
    tm.tm_isdst = 0;
    // Kept in 64 bits so that dates past 2038 stay right where time_t allows.
    return static_cast<int64_t>(std::mktime(&tm));
}

}  // namespace

// The consumer side's helpers. A friend of the class: it reads the fields
// that the operations below share.
struct MsspDelivery {
    using P = CMultiStreamSyncParser;

    // A frame's place in its stream's ring, checked against the ring.
    struct Place {
        uint32_t offset1, length1, offset2, length2;
    };

    // One unsigned comparison: m_StreamNum is never negative (0 to 32).
    static bool ValidIndex(P& p, int index) {
        return static_cast<uint32_t>(index) < static_cast<uint32_t>(p.m_StreamNum);
    }

    // getIndex is the consumer's own field; a value outside the node array
    // (only a corrupt shared segment holds one) is taken modulo its size.
    static uint32_t ReadIndex(P& p, int index) {
        return mssp::Wrap(mssp::LoadRelaxed(p.m_pNodeCursor[index]->getIndex), static_cast<uint32_t>(p.m_FrameNum));
    }
    static MSSP_FrameNode_t* NodeAt(P& p, int index, uint32_t n) { return &p.m_pFrameNode[index][n]; }
    static MSSP_FrameNode_t* ReadNode(P& p, int index) { return NodeAt(p, index, ReadIndex(p, index)); }

    // Waiting frames bounded by the node array, for scans: more than that
    // can only come from corrupt counters.
    static int32_t ScanLimit(P& p, int32_t waiting) { return waiting < p.m_FrameNum ? waiting : p.m_FrameNum; }

    static bool StreamOver(P& p, int index) {
        // state is written by the reader and control threads; a plain status byte.
        return mssp::LoadRelaxed(p.m_pStreamHead[index]->state) > kStateOver;
    }
    static int Channel(P& p, int index) { return mssp::LoadRelaxed(p.m_pStreamHead[index]->channel); }

    // The node's two pieces, or false when they do not lie inside the ring
    // or the frame is empty (a corrupt node): nothing of it may be read.
    static bool GetPlace(P& p, const MSSP_FrameNode_t* node, Place& place) {
        place.offset1 = NodeU32(node, offsetof(MSSP_FrameNode_t, offset1));
        place.length1 = NodeU32(node, offsetof(MSSP_FrameNode_t, length1));
        place.offset2 = NodeU32(node, offsetof(MSSP_FrameNode_t, offset2));
        place.length2 = NodeU32(node, offsetof(MSSP_FrameNode_t, length2));
        const uint32_t size = static_cast<uint32_t>(p.m_BufSize);
        if (place.offset1 >= size || place.length1 == 0 || place.length1 > size - place.offset1) return false;
        if (place.length2 != 0 && (place.offset2 >= size || place.length2 > size - place.offset2)) return false;
        return true;
    }

    // The first `want` bytes of a frame: in place when the first piece holds
    // them, else joined into `buf`. Null when the frame is shorter.
    static const uint8_t* FrameHead(P& p, int index, const Place& place, uint32_t want, uint8_t* buf) {
        const uint8_t* ring = p.m_pStreamBuf[index];
        if (place.length1 >= want) return ring + place.offset1;
        if (static_cast<uint64_t>(place.length1) + place.length2 < want) return nullptr;
        std::memcpy(buf, ring + place.offset1, place.length1);
        std::memcpy(buf + place.length1, ring + place.offset2, want - place.length1);
        return buf;
    }

    // The delivery calls' rare paths, kept out of line so that the usual
    // path stays short. `op` names the operation in the location prefix.

    [[gnu::cold, gnu::noinline]] static int RefuseBadIndex(P& p, const char* op, int index) {
        MSSP_LOC_AS(op);
        mssp::Log(&p, mssp::kLogError, "invalid stream index:%d\n", index);
        return -1;
    }

    // A required output pointer is null: nothing is looked at or handed out.
    [[gnu::cold, gnu::noinline]] static int RefuseNullOutput(P& p, const char* op) {
        MSSP_LOC_AS(op);
        mssp::LogPuts(&p, mssp::kLogError, "a required output pointer is null, nothing delivered");
        return -1;
    }

    // "GetStreamPTS failed" goes out once per change of the stream: its
    // state, its counters or a buffer reset. A repeat while nothing changed
    // (a playback thread polling a stream that waits) is only counted, and
    // the count goes out just before the stream's next failure line.
    [[gnu::cold, gnu::noinline]] static void NotePtsFailed(P& p, int i, int32_t waiting) {
        P::PtsFailNote& note = p.m_PtsFail[i];
        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        // relaxed: only compared with the last failure's values, to tell a
        // repeat (no reset runs inside this delivery call)
        const P::PtsFailNote now{mssp::LoadRelaxed(head->parseNum), mssp::LoadRelaxed(head->getNum),
                                 mssp::LoadRelaxed(p.m_ResetRounds), 0, mssp::LoadRelaxed(head->state), 1};
        if (note.shown != 0 && note.parseNum == now.parseNum && note.getNum == now.getNum &&
            note.resets == now.resets && note.state == now.state) {
            ++note.repeats;
            return;
        }
        if (note.repeats != 0)
            mssp::Log(&p, mssp::kLogDebug,
                      "CMultiStreamSyncParser::GetStreamPTS failed %" PRIu32 " more times, index=%d\n", note.repeats,
                      i);
        note = now;
        mssp::Log(&p, mssp::kLogDebug, "CMultiStreamSyncParser::GetStreamPTS failed, index=%d num=%d\n", i, waiting);
    }

    // A node whose place is not inside the ring: thrown away, the stream
    // waits for a key frame. (The place is read again here, so that the
    // usual path keeps it in registers.)
    [[gnu::cold, gnu::noinline]] static int RefuseBadPlace(P& p, const char* op, int index,
                                                           const MSSP_FrameNode_t* node) {
        Place place;
        GetPlace(p, node, place);  // false again; it fills all four fields first
        MSSP_LOC_AS(op);
        mssp::Log(&p, mssp::kLogError, "invalid frame place:index:%d offset1:%u length1:%u offset2:%u length2:%u\n",
                  index, place.offset1, place.length1, place.offset2, place.length2);
        Release(p, index);
        SetWait(p, index, 1);
        return -1;
    }

    // GetFrame: the first data byte names another channel.
    [[gnu::cold, gnu::noinline]] static int RefuseChannel(P& p, int index, int channel, int c, int type) {
        MSSP_LOC_AS("GetFrame");
        mssp::Log(&p, mssp::kLogError, "invalid frame:index:%d type:%d 0x%x FrameNum:%d\n", channel, type,
                  static_cast<unsigned>(c), mssp::WaitingCount(p.m_pStreamHead[index]));
        Release(p, index);
        SetWait(p, index, 1);
        return -1;
    }

    [[gnu::cold, gnu::noinline]] static void PrintJump(P& p, const char* op, uint64_t last, uint64_t pts, int32_t step) {
        mssp::Log(&p, mssp::kLogDebug, "CMultiStreamSyncParser::%s big pts jump %lld->%lld span=%d\n", op,
                  static_cast<long long>(last), static_cast<long long>(pts), step);
    }

    // First data byte as a channel number (an ASCII digit on old devices).
    static int FrameChannel(P& p, int index, const Place& place) {
        int c = p.m_pStreamBuf[index][place.offset1];
        if (OldDevice()) c -= kAsciiZero;
        return c;
    }

    // Frame-jump test of a video frame at the stream's level; never on old devices.
    static bool SkippedByJumpLevel(P& p, int index, const MSSP_FrameNode_t* node) {
        // The control thread writes the level; a single byte, no order needed.
        const uint8_t level = mssp::LoadRelaxed(p.m_JumpLevel[index]);
        // Level 14, the usual one, shows every frame (CheckSend's first rule).
        if (level >= mssp::kDefaultJumpLevel || OldDevice() || !IsVideo(node)) return false;
        return CheckSend(level, node->refType, node->refIndex) == 0;
    }

    static void SetPieces(P& p, int index, const Place& place, unsigned char** ppData1, int* pLen1,
                          unsigned char** ppData2, int* pLen2) {
        unsigned char* ring = p.m_pStreamBuf[index];
        *ppData1 = ring + place.offset1;
        *pLen1 = static_cast<int>(place.length1);
        if (place.length2 != 0) {
            *ppData2 = ring + place.offset2;
            *pLen2 = static_cast<int>(place.length2);
        } else {
            *ppData2 = nullptr;
            *pLen2 = 0;
        }
    }

    // Signed step between two timestamps, on their low 32 bits.
    static int32_t Step32(uint64_t to, uint64_t from) {
        return static_cast<int32_t>(static_cast<uint32_t>(to) - static_cast<uint32_t>(from));
    }

    // A forward step above 2500 ms, or a backward one outside fast backward.
    static bool Discontinuous(P& p, int index, int32_t step) {
        return step > kMaxSteadyStep ||
               (step < 0 && mssp::LoadRelaxed(p.m_pStreamHead[index]->playStatus) != MSSP_STATUS_FAST_BACKWARD);
    }

    // True while a frame that is timed by the video behind it may still get
    // that video: the stream is live and its reader will store more nodes.
    // A reader paused on its node ring resumes only below
    // mssp::NodeResumeBelow waiting frames: from there on waiting could
    // never end (and with few nodes the frames that wait are soon all audio).
    static bool VideoMayFollow(P& p, int index, const MSSP_FrameNode_t* node, int32_t waiting) {
        return !IsTimingFrame(node) && !StreamOver(p, index) && waiting < mssp::NodeResumeBelow(p.m_FrameNum);
    }

    // Nothing waiting where a frame was to be released: the order's view of
    // the stream was wrong, so it looks again (rather than choose the same
    // stream once more).
    [[gnu::cold, gnu::noinline]] static int RefuseRelease(P& p, int index) {
        p.m_pOrder->changed.fetch_or(1u << index, std::memory_order_relaxed);
        MSSP_LOC_AS("Release");
        mssp::Log(&p, mssp::kLogError, "no frame to release:index:%d\n", index);
        return -1;
    }

    // The reader of stream `index` sleeps until this many frames are
    // released: wakes it once the count is reached.
    [[gnu::cold, gnu::noinline]] static void WakeForRoom(P& p, int index) {
        MsspOrder& o = *p.m_pOrder;
        // acquire: the count the reader stored before it raised its bit
        if (!(o.roomWanted.load(std::memory_order_acquire) & (1u << index))) return;
        const uint32_t got = mssp::LoadRelaxed(p.m_pStreamHead[index]->getNum);  // this thread's own counter
        if (static_cast<int32_t>(got - o.roomAt[index].load(std::memory_order_relaxed)) < 0) return;
        if (o.roomWanted.fetch_and(~(1u << index), std::memory_order_relaxed) & (1u << index))
            mssp::WakeAll(p.m_ReaderWake);
    }

    // Frees the read node of a stream: the consumer's side of the hand-over.
    // Used by ReleaseFrame and by the delivery calls that throw frames away.
    static int Release(P& p, int index) {
        MSSP_StreamHead_t* head = p.m_pStreamHead[index];
        // Acquire parseNum: only a frame counted as waiting may be released, so
        // that getNum never passes parseNum.
        const uint32_t parsed = mssp::LoadAcquire(head->parseNum);
        const uint32_t got = mssp::LoadRelaxed(head->getNum);  // this thread's own counter
        if (static_cast<int32_t>(parsed - got) <= 0) return RefuseRelease(p, index);
        MSSP_NodeCursor_t* cursor = p.m_pNodeCursor[index];
        const uint32_t frames = static_cast<uint32_t>(p.m_FrameNum);
        const uint32_t next = mssp::NextIndex(mssp::Wrap(mssp::LoadRelaxed(cursor->getIndex), frames), frames);
        // Release: the reader may reuse the node and its ring bytes once getNum
        // counts them (sequentially consistent for the room request below).
        mssp::StoreSeqCst(head->getNum, got + 1);
        // Release: the new read position, after getNum (the reader reads both for its free space).
        mssp::StoreRelease(cursor->getIndex, next);
        MsspOrder& order = *p.m_pOrder;
        order.changed.fetch_or(1u << index, std::memory_order_relaxed);  // this thread's own change
        // seq_cst, as the getNum store above and the reader's request: either
        // the reader sees this release before it sleeps, or this sees its request.
        if (order.roomWanted.load(std::memory_order_seq_cst) & (1u << index)) WakeForRoom(p, index);
        // The read node was the held frame, if any: it is gone now. A hold
        // that a reset wrote off stays, for the host's late ReleaseFrame.
        if ((p.m_HeldMask & (1u << index)) != 0 && !MsspGate::WrittenOff(p, index)) MsspGate::Unhold(p, index);
        return 0;
    }

    // The key-frame wait of a stream; the order looks at the stream again
    // when it changes.
    static void SetWait(P& p, int index, uint8_t wait) {
        if (p.m_bWaitIFrame[index] == wait) return;
        p.m_bWaitIFrame[index] = wait;
        p.m_pOrder->changed.fetch_or(1u << index, std::memory_order_relaxed);  // this thread's own change
    }

    // Timestamp of the first video frame among the waiting frames after the
    // read node `first`, or 0 when none is waiting yet.
    static uint64_t VideoPtsBehind(P& p, int index, uint32_t first, int32_t waiting) {
        const uint32_t frames = static_cast<uint32_t>(p.m_FrameNum);
        const int32_t limit = ScanLimit(p, waiting);
        uint32_t n = first;
        for (int32_t k = 1; k < limit; ++k) {
            n = mssp::NextIndex(n, frames);
            const MSSP_FrameNode_t* node = NodeAt(p, index, n);
            if (IsVideo(node)) return NodePts(node);
        }
        return 0;
    }

    // ---------------------------------------------------------------------
    // Choosing the next frame across streams. The pass that defines it looks
    // at the streams in index order: an empty live stream, a frame thrown
    // away for the key-frame wait or for a zero timestamp stops it with -1;
    // an empty stream that is over is passed over; every other stream offers
    // its frame's timestamp, and the smallest (playing backward, the
    // largest) wins, ties to the lower index.

    enum class Pass { kNext, kOffer, kStop };

    // One stream of that pass, with all its effects (wait flag, messages,
    // frames thrown away). kOffer puts the timestamp into *pts.
    [[gnu::noinline]] static Pass Examine(P& p, int i, unsigned char bConvert, uint64_t* pts) {
        // Acquire parseNum: the nodes it counts are complete.
        const int32_t waiting = mssp::WaitingCount(p.m_pStreamHead[i]);
        if (waiting <= 0) return StreamOver(p, i) ? Pass::kNext : Pass::kStop;
        MSSP_FrameNode_t* node = ReadNode(p, i);
        if (LoadFlags(node) & kFlagNewSegment) SetWait(p, i, 1);
        if (p.m_bWaitIFrame[i]) {
            if (!IsKeyFrame(node)) {
                mssp::Log(&p, mssp::kLogDebug, "CH drop a frame index:%d type:%d...\n", i, node->frameType);
                Release(p, i);
                return Pass::kStop;
            }
            SetWait(p, i, 0);
        }
        if (bConvert != 0 && !IsComplete(node)) {
            *pts = p.GetCovertedPts(i, node);
            return Pass::kOffer;
        }
        // GetStreamPTS's answer for a waiting timing frame is its own pts:
        // taken from the node in hand instead of re-entering the checks.
        unsigned long long t = 0;
        if (IsTimingFrame(node)) t = NodePts(node);
        else p.GetStreamPTS(i, &t);
        if (t == 0 && VideoMayFollow(p, i, node, waiting)) {
            // Audio of an ordinary segment is timed by the video frame
            // behind it, which the reader has not stored yet: wait for it
            // rather than throw the audio (and, through the key-frame wait,
            // the P-frames after it) away.
            return Pass::kStop;
        }
        if (t == 0) {
            mssp::Log(&p, mssp::kLogDebug, "ch%d pts is 0 throw it\n", i);
            Release(p, i);
            SetWait(p, i, 1);
            return Pass::kStop;
        }
        *pts = t;
        return Pass::kOffer;
    }

    // The pass itself, stream by stream. Used in converted mode when a read
    // node is timed by conversion, whose effects belong to each pass. The
    // chosen stream with its read node and timestamp, as Choose gives them;
    // -1 when none is chosen or the best timestamp is 0.
    [[gnu::noinline]] static int ScanChoose(P& p, int direction, unsigned char bConvert, uint64_t* best,
                                            MSSP_FrameNode_t** readNode) {
        uint64_t top = direction > 0 ? UINT64_MAX : 0;
        int chosen = -1;
        for (int i = 0; i < p.m_StreamNum; ++i) {
            uint64_t t = 0;
            const Pass r = Examine(p, i, bConvert, &t);
            if (r == Pass::kStop) return -1;
            if (r == Pass::kNext) continue;
            // Playing forward or backward, the first offer is taken whatever
            // its value (a timestamp equal to the starting best must not be
            // passed over); later ones only when strictly better, so ties
            // keep the lower index.
            if (direction != 0 && (chosen < 0 || (direction > 0 ? t < top : t > top))) {
                top = t;
                chosen = i;
            }
        }
        if (chosen < 0 || top == 0) return -1;
        *best = top;
        *readNode = ReadNode(p, chosen);
        return chosen;
    }

    // Sorts stream i into its class for the pass, without any effect: what
    // Examine would do with it now. Updates its leaf when `keyTree` is set.
    static void Classify(P& p, MsspOrder& o, int i, bool keyTree) {
        uint8_t c = 0;
        uint64_t time = 0;
        // Acquire parseNum: the nodes it counts are complete.
        const int32_t waiting = mssp::WaitingCount(p.m_pStreamHead[i]);
        if (waiting <= 0) {
            if (!StreamOver(p, i)) c = MsspOrder::kStop | MsspOrder::kEmpty;
        } else {
            const uint32_t first = ReadIndex(p, i);
            MSSP_FrameNode_t* node = NodeAt(p, i, first);
            o.readNode[i] = node;
            if (!IsComplete(node)) c = MsspOrder::kIncomplete;
            const bool wait = p.m_bWaitIFrame[i] != 0;
            if (node->frameType == MSSP_FRAME_P && !wait && (LoadFlags(node) & kFlagNewSegment) == 0) {
                // The usual frame, a P-frame within its sequence: timed by itself.
                time = NodePts(node);
                c |= time != 0 ? MsspOrder::kCandidate : MsspOrder::kStop;
            } else {
                if (!IsKeyFrame(node)) {
                    if (wait || (LoadFlags(node) & kFlagNewSegment)) c |= MsspOrder::kStop;
                } else if (wait) {
                    c |= MsspOrder::kEndsWait;
                }
                if ((c & MsspOrder::kStop) == 0) {
                    time = IsTimingFrame(node) ? NodePts(node) : VideoPtsBehind(p, i, first, waiting);
                    c |= time != 0 ? MsspOrder::kCandidate : MsspOrder::kStop;
                }
            }
        }
        o.SetClass(static_cast<uint32_t>(i), c);
        if (keyTree) o.SetLeaf(static_cast<uint32_t>(i), time, (c & MsspOrder::kCandidate) != 0);
        else o.pts[i] = time;
    }

    // Every stream classified again, the tree to be built at the choice.
    [[gnu::noinline]] static void ClassifyAll(P& p, MsspOrder& o) {
        for (int i = 0; i < p.m_StreamNum; ++i) Classify(p, o, i, false);
        o.keyedFor = MsspOrder::kUnbuilt;
    }

    // Looks again at the streams that changed since the last call: all of
    // them while other writers may be at work (see MsspOrder::ownProducers).
    static void Refresh(P& p, MsspOrder& o) {
        // acquire: the note StartParse makes of every stream before it hands
        // them to the readers (so that the first trusted call sees it below)
        const bool trusted = o.ownProducers.load(std::memory_order_acquire) != 0;
        // acquire: the changes noted by readers, the control thread and this one
        uint32_t mask = o.changed.load(std::memory_order_relaxed);
        if (mask != 0) mask = o.changed.exchange(0, std::memory_order_acquire);
        if (!trusted) {
            ClassifyAll(p, o);
            return;
        }
        for (; mask != 0; mask &= mask - 1) Classify(p, o, __builtin_ctz(mask), true);
    }

    // What the choice does after Attend: choose from the tree, end the pass
    // with -1, or make it stream by stream (ScanChoose).
    enum class Then { kChoose, kStop, kScan };

    // The streams the usual choice cannot pass over (o.attention != 0): the
    // key-frame waits that the pass ends, then the stream that stops it, if
    // any; again from Refresh while frames arrive meanwhile.
    [[gnu::noinline]] static Then Attend(P& p, MsspOrder& o, unsigned char bConvert) {
        for (;;) {
            // The streams the pass reaches: all up to the first that stops it.
            const uint32_t reached = o.stops != 0 ? (o.stops ^ (o.stops - 1)) : o.all;
            // A key frame at the read position ends the wait of every
            // stream the pass reaches (its class stays the same).
            for (uint32_t m = o.endsWait & reached; m != 0; m &= m - 1) {
                const int k = __builtin_ctz(m);
                p.m_bWaitIFrame[k] = 0;
                o.SetClass(static_cast<uint32_t>(k), o.cls[k] & ~MsspOrder::kEndsWait);
            }
            if (o.stops == 0) return Then::kChoose;
            const int s = __builtin_ctz(o.stops);
            // A live stream with nothing buffered: -1, nothing else to do.
            if (o.cls[s] & MsspOrder::kEmpty) return Then::kStop;
            uint64_t t = 0;
            if (Examine(p, s, bConvert, &t) == Pass::kStop) return Then::kStop;
            // A frame arrived since the stream was classified: again, as
            // the choice begins.
            o.changed.fetch_or(1u << s, std::memory_order_relaxed);
            Refresh(p, o);
            if (bConvert != 0 && o.incomplete != 0) return Then::kScan;
            if (o.attention == 0) return Then::kChoose;
        }
    }

    // ScanChoose's result through variables of its own, so that the
    // caller's stay in registers.
    [[gnu::always_inline]] static int Scan(P& p, int direction, unsigned char bConvert, uint64_t* best,
                                           MSSP_FrameNode_t** readNode) {
        uint64_t t = 0;
        MSSP_FrameNode_t* node = nullptr;
        const int chosen = ScanChoose(p, direction, bConvert, &t, &node);
        *best = t;
        *readNode = node;
        return chosen;
    }

    // The pass's result: the chosen stream, its read node in *readNode
    // and timestamp in *best, or -1 (with the pass's effects). Only the
    // stream that stops the pass, if any, is examined; the others are known
    // from their classes.
    [[gnu::always_inline]] static int Choose(P& p, int direction, unsigned char bConvert, uint64_t* best,
                                             MSSP_FrameNode_t** readNode) {
        MsspOrder& o = *p.m_pOrder;
        Refresh(p, o);
        if (bConvert != 0 && o.incomplete != 0) return Scan(p, direction, bConvert, best, readNode);
        if (o.attention != 0) {
            const Then then = Attend(p, o, bConvert);
            if (then == Then::kStop) return -1;
            if (then == Then::kScan) return Scan(p, direction, bConvert, best, readNode);
        }
        // Every stream offers a frame (or is over and empty): the pass
        // has nothing more to do but choose.
        if (o.keyedFor != direction) {
            if (direction == 0) return -1;
            o.KeyFor(direction);
        }
        const int w = o.Winner();
        if (w < 0) return -1;
        *readNode = o.readNode[w];
        *best = o.pts[w];
        return w;
    }

    // (Re)bases a conversion record on a key frame's recorded time.
    static void Rebase(MSSP_PtsAdjust_t& r, const MSSP_FrameNode_t* node) {
        const uint64_t pts = NodePts(node);
        r.basePts = pts;
        r.baseMs = LocalSeconds(node->time) * 1000;
        r.lastPts = pts;
        r.curPts = static_cast<uint64_t>(r.baseMs);
    }
};

using D = MsspDelivery;

int CMultiStreamSyncParser::GetStreamPTS(int index, unsigned long long* pPts) {
    if (pPts == nullptr) return D::RefuseNullOutput(*this, "GetStreamPTS");
    *pPts = 0;
    if (!D::ValidIndex(*this, index)) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "invalid stream index:%d\n", index);
        return -1;
    }
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) return -1;  // a reset is under way: nothing is waiting
    // Acquire parseNum: the nodes it counts are complete.
    const int32_t waiting = mssp::WaitingCount(m_pStreamHead[index]);
    if (waiting > 0) {
        const uint32_t first = D::ReadIndex(*this, index);
        const MSSP_FrameNode_t* node = D::NodeAt(*this, index, first);
        if (IsTimingFrame(node)) {
            *pPts = NodePts(node);
            return 0;
        }
        // Anything else is timed by the next video frame behind it.
        *pPts = D::VideoPtsBehind(*this, index, first, waiting);
        if (*pPts != 0) return 0;
    }
    D::NotePtsFailed(*this, index, waiting);
    return -1;
}

unsigned long long CMultiStreamSyncParser::GetCovertedPts(int index, const MSSP_FrameNode_t* pNode) {
    if (!D::ValidIndex(*this, index) || pNode == nullptr) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "invalid stream index:%d\n", index);
        return 0;
    }
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) return 0;  // a reset is under way
    MSSP_PtsAdjust_t* r = m_pPtsAdjust[index];
    const uint64_t pts = NodePts(pNode);

    // Re-arm after a reset of the stream's counts, unless the record was
    // initialised from this very node and nothing has moved it since.
    // (getNum is ours, but a reader that finds it past parseNum zeroes it.)
    if (r != nullptr && mssp::LoadRelaxed(m_pStreamHead[index]->getNum) == 0 &&
        !(pNode == r->lastNode && pts == r->basePts && r->lastPts == r->basePts)) {
        r->lastNode = nullptr;
        r->lastPts = 0;
    }

    if (r == nullptr || r->lastNode == nullptr) {
        if (!IsKeyFrame(pNode)) {
            mssp::Log(this, mssp::kLogDebug, " index[%d] !!!!First adjust, but not I frame!!!\n", index);
            return 0;
        }
        if (r == nullptr) {
            r = new (std::nothrow) MSSP_PtsAdjust_t{};
            if (r == nullptr) return 0;
            m_pPtsAdjust[index] = r;
        }
        r->span = kInitialSpan;
        D::Rebase(*r, pNode);
        r->lastNode = pNode;
        mssp::Log(this, mssp::kLogDebug, "index=%d inti iframe %d:%d:%d base=%lld\n", index, pNode->time[3],
                  pNode->time[4], pNode->time[5], static_cast<long long>(r->baseMs));
        return r->curPts;
    }

    // Audio never moves the timeline, nor does the same node twice.
    if (pNode->frameType == MSSP_FRAME_AUDIO || pNode == r->lastNode) return r->curPts;
    r->lastNode = pNode;
    const uint32_t step = static_cast<uint32_t>(pts) - static_cast<uint32_t>(r->lastPts);
    if (step == 0) return r->curPts;
    if (step <= kMaxNormalStep) {
        r->span = step;
        r->lastPts = pts;
        r->curPts = static_cast<uint64_t>(r->baseMs) + pts - r->basePts;
        return r->curPts;
    }
    // A jump (backward steps included): until the next I-frame the frames
    // follow at a little less than the last normal step.
    if (pNode->frameType != MSSP_FRAME_I) {
        r->curPts += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(r->span - kJumpSpanShrink)));
        return r->curPts;
    }
    D::Rebase(*r, pNode);
    mssp::Log(this, mssp::kLogDebug, "reset=%d inti iframe %d:%d:%d base=%lld span=%d\n", index, pNode->time[3],
              pNode->time[4], pNode->time[5], static_cast<long long>(r->baseMs), static_cast<int>(step));
    return r->curPts;
}

int CMultiStreamSyncParser::GetBaselinePts(int* /*unused*/, unsigned long long* pBasePts, int direction,
                                           unsigned char bConvert) {
    if (pBasePts == nullptr) return D::RefuseNullOutput(*this, "GetBaselinePts");
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) return -1;  // a reset is under way: no choice now
    uint64_t best = direction > 0 ? UINT64_MAX : 0;
    int chosen = -1;
    for (int i = 0; i < m_StreamNum; ++i) {
        for (;;) {  // again after a dropped frame
            // Acquire parseNum: the nodes it counts are complete.
            const int32_t waiting = mssp::WaitingCount(m_pStreamHead[i]);
            if (waiting <= 0) {
                if (D::StreamOver(*this, i)) break;
                return -1;  // a live stream has nothing yet: no order can be decided
            }
            MSSP_FrameNode_t* node = D::ReadNode(*this, i);
            if (LoadFlags(node) == kFlagNewSegment) D::SetWait(*this, i, 1);
            if (m_bWaitIFrame[i]) {
                if (IsKeyFrame(node)) {
                    D::SetWait(*this, i, 0);
                    // Mark the start of the new sequence for delivery; a
                    // concurrent "last before a new segment" bit is kept.
                    std::atomic_ref<uint8_t> flags(node->flags);
                    flags.fetch_and(kFlagNewSegment | kFlagLastOfSegment, std::memory_order_relaxed);
                    flags.fetch_or(kFlagNewSegment, std::memory_order_relaxed);
                } else {
                    if (waiting == 1 && !D::StreamOver(*this, i)) return -1;
                    mssp::Log(this, mssp::kLogDebug,
                              "drop a frame index:%d type:%d pts:%llu getNum=%d parNum=%d frameType=%d\n", i,
                              node->frameType, static_cast<unsigned long long>(NodePts(node)),
                              static_cast<int>(mssp::LoadRelaxed(m_pStreamHead[i]->getNum)),
                              static_cast<int>(mssp::LoadRelaxed(m_pStreamHead[i]->parseNum)), node->frameType);
                    D::Release(*this, i);
                    if (waiting == 1) return -1;
                    continue;
                }
            }
            unsigned long long p = 0;
            if (bConvert != 0 && !IsComplete(node)) {
                p = GetCovertedPts(i, node);
                if (p == 0) {
                    mssp::Log(this, mssp::kLogError, "index=%d GetBaselinePts covet pts failed\n", i);
                    return -1;
                }
            } else {
                GetStreamPTS(i, &p);
            }
            // The first forward offer is taken even at 2^64 - 1, the starting best.
            if ((direction > 0 && p != 0 && (chosen < 0 || p < best)) || (direction < 0 && p > best)) {
                best = p;
                chosen = i;
            }
            break;
        }
    }
    if (chosen < 0) {
        mssp::Log(this, mssp::kLogInfo, "========================%d -%s\n", kBaselineLine, "GetBaselinePts");
        return -1;
    }
    *pBasePts = best;
    return chosen;
}

int CMultiStreamSyncParser::GetStreamTime(int index, unsigned int* pSeconds) {
    if (pSeconds == nullptr) return D::RefuseNullOutput(*this, "GetStreamTime");
    if (!D::ValidIndex(*this, index)) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "invalid stream index:%d\n", index);
        *pSeconds = kNoTimeSeconds;
        return -1;
    }
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) {  // a reset is under way: the read node is not ours to read
        *pSeconds = kNoTimeSeconds;
        return -1;
    }
    uint8_t* stored = m_StreamTime[index];
    // Only a waiting node is read: the one after the last waiting frame may
    // be half-written by the reader thread. Acquire parseNum for its contents.
    if (mssp::WaitingCount(m_pStreamHead[index]) > 0) {
        const MSSP_FrameNode_t* node = D::ReadNode(*this, index);
        const bool oldDevice = OldDevice();
        uint32_t want = 0, hourAt = 0;
        if (node->frameType == MSSP_FRAME_I && oldDevice) {
            want = kOldTimeBytes;
            hourAt = kOldHourAt;
        } else if (node->frameType == MSSP_FRAME_I ||
                   (!oldDevice && node->frameType == MSSP_FRAME_AUDIO && InAudioSegment(node))) {
            want = kNewTimeBytes;
            hourAt = kNewHourAt;
        }
        D::Place place;
        // A frame outside the ring or too short to hold its time is not read.
        uint8_t joined[kOldTimeBytes] = {};
        const uint8_t* head = nullptr;
        if (want != 0 && D::GetPlace(*this, node, place)) head = D::FrameHead(*this, index, place, want, joined);
        // The bytes are a time only when the frame has the expected layout:
        // anything that is no time of day (hour above 23, minute or second
        // above 59) keeps the last time instead of reporting one past a day.
        if (head != nullptr && head[hourAt] <= kMaxHour && head[hourAt + 1] <= kMaxMinSec &&
            head[hourAt + 2] <= kMaxMinSec)
            std::memcpy(stored, head + hourAt, 3);
    }
    if (stored[0] == kNoHour) {
        *pSeconds = kNoTimeSeconds;
        return -1;
    }
    *pSeconds = stored[0] * 3600u + stored[1] * 60u + stored[2];
    return 0;
}

int CMultiStreamSyncParser::GetFrame(unsigned char** ppData1, int* pLen1, unsigned char** ppData2, int* pLen2,
                                     int* pFrameType, unsigned long long* pPts, unsigned int* pFlag, int* pChannel,
                                     int direction, unsigned char bConvert) {
    if (ppData1 == nullptr || pLen1 == nullptr || ppData2 == nullptr || pLen2 == nullptr || pFrameType == nullptr ||
        pPts == nullptr)
        return D::RefuseNullOutput(*this, "GetFrame");
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) return -1;  // a reset is under way: nothing is delivered now
    for (;;) {  // a new pass after each frame skipped by the jump level
        uint64_t best = 0;
        MSSP_FrameNode_t* node = nullptr;
        const int chosen = D::Choose(*this, direction, bConvert, &best, &node);
        if (chosen < 0) return -1;

        if (D::SkippedByJumpLevel(*this, chosen, node)) {
            D::Release(*this, chosen);
            continue;
        }
        D::Place place;
        if (!D::GetPlace(*this, node, place)) return D::RefuseBadPlace(*this, "GetFrame", chosen, node);
        D::SetPieces(*this, chosen, place, ppData1, pLen1, ppData2, pLen2);
        *pFrameType = node->frameType;
        *pPts = best;
        if (pFlag != nullptr) *pFlag = LoadFlags(node);
        const int channel = D::Channel(*this, chosen);
        if (pChannel != nullptr) *pChannel = channel;

        const int c = D::FrameChannel(*this, chosen, place);
        if (c != channel) return D::RefuseChannel(*this, chosen, channel, c, node->frameType);
        MsspGate::Hold(*this, chosen);
        if (!IsTimingMedium(node) || bConvert != 0) return chosen;

        const uint64_t nodePts = NodePts(node);  // (read here: the node is ours while delivered)
        const int32_t step = D::Step32(best, m_pLastPts[chosen]);
        if (step > kMaxSteadyStep) D::PrintJump(*this, "GetFrame", m_pLastPts[chosen], nodePts, step);
        if (D::Discontinuous(*this, chosen, step) && pFlag != nullptr) *pFlag |= kDiscontinuityFlag;
        m_pLastPts[chosen] = nodePts;
        return chosen;
    }
}

int CMultiStreamSyncParser::GetFrameEx(int index, unsigned char** ppData1, int* pLen1, unsigned char** ppData2,
                                       int* pLen2, tag_MSSP_GetFrameInfo* pInfo, unsigned char bConvert) {
    if (!D::ValidIndex(*this, index)) return D::RefuseBadIndex(*this, "GetFrameEx", index);
    if (ppData1 == nullptr || pLen1 == nullptr || ppData2 == nullptr || pLen2 == nullptr)
        return D::RefuseNullOutput(*this, "GetFrameEx");
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) return -1;  // a reset is under way: nothing is delivered now
    MSSP_StreamHead_t* head = m_pStreamHead[index];
    for (;;) {  // again after each frame skipped by the jump level
        // Acquire parseNum: the nodes it counts are complete.
        const int32_t waiting = mssp::WaitingCount(head);
        if (waiting <= 0) return -1;
        MSSP_FrameNode_t* node = D::ReadNode(*this, index);
        if (LoadFlags(node) & kFlagNewSegment) D::SetWait(*this, index, 1);
        if (m_bWaitIFrame[index]) {
            if (!IsKeyFrame(node)) {
                const int type = node->frameType;
                mssp::Log(this, mssp::kLogDebug, "drop a frame index:%d type:%d...\n", index, type);
                D::Release(*this, index);
                MSSP_LOC();
                mssp::Log(this, mssp::kLogInfo,
                          "Request I frame not stream index:%d, FrameNum=%d frameType=%d parseNum=%d getNum=%d\n",
                          index, waiting, type, static_cast<int>(mssp::LoadRelaxed(head->parseNum)),
                          static_cast<int>(mssp::LoadRelaxed(head->getNum)));
                return -1;
            }
            D::SetWait(*this, index, 0);
        }
        if (D::SkippedByJumpLevel(*this, index, node)) {
            D::Release(*this, index);
            continue;
        }
        D::Place place;
        if (!D::GetPlace(*this, node, place)) return D::RefuseBadPlace(*this, "GetFrameEx", index, node);
        const uint64_t nodePts = NodePts(node);
        const int channel = D::Channel(*this, index);
        D::SetPieces(*this, index, place, ppData1, pLen1, ppData2, pLen2);
        if (pInfo != nullptr) {
            pInfo->pts = nodePts;
            pInfo->frameType = node->frameType;
            pInfo->flags = LoadFlags(node);
            pInfo->channel = static_cast<uint8_t>(channel);
            pInfo->year = node->time[0];
            pInfo->month = node->time[1];
            pInfo->day = node->time[2];
            pInfo->hour = node->time[3];
            pInfo->minute = node->time[4];
            pInfo->second = node->time[5];
        }
        if (IsTimingFrame(node)) {
            if (bConvert != 0 && !IsComplete(node)) {
                const unsigned long long converted = GetCovertedPts(index, node);
                if (pInfo != nullptr) pInfo->pts = converted;
                if (converted == 0) {
                    mssp::LogPuts(this, mssp::kLogDebug, "get pts failed, covert pts is 0");
                    return -1;
                }
            } else if (IsComplete(node) && nodePts == 0) {
                mssp::Log(this, mssp::kLogDebug, "ch%d pts is 0 throw it\n", index);
                D::Release(*this, index);
                return -1;
            }
        }
        const int c = D::FrameChannel(*this, index, place);
        if (c != channel) {
            MSSP_LOC();
            mssp::Log(this, mssp::kLogError, "invalid frame:index:%d ch(%d!=%d) type:%d\n", index, channel, c,
                      node->frameType);
            D::Release(*this, index);
            D::SetWait(*this, index, 1);
            return -1;
        }
        MsspGate::Hold(*this, index);
        if (!IsTimingMedium(node) || bConvert != 0) return 0;

        const int32_t step = D::Step32(nodePts, m_pLastPts[index]);
        if (step > kMaxSteadyStep) D::PrintJump(*this, "GetFrameEx", m_pLastPts[index], nodePts, step);
        if (D::Discontinuous(*this, index, step) && pInfo != nullptr) pInfo->flags |= kDiscontinuityFlag;
        m_pLastPts[index] = nodePts;
        return 0;
    }
}

int CMultiStreamSyncParser::ReleaseFrame(int index) {
    if (!D::ValidIndex(*this, index)) return D::RefuseBadIndex(*this, "ReleaseFrame", index);
    // A release of a held frame goes on during a reset: the reset waits for it.
    MsspGate::Scope gate(*this, index);
    if (!gate.Entered()) return -1;
    if ((m_HeldMask & (1u << index)) != 0) {
        // The host is done with the frame: the hold goes first (a reset
        // waiting for it still waits for this call to end), so that the
        // release below finds nothing held.
        MsspGate::Unhold(*this, index);
        // A reset gave up waiting for this frame and refilled the stream:
        // the counters belong to the new frames. (A reset that writes the
        // frame off only now, as its wait ran out, resets the counters
        // after this call either way.)
        if (MsspGate::ResetSinceHold(*this, index)) return 0;
    }
    return D::Release(*this, index);
}

int CMultiStreamSyncParser::GetFrameInfo(unsigned char index, tag_MSSP_GetFrameInfo* pInfo) {
    if (index >= m_StreamNum) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "invalid stream index:%d\n", index);
        return -2;
    }
    if (pInfo == nullptr) return D::RefuseNullOutput(*this, "GetFrameInfo");
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) return -1;  // a reset is under way: no frame waiting yet
    MSSP_StreamHead_t* head = m_pStreamHead[index];
    // Acquire parseNum: the nodes it counts are complete.
    const int32_t waiting = mssp::WaitingCount(head);
    const int state = mssp::LoadRelaxed(head->state);
    if (waiting <= 0) {
        if (state > kStateOver) {
            mssp::Log(this, mssp::kLogDebug,
                      "CMultiStreamSyncParser::GetFrameInfo @@@@@index %d run heer, so playback over, flag%d\n", index,
                      state);
            return -2;
        }
        mssp::Log(this, mssp::kLogDebug, "CMultiStreamSyncParser::GetFrameInfo index %d no frame framenum=%d flag=%d\n",
                  index, waiting, state);
        return -1;
    }
    const uint32_t first = D::ReadIndex(*this, index);
    const MSSP_FrameNode_t* node = D::NodeAt(*this, index, first);
    if (!IsTimingFrame(node)) {
        const int32_t limit = D::ScanLimit(*this, waiting);
        int32_t k = 1;
        node = nullptr;
        uint32_t n = first;
        for (; k < limit; ++k) {
            n = mssp::NextIndex(n, static_cast<uint32_t>(m_FrameNum));
            if (n == 0) {
                mssp::Log(this, mssp::kLogDebug,
                          "CMultiStreamSyncParser::GetFrameInfo index %d circling, firt=%d next=%d max=%d\n", index,
                          static_cast<int>(first), k, m_FrameNum);
            }
            const MSSP_FrameNode_t* candidate = D::NodeAt(*this, index, n);
            if (IsVideo(candidate)) {
                node = candidate;
                break;
            }
        }
        if (node == nullptr) {
            mssp::Log(this, mssp::kLogDebug,
                      "CMultiStreamSyncParser::GetFrameInfo index %d run heer parse=%d get=%d num=%d next=%d\n", index,
                      static_cast<int>(mssp::LoadRelaxed(head->parseNum)),
                      static_cast<int>(mssp::LoadRelaxed(head->getNum)), waiting, k);
            return -1;
        }
    }
    pInfo->frameType = node->frameType;
    pInfo->refType = node->refType;
    pInfo->frameRate = node->frameRate & kFrameRateBits;
    pInfo->pts = NodePts(node);
    pInfo->width = NodeU16(node, offsetof(MSSP_FrameNode_t, width));
    pInfo->height = NodeU16(node, offsetof(MSSP_FrameNode_t, height));
    return 0;
}

int CMultiStreamSyncParser::GetChnStatusEx(int index, unsigned char /*unused*/) {
    if (!D::ValidIndex(*this, index)) {
        mssp::Log(this, mssp::kLogError, "index %d is invalid, stream num:%d\n", index, m_StreamNum);
        return 0;
    }
    // Acquire parseNum: the count of waiting frames.
    if (mssp::WaitingCount(m_pStreamHead[index]) > 0) return 2;
    return D::StreamOver(*this, index) ? 0 : 1;
}
