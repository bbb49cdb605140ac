// Buffer filling driven directly: where ReadData lands its bytes (early wrap
// included) and the free size GetBufFreeSize gives for ring positions, as
// two tables; new-segment reads, host errors and the fatal free-size exit.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "MsspInternal.h"
#include "ParserHarness.h"

using A = MsspTestAccess;
using msspt::ParserHarness;
using msspt::ScriptedHost;

namespace {

constexpr int kRing = 1 << 20;
constexpr int kRead = 65536;

// Raw bytes (no packs), one segment per size: byte k of segment s is (s * 100 + k + 1) & 0xFF.
msspt::Recording Raw(std::vector<size_t> sizes, bool secondHasAudio = false) {
    msspt::Recording rec;
    for (size_t s = 0; s < sizes.size(); ++s) {
        rec.segments.push_back(msspt::Segment{{26, 5, 6, 9, static_cast<uint8_t>(s), 0}, s == 1 && secondHasAudio, {}, {}});
        for (size_t k = 0; k < sizes[s]; ++k) rec.segments[s].bytes.push_back(static_cast<uint8_t>(s * 100 + k + 1));
    }
    return rec;
}

std::unique_ptr<ParserHarness> Make(msspt::Recording rec, std::vector<int> chunks = {kRead}, int ring = kRing) {
    auto h = std::make_unique<ParserHarness>("rd", 1, ring, 16);
    h->host.SetRecording(0, 0, std::move(rec));
    h->host.SetChunks(0, 0, std::move(chunks));
    h->Prime(0, 0);
    return h;
}

}  // namespace

