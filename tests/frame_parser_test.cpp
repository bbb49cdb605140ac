// The frame parser driven directly (no threads): packs cut out of the ring in
// normal play, resynchronisation, checksums, packs split across the ring's
// end, new segments, the first-frame rules, node-ring hysteresis and trick
// play. Every stored node is checked against the exact bytes of its pack.
#include <gtest/gtest.h>

#include <cstring>

#include "MsspInternal.h"
#include "ParserHarness.h"

using A = MsspTestAccess;
using msspt::Bytes;
using msspt::DateTime;
using msspt::Delivered;
using msspt::PackInfo;
using msspt::ParserHarness;
using msspt::RecordingBuilder;
using msspt::ScriptedHost;

namespace {

constexpr DateTime kStart{26, 3, 4, 8, 0, 0};
constexpr DateTime kBeforeAll{0, 0, 0, 0, 0, 0};

uint64_t Pts(const Delivered& d) { return d.node.pts; }
uint32_t Len1(const Delivered& d) { return d.node.length1; }
uint32_t Len2(const Delivered& d) { return d.node.length2; }
uint32_t Off1(const Delivered& d) { return d.node.offset1; }

// Every delivered frame is exactly the expected pack, with its type, pts,
// completion mark and (key frames) date/time.
void ExpectFrames(const std::vector<Delivered>& got, const std::vector<PackInfo>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k) {
        const Delivered& d = got[k];
        EXPECT_TRUE(d.bytes == want[k].bytes) << "frame " << k << ": node bytes (" << d.bytes.size()
                                              << ") differ from the pack (" << want[k].bytes.size() << ")";
        EXPECT_EQ(d.node.frameType, want[k].type) << "frame " << k;
        EXPECT_EQ(Pts(d), want[k].pts) << "frame " << k;
        EXPECT_TRUE(d.node.frameRate & 0x80) << "completion mark, frame " << k;
        if (want[k].type == 0) {
            EXPECT_EQ(0, std::memcmp(d.node.time, want[k].time.data(), 6)) << "frame " << k;
        }
    }
}

RecordingBuilder Synthetic(int gops, int gop = 5, bool audio = false) {
    msspt::SynthSpec s;
    s.gopsPerSegment = gops;
    s.gop = gop;
    s.audio = audio;
    s.start = kStart;
    return msspt::MakeSynthetic(s);
}

