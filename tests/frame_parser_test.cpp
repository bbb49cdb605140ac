// The frame parser driven directly (no threads): packs cut out of the ring in
// normal play, damaged input, the first-frame rules, packs split across the
// ring's end, new segments, node-ring hysteresis and trick play. Every stored
// node is checked against the exact bytes of its pack.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

// Every delivered frame is exactly the expected pack, with its type, pts,
// completion mark and (key frames) date/time.
void ExpectFrames(const std::vector<Delivered>& got, const std::vector<PackInfo>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k) {
        const Delivered& d = got[k];
        EXPECT_TRUE(d.bytes == want[k].bytes) << "frame " << k << " (" << d.bytes.size() << " bytes)";
        EXPECT_EQ(d.node.frameType, want[k].type) << "frame " << k;
        EXPECT_EQ(d.node.pts, want[k].pts) << "frame " << k;
        EXPECT_TRUE(d.node.frameRate & 0x80) << "completion mark, frame " << k;
        if (want[k].type == 0) { EXPECT_EQ(0, std::memcmp(d.node.time, want[k].time.data(), 6)) << "frame " << k; }
    }
}

std::vector<PackInfo> Pick(const std::vector<PackInfo>& packs, std::vector<size_t> keep) {
    std::vector<PackInfo> out;
    for (size_t k : keep) out.push_back(packs[k]);
    return out;
}

RecordingBuilder Synthetic(int gops, int gop = 5, bool audio = false) {
    msspt::SynthSpec s;
    s.gopsPerSegment = gops;
    s.gop = gop;
    s.audio = audio;
    s.start = kStart;
    return msspt::MakeSynthetic(s);
}

// A pack of `kind` whose header says `checksum` (the pattern payload's real one differs).
void AddBadPack(RecordingBuilder& b, packwriter::FrameKind kind, uint64_t pts, uint8_t checksum = 0x5A) {
    packwriter::NewPack bad;
    bad.kind = kind;
    bad.pts = pts;
    bad.time = kStart;
    bad.flag = true;
    bad.checksum = checksum;
    b.AddNewPack(bad, 700, kStart);
}

// Writes `bytes` into the ring so that the first `before` of them end at
// endPos and the rest start at offset 0, described as unparsed.
void PlaceAcrossEnd(ParserHarness& h, uint32_t endPos, const Bytes& bytes, uint32_t before) {
    const uint32_t start = endPos + 1 - before;
    std::memcpy(h.Ring(0) + start, bytes.data(), before);
    std::memcpy(h.Ring(0), bytes.data() + before, bytes.size() - before);
    h.Pd(0).ReadPos = start;
    h.Pd(0).length = static_cast<uint32_t>(bytes.size());
    h.Pd(0).EndPos = endPos;
}

std::unique_ptr<ParserHarness> Primed(const RecordingBuilder& b, int ring = 1 << 20, int nodes = 64,
                                      std::vector<int> chunks = {65536}, DateTime at = kBeforeAll) {
    auto h = std::make_unique<ParserHarness>("fp", 1, ring, nodes);
    h->host.SetRecording(0, 0, b.recording);
    h->host.SetChunks(0, 0, std::move(chunks));
    h->Prime(0, 0, 0, at);
    return h;
}

}  // namespace

// ---------------------------------------------------------------------------
// Whole recordings through rings of several sizes and read patterns

TEST(FrameParser, WholeRecordings_EveryPackStoredInOrderThenStreamOver) {
    struct Case {
        const char* what;
        int ring;
        std::vector<int> chunks;
        int gops;
        bool audio;
        uint32_t readPos;  // where the (empty) ring starts
    };
    for (const Case& c : {
             // odd chunk sizes cut packs, headers and extensions at every kind of point
             Case{"odd chunks with audio", 1 << 20, {1000, 7, 30001, 65536, 333}, 4, true, 0},
             Case{"ring wraps many times", 200000, {65536, 40000, 12345}, 60, false, 0},
             // an empty ring allows four reads by the first free size, but the
             // early wrap after the second leaves room for one more only
             Case{"several reads in one call", 4 * 65536 + 1, {65536}, 60, false, 100000}}) {
        SCOPED_TRACE(c.what);
        const RecordingBuilder b = Synthetic(c.gops, 5, c.audio);
        auto h = Primed(b, c.ring, 64, c.chunks);
        h->Pd(0).ReadPos = c.readPos;
        const std::vector<Delivered> got = h->DrainAll(0);
        ExpectFrames(got, b.packs);
        EXPECT_EQ(h->Head(0)->state, MSSP_STATUS_OVER);
        int wrapped = 0;
        for (const Delivered& d : got) wrapped += d.node.length2 != 0;
        EXPECT_EQ(wrapped > 0, c.ring < 400000) << "small rings must split packs at their end";
    }
}

