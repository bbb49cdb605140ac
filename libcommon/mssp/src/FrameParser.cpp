// Frame parser: cuts the next pack out of a stream's data ring (normal play)
// or stores the I-frame pack the host returns (trick play), checks it and
// commits it as the stream's next frame node.
// Runs on the reader thread that owns the stream; it is the only writer of
// the stream's nodes, `lastIndex` and `parseNum`, while the playback thread
// reads published nodes concurrently. It does not decode headers (the
// header functions do) and does not hand frames out.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DeliveryOrder.h"
#include "FrameFormat.h"
#include "MsspInternal.h"

namespace {

constexpr uint32_t kSearchMinLen = 43;     // above this many unparsed bytes, search before reading
constexpr uint32_t kNewSegKeepLen = 9;     // at most this many old bytes are given up for a new segment
constexpr int kMaxReadsPerCall = 4;        // reads of kMaxReadLen per call
// Reads the header search may make in one call. Bytes without any header
// (zeros, another file's contents) would otherwise keep the reader inside one
// call for as long as the host supplies them, and the thread would see no
// Idle or stop request meanwhile; the search goes on at the next call.
constexpr int kMaxSearchReadsPerCall = 4;
constexpr int kNewHeaderLen = 12;
constexpr int kOldVideoHeaderLen = 24;
constexpr int kOldAudioHeaderLen = 8;
constexpr uint8_t kFlagNewSegment = 0x01;   // node flags bit 0
constexpr uint8_t kFlagLastOfSegment = 0x02;  // node flags bit 1
constexpr int kDeviceGroupOldFormat = 3;
// Trick-play packs given up in a row before the stream is ended: a host that
// returns the same damaged I-frame again and again (or nothing but damaged
// ones) would otherwise be asked forever, and delivery would wait for the
// stream for good.
constexpr uint8_t kMaxTrickRejects = 8;

}  // namespace

// Private helpers of the frame parser; a friend of the class.
struct MsspParser {
    using P = CMultiStreamSyncParser;

    static bool OldFormat() { return mssp::LoadRelaxed(g_DeviceGroup) == kDeviceGroupOldFormat; }

    // Frames stored and not yet released (signed).
    static int32_t Pending(P& p, int i) {
        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        // acquire: the consumer is done with the nodes and bytes it released
        const uint32_t got = mssp::LoadAcquire(head->getNum);
        const uint32_t parsed = mssp::LoadRelaxed(head->parseNum);  // this thread's own counter
        return static_cast<int32_t>(parsed - got);
    }

    static uint32_t LastByte(P& p) { return static_cast<uint32_t>(p.m_BufSize - 1); }

    static void SkipOneByte(P& p, tag_pbParserData& pd) {
        if (pd.length == 0) return;
        pd.ReadPos += 1;
        if (pd.ReadPos > pd.EndPos) {
            pd.ReadPos = 0;
            pd.EndPos = LastByte(p);
        }
        pd.length -= 1;
    }

    // Gives up the old segment's unparsed bytes and parses the new one's.
    static void SwitchToNewSegment(P& p, tag_pbParserData& pd) {
        pd.u8NewSegData = 0;
        pd.u8AudioSeg = pd.reserved47;  // the new segment's audio attribute, kept aside by ReadData
        pd.ReadPos = pd.NewSegPos;
        pd.length = pd.NewSegLen;
        pd.EndPos = LastByte(p);
    }

    // A count, index or place read back from the shared segment that the
    // stream cannot hold: another process wrote into the segment. The stream
    // starts again empty (its unparsed and stored frames are given up, the
    // host's position stays) rather than use the value.
    [[gnu::cold, gnu::noinline]] static int ResetCorrupt(P& p, int i, const char* what, long long value) {
        tag_pbParserData& pd = p.Parser(i);
        MSSP_LOC_AS("ParseFrame");
        mssp::Log(&p, mssp::kLogError, "impossible %s:%lld in the shared segment:index:%d, stream reset\n", what, value,
                  i);
        pd.u8PackPending = 0;
        pd.PackLen = 0;
        pd.u8NewSegData = 0;
        pd.NewSegLen = 0;
        pd.NewSegPos = 0;
        pd.u8NodeFull = 0;
        pd.u8SegFlag = 0;
        pd.ReadPos = 0;
        pd.length = 0;
        pd.EndPos = LastByte(p);
        p.m_pTrickData[i] = nullptr;
        p.m_TrickLen[i] = 0;
        p.m_TrickNewSeg[i] = 0;
        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        // publish: no frame waits (parseNum first, as a buffer reset does)
        mssp::StoreRelease(head->parseNum, 0u);
        mssp::StoreRelease(head->getNum, 0u);
        mssp::StoreRelease(p.m_pNodeCursor[i]->getIndex, 0u);
        mssp::StoreRelease(p.m_pNodeCursor[i]->lastIndex, -1);
        MsspOrder::Note(p, 1u << i);
        return 0;
    }