// Writes `bytes` into the ring so that the first `before` of them end at
// EndPos and the rest start at offset 0; the parser's positions describe
// them as unparsed.
void PlaceAcrossEnd(ParserHarness& h, int i, uint32_t endPos, const Bytes& bytes, uint32_t before) {
    tag_pbParserData& pd = h.Pd(i);
    unsigned char* ring = h.Ring(i);
    const uint32_t start = endPos + 1 - before;
    std::memcpy(ring + start, bytes.data(), before);
    std::memcpy(ring, bytes.data() + before, bytes.size() - before);
    pd.ReadPos = start;
    pd.length = static_cast<uint32_t>(bytes.size());
    pd.EndPos = endPos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Normal play

TEST(FrameParserNormal, WholeRecording_EveryPackStoredInOrder_ThenStreamOver) {
    ParserHarness h("fpw", 1, 1 << 20, 64);
    RecordingBuilder b = Synthetic(4, 5, true);
    h.host.SetRecording(0, 0, b.recording);
    // Odd chunk sizes cut packs, headers and extensions at every kind of point.
    h.host.SetChunks(0, 0, {1000, 7, 30001, 65536, 333});
    h.Prime(0, 0, 0, kBeforeAll);
    const std::vector<Delivered> got = h.DrainAll(0);
    ExpectFrames(got, b.packs);
    EXPECT_EQ(h.Head(0)->state, MSSP_STATUS_OVER);
    for (const Delivered& d : got) EXPECT_EQ(d.node.flags, 0) << "no segment change in this recording";
}

TEST(FrameParserNormal, RingWrapsManyTimes_NodesStillPointAtExactPacks) {
    // 200000-byte ring, ~350 KB recording: reads wrap early and packs wrap.
    ParserHarness h("fpr", 1, 200000, 40);
    RecordingBuilder b = Synthetic(60);
    h.host.SetRecording(0, 0, b.recording);
    h.host.SetChunks(0, 0, {65536, 40000, 12345});
    h.Prime(0, 0, 0, kBeforeAll);
    const std::vector<Delivered> got = h.DrainAll(0);
    ExpectFrames(got, b.packs);
    int wrapped = 0;
    for (const Delivered& d : got) wrapped += Len2(d) != 0;
    EXPECT_GT(wrapped, 0) << "the test must exercise packs split across the ring end";
}

TEST(FrameParserNormal, SeveralReadsInOneCall_NeverOverwriteUnparsedBytes) {
    // 4 * 65536 + 1 bytes: an empty ring allows four reads by the first free
    // size, but the early wrap after the second read leaves room for one
    // more only; a fourth read would land on the unparsed bytes.
    ParserHarness h("fpm", 1, 4 * 65536 + 1, 64);
    RecordingBuilder b = Synthetic(60);
    h.host.SetRecording(0, 0, b.recording);
    h.host.SetChunks(0, 0, {65536});
    h.Prime(0, 0, 0, kBeforeAll);
    h.Pd(0).ReadPos = 100000;
    const std::vector<Delivered> got = h.DrainAll(0);
    ExpectFrames(got, b.packs);
}

TEST(FrameParserNormal, GarbageBetweenPacks_SkippedAndResynchronised) {
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddGarbage(Bytes(50, 0x11));
    b.AddVideo(0, 1000, kStart, 900);
    // A chunk id with an extension length above 4096: an invalid header.
    b.AddGarbage(Bytes{0, '2', 'd', 'c', 20, 0, 0, 0, 0x88, 0x13, 0, 0});
    b.AddVideo(1, 1040, kStart, 300);
    // A complete pack whose checksum does not match its payload.
    Bytes fake{0, '3', 'd', 'c', 16, 0, 0, 0x00, 0, 0, 0, 0};
    fake.insert(fake.end(), 16, 0x01);
    b.AddGarbage(fake);
    b.AddVideo(1, 1080, kStart, 300);
    b.AddGarbage(Bytes{'d', 'c', '2', 'd'});
    b.AddVideo(1, 1120, kStart, 300);

    ParserHarness h("fpg", 1, 1 << 20, 32);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0, 0, kBeforeAll);
    ExpectFrames(h.DrainAll(0), b.packs);
}

TEST(FrameParserNormal, BadChecksum_FrameDroppedNeighboursKept) {
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(0, 1000, kStart, 2000);
    b.AddVideo(1, 1040, kStart, 700);
    packwriter::NewPack bad;
    bad.kind = packwriter::kPFrame;
    bad.pts = 1080;
    bad.flag = true;
    bad.checksum = 0x5A;
    b.AddNewPack(bad, 700, kStart);
    b.AddVideo(1, 1120, kStart, 700);
    // The pattern payload's real checksum differs from 0x5A.
    const Bytes& badPack = b.packs[2].bytes;
    ASSERT_NE(packwriter::PayloadChecksum(badPack.data() + badPack.size() - 700, 700), 0x5A);

    ParserHarness h("fpc", 1, 1 << 20, 32);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0, 0, kBeforeAll);
    ExpectFrames(h.DrainAll(0), {b.packs[0], b.packs[1], b.packs[3]});
}

TEST(FrameParserNormal, LeadingPFrames_DroppedAndCountedUntilFirstIFrame) {
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(1, 900, kStart, 500);
    b.AddVideo(1, 940, kStart, 501);
    b.AddAudio(950, kStart, 100);
    b.AddVideo(0, 1000, kStart, 2000);
    b.AddVideo(1, 1040, kStart, 500);
    const int dropped = static_cast<int>(b.packs[0].bytes.size() + b.packs[1].bytes.size() + b.packs[2].bytes.size());

    ParserHarness h("fpl", 1, 1 << 20, 32);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0, 0, kBeforeAll);
    const int before = g_DropLen;
    ExpectFrames(h.DrainAll(0), {b.packs[3], b.packs[4]});
    EXPECT_EQ(g_DropLen - before, dropped);
}

TEST(FrameParserNormal, FirstIFrameWithPtsZero_ConsumedNotStored) {
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(0, 0, kStart, 800);
    b.AddVideo(1, 40, kStart, 300);  // no I-frame stored yet: dropped as a first frame
    b.AddVideo(0, 80, kStart, 800);
    b.AddVideo(1, 120, kStart, 300);
    ParserHarness h("fpz", 1, 1 << 20, 32);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0, 0, kBeforeAll);
    ExpectFrames(h.DrainAll(0), {b.packs[2], b.packs[3]});
}