TEST(FrameParser, DamagedAndNearMissBytes_SkippedAndResynchronised) {
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddGarbage(Bytes(50, 0x11));
    b.AddVideo(0, 1000, kStart, 900);
    b.AddGarbage(Bytes{0, '2', 'd', 'c', 20, 0, 0, 0, 0x88, 0x13, 0, 0});  // extension length above 4096
    b.AddVideo(1, 1040, kStart, 300);
    AddBadPack(b, packwriter::kPFrame, 1060);  // checksum does not match
    b.AddVideo(1, 1080, kStart, 300);
    b.AddGarbage(Bytes{'d', 'c', '2', 'd'});
    // Whole packs whose chunk id is one letter off ("0" "2dx", "0" "2xc"): no header.
    RecordingBuilder near;
    near.AddVideo(1, 1090, kStart, 300);
    for (int at : {3, 2}) {
        Bytes bytes = near.packs[0].bytes;
        bytes[static_cast<size_t>(at)] = 'x';
        b.AddGarbage(bytes);
    }
    b.AddVideo(1, 1120, kStart, 300);
    auto h = Primed(b);
    ExpectFrames(h->DrainAll(0), Pick(b.packs, {0, 1, 3, 4}));
    EXPECT_EQ(h->Pd(0).length, 0u) << "every skipped byte leaves the unparsed count";
}

// ---------------------------------------------------------------------------
// Which frames are stored at the start of a stream

TEST(FrameParser, FirstFrameRules_OnlyTheseFramesStored) {
    struct Pack {
        char kind;  // I, P, A audio, a audio without the extension flag, X P-frame with a wrong checksum
        uint64_t pts;
        size_t payload;
    };
    struct Case {
        const char* what;
        std::vector<Pack> packs;
        std::vector<size_t> stored;
        int ring = 1 << 20;
    };
    for (const Case& c : {
             Case{"leading P and audio frames dropped", {{'P', 900, 500}, {'P', 940, 501}, {'A', 950, 100},
                                                        {'I', 1000, 2000}, {'P', 1040, 500}}, {3, 4}},
             Case{"first I-frame with pts 0 consumed", {{'I', 0, 800}, {'P', 40, 300}, {'I', 80, 800}, {'P', 120, 300}},
                  {2, 3}},
             Case{"audio without the extension flag",
                  {{'I', 1000, 800}, {'a', 1010, 120}, {'A', 1020, 120}, {'P', 1040, 300}}, {0, 2, 3}},
             Case{"bad checksum between good frames",
                  {{'I', 1000, 2000}, {'P', 1040, 700}, {'X', 1080, 700}, {'P', 1120, 700}}, {0, 1, 3}},
             // 52 bytes of header and I-frame records: packs of 70000 and 69999
             // bytes in a ring with 69999 bytes beyond two reads
             Case{"pack length at the ring limit", {{'I', 1000, 70000 - 52}, {'I', 1040, 69999 - 52}}, {1},
                  2 * 65536 + 69999}}) {
        SCOPED_TRACE(c.what);
        RecordingBuilder b;
        b.NewSegment(kStart);
        for (const Pack& k : c.packs) {
            if (k.kind == 'X') AddBadPack(b, packwriter::kPFrame, k.pts);
            if (k.kind == 'A' || k.kind == 'a') b.AddAudio(k.pts, kStart, k.payload, 0, k.kind == 'A');
            if (k.kind == 'I' || k.kind == 'P') b.AddVideo(k.kind == 'I' ? 0 : 1, k.pts, kStart, k.payload);
        }
        ExpectFrames(Primed(b, c.ring)->DrainAll(0), Pick(b.packs, c.stored));
    }
}