    // True when a waiting count is one the node ring can hold (either sign:
    // a count a little below 0 is left by a reset racing a release).
    static bool PendingPossible(P& p, int32_t pending) {
        return static_cast<uint32_t>(pending + p.m_FrameNum) <= static_cast<uint32_t>(2 * p.m_FrameNum);
    }

    // Marks the stream over, for the reader loop and delivery.
    static void SetOver(P& p, int i) {
        // release: the nodes stored before the end are visible with the state
        mssp::StoreRelease(p.m_pStreamHead[i]->state, MSSP_STATUS_OVER);
        MsspOrder::Note(p, 1u << i);
    }

    static void StreamOver(P& p, int i, bool mark) {
        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        if (mark) SetOver(p, i);
        MSSP_LOC_AS("ParseFrame");
        mssp::Log(&p, mssp::kLogInfo, "stream over:index:%d chn:%d\n", i,
                  static_cast<int>(mssp::LoadRelaxed(head->channel)));
    }

    // Header and extension length H of the decoded pack.
    static uint32_t HeaderLen(const tag_pbParserData& pd, bool old) {
        if (!old) return kNewHeaderLen + pd.ExtLen;
        if (pd.pFrameInfo->frameType == MSSP_FRAME_AUDIO) return kOldAudioHeaderLen;
        return kOldVideoHeaderLen + pd.ExtLen;
    }

    // A decoded pack must be exactly header + payload (an old header's 32-bit
    // payload length may wrap PackLen round) and must fit the ring with the
    // room of mssp::kPackRoom beside it.
    static bool PackLenUsable(P& p, const tag_pbParserData& pd, bool old) {
        const uint64_t expected = static_cast<uint64_t>(HeaderLen(pd, old)) + pd.FrameLen;
        if (expected != pd.PackLen) return false;
        return static_cast<long long>(pd.PackLen) <= static_cast<long long>(p.m_BufSize) - mssp::kPackRoom;
    }

    // Runs the header function on the unparsed bytes and drops the bytes
    // before the point where the search stopped.
    static int SearchHeader(P& p, int i, bool old) {
        tag_pbParserData& pd = p.Parser(i);
        unsigned char* ring = p.m_pStreamBuf[i];
        const uint32_t firstPiece = pd.EndPos - pd.ReadPos + 1;
        uint32_t la = pd.length;
        uint32_t lb = 0;
        unsigned char* b = nullptr;
        if (pd.length > firstPiece) {
            la = firstPiece;
            lb = pd.length - firstPiece;
            b = ring;
        }
        const int r = old ? GetFrameHeaderOldVersion(ring + pd.ReadPos, la, b, lb, &pd)
                          : GetFrameHeader(ring + pd.ReadPos, la, b, lb, &pd);
        // The positions come back from the header function: keep them within
        // the pieces it was given.
        const uint32_t off = pd.Offset < la ? pd.Offset : la;
        if (off < firstPiece) {
            pd.ReadPos += off;
            pd.length -= off;
        } else {
            const uint32_t offEx = pd.OffsetEx < lb ? pd.OffsetEx : lb;
            pd.ReadPos = offEx;
            pd.length -= firstPiece + offEx;
            pd.EndPos = LastByte(p);
        }
        return r;
    }

    // Moves ReadPos past the pack that starts there.
    static void MovePastPack(P& p, tag_pbParserData& pd, uint32_t packLen) {
        if (pd.ReadPos + packLen <= pd.EndPos + 1) {
            pd.ReadPos += packLen;
            if (pd.ReadPos == pd.EndPos + 1) {
                pd.ReadPos = 0;
                pd.EndPos = LastByte(p);
            }
        } else {
            pd.ReadPos = packLen - (pd.EndPos + 1 - pd.ReadPos);
            pd.EndPos = LastByte(p);
        }
        pd.ReadPos = mssp::Wrap(pd.ReadPos, static_cast<uint32_t>(p.m_BufSize));
        pd.length -= packLen;
    }