TEST(FrameParserNormal, AudioWithoutExtensionFlag_NeverStored) {
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(0, 1000, kStart, 800);
    b.AddAudio(1010, kStart, 120, 0, /*audioFlag=*/false);
    b.AddAudio(1020, kStart, 120, 0, true);
    b.AddVideo(1, 1040, kStart, 300);
    ParserHarness h("fpa", 1, 1 << 20, 32);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0, 0, kBeforeAll);
    const std::vector<Delivered> got = h.DrainAll(0);
    ExpectFrames(got, {b.packs[0], b.packs[2], b.packs[3]});
    // Not a segment with audio: flags2 bit 1 clear, audio time not copied.
    EXPECT_EQ(got[1].node.flags2 & 0x03, 0x01);
}

TEST(FrameParserNormal, AudioSegment_WaitsForAudioFirst_MarksEveryFrame) {
    RecordingBuilder b = Synthetic(2, 3, /*audio=*/true);  // I A P A P A ...
    ParserHarness h("fpu", 1, 1 << 20, 64);
    h.host.SetRecording(0, 0, b.recording);
    h.host.SetFlagFirstRead(true);  // the first read reports its segment (with audio)
    h.Prime(0, 0, 0, kBeforeAll);
    const std::vector<Delivered> got = h.DrainAll(0);
    // The wanted first frame is audio: the leading I-frame is dropped.
    ExpectFrames(got, std::vector<PackInfo>(b.packs.begin() + 1, b.packs.end()));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].node.frameType, MSSP_FRAME_AUDIO);
    EXPECT_EQ(got[0].node.flags, 0x01) << "first frame of the reported segment";
    for (const Delivered& d : got) EXPECT_EQ(d.node.flags2 & 0x02, 0x02) << "segment carries audio";
    // Audio frames of such a segment carry their date/time.
    EXPECT_EQ(0, std::memcmp(got[0].node.time, b.packs[1].time.data(), 6));
    EXPECT_EQ(A::Parser(h.P(), 0).u8AudioSeg, 1);
}

TEST(FrameParserNormal, FailedSegmentInfo_CountsAsNoAudio) {
    RecordingBuilder b = Synthetic(1, 3, /*audio=*/true);
    ParserHarness h("fpf", 1, 1 << 20, 64);
    h.host.SetRecording(0, 0, b.recording);
    h.host.SetFlagFirstRead(true);
    // The host fills the audio bit but reports failure: it must be ignored.
    h.host.SetFault(0, 0, ScriptedHost::kSegmentInfo, {7, 0, -1});
    h.Prime(0, 0, 0, kBeforeAll);
    const std::vector<Delivered> got = h.DrainAll(0);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].node.frameType, MSSP_FRAME_I);
    EXPECT_EQ(got[0].node.flags2 & 0x02, 0);
    ExpectFrames(got, b.packs);
}

TEST(FrameParserNormal, PackLenAtRingLimit_RejectedOneLessAccepted) {
    // Ring of 65536 + 10000 bytes: packs must stay below 10000 bytes.
    const int ring = 65536 + 10000;
    RecordingBuilder b;
    b.NewSegment(kStart);
    const size_t overhead = 12 + 40;  // header and the I-frame's four records
    b.AddVideo(0, 1000, kStart, 10000 - overhead);
    b.AddVideo(0, 1040, kStart, 9999 - overhead);
    ASSERT_EQ(b.packs[0].bytes.size(), 10000u);
    ASSERT_EQ(b.packs[1].bytes.size(), 9999u);
    ParserHarness h("fpk", 1, ring, 16);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0, 0, kBeforeAll);
    ExpectFrames(h.DrainAll(0), {b.packs[1]});
}

// ---------------------------------------------------------------------------
// Packs split across the ring's end (placed directly in the ring)

struct SplitCase {
    const char* what;
    uint32_t before;  // bytes of the pack before the wrap point; 0 = the whole pack
    bool earlyWrap;   // EndPos below the ring's last byte
};
void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.what; }

class FrameParserSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FrameParserSplit, NodeDescribesBothPiecesAndChecksumPasses) {
    const SplitCase c = GetParam();
    const int ringSize = 200000;
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(0, 5000, kStart, 1500);  // I-frame: 52 bytes of header and extension
    b.AddVideo(1, 5040, kStart, 400);
    const Bytes& pack = b.packs[0].bytes;
    Bytes both = pack;
    both.insert(both.end(), b.packs[1].bytes.begin(), b.packs[1].bytes.end());
    const uint32_t before = c.before == 0 ? static_cast<uint32_t>(pack.size()) : c.before;
    const uint32_t endPos = c.earlyWrap ? 150000 : ringSize - 1;