TEST(FrameParser, AudioSegment_WaitsForAudioFirstUnlessTheAttributeCallFails) {
    for (const bool fail : {false, true}) {
        SCOPED_TRACE(fail);
        const RecordingBuilder b = Synthetic(2, 3, true);  // I A P A P A ...
        auto h = Primed(b);
        h->host.SetFlagFirstRead(true);  // the first read reports its segment (with audio)
        // A failed call fills the audio bit too: it must be ignored.
        if (fail) h->host.SetFault(0, 0, ScriptedHost::kSegmentInfo, {7, 0, -1});
        const std::vector<Delivered> got = h->DrainAll(0);
        ExpectFrames(got, std::vector<PackInfo>(b.packs.begin() + (fail ? 0 : 1), b.packs.end()));
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got[0].node.flags, 0x01) << "first frame of the reported segment";
        for (const Delivered& d : got) EXPECT_EQ(d.node.flags2 & 0x03, fail ? 0x01 : 0x03);
        // Audio frames of such a segment carry their date/time.
        if (!fail) { EXPECT_EQ(0, std::memcmp(got[0].node.time, b.packs[1].time.data(), 6)); }
    }
}

// ---------------------------------------------------------------------------
// Packs split across the ring's end (placed directly in the ring)

struct SplitCase {
    uint32_t before;  // bytes of the pack before the wrap point; 0 = the whole pack
    bool earlyWrap;   // EndPos below the ring's last byte
};

TEST(FrameParser, PackSplitAtEveryKindOfPoint_NodeDescribesBothPieces) {
    constexpr int kRing = 200000;
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(0, 5000, kStart, 1500).AddVideo(1, 5040, kStart, 400);  // the I-frame has 52 bytes before its payload
    const Bytes& pack = b.packs[0].bytes;
    Bytes both = pack;
    both.insert(both.end(), b.packs[1].bytes.begin(), b.packs[1].bytes.end());
    // chunk id, header, header then wrap, extension, extension ends at the wrap,
    // payload by one byte, payload, pack ends exactly at EndPos (plain, early)
    for (const SplitCase c : {SplitCase{2, false}, {7, false}, {12, true}, {30, false}, {52, true}, {53, false},
                              {900, true}, {0, false}, {0, true}}) {
        SCOPED_TRACE(c.before);
        ParserHarness h("fps", 1, kRing, 16);
        h.host.SetRecording(0, 0, {});
        h.Prime(0, 0);
        const uint32_t before = c.before == 0 ? static_cast<uint32_t>(pack.size()) : c.before;
        const uint32_t endPos = c.earlyWrap ? 150000 : kRing - 1;
        PlaceAcrossEnd(h, endPos, both, before);
        EXPECT_EQ(h.P().ParseFrame(0), 1);
        ASSERT_EQ(h.Waiting(0), 1);
        const Delivered d = h.Oldest(0);
        EXPECT_TRUE(d.bytes == pack);
        EXPECT_EQ(d.node.offset1, endPos + 1 - before);
        EXPECT_EQ(d.node.length1, before);
        EXPECT_EQ(d.node.length2, pack.size() - before);
        EXPECT_EQ(h.Pd(0).ReadPos, pack.size() - before);
        EXPECT_EQ(h.Pd(0).EndPos, static_cast<uint32_t>(kRing - 1));
        h.P().ParseFrame(0);  // the following pack is found at ReadPos
        ASSERT_EQ(h.Waiting(0), 2);
        EXPECT_TRUE(h.Node(0, 1).bytes == b.packs[1].bytes);
    }
    // A damaged second piece is found like a damaged contiguous pack: one byte skipped.
    Bytes bad = pack;
    bad.back() ^= 0xFF;  // the last payload byte is always summed
    ParserHarness h("fpx", 1, kRing, 16);
    h.Prime(0, 0);
    PlaceAcrossEnd(h, kRing - 1, bad, 300);
    EXPECT_EQ(h.P().ParseFrame(0), 0);
    EXPECT_EQ(h.Waiting(0), 0);
    EXPECT_EQ(h.Pd(0).ReadPos, kRing - 300u + 1);
    // An invalid header two bytes before the wrap point is skipped one byte
    // at a time, down to the last byte before the wrap point: the unparsed
    // count stays right, and the pack behind it, completed by the next read,
    // is stored whole.
    Bytes head = {0, '2', 'd', 'c', 20, 0, 0, 0, 0x88, 0x13, 0, 0};  // extension length above 4096
    head.insert(head.end(), pack.begin(), pack.begin() + 100);
    RecordingBuilder rest;
    rest.NewSegment(kStart).AddGarbage(Bytes(pack.begin() + 100, pack.end()));
    rest.AddPack(b.packs[1].bytes, 1, 5040, kStart);
    ParserHarness w("fpw", 1, kRing, 16);
    w.host.SetRecording(0, 0, rest.recording);
    w.Prime(0, 0);
    PlaceAcrossEnd(w, kRing - 1, head, 2);
    ExpectFrames(w.DrainAll(0), b.packs);
}

