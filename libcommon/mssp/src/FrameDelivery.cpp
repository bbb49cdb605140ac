// Synchronised frame delivery: timestamps of waiting frames and their
// conversion onto a common wall-clock timeline, the choice of the next frame
// across streams (GetFrame) or of one stream (GetFrameEx), its release, and
// the read-only queries on buffered frames. Runs on the host's playback
// thread, the single consumer of every stream; it never reads recorded data
// from the host, never fills nodes, and never allocates on the delivery path
// (one conversion record per stream is created on its first conversion).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "MsspInternal.h"
#include "ResetGate.h"

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
constexpr int32_t kReaderPauseMargin = 6;     // the reader pauses at frameNum - 5 waiting frames
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

    static bool ValidIndex(P& p, int index) { return index >= 0 && index < p.m_StreamNum; }

    // getIndex is the consumer's own field; a value outside the node array
    // (only a corrupt shared segment holds one) is taken modulo its size.
    static uint32_t ReadIndex(P& p, int index) {
        return mssp::LoadRelaxed(p.m_pNodeCursor[index]->getIndex) % static_cast<uint32_t>(p.m_FrameNum);
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

    static void PrintBadPlace(int index, const Place& place) {
        std::printf("invalid frame place:index:%d offset1:%u length1:%u offset2:%u length2:%u\n", index,
                    place.offset1, place.length1, place.offset2, place.length2);
    }

    // First data byte as a channel number (an ASCII digit on old devices).
    static int FrameChannel(P& p, int index, const Place& place) {
        int c = p.m_pStreamBuf[index][place.offset1];
        if (OldDevice()) c -= kAsciiZero;
        return c;
    }

    // Frame-jump test of a video frame at the stream's level; never on old devices.
    static bool SkippedByJumpLevel(P& p, int index, const MSSP_FrameNode_t* node) {
        if (OldDevice() || !IsVideo(node)) return false;
        // The control thread writes the level; a single byte, no order needed.
        const uint8_t level = mssp::LoadRelaxed(p.m_JumpLevel[index]);
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
    // that video: the stream is live and its reader can store more nodes.
    // (With the node ring nearly full the reader pauses, so waiting could
    // never end.)
    static bool VideoMayFollow(P& p, int index, const MSSP_FrameNode_t* node, int32_t waiting) {
        return !IsTimingFrame(node) && !StreamOver(p, index) && waiting < p.m_FrameNum - kReaderPauseMargin;
    }

    // Frees the read node of a stream: the consumer's side of the hand-over.
    // Used by ReleaseFrame and by the delivery calls that throw frames away.
    static int Release(P& p, int index) {
        MSSP_StreamHead_t* head = p.m_pStreamHead[index];
        // Acquire parseNum: only a frame counted as waiting may be released, so
        // that getNum never passes parseNum.
        if (mssp::WaitingCount(head) <= 0) {
            MSSP_LOC();
            std::printf("no frame to release:index:%d\n", index);
            return -1;
        }
        const uint32_t next = (ReadIndex(p, index) + 1) % static_cast<uint32_t>(p.m_FrameNum);
        // Release: the reader may reuse the node and its ring bytes once getNum counts them.
        mssp::StoreRelease(head->getNum, mssp::LoadRelaxed(head->getNum) + 1);
        // Release: the new read position, after getNum (the reader reads both for its free space).
        mssp::StoreRelease(p.m_pNodeCursor[index]->getIndex, next);
        // The read node was the held frame, if any: it is gone now.
        if (p.m_HeldMask & (1u << index)) MsspGate::Unhold(p, index);
        return 0;
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
    *pPts = 0;
    if (!D::ValidIndex(*this, index)) {
        MSSP_LOC();
        std::printf("invalid stream index:%d\n", index);
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
        const int32_t limit = D::ScanLimit(*this, waiting);
        for (int32_t k = 1; k < limit; ++k) {
            node = D::NodeAt(*this, index, (first + static_cast<uint32_t>(k)) % static_cast<uint32_t>(m_FrameNum));
            if (IsVideo(node)) {
                *pPts = NodePts(node);
                return 0;
            }
        }
    }
    std::printf("CMultiStreamSyncParser::GetStreamPTS failed, index=%d num=%d\n", index, waiting);
    return -1;
}

unsigned long long CMultiStreamSyncParser::GetCovertedPts(int index, const MSSP_FrameNode_t* pNode) {
    if (!D::ValidIndex(*this, index) || pNode == nullptr) {
        MSSP_LOC();
        std::printf("invalid stream index:%d\n", index);
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
            std::printf(" index[%d] !!!!First adjust, but not I frame!!!\n", index);
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
        std::printf("index=%d inti iframe %d:%d:%d base=%lld\n", index, pNode->time[3], pNode->time[4],
                    pNode->time[5], static_cast<long long>(r->baseMs));
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
    std::printf("reset=%d inti iframe %d:%d:%d base=%lld span=%d\n", index, pNode->time[3], pNode->time[4],
                pNode->time[5], static_cast<long long>(r->baseMs), static_cast<int>(step));
    return r->curPts;
}

int CMultiStreamSyncParser::GetBaselinePts(int* /*unused*/, unsigned long long* pBasePts, int direction,
                                           unsigned char bConvert) {
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
            if (LoadFlags(node) == kFlagNewSegment) m_bWaitIFrame[i] = 1;
            if (m_bWaitIFrame[i]) {
                if (IsKeyFrame(node)) {
                    m_bWaitIFrame[i] = 0;
                    // Mark the start of the new sequence for delivery; a
                    // concurrent "last before a new segment" bit is kept.
                    std::atomic_ref<uint8_t> flags(node->flags);
                    flags.fetch_and(kFlagNewSegment | kFlagLastOfSegment, std::memory_order_relaxed);
                    flags.fetch_or(kFlagNewSegment, std::memory_order_relaxed);
                } else {
                    if (waiting == 1 && !D::StreamOver(*this, i)) return -1;
                    std::printf("drop a frame index:%d type:%d pts:%llu getNum=%d parNum=%d frameType=%d\n", i,
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
                    std::printf("index=%d GetBaselinePts covet pts failed\n", i);
                    return -1;
                }
            } else {
                GetStreamPTS(i, &p);
            }
            if ((direction > 0 && p != 0 && p < best) || (direction < 0 && p > best)) {
                best = p;
                chosen = i;
            }
            break;
        }
    }
    if (chosen < 0) {
        std::printf("========================%d -%s\n", kBaselineLine, "GetBaselinePts");
        return -1;
    }
    *pBasePts = best;
    return chosen;
}

int CMultiStreamSyncParser::GetStreamTime(int index, unsigned int* pSeconds) {
    if (!D::ValidIndex(*this, index)) {
        MSSP_LOC();
        std::printf("invalid stream index:%d\n", index);
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
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) return -1;  // a reset is under way: nothing is delivered now
    for (;;) {  // a new pass after each frame skipped by the jump level
        uint64_t best = direction > 0 ? UINT64_MAX : 0;
        int chosen = -1;
        int32_t chosenWaiting = 0;
        for (int i = 0; i < m_StreamNum; ++i) {
            // Acquire parseNum: the nodes it counts are complete.
            const int32_t waiting = mssp::WaitingCount(m_pStreamHead[i]);
            if (waiting <= 0) {
                if (D::StreamOver(*this, i)) continue;
                return -1;  // a live stream has nothing yet: no order can be decided
            }
            MSSP_FrameNode_t* node = D::ReadNode(*this, i);
            if (LoadFlags(node) & kFlagNewSegment) m_bWaitIFrame[i] = 1;
            if (m_bWaitIFrame[i]) {
                if (!IsKeyFrame(node)) {
                    std::printf("CH drop a frame index:%d type:%d...\n", i, node->frameType);
                    D::Release(*this, i);
                    return -1;
                }
                m_bWaitIFrame[i] = 0;
            }
            unsigned long long p = 0;
            if (bConvert != 0 && !IsComplete(node)) {
                p = GetCovertedPts(i, node);
            } else {
                // GetStreamPTS's answer for a waiting timing frame is its own
                // pts: take it from the node in hand instead of re-entering the
                // per-stream checks for every stream of every call.
                if (IsTimingFrame(node)) p = NodePts(node);
                else GetStreamPTS(i, &p);
                if (p == 0 && D::VideoMayFollow(*this, i, node, waiting)) {
                    // Audio of an ordinary segment is timed by the video frame
                    // behind it, which the reader has not stored yet: wait for
                    // it rather than throw the audio (and, through the key-frame
                    // wait, the P-frames after it) away.
                    return -1;
                }
                if (p == 0) {
                    std::printf("ch%d pts is 0 throw it\n", i);
                    D::Release(*this, i);
                    m_bWaitIFrame[i] = 1;
                    return -1;
                }
            }
            if ((direction > 0 && p < best) || (direction < 0 && p > best)) {
                best = p;
                chosen = i;
                chosenWaiting = waiting;
            }
        }
        if (chosen < 0 || best == 0) return -1;

        MSSP_FrameNode_t* node = D::ReadNode(*this, chosen);
        if (D::SkippedByJumpLevel(*this, chosen, node)) {
            D::Release(*this, chosen);
            continue;
        }
        D::Place place;
        if (!D::GetPlace(*this, node, place)) {
            MSSP_LOC();
            D::PrintBadPlace(chosen, place);
            D::Release(*this, chosen);
            m_bWaitIFrame[chosen] = 1;
            return -1;
        }
        const uint64_t nodePts = NodePts(node);
        D::SetPieces(*this, chosen, place, ppData1, pLen1, ppData2, pLen2);
        *pFrameType = node->frameType;
        *pPts = best;
        if (pFlag != nullptr) *pFlag = LoadFlags(node);
        const int channel = D::Channel(*this, chosen);
        if (pChannel != nullptr) *pChannel = channel;

        const int c = D::FrameChannel(*this, chosen, place);
        if (c != channel) {
            MSSP_LOC();
            std::printf("invalid frame:index:%d type:%d 0x%x FrameNum:%d\n", channel, node->frameType,
                        static_cast<unsigned>(c), chosenWaiting);
            D::Release(*this, chosen);
            m_bWaitIFrame[chosen] = 1;
            return -1;
        }
        MsspGate::Hold(*this, chosen);
        if (!IsTimingMedium(node) || bConvert != 0) return chosen;

        const int32_t step = D::Step32(best, m_pLastPts[chosen]);
        if (step > kMaxSteadyStep) {
            std::printf("CMultiStreamSyncParser::GetFrame big pts jump %lld->%lld span=%d\n",
                        static_cast<long long>(m_pLastPts[chosen]), static_cast<long long>(nodePts), step);
        }
        if (D::Discontinuous(*this, chosen, step) && pFlag != nullptr) *pFlag |= kDiscontinuityFlag;
        m_pLastPts[chosen] = nodePts;
        return chosen;
    }
}

int CMultiStreamSyncParser::GetFrameEx(int index, unsigned char** ppData1, int* pLen1, unsigned char** ppData2,
                                       int* pLen2, tag_MSSP_GetFrameInfo* pInfo, unsigned char bConvert) {
    if (!D::ValidIndex(*this, index)) {
        MSSP_LOC();
        std::printf("invalid stream index:%d\n", index);
        return -1;
    }
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) return -1;  // a reset is under way: nothing is delivered now
    MSSP_StreamHead_t* head = m_pStreamHead[index];
    for (;;) {  // again after each frame skipped by the jump level
        // Acquire parseNum: the nodes it counts are complete.
        const int32_t waiting = mssp::WaitingCount(head);
        if (waiting <= 0) return -1;
        MSSP_FrameNode_t* node = D::ReadNode(*this, index);
        if (LoadFlags(node) & kFlagNewSegment) m_bWaitIFrame[index] = 1;
        if (m_bWaitIFrame[index]) {
            if (!IsKeyFrame(node)) {
                const int type = node->frameType;
                std::printf("drop a frame index:%d type:%d...\n", index, type);
                D::Release(*this, index);
                MSSP_LOC();
                std::printf("Request I frame not stream index:%d, FrameNum=%d frameType=%d parseNum=%d getNum=%d\n",
                            index, waiting, type, static_cast<int>(mssp::LoadRelaxed(head->parseNum)),
                            static_cast<int>(mssp::LoadRelaxed(head->getNum)));
                return -1;
            }
            m_bWaitIFrame[index] = 0;
        }
        if (D::SkippedByJumpLevel(*this, index, node)) {
            D::Release(*this, index);
            continue;
        }
        D::Place place;
        if (!D::GetPlace(*this, node, place)) {
            MSSP_LOC();
            D::PrintBadPlace(index, place);
            D::Release(*this, index);
            m_bWaitIFrame[index] = 1;
            return -1;
        }
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
                    std::puts("get pts failed, covert pts is 0");
                    return -1;
                }
            } else if (IsComplete(node) && nodePts == 0) {
                std::printf("ch%d pts is 0 throw it\n", index);
                D::Release(*this, index);
                return -1;
            }
        }
        const int c = D::FrameChannel(*this, index, place);
        if (c != channel) {
            MSSP_LOC();
            std::printf("invalid frame:index:%d ch(%d!=%d) type:%d\n", index, channel, c, node->frameType);
            D::Release(*this, index);
            m_bWaitIFrame[index] = 1;
            return -1;
        }
        MsspGate::Hold(*this, index);
        if (!IsTimingMedium(node) || bConvert != 0) return 0;

        const int32_t step = D::Step32(nodePts, m_pLastPts[index]);
        if (step > kMaxSteadyStep) {
            std::printf("CMultiStreamSyncParser::GetFrameEx big pts jump %lld->%lld span=%d\n",
                        static_cast<long long>(m_pLastPts[index]), static_cast<long long>(nodePts), step);
        }
        if (D::Discontinuous(*this, index, step) && pInfo != nullptr) pInfo->flags |= kDiscontinuityFlag;
        m_pLastPts[index] = nodePts;
        return 0;
    }
}

