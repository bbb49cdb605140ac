// Buffer filling driven directly: where ReadData lands its bytes (early
// wrap included), new-segment reads, host errors, the free-size rule of
// GetBufFreeSize at its edges, and the scripted
// host's own contract that the other suites rely on.
#include <gtest/gtest.h>

#include <cstring>

#include "MsspInternal.h"
#include "ParserHarness.h"

using A = MsspTestAccess;
using msspt::Bytes;
using msspt::DateTime;
using msspt::ParserHarness;
using msspt::RecordingBuilder;
using msspt::ScriptedHost;

namespace {

constexpr DateTime kStart{26, 5, 6, 9, 0, 0};
constexpr DateTime kBeforeAll{0, 0, 0, 0, 0, 0};
constexpr int kRead = 65536;

// A recording of `segments` segments of raw bytes (no packs): byte k of
// segment s is (s * 100 + k) & 0xFF.
msspt::Recording RawRecording(std::vector<size_t> sizes, std::vector<bool> audio = {}) {
    msspt::Recording rec;
    for (size_t s = 0; s < sizes.size(); ++s) {
        msspt::Segment seg;
        seg.start = msspt::AddSeconds(kStart, static_cast<int>(s) * 60);
        seg.audio = s < audio.size() && audio[s];
        for (size_t k = 0; k < sizes[s]; ++k) seg.bytes.push_back(static_cast<uint8_t>(s * 100 + k));
        rec.segments.push_back(seg);
    }
    return rec;
}

class Reader : public ::testing::Test {
protected:
    void Make(int ringSize, msspt::Recording rec, std::vector<int> chunks = {kRead}) {
        h = std::make_unique<ParserHarness>("rd", 1, ringSize, 16);
        h->host.SetRecording(0, 0, std::move(rec));
        h->host.SetChunks(0, 0, std::move(chunks));
        h->Prime(0, 0, 0, kBeforeAll);
    }
    tag_pbParserData& Pd() { return h->Pd(0); }
    std::unique_ptr<ParserHarness> h;
};

}  // namespace

// ---------------------------------------------------------------------------
// ReadData

TEST_F(Reader, Read_LandsAtWritePositionAndCountsLength) {
    Make(1 << 20, RawRecording({100000}), {5000});
    Pd().ReadPos = 300;
    Pd().length = 20;
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(Pd().length, 5020u);
    EXPECT_EQ(h->Ring(0)[320], 0);
    EXPECT_EQ(h->Ring(0)[320 + 4999], static_cast<uint8_t>(4999));
    const auto reads = h->host.CallsOf(ScriptedHost::kRead);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].maxLen, kRead);
}

TEST_F(Reader, EarlyWrap_PendingDataKeepsEndPos_EmptyRingMovesReadPos) {
    const int ring = 1 << 20;
    Make(ring, RawRecording({300000}), {1000});
    // 65535 bytes left after W, 40 unparsed bytes: wrap early, read at 0.
    Pd().ReadPos = ring - kRead + 1 - 40;
    Pd().length = 40;
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(Pd().EndPos, static_cast<uint32_t>(ring - kRead));
    EXPECT_EQ(Pd().length, 1040u);
    EXPECT_EQ(h->Ring(0)[0], 0);
    EXPECT_EQ(h->Ring(0)[999], static_cast<uint8_t>(999));

    // Same write position with nothing unparsed: start over at 0.
    Pd().ReadPos = ring - kRead + 1;
    Pd().length = 0;
    Pd().EndPos = ring - 1;
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(Pd().ReadPos, 0u);
    EXPECT_EQ(Pd().EndPos, static_cast<uint32_t>(ring - 1));
    EXPECT_EQ(Pd().length, 1000u);
}

TEST_F(Reader, ExactlyOneReadLeft_ReadsInPlace) {
    const int ring = 1 << 20;
    Make(ring, RawRecording({300000}), {kRead});
    Pd().ReadPos = ring - kRead - 10;
    Pd().length = 10;
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(Pd().EndPos, static_cast<uint32_t>(ring - 1));
    EXPECT_EQ(Pd().length, static_cast<uint32_t>(kRead + 10));
    EXPECT_EQ(h->Ring(0)[ring - 1], static_cast<uint8_t>(kRead - 1)) << "the read ends at the ring's last byte";
}

TEST_F(Reader, AfterEarlyWrap_WritesFollowTheWrappedData) {
    const int ring = 1 << 20;
    Make(ring, RawRecording({300000}), {100});
    Pd().ReadPos = 900000;
    Pd().EndPos = 950000;
    Pd().length = 50001 + 300;  // 900000..950000, then 0..299
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(h->host.CallsOf(ScriptedHost::kRead)[0].result, 100);
    EXPECT_EQ(h->Ring(0)[300], 0);
    EXPECT_EQ(h->Ring(0)[399], 99);
    EXPECT_EQ(Pd().length, 50401u);
}

