// Buffer filling driven directly: where ReadData lands its bytes (early wrap
// included) and the free size GetBufFreeSize gives for ring positions, as
// two tables; new-segment reads, host errors and the fatal free-size exit.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "DeliveryOrder.h"
#include "MsspInternal.h"
#include "ParserHarness.h"
#include "WakeWord.h"

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


// After a reset the readers serve the streams that lack their first frame
// before any other (mssp::ReaderPass); the streams still deliver the same
// frames in the same order as under the plain policy, one ParseFrame per
// stream and pass, which stays here as the reference. Random groups, the
// streams split among reader threads whose passes are drawn at random (the
// first far more often, as an unfair scheduler would), the playback side
// taking every frame after each pass, a Seek on the way. Before every
// stream holds a frame the first-frames policy reads no more than those
// frames need.
TEST(Reader, FirstFramesFirst_SameFramesSameOrderAsThePlainPolicy) {
    struct Row {
        int streams, perThread, nodes;
        uint32_t seed;
    };
    long long readTotal[2] = {0, 0};  // first frames first, plain
    for (const Row row : {Row{4, 2, 16, 6}, {5, 2, 32, 2}, {8, 3, 8, 3}, {12, 4, 64, 4}}) {
        SCOPED_TRACE(row.seed);
        std::mt19937 rng(row.seed);
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        std::vector<msspt::RecordingBuilder> group;
        std::vector<std::vector<int>> chunks;
        for (int i = 0; i < row.streams; ++i) {
            msspt::SynthSpec s;
            s.channel = static_cast<uint8_t>(i);
            s.segments = pick(1, 2);
            s.gopsPerSegment = pick(2, 5);
            s.gop = pick(2, 8);
            s.audio = pick(0, 1) == 1;
            s.firstPts = 1000 + 10u * static_cast<unsigned>(pick(0, 3));
            s.iPayload = static_cast<size_t>(pick(2000, 150000));
            s.pPayload = static_cast<size_t>(pick(200, 30000));
            group.push_back(msspt::MakeSynthetic(s));
            std::vector<int> c;
            for (int k = pick(1, 3); k > 0; --k) c.push_back(std::vector<int>{777, 4096, 30000, kRead}[pick(0, 3)]);
            chunks.push_back(c);
        }
        std::vector<std::string> delivered[2];
        long long readBeforeFirstFrames[2] = {-1, -1};
        for (int policy = 0; policy < 2; ++policy) {  // 0: first frames first, 1: plain
            ParserHarness h("rdff", row.streams, kRing, row.nodes);
            for (int i = 0; i < row.streams; ++i) {
                h.host.SetRecording(i, 0, group[i].recording);
                h.host.SetChunks(i, 0, chunks[i]);
                h.Prime(i, i);
            }
            const int threads = (row.streams + row.perThread - 1) / row.perThread;
            std::vector<bool> due(static_cast<size_t>(threads), true);
            std::mt19937 schedule(row.seed);
            int quiet = 0;
            const int seekAt = 40 * threads;
            testing::internal::CaptureStdout();
            for (int pass = 0; pass < 100000 && quiet < 20 * threads; ++pass) {
                if (pass == seekAt) {  // a reset: the readers start over with first frames
                    Common::_datetime_ at{26, 1, 2, 10, 0, 2, 0};
                    h.P().Seek(&at, 0);
                    due.assign(due.size(), true);
                }
                const int drawn = std::uniform_int_distribution<int>(0, 3 * threads - 1)(schedule);
                const int t = drawn < 2 * threads ? 0 : drawn % threads;
                const int first = t * row.perThread, end = std::min(first + row.perThread, row.streams);
                bool progress = false;
                if (policy == 0) {
                    bool d = due[static_cast<size_t>(t)];
                    progress = mssp::ReaderPass(h.P(), first, end, d);
                    due[static_cast<size_t>(t)] = d;
                } else {
                    for (int i = first; i < end; ++i) {
                        if (h.Head(i)->state > MSSP_STATUS_FAST_BACKWARD) continue;
                        if (h.P().ParseFrame(i) > 0) progress = true;
                    }
                }
                bool all = pass < seekAt;
                for (int i = 0; i < row.streams; ++i) all = all && (h.Head(i)->parseNum > 0 || h.Head(i)->state != MSSP_STATUS_PLAY);
                if (all && readBeforeFirstFrames[policy] < 0) {
                    readBeforeFirstFrames[policy] = 0;
                    for (const auto& c : h.host.CallsOf(ScriptedHost::kRead)) readBeforeFirstFrames[policy] += c.result > 0 ? c.result : 0;
                }
                unsigned char *d1, *d2;
                int l1, l2, type, channel, r;
                unsigned long long pts;
                unsigned flag;
                bool got = false;
                while ((r = h.P().GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, 1, 0)) >= 0) {
                    uint32_t hash = 2166136261u;
                    for (int k = 0; k < l1 + l2; ++k) hash = (hash ^ (k < l1 ? d1[k] : d2[k - l1])) * 16777619u;
                    delivered[policy].push_back(std::to_string(channel) + " " + std::to_string(pts) + " " +
                                                std::to_string(type) + " " + std::to_string(l1 + l2) + " " +
                                                std::to_string(hash));
                    h.P().ReleaseFrame(r);
                    got = true;
                }
                quiet = progress || got ? 0 : quiet + 1;
            }
            testing::internal::GetCapturedStdout();
        }
        ASSERT_GT(delivered[1].size(), 20u);
        ASSERT_EQ(delivered[0].size(), delivered[1].size());
        for (size_t k = 0; k < delivered[0].size(); ++k) ASSERT_EQ(delivered[0][k], delivered[1][k]) << "frame " << k;
        // Before every stream held a frame: at most each first pack and one read more per stream.
        long long need = 0;
        for (int i = 0; i < row.streams; ++i)
            need += static_cast<long long>(group[i].packs[0].bytes.size()) + *std::max_element(chunks[i].begin(), chunks[i].end());
        EXPECT_GE(readBeforeFirstFrames[0], 0);
        EXPECT_LE(readBeforeFirstFrames[0], need);
        readTotal[0] += readBeforeFirstFrames[0];
        readTotal[1] += readBeforeFirstFrames[1];
    }
    // The plain policy fills the rings of the threads that run most before
    // the others' streams have a frame.
    EXPECT_LT(readTotal[0], readTotal[1]);
}