int CMultiStreamSyncParser::ReleaseFrame(int index) {
    if (!D::ValidIndex(*this, index)) {
        MSSP_LOC();
        std::printf("invalid stream index:%d\n", index);
        return -1;
    }
    // A release of a held frame goes on during a reset: the reset waits for it.
    MsspGate::Scope gate(*this, index);
    if (!gate.Entered()) return -1;
    if (MsspGate::WrittenOff(*this, index)) {
        // A reset gave up waiting for this frame and refilled the stream: the
        // counters belong to the new frames, only the hold goes.
        MsspGate::Unhold(*this, index);
        return 0;
    }
    return D::Release(*this, index);
}

int CMultiStreamSyncParser::GetFrameInfo(unsigned char index, tag_MSSP_GetFrameInfo* pInfo) {
    if (index >= m_StreamNum) {
        MSSP_LOC();
        std::printf("invalid stream index:%d\n", index);
        return -2;
    }
    MsspGate::Scope gate(*this);
    if (!gate.Entered()) return -1;  // a reset is under way: no frame waiting yet
    MSSP_StreamHead_t* head = m_pStreamHead[index];
    // Acquire parseNum: the nodes it counts are complete.
    const int32_t waiting = mssp::WaitingCount(head);
    const int state = mssp::LoadRelaxed(head->state);
    if (waiting <= 0) {
        if (state > kStateOver) {
            std::printf("CMultiStreamSyncParser::GetFrameInfo @@@@@index %d run heer, so playback over, flag%d\n", index,
                        state);
            return -2;
        }
        std::printf("CMultiStreamSyncParser::GetFrameInfo index %d no frame framenum=%d flag=%d\n", index, waiting,
                    state);
        return -1;
    }
    const uint32_t first = D::ReadIndex(*this, index);
    const MSSP_FrameNode_t* node = D::NodeAt(*this, index, first);
    if (!IsTimingFrame(node)) {
        const int32_t limit = D::ScanLimit(*this, waiting);
        int32_t k = 1;
        node = nullptr;
        for (; k < limit; ++k) {
            const uint32_t n = (first + static_cast<uint32_t>(k)) % static_cast<uint32_t>(m_FrameNum);
            if (n == 0) {
                std::printf("CMultiStreamSyncParser::GetFrameInfo index %d circling, firt=%d next=%d max=%d\n", index,
                            static_cast<int>(first), k, m_FrameNum);
            }
            const MSSP_FrameNode_t* candidate = D::NodeAt(*this, index, n);
            if (IsVideo(candidate)) {
                node = candidate;
                break;
            }
        }
        if (node == nullptr) {
            std::printf("CMultiStreamSyncParser::GetFrameInfo index %d run heer parse=%d get=%d num=%d next=%d\n", index,
                        static_cast<int>(mssp::LoadRelaxed(head->parseNum)),
                        static_cast<int>(mssp::LoadRelaxed(head->getNum)), waiting,
                        k);
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
        std::printf("index %d is invalid, stream num:%d\n", index, m_StreamNum);
        return 0;
    }
    // Acquire parseNum: the count of waiting frames.
    if (mssp::WaitingCount(m_pStreamHead[index]) > 0) return 2;
    return D::StreamOver(*this, index) ? 0 : 1;
}