// ---------------------------------------------------------------------------
// New segments

TEST(FrameParser, TruncatedLastPackOfOldSegment_GivenUpNewSegmentFlagged) {
    RecordingBuilder b;
    b.NewSegment(kStart);
    b.AddVideo(0, 1000, kStart, 2000).AddVideo(1, 1040, kStart, 500);
    RecordingBuilder cut;  // the old segment ends inside a pack: its header and 100 bytes only
    cut.AddVideo(1, 1080, kStart, 500);
    b.AddGarbage(Bytes(cut.packs[0].bytes.begin(), cut.packs[0].bytes.begin() + 100));
    const DateTime next = msspt::AddSeconds(kStart, 60);
    b.NewSegment(next);
    b.AddVideo(1, 9000, next, 500);  // before the new segment's I-frame: not stored
    b.AddVideo(0, 9040, next, 2000).AddVideo(1, 9080, next, 500);
    auto h = Primed(b);
    const std::vector<Delivered> got = h->DrainAll(0);
    ExpectFrames(got, Pick(b.packs, {0, 1, 3, 4}));
    ASSERT_EQ(got.size(), 4u);
    // The last frame before the new segment gets bit 1 after it was stored.
    EXPECT_EQ((std::vector<int>{got[0].node.flags, h->Node(0, 1).node.flags, got[2].node.flags, got[3].node.flags}),
              (std::vector<int>{0, 0x02, 0x01, 0}));
}

// New-segment bytes already read, old bytes still unparsed: the state the
// reader leaves behind, set up directly.
TEST(FrameParser, NewSegmentData_OldBytesGivenUpOrStoredFirst) {
    RecordingBuilder seg;
    seg.NewSegment(kStart);
    seg.AddVideo(0, 7000, kStart, 1200).AddVideo(1, 7040, kStart, 300);
    RecordingBuilder old;
    old.AddVideo(0, 6000, kStart, 700);
    Bytes oldPack = old.packs[0].bytes;
    oldPack.insert(oldPack.end(), 5, 0x44);  // and five stray bytes after it
    struct Case {
        Bytes old;
        std::vector<PackInfo> want;
        int firstWaiting;  // after the first call
    };
    // nine stray bytes: given up at once; ten: searched first; a complete pack: stored first
    for (const Case& c : {Case{Bytes(9, 0x33), seg.packs, 1}, Case{Bytes(10, 0x33), seg.packs, 0},
                          Case{oldPack, {old.packs[0], seg.packs[0], seg.packs[1]}, 1}}) {
        SCOPED_TRACE(c.old.size());
        ParserHarness h("fpd", 1, 1 << 20, 16);
        h.host.SetRecording(0, 0, {});  // nothing more to read
        h.Prime(0, 0);
        tag_pbParserData& pd = h.Pd(0);
        const Bytes& s = seg.recording.segments[0].bytes;
        std::memcpy(h.Ring(0) + 1000, c.old.data(), c.old.size());
        std::memcpy(h.Ring(0) + 1000 + c.old.size(), s.data(), s.size());
        pd.ReadPos = 1000;
        pd.length = static_cast<uint32_t>(c.old.size());
        pd.NewSegPos = 1000 + static_cast<uint32_t>(c.old.size());
        pd.NewSegLen = static_cast<uint32_t>(s.size());
        pd.u8NewSegData = pd.u8SegFlag = 1;
        EXPECT_EQ(h.P().ParseFrame(0), 1);
        EXPECT_EQ(h.Waiting(0), c.firstWaiting);
        const std::vector<Delivered> got = h.DrainAll(0);
        ExpectFrames(got, c.want);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got[got.size() - 2].node.flags, 0x01);
        if (got.size() == 3) { EXPECT_EQ(h.Node(0, 0).node.flags, 0x02) << "last of the old segment"; }
        EXPECT_EQ(pd.u8NewSegData, 0);
    }
}

// ---------------------------------------------------------------------------
// Node ring hysteresis