    // True when the payload's checksum matches the header's.
    static bool ChecksumMatches(P& p, int i, const MSSP_FrameNode_t& node, uint32_t headerLen) {
        tag_pbParserData& pd = p.Parser(i);
        unsigned char* ring = p.m_pStreamBuf[i];
        const int len = static_cast<int>(pd.PackLen - headerLen);
        // Usually the part of the payload that ends the pack holds every
        // sample: summed in place, without describing the pieces.
        const uint32_t tail = node.length2 != 0 ? node.length2 : node.length1 - headerLen;
        const uint8_t* end = ring + (node.length2 != 0 ? node.length2 : node.offset1 + node.length1);
        const int quick = mssp::CheckSumInPart(end, tail < static_cast<uint32_t>(len) ? tail : len, len);
        if (quick != mssp::kNotInOnePart) return static_cast<uint32_t>(quick) == pd.CheckSum;
        FrameData_t data;  // one piece: only it and the count are read
        data.PackNum = 1;
        FramePiece_t& piece = data.Pack[0];
        piece.pDataEx = nullptr;
        piece.LenEx = 0;
        if (node.length2 == 0) {
            piece.pData = ring + node.offset1 + headerLen;
            piece.Len = node.length1 - headerLen;
        } else if (node.length1 > headerLen) {
            piece.pData = ring + node.offset1 + headerLen;
            piece.Len = node.length1 - headerLen;
            piece.pDataEx = ring;
            piece.LenEx = node.length2;
        } else {
            piece.pData = ring + (headerLen - node.length1);
            piece.Len = node.length1 + node.length2 - headerLen;
        }
        const int sum = CalculateCheckSum(&data, len);
        return static_cast<uint32_t>(sum) == pd.CheckSum;
    }