    ParserHarness h("fps", 1, ringSize, 16);
    h.host.SetRecording(0, 0, msspt::Recording{});  // nothing more to read
    h.Prime(0, 0);
    PlaceAcrossEnd(h, 0, endPos, both, before);

    EXPECT_EQ(h.P().ParseFrame(0), 1);
    ASSERT_EQ(h.Waiting(0), 1) << c.what;
    const Delivered d = h.Oldest(0);
    EXPECT_EQ(Off1(d), endPos + 1 - before);
    EXPECT_TRUE(d.bytes == pack) << c.what;
    if (before == pack.size()) {
        EXPECT_EQ(Len1(d), pack.size());
        EXPECT_EQ(Len2(d), 0u);
        EXPECT_EQ(h.Pd(0).ReadPos, 0u) << "a pack ending at EndPos leaves ReadPos at 0";
    } else {
        EXPECT_EQ(Len1(d), before);
        EXPECT_EQ(Len2(d), pack.size() - before);
        EXPECT_EQ(h.Pd(0).ReadPos, pack.size() - before);
    }
    EXPECT_EQ(h.Pd(0).EndPos, static_cast<uint32_t>(ringSize - 1));
    // The following pack is found at ReadPos.
    h.P().ParseFrame(0);
    ASSERT_EQ(h.Waiting(0), 2);
    EXPECT_TRUE(h.Node(0, 1).bytes == b.packs[1].bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, FrameParserSplit,
    ::testing::Values(SplitCase{"chunk id split", 2, false}, SplitCase{"header split", 7, false},
                      SplitCase{"header then wrap", 12, true}, SplitCase{"extension split", 30, false},
                      SplitCase{"extension ends at the wrap", 52, true},
                      SplitCase{"payload split by one byte", 53, false},
                      SplitCase{"payload split", 900, true}, SplitCase{"ends exactly at EndPos", 0, false},
                      SplitCase{"ends exactly at early EndPos", 0, true}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return "Case" + std::to_string(info.index); });

TEST(FrameParserSplitChecksum, CorruptedSecondPiece_DetectedLikeContiguous) {
    ParserHarness h("fpx", 1, 200000, 16);
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(0, 5000, kStart, 1500);
    Bytes pack = b.packs[0].bytes;
    pack.back() ^= 0xFF;  // the last payload byte is always sampled
    h.host.SetRecording(0, 0, msspt::Recording{});
    h.Prime(0, 0);
    PlaceAcrossEnd(h, 0, 199999, pack, 300);
    EXPECT_EQ(h.P().ParseFrame(0), 0) << "a wrapped pack with a bad checksum returns 0";
    EXPECT_EQ(h.Waiting(0), 0);
    EXPECT_EQ(h.Pd(0).ReadPos, 199999u - 300 + 2) << "one byte skipped";
}

// ---------------------------------------------------------------------------
// New segments

TEST(FrameParserSegments, TruncatedLastPackOfOldSegment_GivenUpNewSegmentFlagged) {
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(0, 1000, kStart, 2000);
    b.AddVideo(1, 1040, kStart, 500);
    // The old segment ends inside a pack: its header and 100 bytes only.
    RecordingBuilder cut;
    cut.AddVideo(1, 1080, kStart, 500);
    b.AddGarbage(Bytes(cut.packs[0].bytes.begin(), cut.packs[0].bytes.begin() + 100));
    const DateTime next = msspt::AddSeconds(kStart, 60);
    b.NewSegment(next);
    b.AddVideo(1, 9000, next, 500);  // before the new segment's I-frame: not stored
    b.AddVideo(0, 9040, next, 2000);
    b.AddVideo(1, 9080, next, 500);

    ParserHarness h("fpn", 1, 1 << 20, 32);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0, 0, kBeforeAll);
    const std::vector<Delivered> got = h.DrainAll(0);
    ExpectFrames(got, {b.packs[0], b.packs[1], b.packs[3], b.packs[4]});
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].node.flags, 0);
    // The last frame before the new segment: bit 1, set after it was stored.
    EXPECT_EQ(h.Node(0, 1).node.flags, 0x02);
    EXPECT_EQ(got[2].node.flags, 0x01);
    EXPECT_EQ(got[3].node.flags, 0x00);
    EXPECT_EQ(h.Pd(0).u8SegFlag & 1, 0);
}