// The Part's bounds (pause at 5 nodes below the ring's size, resume below
// 11 below it) where the ring has room for them; a smaller ring pauses with a
// quarter of its nodes free and resumes once at most half of them wait.
TEST(FrameParser, NodeRingHysteresis_BoundsEveryRingReaches) {
    struct Row {
        int nodes, pauseAt, resumeBelow;
    };
    for (const Row r : {Row{256, 251, 245}, {30, 25, 19}, {23, 18, 12}, {22, 17, 12}, {12, 9, 7}, {8, 6, 5},
                        {6, 5, 4}, {3, 3, 2}, {2, 2, 2}, {1, 1, 1}}) {
        SCOPED_TRACE(r.nodes);
        const RecordingBuilder b = Synthetic(50, 6);
        auto h = Primed(b, 1 << 20, r.nodes);
        h->ParseUntilWaiting(0, r.nodes + 1, 2000);
        ASSERT_EQ(h->Waiting(0), r.pauseAt);
        h->Release(0, r.pauseAt - r.resumeBelow);
        EXPECT_EQ(h->P().ParseFrame(0), -1) << "still paused";
        h->Release(0, 1);
        EXPECT_GT(h->P().ParseFrame(0), 0) << "resumed";
        EXPECT_EQ(h->Waiting(0), r.resumeBelow);
    }
}

// The reader and the playback thread take turns: the reader stores until it
// pauses, GetFrame then takes what it can. Every frame arrives, and audio of
// an ordinary segment is timed by the video frame behind it, however few
// nodes there are (a reader that resumed only on an emptied ring while
// GetFrame kept the last audio frame for its video stalled for good).
TEST(FrameParser, FewNodes_EveryFrameDeliveredByGetFrame) {
    for (const int nodes : {2, 3, 6, 8, 12, 30}) {
        for (const bool audio : {false, true}) {
            SCOPED_TRACE(std::to_string(nodes) + (audio ? " nodes, audio" : " nodes"));
            RecordingBuilder b;
            b.NewSegment(kStart);
            for (int k = 0; k < 40; ++k) {
                b.AddVideo(k % 8 == 0 ? 0 : 1, 1000 + 40u * k, kStart, 300 + k);
                if (audio) b.AddAudio(1020 + 40u * k, kStart, 120);
            }
            auto h = Primed(b, 1 << 20, nodes);
            std::vector<Bytes> got;
            for (int round = 0; round < 200 && (h->Head(0)->state == MSSP_STATUS_PLAY || h->Waiting(0) > 0);
                 ++round) {
                for (int c = 0; c < 100 && h->P().ParseFrame(0) != -1; ++c) {
                }
                unsigned char *d1, *d2;
                int l1, l2, type, channel;
                unsigned long long pts;
                unsigned flag;
                for (int r; (r = h->P().GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, 1, 0)) >= 0;
                     h->P().ReleaseFrame(r)) {
                    got.emplace_back(d1, d1 + l1);
                    got.back().insert(got.back().end(), d2, d2 + l2);
                }
            }
            // The last audio frame has no video behind it: thrown away once the stream is over.
            ASSERT_EQ(got.size(), b.packs.size() - (audio ? 1 : 0));
            for (size_t k = 0; k < got.size(); ++k) EXPECT_TRUE(got[k] == b.packs[k].bytes) << "frame " << k;
        }
    }
}

// ---------------------------------------------------------------------------
// Trick play