    // Commits the pack at ReadPos (PackLen bytes, header decoded into the
    // frame-info record) as the stream's next node, or drops it by the
    // first-frame, checksum, audio-flag and new-segment rules.
    static int Commit(P& p, int i, bool trick, bool newSegMark, bool old) {
        tag_pbParserData& pd = p.Parser(i);
        const MSSP_FrameNode_t& info = *pd.pFrameInfo;
        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        MSSP_NodeCursor_t* cursor = p.m_pNodeCursor[i];
        const uint32_t packLen = pd.PackLen;
        const int type = info.frameType;
        // Trick play carries I-frames only: waiting for audio there would
        // drop every pack of a segment that carries audio.
        const int wanted = (!trick && pd.u8AudioSeg == 1) ? MSSP_FRAME_AUDIO : MSSP_FRAME_I;
        const uint32_t parseNum = mssp::LoadRelaxed(head->parseNum);  // this thread's own counter

        if (parseNum == 0 && type != wanted) {
            MovePastPack(p, pd, packLen);
            const int dropped = std::atomic_ref<int>(g_DropLen).fetch_add(static_cast<int>(packLen),
                                                                          std::memory_order_relaxed) +
                                static_cast<int>(packLen);
            mssp::Log(&p, mssp::kLogDebug, "index [%d] frame type=%d drop data droplen=%d curlen=%u\n", i, type,
                      dropped, packLen);
            return 1;
        }

        const int frameNum = p.m_FrameNum;
        const int32_t last = mssp::LoadRelaxed(cursor->lastIndex);  // this thread's own cursor
        const bool hasPrev = last >= 0 && last < frameNum;
        if (!hasPrev && last != -1) return ResetCorrupt(p, i, "lastIndex", last);
        const uint32_t frames = static_cast<uint32_t>(frameNum);
        const int n = hasPrev ? static_cast<int>(mssp::NextIndex(static_cast<uint32_t>(last), frames)) : 0;
        MSSP_FrameNode_t& node = p.m_pFrameNode[i][n];

        // frameType, refType and frameRate are stored atomically: the control
        // thread's SetFrameJumpLevel reads them without parking this thread,
        // and may still be looking at this node from an earlier lap.
        mssp::StoreRelaxed(node.frameType, MSSP_FRAME_OTHER);  // not ready while it is filled
        node.pts = info.pts;
        mssp::StoreRelaxed(node.refType, info.refType);
        node.refIndex = info.refIndex;
        mssp::StoreRelaxed(node.frameRate,
                           (node.frameRate & mssp::kCompletionMark) | (info.frameRate & 0x7F));
        node.flags2 = static_cast<uint8_t>((node.flags2 & ~0x03) | (info.flags2 & 0x01) | ((pd.u8AudioSeg & 1) << 1));
        if (type == MSSP_FRAME_I || (type == MSSP_FRAME_AUDIO && pd.u8AudioSeg == 1)) {
            std::memcpy(node.time, info.time, sizeof(node.time));
            for (int k = 0; k < 3; ++k) mssp::StoreRelaxed(p.m_LastTime[k], info.time[3 + k]);
        }

        const bool contiguous = pd.ReadPos + packLen <= pd.EndPos + 1;
        node.offset1 = pd.ReadPos;
        node.offset2 = 0;
        if (contiguous) {
            node.length1 = packLen;
            node.length2 = 0;
        } else {
            node.length1 = pd.EndPos + 1 - pd.ReadPos;
            node.length2 = packLen - node.length1;
        }

        if (!old && !ChecksumMatches(p, i, node, HeaderLen(pd, old))) {
            if (trick) {
                pd.length = 0;
                pd.EndPos = LastByte(p);
            } else {
                SkipOneByte(p, pd);  // leaves ReadPos within the ring
            }
            if (contiguous) {
                mssp::Log(&p, mssp::kLogError, "index[%d] check exam error2\n", i);
                return 1;
            }
            mssp::Log(&p, mssp::kLogError, "index[%d] check exam error\n", i);
            return 0;
        }

        MovePastPack(p, pd, packLen);

        if (type == MSSP_FRAME_AUDIO && (info.flags2 & 0x01) == 0) return contiguous ? 1 : 0;
        if (parseNum == 0 && info.pts == 0) return 1;

        if (newSegMark) {
            if (type != wanted) return 1;
            if (hasPrev) {
                // The consumer may be reading the previous node: set its
                // last-of-segment bit without disturbing the other bits.
                std::atomic_ref<uint8_t>(p.m_pFrameNode[i][last].flags)
                    .fetch_or(kFlagLastOfSegment, std::memory_order_release);
            }
            node.flags = kFlagNewSegment;
            MSSP_LOC_AS("ParseFrame");
            mssp::Log(&p, mssp::kLogInfo, "index %d New SEGMENT\n", i);
            pd.u8SegFlag &= static_cast<uint8_t>(~0x01);
        } else {
            node.flags = 0;
        }

        pd.u8Completed = 1;
        mssp::StoreRelaxed(node.frameType, type);
        mssp::StoreRelaxed(node.frameRate, node.frameRate | mssp::kCompletionMark);
        node.width = info.width;
        node.height = info.height;

        // publish: node n is complete before lastIndex names it
        mssp::StoreRelease(cursor->lastIndex, n);
        // publish: node n and lastIndex before the consumer counts the frame
        mssp::StoreRelease(head->parseNum, parseNum + 1);
        MsspOrder::Note(p, 1u << i);
        return 1;
    }

    static int StepCode(int speed) {
        switch (speed) {
            case 8: return 1;
            case 16: return 2;
            case 32: return 31;
            default: return 0;
        }
    }

    // Gives up the pending trick-play pack; ends the stream after
    // kMaxTrickRejects packs given up in a row. Returns the call's result.
    static int RejectTrickPack(P& p, int i) {
        p.m_pTrickData[i] = nullptr;
        p.m_TrickLen[i] = 0;
        p.m_TrickNewSeg[i] = 0;
        if (++p.m_TrickRejects[i] < kMaxTrickRejects) return 0;
        p.m_TrickRejects[i] = 0;
        SetOver(p, i);
        MSSP_LOC_AS("ParseFrame");
        mssp::Log(&p, mssp::kLogError,
                  "Fast back or forward, %d I-frames rejected in a row, stream over :index:%d chn:%d\n",
                  kMaxTrickRejects, i, static_cast<int>(mssp::LoadRelaxed(p.m_pStreamHead[i]->channel)));
        return -1;
    }