TEST_F(Reader, NewSegmentRead_KeptAsideWithAudioBit) {
    Make(1 << 20, RawRecording({1000, 2000}, {false, true}), {kRead});
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(Pd().length, 1000u);
    EXPECT_EQ(Pd().u8NewSegData, 0);
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(Pd().length, 1000u) << "a new segment's bytes are not counted";
    EXPECT_EQ(Pd().NewSegPos, 1000u);
    EXPECT_EQ(Pd().NewSegLen, 2000u);
    EXPECT_EQ(Pd().u8NewSegData, 1);
    EXPECT_EQ(Pd().u8SegFlag & 1, 1);
    EXPECT_EQ(Pd().u8ChlType, 1);
    // Segment 0's 1000 bytes still wait to be parsed: they keep its
    // attribute; segment 1's is kept aside for the switch.
    EXPECT_EQ(Pd().u8AudioSeg, 0);
    EXPECT_EQ(Pd().reserved47, 1);
    EXPECT_EQ(h->Ring(0)[1000], 100) << "segment 1's first byte";
    const auto info = h->host.CallsOf(ScriptedHost::kSegmentInfo);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].handle, A::StreamFd(h->P(), 0, 0));
}

TEST_F(Reader, EndOrErrorResult_ReturnedNothingCounted) {
    Make(1 << 20, RawRecording({10}), {kRead});
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(h->P().ReadData(0), 0) << "end of the recording";
    h->host.SetFault(0, 0, ScriptedHost::kRead, {-7, 0, -1});
    EXPECT_EQ(h->P().ReadData(0), -7);
    EXPECT_EQ(Pd().length, 10u);
}

TEST_F(Reader, ResultAboveAskedLength_HostErrorNothingCounted) {
    Make(1 << 20, RawRecording({100000}), {kRead});
    h->host.SetFault(0, 0, ScriptedHost::kRead, {kRead + 1, 0, 1});
    EXPECT_LT(h->P().ReadData(0), 0);
    EXPECT_EQ(Pd().length, 0u);
    EXPECT_EQ(h->P().ReadData(0), 1);
    EXPECT_EQ(Pd().length, static_cast<uint32_t>(kRead));
}

TEST_F(Reader, ResultAboveAskedLength_InParser_EndsStreamWithoutStoring) {
    Make(1 << 20, RawRecording({100000}), {kRead});
    h->host.SetFault(0, 0, ScriptedHost::kRead, {kRead + 1000, 0, -1});
    EXPECT_EQ(h->P().ParseFrame(0), -1);
    EXPECT_EQ(h->Head(0)->state, MSSP_STATUS_OVER);
    EXPECT_EQ(Pd().length, 0u);
    EXPECT_EQ(h->Waiting(0), 0);
}

// ---------------------------------------------------------------------------
// GetBufFreeSize

TEST_F(Reader, FreeSize_EmptyRing) {
    Make(1 << 20, RawRecording({1}));
    Pd().ReadPos = 12345;
    EXPECT_EQ(h->P().GetBufFreeSize(0), (1 << 20) - 1);
}

TEST_F(Reader, FreeSize_TailBelowWrite_NormalAndTrickPlay) {
    const int ring = 1 << 20;
    Make(ring, RawRecording({1}));
    const uint32_t tail = 200000;
    Pd().ReadPos = tail;
    Pd().length = ring - kRead - tail;  // exactly 65536 bytes left at the end
    EXPECT_EQ(h->P().GetBufFreeSize(0), static_cast<int>(tail) - 1) << "room at the start after an early wrap";
    Pd().length -= 1;  // 65537 left
    EXPECT_EQ(h->P().GetBufFreeSize(0), kRead);
    A::Status(h->P()) = MSSP_STATUS_FAST_FORWARD;
    EXPECT_EQ(h->P().GetBufFreeSize(0), static_cast<int>(tail) + kRead + 1 - 1);
    A::Status(h->P()) = MSSP_STATUS_FAST_BACKWARD;
    Pd().length += 1;
    EXPECT_EQ(h->P().GetBufFreeSize(0), static_cast<int>(tail) + kRead - 1);
}

TEST_F(Reader, FreeSize_WaitingFramesHoldTheTail) {
    const int ring = 1 << 20;
    Make(ring, RawRecording({1}));
    MSSP_FrameNode_t* nodes = A::Nodes(h->P(), 0);
    nodes[3].offset1 = 700000;
    A::Cursor(h->P(), 0)->getIndex = 3;
    A::Head(h->P(), 0)->parseNum = 12;
    A::Head(h->P(), 0)->getNum = 10;
    Pd().ReadPos = 10;
    Pd().length = 100;  // W = 110, below the tail
    EXPECT_EQ(h->P().GetBufFreeSize(0), 700000 - 110 - 1);
    // Counters seeded near their wrap still count waiting frames.
    A::Head(h->P(), 0)->getNum = 0xFFFFFFF0u;
    A::Head(h->P(), 0)->parseNum = 0xFFFFFFF0u + 2;
    EXPECT_EQ(h->P().GetBufFreeSize(0), 700000 - 110 - 1);
    // A getIndex beyond the node ring (shared memory) is taken modulo it.
    A::Cursor(h->P(), 0)->getIndex = 16 + 3;
    EXPECT_EQ(h->P().GetBufFreeSize(0), 700000 - 110 - 1);
    // Tail one byte past W: nothing may be written.
    nodes[3].offset1 = 111;
    EXPECT_EQ(h->P().GetBufFreeSize(0), 0);
}