namespace {

// The host's I-frame answer, changed for the first `calls` reads.
struct Answer {
    int lenDelta = 0;
    bool nullData = false;
    bool corrupt = false;  // last payload byte flipped
    int calls = 1 << 30;
};
Answer g_answer;
Bytes g_corrupted;

int ChangedNextIFrame(void* user, int fd, unsigned char** data, int* len, unsigned char* seg, int step) {
    const int r = ScriptedHost::ReadNextIFrame(user, fd, data, len, seg, step);
    if (r <= 0 || g_answer.calls-- <= 0) return r;
    if (g_answer.corrupt) {
        g_corrupted.assign(*data, *data + *len);
        g_corrupted.back() ^= 0xFF;
        *data = g_corrupted.data();
    }
    *len += g_answer.lenDelta;
    if (g_answer.nullData) *data = nullptr;
    return r;
}

class FrameParserTrick : public ::testing::Test {
protected:
    void Start(int status, int speed, DateTime at = kStart, int ring = 1 << 20) {
        h.reset();  // one parser at a time on the test's segment name
        h = Primed(rec, ring, 32, {65536}, at);
        A::Status(h->P()) = status;
        A::Speed(h->P()) = speed;
        A::Operation(h->P()).ReadNextIFrame = &ChangedNextIFrame;
        g_answer = Answer{};
    }
    std::vector<Delivered> Run() {
        std::vector<Delivered> got;
        for (int c = 0; c < 200 && h->Head(0)->state <= MSSP_STATUS_FAST_BACKWARD; ++c) {
            h->P().ParseFrame(0);
            for (; h->Waiting(0) > 0; h->Release(0)) got.push_back(h->Oldest(0));
        }
        return got;
    }
    std::vector<int> Steps(ScriptedHost::Slot slot) {
        std::vector<int> out;
        for (const auto& c : h->host.CallsOf(slot)) out.push_back(c.step);
        return out;
    }
    std::vector<PackInfo> I(std::vector<size_t> keep) { return Pick(msspt::PacksOfTypes(rec.packs, {0}), keep); }
    RecordingBuilder rec = Synthetic(8, 4);
    std::unique_ptr<ParserHarness> h;
};

}  // namespace