    // Fast forward / fast backward: one whole I-frame pack per call.
    static int TrickPlay(P& p, int i, int status, bool old) {
        tag_pbParserData& pd = p.Parser(i);
        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        const uint32_t bufSize = static_cast<uint32_t>(p.m_BufSize);
        const int32_t pending = Pending(p, i);
        if (!PendingPossible(p, pending)) return ResetCorrupt(p, i, "waiting count", pending);
        if (pending > mssp::kTrickMaxPending || pending >= p.m_FrameNum) return -1;

        if (p.m_TrickLen[i] == 0) {
            p.m_pTrickData[i] = nullptr;
            p.m_TrickNewSeg[i] = 0;
            auto read = status == MSSP_STATUS_FAST_FORWARD ? p.m_Operation.ReadNextIFrame
                                                           : p.m_Operation.ReadPrevIFrame;
            int r = -1;
            if (read != nullptr) {
                // SetStatus stores a new speed while this thread still runs in trick play.
                const int speed = mssp::LoadRelaxed(p.m_Speed);
                r = read(p.m_pUser, p.CurrentFd(i), &p.m_pTrickData[i], &p.m_TrickLen[i],
                         &p.m_TrickNewSeg[i], StepCode(speed));
            }
            // A length below 1 is no pack either: nothing could be stored.
            if (r < 1 || p.m_pTrickData[i] == nullptr || p.m_TrickLen[i] < 1) {
                SetOver(p, i);
                MSSP_LOC_AS("ParseFrame");
                mssp::Log(&p, mssp::kLogError,
                          "Fast baack or forward, read result=%d, dataptr=%p so stream over :index:%d chn:%d\n", r,
                          static_cast<void*>(p.m_pTrickData[i]), i, static_cast<int>(mssp::LoadRelaxed(head->channel)));
                p.m_pTrickData[i] = nullptr;
                p.m_TrickLen[i] = 0;
                return -1;
            }
        }

        const uint32_t len = static_cast<uint32_t>(p.m_TrickLen[i]);
        if (len >= bufSize - 1) {
            // The free size never exceeds m_BufSize - 1: waiting would
            // block the stream for good.
            MSSP_LOC_AS("ParseFrame");
            mssp::Log(&p, mssp::kLogError, "invalid packlen:index:%d PackLen:%u m_BufSize:%d\n\n", i, len, p.m_BufSize);
            return RejectTrickPack(p, i);
        }
        const int free = p.GetBufFreeSize(i);
        if (static_cast<long long>(len) >= free) return 0;
        if (free > p.m_BufSize) return ResetCorrupt(p, i, "free size", free);

        // W as GetBufFreeSize measured the room from (the data before an
        // early wrap of normal play may still be unparsed).
        const uint32_t firstPiece = pd.EndPos - pd.ReadPos + 1;
        const uint32_t w = (pd.EndPos == bufSize - 1 || pd.length < firstPiece)
                               ? mssp::Wrap(pd.ReadPos + pd.length, bufSize)
                               : mssp::Wrap(pd.length - firstPiece, bufSize);
        if (pd.length != 0) {
            MSSP_LOC_AS("ParseFrame");
            mssp::Log(&p, mssp::kLogError, "fatal err:Parse[%d].length:%u\n\n", i, pd.length);
            // The pack is committed from ReadPos: give up the unparsed bytes
            // so that ReadPos is where the pack lands.
            pd.ReadPos = w;
            pd.length = 0;
        }
        pd.EndPos = bufSize - 1;

        if (p.m_TrickNewSeg[i] != 0) {
            pd.u8ChlType = 1;
            pd.NewSegPos = w;
            pd.u8SegFlag |= 1;
            MSSP_SegmentAttr_t attr;
            std::memset(&attr, 0, sizeof(attr));
            const int s = p.m_Operation.GetSegmentInfo(p.m_pUser, p.CurrentFd(i), &attr);
            pd.u8AudioSeg = (s == 0 && (attr.attr & MSSP_SEGATTR_AUDIO)) ? 1 : 0;
            MSSP_LOC_AS("ParseFrame");
            mssp::Log(&p, mssp::kLogInfo, "New stream segment %d u8AudioSeg:%dn",
                      static_cast<int>(mssp::LoadRelaxed(head->channel)), pd.u8AudioSeg);
        }

        unsigned char* ring = p.m_pStreamBuf[i];
        const uint32_t toEnd = bufSize - w;
        if (len <= toEnd) {
            std::memcpy(ring + w, p.m_pTrickData[i], len);
        } else {
            std::memcpy(ring + w, p.m_pTrickData[i], toEnd);
            std::memcpy(ring, p.m_pTrickData[i] + toEnd, len - toEnd);
        }

        const int r = old ? GetFrameHeaderOldVersion(p.m_pTrickData[i], len, nullptr, 0, &pd)
                          : GetFrameHeader(p.m_pTrickData[i], len, nullptr, 0, &pd);
        const bool exact = r == 0 && pd.Offset == 0 && pd.PackLen == len &&
                           static_cast<uint64_t>(HeaderLen(pd, old)) + pd.FrameLen == pd.PackLen;
        if (!exact) {
            MSSP_LOC_AS("ParseFrame");
            mssp::Log(&p, mssp::kLogError,
                      "CMultiStreamSyncParser::ParseFrame error, restul=%d offset=%u packLen=%u readLen=%d\n", r,
                      pd.Offset, pd.PackLen, p.m_TrickLen[i]);
            // The same bytes would fail the same way: give the pack up and
            // ask for the next one.
            return RejectTrickPack(p, i);
        }

        pd.length += pd.PackLen;
        const bool newSegMark = (pd.u8SegFlag & 1) != 0 && pd.ReadPos <= pd.NewSegPos;
        p.m_pTrickData[i] = nullptr;
        p.m_TrickLen[i] = 0;
        p.m_TrickNewSeg[i] = 0;
        const uint32_t before = mssp::LoadRelaxed(head->parseNum);  // this thread's own counter
        const int r2 = Commit(p, i, true, newSegMark, old);
        if (mssp::LoadRelaxed(head->parseNum) != before) {
            p.m_TrickRejects[i] = 0;
            return r2;
        }
        // Not stored (checksum, first-frame rules): the pack is gone already.
        return RejectTrickPack(p, i) < 0 ? -1 : r2;
    }