// New-segment bytes already read, old bytes still unparsed: the state the
// reader leaves behind, set up directly.
class FrameParserNewSegData : public ::testing::Test {
protected:
    void SetUp() override {
        seg.NewSegment(kStart);
        seg.AddVideo(0, 7000, kStart, 1200);
        seg.AddVideo(1, 7040, kStart, 300);
        h.host.SetRecording(0, 0, msspt::Recording{});
        h.Prime(0, 0);
    }
    void Place(const Bytes& old) {
        tag_pbParserData& pd = h.Pd(0);
        std::memcpy(h.Ring(0) + 1000, old.data(), old.size());
        pd.ReadPos = 1000;
        pd.length = static_cast<uint32_t>(old.size());
        const Bytes& s = seg.recording.segments[0].bytes;
        std::memcpy(h.Ring(0) + 1000 + old.size(), s.data(), s.size());
        pd.NewSegPos = 1000 + static_cast<uint32_t>(old.size());
        pd.NewSegLen = static_cast<uint32_t>(s.size());
        pd.u8NewSegData = 1;
        pd.u8SegFlag = 1;
    }
    ParserHarness h{"fpd", 1, 1 << 20, 16};
    RecordingBuilder seg;
};

TEST_F(FrameParserNewSegData, NineOldBytes_GivenUpAtOnce) {
    Place(Bytes(9, 0x33));
    EXPECT_EQ(h.P().ParseFrame(0), 1);
    EXPECT_EQ(h.Pd(0).u8NewSegData, 0);
    ASSERT_EQ(h.Waiting(0), 1);
    EXPECT_TRUE(h.Oldest(0).bytes == seg.packs[0].bytes);
    EXPECT_EQ(h.Oldest(0).node.flags, 0x01);
}

TEST_F(FrameParserNewSegData, TenOldBytesWithoutHeader_GivenUpAfterSearch) {
    Place(Bytes(10, 0x33));
    EXPECT_EQ(h.P().ParseFrame(0), 1);
    EXPECT_EQ(h.Waiting(0), 0) << "the switch itself stores nothing";
    EXPECT_EQ(h.Pd(0).ReadPos, 1010u);
    EXPECT_EQ(h.Pd(0).length, seg.recording.segments[0].bytes.size());
    ExpectFrames(h.DrainAll(0), seg.packs);
}

TEST_F(FrameParserNewSegData, CompleteOldPackStoredFirst_ThenNewSegment) {
    RecordingBuilder old;
    old.AddVideo(0, 6000, kStart, 700);
    Bytes bytes = old.packs[0].bytes;
    bytes.insert(bytes.end(), 5, 0x44);  // and five stray bytes after it
    Place(bytes);
    const std::vector<Delivered> got = h.DrainAll(0);
    ExpectFrames(got, {old.packs[0], seg.packs[0], seg.packs[1]});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].node.flags, 0x00) << "still the old segment";
    EXPECT_EQ(got[1].node.flags, 0x01);
    EXPECT_EQ(h.Node(0, 0).node.flags, 0x02);
}

// ---------------------------------------------------------------------------
// Node ring hysteresis

TEST(FrameParserNodes, ThirtyNodes_PauseAt25ResumeAt18) {
    ParserHarness h("fph", 1, 1 << 20, 30);
    RecordingBuilder b = Synthetic(10, 6);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0, 0, kBeforeAll);
    int r = 0;
    for (int c = 0; c < 500 && !(r == -1 && h.Waiting(0) == 25); ++c) r = h.P().ParseFrame(0);
    ASSERT_EQ(h.Waiting(0), 25);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(h.Pd(0).u8NodeFull, 1);
    h.Release(0, 6);  // 19 waiting: still paused
    EXPECT_EQ(h.P().ParseFrame(0), -1);
    EXPECT_EQ(h.Waiting(0), 19);
    h.Release(0, 1);  // 18: resumes
    EXPECT_GT(h.P().ParseFrame(0), 0);
    EXPECT_EQ(h.Pd(0).u8NodeFull, 0);
    for (int c = 0; c < 500 && h.Waiting(0) < 25; ++c) h.P().ParseFrame(0);
    EXPECT_EQ(h.Waiting(0), 25);
    EXPECT_EQ(h.P().ParseFrame(0), -1);
    EXPECT_EQ(h.Waiting(0), 25) << "never more than m_FrameNum - 5";
    // Everything stored so far is intact and in order.
    std::vector<Delivered> got;
    while (h.Waiting(0) > 0) {
        got.push_back(h.Oldest(0));
        h.Release(0);
    }
    ExpectFrames(got, std::vector<PackInfo>(b.packs.begin() + 7, b.packs.begin() + 7 + got.size()));
}