TEST_F(Reader, WriteJustPastOneReadFromEnd_NothingWaiting_StillReads) {
    // 65537 bytes from W to the end give a free size of exactly 65536: the
    // read must go ahead, or the stream would never move again.
    const int ring = 1 << 20;
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(0, 1000, kStart, 3000);
    b.AddVideo(1, 1040, kStart, 500);
    Make(ring, b.recording);
    Pd().ReadPos = ring - kRead - 1 - 5;
    Pd().length = 5;  // five stray bytes
    EXPECT_EQ(h->P().GetBufFreeSize(0), kRead);
    EXPECT_EQ(h->P().ParseFrame(0), 1);
    ASSERT_EQ(h->Waiting(0), 1);
    EXPECT_TRUE(h->Oldest(0).bytes == b.packs[0].bytes);
}

// ---------------------------------------------------------------------------
// The scripted host's contract (the other suites rely on it)

TEST(ScriptedHostContract, ReadsChunksFlagsSegmentsAndEnds) {
    ScriptedHost host;
    host.SetRecording(3, 1, RawRecording({10, 4}));
    host.SetChunks(3, 1, {3, 5});
    MSSP_OpenParam_t req{};
    req.channel = 3;
    req.streamTypeBmp = 0x06;  // lowest bit: type 1
    const int fd = ScriptedHost::OpenStream(&host, &req, 1);
    ASSERT_GE(fd, 0);
    unsigned char buf[16];
    unsigned char flag = 9;
    std::vector<std::pair<int, int>> got;
    for (int k = 0; k < 6; ++k) {
        const int r = ScriptedHost::ReadStream(&host, fd, buf, 16, &flag);
        got.emplace_back(r, r > 0 ? flag : -1);
    }
    const std::vector<std::pair<int, int>> want{{3, 0}, {5, 0}, {2, 0}, {4, 1}, {0, -1}, {0, -1}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(host.Count(ScriptedHost::kRead), 6);
    ScriptedHost::CloseStream(&host, fd, 0);
    EXPECT_EQ(host.OpenHandles(), 0);
    EXPECT_EQ(ScriptedHost::ReadStream(&host, fd, buf, 16, &flag), -1);
}

TEST(ScriptedHostContract, OpenSeeksToLastIFrameAtOrBeforeTime_IFrameStepsSkip) {
    msspt::SynthSpec s;
    s.gopsPerSegment = 10;
    s.start = kStart;
    RecordingBuilder b = msspt::MakeSynthetic(s);
    const auto iframes = msspt::PacksOfTypes(b.packs, {0});
    ScriptedHost host;
    host.SetRecording(0, 0, b.recording);
    MSSP_OpenParam_t req{};
    const DateTime at = msspt::AddSeconds(kStart, 3);
    std::memcpy(&req.year, at.data(), 6);
    const int fd = ScriptedHost::OpenStream(&host, &req, 0);
    EXPECT_EQ(host.Handle(fd).pos, iframes[3].offset);
    unsigned char* data = nullptr;
    int len = 0;
    unsigned char seg = 0;
    auto next = [&](int step) {
        if (ScriptedHost::ReadNextIFrame(&host, fd, &data, &len, &seg, step) != 1) return -1;
        for (size_t k = 0; k < iframes.size(); ++k)
            if (len == static_cast<int>(iframes[k].bytes.size()) &&
                std::memcmp(data, iframes[k].bytes.data(), iframes[k].bytes.size()) == 0)
                return static_cast<int>(k);
        return -2;
    };
    // The positioned I-frame first, then 1 + skip further: skip 1, 3, 7.
    EXPECT_EQ(next(0), 3);
    EXPECT_EQ(next(1), 5);
    EXPECT_EQ(next(2), 9);
    EXPECT_EQ(next(31), -1) << "off the end";
    EXPECT_EQ(data, nullptr);
    MSSP_SeekTime_t t{};
    std::memcpy(&t, kStart.data(), 6);
    EXPECT_EQ(ScriptedHost::SeekStream(&host, fd, &t), 0);
    ASSERT_EQ(ScriptedHost::ReadPrevIFrame(&host, fd, &data, &len, &seg, 0), 1);
    EXPECT_EQ(ScriptedHost::ReadPrevIFrame(&host, fd, &data, &len, &seg, 0), 0);
    EXPECT_EQ(data, nullptr);
}