// Ring positions before a read -> where the bytes land and the positions after.
TEST(Reader, ReadData_LandsAtTheWritePositionOrWrapsEarly) {
    struct Case {
        const char* what;
        uint32_t readPos, length, endPos;
        int chunk;
        uint32_t landAt, readPosAfter, endPosAfter;
    };
    const uint32_t last = kRing - 1;
    const Case cases[] = {
        {"in place", 300, 20, last, 5000, 320, 300, last},
        {"65535 bytes left, 40 unparsed: wrap early", kRing - kRead + 1 - 40, 40, last, 1000, 0, kRing - kRead + 1 - 40,
         kRing - kRead},
        {"65535 bytes left, nothing unparsed: start over", kRing - kRead + 1, 0, last, 1000, 0, 0, last},
        {"exactly one read left", kRing - kRead - 10, 10, last, kRead, kRing - kRead, kRing - kRead - 10, last},
        {"after an early wrap", 900000, 50001 + 300, 950000, 100, 300, 900000, 950000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto h = Make(Raw({300000}), {c.chunk});
        tag_pbParserData& pd = h->Pd(0);
        pd.ReadPos = c.readPos;
        pd.length = c.length;
        pd.EndPos = c.endPos;
        EXPECT_EQ(h->P().ReadData(0), 1);
        EXPECT_EQ(h->Ring(0)[c.landAt], 1);
        EXPECT_EQ(h->Ring(0)[c.landAt + c.chunk - 1], static_cast<uint8_t>(c.chunk));
        EXPECT_EQ(pd.length, c.length + static_cast<uint32_t>(c.chunk));
        EXPECT_EQ(pd.ReadPos, c.readPosAfter);
        EXPECT_EQ(pd.EndPos, c.endPosAfter);
        EXPECT_EQ(h->host.CallsOf(ScriptedHost::kRead).at(0).maxLen, kRead);
    }
}

// Unparsed bytes that wrap round the end, the write position within one read
// of the end: an early wrap would write over them, so the read is refused.
TEST(Reader, ReadData_WrappedUnparsedBytesAreNeverWrittenOver) {
    auto h = Make(Raw({300000}), {1000});
    tag_pbParserData& pd = h->Pd(0);
    pd.ReadPos = kRing - 100;
    pd.EndPos = kRing - 1;
    pd.length = 100 + (kRing - kRead + 10);  // they end 10 bytes past one read from the end
    EXPECT_EQ(h->P().ReadData(0), -1);
    EXPECT_EQ(h->host.Count(ScriptedHost::kRead), 0);
    EXPECT_EQ(pd.EndPos, kRing - 1);
}

// Ring positions, status and the oldest waiting frame -> free size.
TEST(Reader, GetBufFreeSize_Table) {
    struct Case {
        const char* what;
        uint32_t readPos, length;
        int status;
        uint32_t tail;       // offset of the oldest waiting frame; 0 = none waiting
        uint32_t getNum;     // frames taken (two more were parsed)
        uint32_t getIndex;   // node of the oldest waiting frame
        int free;
    };
    const uint32_t tail = 200000;  // of an early-wrapped ring
    const Case cases[] = {
        {"empty ring", 12345, 0, MSSP_STATUS_PLAY, 0, 0, 0, kRing - 1},
        {"65536 bytes left at the end: room at the start", tail, kRing - kRead - tail, MSSP_STATUS_PLAY, 0, 0, 0,
         static_cast<int>(tail) - 1},
        {"65537 bytes left", tail, kRing - kRead - tail - 1, MSSP_STATUS_PLAY, 0, 0, 0, kRead},
        {"65537 left, fast forward", tail, kRing - kRead - tail - 1, MSSP_STATUS_FAST_FORWARD, 0, 0, 0,
         static_cast<int>(tail) + kRead},
        {"65536 left, fast backward", tail, kRing - kRead - tail, MSSP_STATUS_FAST_BACKWARD, 0, 0, 0,
         static_cast<int>(tail) + kRead - 1},
        {"waiting frame holds the tail", 10, 100, MSSP_STATUS_PLAY, 700000, 10, 3, 700000 - 111},
        {"counters near their wrap", 10, 100, MSSP_STATUS_PLAY, 700000, 0xFFFFFFF0u, 3, 700000 - 111},
        {"getIndex beyond the node ring", 10, 100, MSSP_STATUS_PLAY, 700000, 10, 16 + 3, 700000 - 111},
        {"tail one byte past the write position", 10, 100, MSSP_STATUS_PLAY, 111, 10, 3, 0},
    };
    auto h = Make(Raw({1}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        h->Pd(0).ReadPos = c.readPos;
        h->Pd(0).length = c.length;
        A::Status(h->P()) = c.status;
        A::Nodes(h->P(), 0)[c.getIndex % 16].offset1 = c.tail;
        A::Cursor(h->P(), 0)->getIndex = c.getIndex;
        A::Head(h->P(), 0)->getNum = c.getNum;
        A::Head(h->P(), 0)->parseNum = c.getNum + (c.tail != 0 ? 2 : 0);
        EXPECT_EQ(h->P().GetBufFreeSize(0), c.free);
    }
}

TEST(Reader, WriteJustPastOneReadFromEnd_NothingWaiting_StillReads) {
    // 65537 bytes from the write position to the end give a free size of
    // exactly 65536: the read must go ahead, or the stream would never move.
    msspt::RecordingBuilder b;
    b.NewSegment({26, 5, 6, 9, 0, 0}).AddVideo(0, 1000, {26, 5, 6, 9, 0, 0}, 3000);
    auto h = Make(b.recording);
    h->Pd(0).ReadPos = kRing - kRead - 1 - 5;
    h->Pd(0).length = 5;  // five stray bytes
    EXPECT_EQ(h->P().ParseFrame(0), 1);
    ASSERT_EQ(h->Waiting(0), 1);
    EXPECT_TRUE(h->Oldest(0).bytes == b.packs[0].bytes);
}

TEST(Reader, NewSegmentRead_KeptAsideWithItsAudioBit) {
    auto h = Make(Raw({1000, 2000}, true));
    tag_pbParserData& pd = h->Pd(0);
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(pd.u8NewSegData, 0);
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(pd.length, 1000u) << "a new segment's bytes are not counted";
    EXPECT_EQ(pd.NewSegPos, 1000u);
    EXPECT_EQ(pd.NewSegLen, 2000u);
    EXPECT_EQ(pd.u8NewSegData, 1);
    EXPECT_EQ(pd.u8SegFlag & 1, 1);
    // Segment 0's bytes still wait to be parsed and keep its attribute;
    // segment 1's is kept aside for the switch.
    EXPECT_EQ(pd.u8AudioSeg, 0);
    EXPECT_EQ(pd.reserved47, 1);
    EXPECT_EQ(h->Ring(0)[1000], 101) << "segment 1's first byte";
    EXPECT_EQ(h->host.CallsOf(ScriptedHost::kSegmentInfo).at(0).handle, A::StreamFd(h->P(), 0, 0));
}

TEST(Reader, EndErrorOrResultAboveAskedLength_NothingCounted) {
    auto h = Make(Raw({100000}));
    h->host.SetFault(0, 0, ScriptedHost::kRead, {kRead + 1, 0, 1});
    EXPECT_LT(h->P().ReadData(0), 0);
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(h->P().ReadData(0), 0) << "end of the recording";
    h->host.SetFault(0, 0, ScriptedHost::kRead, {-7, 0, -1});
    EXPECT_EQ(h->P().ReadData(0), -7);
    EXPECT_EQ(h->Pd(0).length, 100000u);
    // In the parser, a result above the asked length ends the stream.
    h = Make(Raw({100000}));
    h->host.SetFault(0, 0, ScriptedHost::kRead, {kRead + 1000, 0, -1});
    EXPECT_EQ(h->P().ParseFrame(0), -1);
    EXPECT_EQ(h->Head(0)->state, MSSP_STATUS_OVER);
    EXPECT_EQ(h->Pd(0).length + static_cast<uint32_t>(h->Waiting(0)), 0u);
}