// A stream held up by a full ring asks to be woken by the release that frees
// enough room, so that its thread does not sleep out its timeout: a paused
// node ring by the release that takes it below its resume bound (the first
// after which it reads again), a full byte ring once half its waiting frames
// are gone. No release before that one wakes the thread; a stream with room,
// or without a frame to release, asks nothing.
TEST(Reader, FullRingAsksForTheReleaseThatFreesRoom) {
    struct Row {
        const char* what;
        int ring, nodes;
        size_t iPayload, pPayload;
        bool nodeBound;
    };
    for (const Row row : {Row{"node ring paused", kRing, 16, 3000, 600, true},
                          Row{"byte ring full", 256 * 1024, 64, 40000, 30000, false}}) {
        SCOPED_TRACE(row.what);
        msspt::SynthSpec s;
        s.gopsPerSegment = 20;
        s.iPayload = row.iPayload;
        s.pPayload = row.pPayload;
        ParserHarness h("rdroom", 1, row.ring, row.nodes);
        h.host.SetRecording(0, 0, msspt::MakeSynthetic(s).recording);
        h.Prime(0, 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(mssp::ReaderAskRoom(h.P(), 0, 1), 0u);  // nothing waits: nothing to ask for
        for (int calls = 0, idle = 0; idle < 2 && calls < 2000; ++calls) idle = h.P().ParseFrame(0) > 0 ? 0 : idle + 1;
        const int waiting = h.Waiting(0);
        ASSERT_GT(waiting, 1);
        const uint32_t asked = mssp::ReaderAskRoom(h.P(), 0, 1);
        ASSERT_EQ(asked, 1u);
        const int need = row.nodeBound ? waiting - mssp::NodeResumeBelow(row.nodes) + 1 : waiting / 2;
        const uint32_t before = mssp::WakeSeq(A::ReaderWake(h.P()));
        for (int k = 0; k < need; ++k) {
            EXPECT_FALSE(mssp::ReaderRoomCame(h.P(), asked)) << k;
            EXPECT_EQ(mssp::WakeSeq(A::ReaderWake(h.P())), before) << "woken after " << k << " of " << need;
            if (row.nodeBound) {
                EXPECT_LT(h.P().ParseFrame(0), 0) << "read again after " << k << " releases";
            }
            unsigned char *d1, *d2;
            int l1, l2, type, channel;
            unsigned long long pts;
            unsigned flag;
            ASSERT_EQ(h.P().GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, 1, 0), 0);
            ASSERT_EQ(h.P().ReleaseFrame(0), 0);
        }
        EXPECT_NE(mssp::WakeSeq(A::ReaderWake(h.P())), before);
        EXPECT_TRUE(mssp::ReaderRoomCame(h.P(), asked));
        EXPECT_EQ(A::Order(h.P()).roomWanted.load() & 1u, 0u);  // taken by the release that woke
        EXPECT_GT(h.P().ParseFrame(0), 0);
        testing::internal::GetCapturedStdout();
    }
}