    // Waits for the rest of the current pack, then commits it.
    static int FinishPack(P& p, int i, bool old) {
        tag_pbParserData& pd = p.Parser(i);
        while (pd.PackLen > pd.length) {
            if (pd.u8NewSegData) {
                SwitchToNewSegment(p, pd);
                pd.u8PackPending = 0;
                pd.PackLen = 0;
                return 1;
            }
            if (p.GetBufFreeSize(i) < mssp::kMaxReadLen) {
                pd.u8PackPending = 1;
                return -1;
            }
            if (p.ReadData(i) <= 0) {
                StreamOver(p, i, true);
                return -1;
            }
        }
        pd.u8PackPending = 0;
        const bool newSegMark = (pd.u8SegFlag & 1) != 0 && pd.u8NewSegData == 0;
        return Commit(p, i, false, newSegMark, old);
    }

    // Finds the next complete header in the unparsed bytes, reading more
    // when needed, then finishes its pack.
    static int SearchAndCommit(P& p, int i, bool old) {
        tag_pbParserData& pd = p.Parser(i);
        int reads = 0;
        for (;;) {
            const int r = SearchHeader(p, i, old);
            if (r == -2) {
                SkipOneByte(p, pd);
                continue;
            }
            if (r == -1) {
                if (pd.u8NewSegData) {
                    SwitchToNewSegment(p, pd);
                    mssp::LogPuts(
                        &p, mssp::kLogError,
                        "@@@@@@@@@@@@@@The data is not enough, so throw the left data, and process new segment");
                    return 1;
                }
                const int free = p.GetBufFreeSize(i);
                if (free < mssp::kMaxReadLen) {
                    MSSP_LOC_AS("ParseFrame");
                    mssp::Log(&p, mssp::kLogDebug, "return index %d FreeSize %d\n", i, free);
                    return -1;
                }
                // The bytes searched so far are used up: that is progress,
                // and the unparsed rest waits in the ring for the next call.
                if (++reads > kMaxSearchReadsPerCall) return 1;
                if (p.ReadData(i) > 0) continue;
                StreamOver(p, i, true);
                return -1;
            }
            if (r != 0) {
                SkipOneByte(p, pd);
                continue;
            }
            if (!PackLenUsable(p, pd, old)) {
                SkipOneByte(p, pd);
                MSSP_LOC_AS("ParseFrame");
                mssp::Log(&p, mssp::kLogError,
                          "invalid packlen:index:%d FrameLen:%u PackLen:%u FrameType:%d m_BufSize:%d\n\n", i,
                          pd.FrameLen, pd.PackLen, pd.pFrameInfo->frameType, p.m_BufSize);
                return 0;
            }
            return FinishPack(p, i, old);
        }
    }