TEST(FrameParserNodes, FewNodes_PausesAndAlwaysResumes) {
    // With 8 nodes the plain margins (pause at 3, resume below -3) would
    // never let the stream resume.
    ParserHarness h("fp8", 1, 1 << 20, 8);
    RecordingBuilder b = Synthetic(3, 5);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0, 0, kBeforeAll);
    std::vector<Delivered> got;
    for (int round = 0; round < 100 && h.Head(0)->state == MSSP_STATUS_PLAY; ++round) {
        for (int c = 0; c < 50 && h.P().ParseFrame(0) != -1; ++c) {
        }
        EXPECT_LE(h.Waiting(0), 3);
        while (h.Waiting(0) > 0) {
            got.push_back(h.Oldest(0));
            h.Release(0);
        }
    }
    ExpectFrames(got, b.packs);
}

// ---------------------------------------------------------------------------
// Trick play

class FrameParserTrick : public ::testing::Test {
protected:
    void Start(int status, int speed, DateTime at = kStart, int ringSize = 1 << 20) {
        h.reset();  // one parser at a time on the test's segment name
        h = std::make_unique<ParserHarness>("fpt", 1, ringSize, 32);
        h->host.SetRecording(0, 0, rec.recording);
        h->Prime(0, 0, 0, at);
        A::Status(h->P()) = status;
        A::Speed(h->P()) = speed;
    }
    std::vector<Delivered> Run(int maxCalls = 200) {
        std::vector<Delivered> got;
        for (int c = 0; c < maxCalls && h->Head(0)->state <= MSSP_STATUS_FAST_BACKWARD; ++c) {
            h->P().ParseFrame(0);
            while (h->Waiting(0) > 0) {
                got.push_back(h->Oldest(0));
                h->Release(0);
            }
        }
        return got;
    }
    std::vector<PackInfo> IFrames() { return msspt::PacksOfTypes(rec.packs, {0}); }
    RecordingBuilder rec = Synthetic(8, 4);
    std::unique_ptr<ParserHarness> h;
};

TEST_F(FrameParserTrick, FastForward_EveryIFrameThenStreamOver) {
    Start(MSSP_STATUS_FAST_FORWARD, 4);
    ExpectFrames(Run(), IFrames());
    EXPECT_EQ(h->Head(0)->state, MSSP_STATUS_OVER);
    for (const auto& c : h->host.CallsOf(ScriptedHost::kNextIFrame)) EXPECT_EQ(c.step, 0);
    EXPECT_EQ(h->host.Count(ScriptedHost::kRead), 0);
}

TEST_F(FrameParserTrick, SpeedGivesStepCode) {
    Start(MSSP_STATUS_FAST_FORWARD, 8);  // step 1: the host skips one I-frame
    const std::vector<PackInfo> all = IFrames();
    ExpectFrames(Run(), {all[0], all[2], all[4], all[6]});
    for (const auto& c : h->host.CallsOf(ScriptedHost::kNextIFrame)) EXPECT_EQ(c.step, 1);
    Start(MSSP_STATUS_FAST_FORWARD, 16);
    Run();
    for (const auto& c : h->host.CallsOf(ScriptedHost::kNextIFrame)) EXPECT_EQ(c.step, 2);
    Start(MSSP_STATUS_FAST_FORWARD, 32);
    Run();
    for (const auto& c : h->host.CallsOf(ScriptedHost::kNextIFrame)) EXPECT_EQ(c.step, 31);
}

TEST_F(FrameParserTrick, FastBackward_IFramesInReverse) {
    Start(MSSP_STATUS_FAST_BACKWARD, 0, msspt::AddSeconds(kStart, 5));
    const std::vector<PackInfo> all = IFrames();
    ExpectFrames(Run(), {all[5], all[4], all[3], all[2], all[1], all[0]});
    EXPECT_GT(h->host.Count(ScriptedHost::kPrevIFrame), 0);
}