TEST_F(FrameParserTrick, SpeedGivesStepCode_IFramesOnlyThenStreamOver) {
    struct Case {
        int speed, step;
        std::vector<size_t> iframes;
    };
    for (const Case& c : {Case{4, 0, {0, 1, 2, 3, 4, 5, 6, 7}}, Case{8, 1, {0, 2, 4, 6}}, Case{16, 2, {0, 4}},
                          Case{32, 31, {0}}}) {
        SCOPED_TRACE(c.speed);
        Start(MSSP_STATUS_FAST_FORWARD, c.speed);
        ExpectFrames(Run(), I(c.iframes));
        EXPECT_EQ(h->Head(0)->state, MSSP_STATUS_OVER);
        EXPECT_EQ(Steps(ScriptedHost::kNextIFrame), std::vector<int>(c.iframes.size() + 1, c.step));
        EXPECT_EQ(h->host.Count(ScriptedHost::kRead), 0);
    }
    Start(MSSP_STATUS_FAST_BACKWARD, 0, msspt::AddSeconds(kStart, 5));
    ExpectFrames(Run(), I({5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(Steps(ScriptedHost::kPrevIFrame), std::vector<int>(7, 0));
}

// Host answers to an I-frame read -> ParseFrame results, nodes and state.
TEST_F(FrameParserTrick, HostAnswers_ResultsNodesAndState) {
    struct Case {
        const char* what;
        Answer answer;
        int fault;  // ReadNextIFrame result from the second call on; 0 = none
        int ring;
        std::vector<int> results;  // of consecutive ParseFrame calls
        int next;                  // I-frame stored last; -1 = none
        int state;
        int hostCalls;
    };
    const int first = static_cast<int>(I({0})[0].bytes.size());
    const Case cases[] = {
        {"plain", {}, 0, 1 << 20, {1, 1}, 1, MSSP_STATUS_PLAY, 2},
        {"length above the header's: given up, the next asked for", {5}, 0, 1 << 20, {0, 0}, -1, MSSP_STATUS_PLAY, 2},
        {"length below one", {-first - 10}, 0, 1 << 20, {-1}, -1, MSSP_STATUS_OVER, 1},
        {"null data", {0, true}, 0, 1 << 20, {-1}, -1, MSSP_STATUS_OVER, 1},
        {"read fails", {}, -3, 1 << 20, {1, -1}, 0, MSSP_STATUS_OVER, 2},
        {"larger than the ring: dropped", {200000, false, false, 1}, 0, 200000, {0, 1}, 1, MSSP_STATUS_PLAY, 2},
        {"bad checksum: given up", {0, false, true, 1}, 0, 1 << 20, {1, 1}, 1, MSSP_STATUS_PLAY, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(MSSP_STATUS_FAST_FORWARD, 0, kStart, c.ring);
        g_answer = c.answer;
        if (c.fault != 0) h->host.SetFault(0, 0, ScriptedHost::kNextIFrame, {c.fault, 1, -1});
        std::vector<int> results;
        for (size_t k = 0; k < c.results.size(); ++k) results.push_back(h->P().ParseFrame(0));
        EXPECT_EQ(results, c.results);
        EXPECT_EQ(h->Head(0)->state, c.state);
        EXPECT_EQ(h->host.Count(ScriptedHost::kNextIFrame), c.hostCalls);
        EXPECT_EQ(h->Pd(0).length, 0u);
        if (c.state == MSSP_STATUS_OVER || c.ring == 200000) { EXPECT_EQ(A::TrickLen(h->P(), 0), 0); }
        if (c.next < 0) {
            EXPECT_EQ(h->Waiting(0), 0);
        } else {
            ASSERT_GT(h->Waiting(0), 0);
            EXPECT_TRUE(h->Node(0, h->Waiting(0) - 1).bytes == I({static_cast<size_t>(c.next)})[0].bytes);
        }
    }
}

TEST_F(FrameParserTrick, FivePending_NoHostCall) {
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    for (int c = 0; c < 20; ++c) h->P().ParseFrame(0);
    EXPECT_EQ(h->Waiting(0), 5);
    EXPECT_EQ(h->host.Count(ScriptedHost::kNextIFrame), 5);
    EXPECT_EQ(h->P().ParseFrame(0), -1);
    h->Release(0);
    EXPECT_EQ(h->P().ParseFrame(0), 1);
    EXPECT_EQ(h->host.Count(ScriptedHost::kNextIFrame), 6);
}

// Where the I-frame pack lands: across the ring's end, after unparsed bytes
// of normal play (given up), or kept pending until there is room.
TEST_F(FrameParserTrick, PackPlacement) {
    const Bytes i0 = I({0})[0].bytes;
    Start(MSSP_STATUS_FAST_FORWARD, 0, kStart, 200000);
    h->Pd(0).ReadPos = 200000 - 100;
    ASSERT_EQ(h->P().ParseFrame(0), 1);
    Delivered d = h->Oldest(0);
    EXPECT_TRUE(d.bytes == i0);
    EXPECT_EQ(d.node.offset1 + d.node.length1, 200000u);
    EXPECT_EQ(h->Pd(0).ReadPos, d.node.length2);
    EXPECT_EQ(d.node.length2, i0.size() - 100);

    Start(MSSP_STATUS_FAST_FORWARD, 0);
    h->Pd(0).ReadPos = 1000;
    h->Pd(0).length = 50;
    ASSERT_EQ(h->P().ParseFrame(0), 1);
    EXPECT_EQ(h->Oldest(0).node.offset1, 1050u);
    EXPECT_EQ(h->Pd(0).length, 0u);

    // The consumer holds the first frame (at 500000); the free size before it
    // is exactly the next pack's length: one byte must stay free, so it waits.
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    h->Pd(0).ReadPos = 500000;
    ASSERT_EQ(h->P().ParseFrame(0), 1);
    const uint32_t next = static_cast<uint32_t>(I({1})[0].bytes.size());
    h->Pd(0).ReadPos = 500000 - next - 1;
    EXPECT_EQ(h->P().ParseFrame(0), 0);
    EXPECT_EQ(A::TrickLen(h->P(), 0), static_cast<int>(next));
    EXPECT_EQ(h->P().ParseFrame(0), 0);
    EXPECT_EQ(h->host.Count(ScriptedHost::kNextIFrame), 2) << "the pending pack is not asked for again";
}

TEST_F(FrameParserTrick, NewSegmentAndAudioSegment_Marked) {
    rec = RecordingBuilder();
    rec.NewSegment(kStart).AddVideo(0, 1000, kStart, 900).AddVideo(0, 2000, msspt::AddSeconds(kStart, 1), 900);
    const DateTime next = msspt::AddSeconds(kStart, 30);
    rec.NewSegment(next).AddVideo(0, 9000, next, 900);
    Start(MSSP_STATUS_FAST_FORWARD, 0);
    h->Pd(0).u8AudioSeg = 1;  // normal play found a segment with audio: I-frames are still stored
    const std::vector<Delivered> got = Run();
    ExpectFrames(got, rec.packs);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].node.flags, 0x01);
    EXPECT_EQ(h->Node(0, 1).node.flags, 0x02);
    EXPECT_EQ(h->host.Count(ScriptedHost::kSegmentInfo), 1);
    EXPECT_EQ(got[0].node.flags2 & got[1].node.flags2 & 0x02, 0x02) << "first segment: audio";
}