    static int NormalPlay(P& p, int i, bool old) {
        tag_pbParserData& pd = p.Parser(i);
        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        const int32_t pending = Pending(p, i);
        if (!PendingPossible(p, pending)) return ResetCorrupt(p, i, "waiting count", pending);

        // Node ring hysteresis (bounds in MsspInternal.h: every ring reaches
        // both, and delivery never waits on a paused reader).
        const int pauseAt = mssp::NodePauseAt(p.m_FrameNum);
        const int resumeBelow = mssp::NodeResumeBelow(p.m_FrameNum);
        if (pd.u8NodeFull) {
            if (pending >= resumeBelow) return -1;
            pd.u8NodeFull = 0;
        } else if (pending >= pauseAt) {
            pd.u8NodeFull = 1;
            return -1;
        }

        if (pd.u8PackPending) return FinishPack(p, i, old);
        if (pd.length > kSearchMinLen) return SearchAndCommit(p, i, old);
        if (pd.u8NewSegData) {
            if (pd.length > kNewSegKeepLen) return SearchAndCommit(p, i, old);
            SwitchToNewSegment(p, pd);
        }

        // A free size of exactly kMaxReadLen is room for a read (one byte
        // stays free): refusing it would stall a stream for good whose write
        // position lies kMaxReadLen + 1 bytes before the ring's end.
        const int free = p.GetBufFreeSize(i);
        if (free < mssp::kMaxReadLen) {
            if (pending < 0) {
                mssp::StoreRelease(head->parseNum, 0u);
                mssp::StoreRelease(head->getNum, 0u);
                MsspOrder::Note(p, 1u << i);
            }
            return -1;
        }
        if (free > p.m_BufSize) {
            // Only a frame place outside the ring gives this (see
            // GetBufFreeSize): a value from the shared segment, not a reason
            // to end the recorder's process.
            MSSP_LOC_AS("ParseFrame");
            mssp::Log(&p, mssp::kLogError, "fatal err:FreeSize:%d m_BufSize:%d\n\n", free, p.m_BufSize);
            return ResetCorrupt(p, i, "free size", free);
        }

        int reads = free / mssp::kMaxReadLen;
        if (reads > kMaxReadsPerCall) reads = kMaxReadsPerCall;
        // Without its first frame a stream reads no further than that frame
        // needs (FinishPack reads the rest of a longer pack): the other
        // streams' first frames come sooner after a reset.
        if (mssp::LoadRelaxed(head->parseNum) == 0) reads = 1;  // this thread's own counter
        for (int k = 0; k < reads; ++k) {
            // The room shrinks with every read and an early wrap moves the
            // write position: look again before each further read.
            if (k > 0 && p.GetBufFreeSize(i) < mssp::kMaxReadLen) break;
            if (p.ReadData(i) > 0) {
                if (pd.u8NewSegData) {
                    if (pd.length != 0) break;
                    return 1;
                }
                continue;
            }
            StreamOver(p, i, k == 0 && pd.length <= kSearchMinLen);
            break;
        }
        return SearchAndCommit(p, i, old);
    }
};

int CMultiStreamSyncParser::ParseFrame(int index) {
    if (index < 0 || index >= m_StreamNum) return -1;
    tag_pbParserData& pd = Parser(index);
    if (pd.pFrameInfo == nullptr || pd.pTempBuf == nullptr) return -1;
    // The recorded format, read once per call (another group's constructor
    // may rewrite the process-wide device group meanwhile).
    const bool old = MsspParser::OldFormat();
    const int status = mssp::LoadRelaxed(m_Status);
    if (status == MSSP_STATUS_FAST_FORWARD || status == MSSP_STATUS_FAST_BACKWARD)
        return MsspParser::TrickPlay(*this, index, status, old);
    return MsspParser::NormalPlay(*this, index, old);
}