TEST_F(FrameParserTrick, FivePending_NoHostCall) {
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    for (int c = 0; c < 20; ++c) h->P().ParseFrame(0);
    EXPECT_EQ(h->Waiting(0), 5);
    const int calls = h->host.Count(ScriptedHost::kNextIFrame);
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(h->P().ParseFrame(0), -1);
    EXPECT_EQ(h->host.Count(ScriptedHost::kNextIFrame), calls);
    h->Release(0);
    EXPECT_EQ(h->P().ParseFrame(0), 1);
    EXPECT_EQ(h->Waiting(0), 5);
}

TEST_F(FrameParserTrick, PackCopiedAcrossRingEnd) {
    const int ringSize = 200000;
    Start(MSSP_STATUS_FAST_FORWARD, 0, kStart, ringSize);
    h->Pd(0).ReadPos = ringSize - 100;  // empty ring, write position 100 bytes before the end
    ASSERT_EQ(h->P().ParseFrame(0), 1);
    ASSERT_EQ(h->Waiting(0), 1);
    const Delivered d = h->Oldest(0);
    EXPECT_EQ(Off1(d), static_cast<uint32_t>(ringSize - 100));
    EXPECT_EQ(Len1(d), 100u);
    EXPECT_EQ(Len2(d), IFrames()[0].bytes.size() - 100);
    EXPECT_TRUE(d.bytes == IFrames()[0].bytes);
    EXPECT_EQ(h->Pd(0).ReadPos, Len2(d));
}

TEST_F(FrameParserTrick, UnparsedBytesLeft_GivenUpPackStoredWhereCopied) {
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    h->Pd(0).ReadPos = 1000;
    h->Pd(0).length = 50;  // left over from normal play
    ASSERT_EQ(h->P().ParseFrame(0), 1);
    ASSERT_EQ(h->Waiting(0), 1);
    const Delivered d = h->Oldest(0);
    EXPECT_EQ(Off1(d), 1050u);
    EXPECT_TRUE(d.bytes == IFrames()[0].bytes);
    EXPECT_EQ(h->Pd(0).length, 0u);
}

TEST_F(FrameParserTrick, PackWaitsForRoom_KeptPending) {
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    tag_pbParserData& pd = h->Pd(0);
    pd.ReadPos = 500000;
    ASSERT_EQ(h->P().ParseFrame(0), 1);
    // The consumer holds the first frame (at 500000); the free bytes before
    // it end one short of the next pack's length.
    const uint32_t next = static_cast<uint32_t>(IFrames()[1].bytes.size());
    pd.ReadPos = 500000 - next;  // T - W = next, free size next - 1
    EXPECT_EQ(h->P().ParseFrame(0), 0);
    EXPECT_EQ(A::TrickLen(h->P(), 0), static_cast<int>(next));
    EXPECT_EQ(h->P().ParseFrame(0), 0);
    EXPECT_EQ(h->host.Count(ScriptedHost::kNextIFrame), 2) << "the pending pack is not asked for again";
}

TEST_F(FrameParserTrick, NewSegment_FirstIFrameFlaggedPreviousMarked) {
    rec = RecordingBuilder();
    rec.NewSegment(kStart);
    rec.AddVideo(0, 1000, kStart, 900);
    rec.AddVideo(0, 2000, msspt::AddSeconds(kStart, 1), 900);
    const DateTime next = msspt::AddSeconds(kStart, 30);
    rec.NewSegment(next);
    rec.AddVideo(0, 9000, next, 900);
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    const std::vector<Delivered> got = Run();
    ExpectFrames(got, rec.packs);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].node.flags, 0x01);
    EXPECT_EQ(h->Node(0, 1).node.flags, 0x02);
    EXPECT_EQ(h->host.Count(ScriptedHost::kSegmentInfo), 1);
}

TEST_F(FrameParserTrick, SegmentWithAudio_IFramesStillStored) {
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    h->Pd(0).u8AudioSeg = 1;  // normal play found a segment with audio
    const std::vector<Delivered> got = Run();
    ExpectFrames(got, IFrames());
    for (const Delivered& d : got) EXPECT_EQ(d.node.flags2 & 0x02, 0x02);
}

TEST_F(FrameParserTrick, PackLengthNotMatchingHeader_GivenUpNextAskedFor) {
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    h->host.SetIFrameLengthDelta(0, 0, 5);
    EXPECT_EQ(h->P().ParseFrame(0), 0);
    EXPECT_EQ(h->Waiting(0), 0);
    EXPECT_EQ(A::TrickLen(h->P(), 0), 0) << "the same bytes would fail again: not kept";
    h->host.SetIFrameLengthDelta(0, 0, 0);
    EXPECT_EQ(h->P().ParseFrame(0), 1);
    ASSERT_EQ(h->Waiting(0), 1);
    EXPECT_TRUE(h->Oldest(0).bytes == IFrames()[1].bytes);
    EXPECT_EQ(h->Head(0)->state, MSSP_STATUS_PLAY);
}

TEST_F(FrameParserTrick, LengthBelowOne_StreamOver) {
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    h->host.SetIFrameLengthDelta(0, 0, -static_cast<int>(IFrames()[0].bytes.size()) - 10);
    EXPECT_EQ(h->P().ParseFrame(0), -1);
    EXPECT_EQ(h->Head(0)->state, MSSP_STATUS_OVER);
    EXPECT_EQ(A::TrickLen(h->P(), 0), 0);
}

TEST_F(FrameParserTrick, NullDataOrFailedRead_StreamOver) {
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    h->host.SetNullIFrameData(0, 0, true);
    EXPECT_EQ(h->P().ParseFrame(0), -1);
    EXPECT_EQ(h->Head(0)->state, MSSP_STATUS_OVER);
    Start(MSSP_STATUS_FAST_BACKWARD, 0);
    h->host.SetFault(0, 0, ScriptedHost::kPrevIFrame, {-3, 1, -1});
    EXPECT_EQ(h->P().ParseFrame(0), 1);
    EXPECT_EQ(h->P().ParseFrame(0), -1);
    EXPECT_EQ(h->Head(0)->state, MSSP_STATUS_OVER);
    EXPECT_EQ(h->Waiting(0), 1);
}

TEST_F(FrameParserTrick, PackLargerThanRing_DroppedNextAskedFor) {
    Start(MSSP_STATUS_FAST_FORWARD, 0, kStart, 200000);
    h->host.SetIFrameLengthDelta(0, 0, 200000);
    EXPECT_EQ(h->P().ParseFrame(0), 0);
    EXPECT_EQ(A::TrickLen(h->P(), 0), 0) << "never waits for room that cannot come";
    h->host.SetIFrameLengthDelta(0, 0, 0);
    EXPECT_EQ(h->P().ParseFrame(0), 1);
    ASSERT_EQ(h->Waiting(0), 1);
    EXPECT_TRUE(h->Oldest(0).bytes == IFrames()[1].bytes);
}

TEST_F(FrameParserTrick, BadChecksum_UnparsedGivenUpNextStored) {
    rec = RecordingBuilder();
    rec.NewSegment(kStart);
    packwriter::NewPack bad;
    bad.kind = packwriter::kIFrame;
    bad.pts = 1000;
    bad.time = kStart;
    bad.flag = true;
    bad.checksum = 0x01;
    rec.AddNewPack(bad, 900, kStart);
    rec.AddVideo(0, 2000, msspt::AddSeconds(kStart, 1), 900);
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    EXPECT_EQ(h->P().ParseFrame(0), 1);
    EXPECT_EQ(h->Waiting(0), 0);
    EXPECT_EQ(h->Pd(0).length, 0u);
    EXPECT_EQ(h->P().ParseFrame(0), 1);
    ASSERT_EQ(h->Waiting(0), 1);
    EXPECT_TRUE(h->Oldest(0).bytes == rec.packs[1].bytes);
}

// ---------------------------------------------------------------------------
// Old recorded format (device group 3)

TEST(FrameParserOldFormat, WholeRecording_NoChecksumPtsInMicroseconds) {
    ParserHarness h("fpo", 1, 1 << 20, 64);
    msspt::SynthSpec s;
    s.gopsPerSegment = 3;
    s.gop = 4;
    s.oldFormat = true;
    s.start = kStart;
    RecordingBuilder b = msspt::MakeSynthetic(s);
    h.host.SetRecording(0, 0, b.recording);
    h.host.SetChunks(0, 0, {5000, 17});
    h.Prime(0, 0, 0, kBeforeAll);
    const int saved = g_DeviceGroup;
    g_DeviceGroup = 3;
    const std::vector<Delivered> got = h.DrainAll(0);
    g_DeviceGroup = saved;
    ExpectFrames(got, b.packs);
}
