// Start, stop and the reader threads: channel mapping and the checks before
// anything opens, the distribution of streams over threads, the Idle
// handshake, how fast control operations end the readers' sleeps, and whole
// recordings played through real threads (bounded, polling). The test thread
// is the host's playback thread.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "MsspInternal.h"
#include "StressDriver.h"

using A = MsspTestAccess;
using namespace msspt;

namespace {

constexpr DateTime kStart{26, 7, 8, 11, 0, 0};

RecordingBuilder Rec(uint8_t channel, int segments = 1, int gops = 4) {
    return MakeSynthetic(SynthSpec{.channel = channel, .segments = segments, .gopsPerSegment = gops, .start = kStart});
}

struct Got {  // a delivered frame
    int index, type; uint64_t pts; unsigned flag; Bytes bytes; bool wrapped;
};

// Takes every frame GetFrame gives until playback is over (GetStatus 0);
// false when `ms` pass first.
bool PlayOut(Parser& p, std::vector<Got>& out, unsigned char convert = 0, int ms = 8000) {
    return WaitFor([&] {
        unsigned char *d1 = nullptr, *d2 = nullptr;
        int l1 = 0, l2 = 0, type = 0, channel = 0;
        unsigned long long pts = 0;
        unsigned flag = 0;
        int r;
        while ((r = p.GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, 1, convert)) >= 0) {
            Got g{r, type, pts, flag, Bytes(d1, d1 + l1), l2 > 0};
            g.bytes.insert(g.bytes.end(), d2, d2 + l2);
            out.push_back(std::move(g));
            p.ReleaseFrame(r);
        }
        return p.GetStatus() == 0;
    }, ms);
}

// The frames of stream `index` are exactly `want`, bytes and types.
void ExpectStream(const std::vector<Got>& got, int index, std::vector<PackInfo> want) {
    std::vector<const Got*> mine;
    for (const Got& g : got)
        if (g.index == index) mine.push_back(&g);
    ASSERT_EQ(mine.size(), want.size()) << "stream " << index;
    for (size_t k = 0; k < want.size(); ++k) {
        EXPECT_TRUE(mine[k]->bytes == want[k].bytes) << "stream " << index << " frame " << k;
        EXPECT_EQ(mine[k]->type, want[k].type) << "stream " << index << " frame " << k;
    }
}

// Lines a diagnostics hook took, with their levels and threads.
struct HookLines {
    std::mutex m;
    std::vector<std::pair<int, std::string>> lines;
    std::set<std::thread::id> threads;
    static void Take(void* user, int level, const char* line) {
        auto* self = static_cast<HookLines*>(user);
        std::lock_guard<std::mutex> lock(self->m);
        self->lines.emplace_back(level, line);
        self->threads.insert(std::this_thread::get_id());
    }
    // The level of the first line holding `text`; 0 when none does.
    int LevelOf(const std::string& text) {
        for (const auto& [level, line] : lines)
            if (line.find(text) != std::string::npos) return level;
        return 0;
    }
};

class ReaderThreads : public ::testing::Test {
protected:
    void Make(int streams, int ring = 1 << 20, int nodes = 32) { rig = std::make_unique<Rig>("rt", 1, streams, ring, nodes); }
    Parser& P() { return rig->P(); }
    std::unique_ptr<Rig> rig;
};

}  // namespace

TEST_F(ReaderThreads, ChannelsMapToStreamIndexesInOrder_ExtraChannelsNotPlayed) {
    Make(2);
    for (int c : {1, 3, 5}) rig->Record(c, 0, Rec(static_cast<uint8_t>(c)));
    EXPECT_EQ(P().GetStreamTypeFromBitmap(0x06), 1);
    EXPECT_EQ(P().GetStreamTypeFromBitmap(0x00), 0);
    ASSERT_EQ(rig->Start(0x2A, kStart, 0), 0);
    EXPECT_EQ(A::ChnMask(P()), 0xAu);
    int index = -5;
    EXPECT_EQ(P().GetChnIndex(3, index), 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(P().GetChnIndex(1, index), 1);
    EXPECT_EQ(index, 0);
    index = -5;
    for (int c : {5, 2, 32, -1}) EXPECT_EQ(P().GetChnIndex(c, index), 0) << c;
    EXPECT_EQ(index, -5);
    const auto opens = rig->host.CallsOf(ScriptedHost::kOpen);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[1].channel, 3);
    EXPECT_EQ(opens[0].openParam, 0x1234);
    EXPECT_EQ(opens[0].openFlag, 1);
    EXPECT_EQ(opens[0].time, kStart);
}

TEST_F(ReaderThreads, RefusedStarts_NothingOpenedNotRunning) {
    Make(2);
    rig->host.SetRecording(1, 3, Rec(1).recording);
    EXPECT_EQ(rig->Start(0x3, kStart, 0, 0x08), -1) << "stream type 3";
    tag_tavuSegmentId id{1, 0, 0, 9};
    EXPECT_EQ(P().StartParse(0x2, 0x01, 0, &id, false, 0), -1) << "unknown segment";
    EXPECT_EQ(rig->host.Count(ScriptedHost::kOpen), 0);
    EXPECT_EQ(A::Running(P()), 0);
    EXPECT_EQ(P().StopParse(), 0);
    EXPECT_LT(ElapsedMs([&] { EXPECT_EQ(P().Idle(true), 0); }), 500) << "no thread to park";
}

TEST_F(ReaderThreads, EveryOpenFails_StreamsStoppedStatusZero_StopBounded) {
    Make(3);
    ASSERT_EQ(rig->Start(0x7, kStart, 1), 0);  // no recordings
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rig->State(i), MSSP_STATUS_STOP);
    EXPECT_EQ(P().GetStatus(), 0);
    EXPECT_LT(ElapsedMs([&] { P().Idle(true); }), 2000);
    P().Idle(false);
    EXPECT_LT(ElapsedMs([&] { EXPECT_EQ(P().StopParse(), 0); }), 2000);
    for (int t = 0; t < 3; ++t) EXPECT_EQ(A::Thread(P(), t).exited, 1);
    EXPECT_EQ(P().StopParse(), 0) << "a second stop returns at once";
    // With nothing buffered, a stream still reading in any direction keeps
    // playback live; an over or invalid one does not.
    for (uint8_t s = MSSP_STATUS_INIT; s <= MSSP_STATUS_STOP; ++s) {
        mssp::StoreRelease(A::Head(P(), 1)->state, s);
        EXPECT_EQ(P().GetStatus(), s <= MSSP_STATUS_FAST_BACKWARD ? 1 : 0) << int(s);
    }
    EXPECT_EQ(rig->host.Count(ScriptedHost::kRead), 0);
}

struct Split {
    int streamsPerThread;
    std::vector<std::pair<int, int>> served;  // firstStream, endStream per thread
};
class ReaderThreadSplit : public ReaderThreads, public ::testing::WithParamInterface<Split> {};

TEST_P(ReaderThreadSplit, EveryStreamServedAndClosed) {
    const Split s = GetParam();
    Make(4);
    for (int c = 0; c < 4; ++c) rig->Record(c, 0, Rec(static_cast<uint8_t>(c), 1, 1));
    ASSERT_EQ(rig->Start(0xF, kStart, s.streamsPerThread), 0);
    for (int t = 0; t < 4; ++t) {
        const MSSP_ThreadParam_t& rec = A::Thread(P(), t);
        if (t >= static_cast<int>(s.served.size())) {
            EXPECT_EQ(rec.threadIndex, mssp::kNoThread) << "record " << t;
            continue;
        }
        EXPECT_EQ(rec.firstStream, s.served[t].first) << "thread " << t;
        EXPECT_EQ(rec.endStream, s.served[t].second) << "thread " << t;
    }
    std::vector<Got> got;
    ASSERT_TRUE(PlayOut(P(), got));
    for (int i = 0; i < 4; ++i) ExpectStream(got, i, Rec(static_cast<uint8_t>(i), 1, 1).packs);
    EXPECT_EQ(P().StopParse(), 0);
    EXPECT_EQ(rig->host.OpenHandles(), 0) << "each thread closed its streams' handles";
}

INSTANTIATE_TEST_SUITE_P(Splits, ReaderThreadSplit,
                         ::testing::Values(Split{0, {{0, 4}}}, Split{-1, {{0, 4}}},
                                           Split{1, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}}, Split{3, {{0, 3}, {3, 6}}},
                                           Split{300, {{0, 4}}}));

TEST_F(ReaderThreads, Idle_ParksEveryThreadUntilReleased) {
    // Few nodes: the readers fill them, wait for the consumer, and refill
    // them several times after the release, each time a node ring is freed.
    Make(3, 1 << 20, 14);
    for (int c = 0; c < 3; ++c) {
        rig->Record(c, 0, Rec(static_cast<uint8_t>(c), 1, 16));
        rig->host.SetChunks(c, 0, {4000});
    }
    ASSERT_EQ(rig->Start(0x7, kStart, 2), 0);
    ASSERT_TRUE(WaitFor([&] { return mssp::WaitingCount(A::Head(P(), 2)) > 0; }));
    EXPECT_LT(ElapsedMs([&] { P().Idle(true); }), 2000);
    // Parked threads read and store nothing, though every node is freed,
    // and answer every new request.
    std::vector<Got> got;
    for (int i = 0; i < 3; ++i) {
        unsigned char *d1 = nullptr, *d2 = nullptr;
        int l1 = 0, l2 = 0;
        tag_MSSP_GetFrameInfo info{};
        for (; P().GetFrameEx(i, &d1, &l1, &d2, &l2, &info, 0) == 0; P().ReleaseFrame(i)) {
            got.push_back(Got{i, info.frameType, info.pts, info.flags, Bytes(d1, d1 + l1), l2 > 0});
            got.back().bytes.insert(got.back().bytes.end(), d2, d2 + l2);
        }
    }
    const int reads = rig->host.Count(ScriptedHost::kRead);
    for (int round = 0; round < 2; ++round) {
        for (int t = 0; t < 2; ++t) mssp::StoreRelease(A::Thread(P(), t).idleAck, 0);
        ASSERT_TRUE(WaitFor([&] {
            return mssp::LoadAcquire(A::Thread(P(), 0).idleAck) == 1 && mssp::LoadAcquire(A::Thread(P(), 1).idleAck) == 1;
        }));
    }
    EXPECT_EQ(rig->host.Count(ScriptedHost::kRead), reads);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(mssp::WaitingCount(A::Head(P(), i)), 0) << i;
    P().Idle(false);
    // A reader whose rings were full looks again soon (ten sleeps of half a
    // second, a stutter, would miss the bound).
    ASSERT_TRUE(PlayOut(P(), got, 0, 3000));
    for (int i = 0; i < 3; ++i) ExpectStream(got, i, Rec(static_cast<uint8_t>(i), 1, 16).packs);
}

// A regression guard, not a benchmark: every control operation ends the
// reader thread's sleep, whichever it is in, and the thread's answer ends the
// control side's wait. The bound is generous for a loaded machine but short
// of a sleep waited out at a 400 ms interval. Four rounds meet the thread in
// its no-progress sleep (its one stream read to the end) and in its parked
// sleep, and stop it from each.
TEST_F(ReaderThreads, ControlOperations_EndTheReadersSleeps_Within250ms) {
    constexpr int kBoundMs = 250;
    Make(1);
    rig->Record(0, 0, Rec(0, 1, 2));
    Common::_datetime_ at{kStart[0], kStart[1], kStart[2], kStart[3], kStart[4], kStart[5], 0};
    MSSP_Time_t tod{kStart[3], kStart[4], kStart[5]};
    auto over = [&] { return WaitFor([&] { return rig->State(0) == MSSP_STATUS_OVER; }, kBoundMs); };
    for (int round = 0; round < 4; ++round) {
        // `reread`: the operation released the thread, which must have read
        // the stream again within the bound (Idle(false) ended its parked sleep).
        auto within = [&](const char* what, auto op, bool reread) {
            const long long ms = ElapsedMs([&] {
                op();
                if (reread) {
                    EXPECT_TRUE(over()) << what << ": stream not read again";
                }
            });
            EXPECT_LT(ms, kBoundMs) << what << ", round " << round;
        };
        ASSERT_EQ(rig->Start(0x1, kStart, 0), 0);
        ASSERT_TRUE(over());
        within("Idle(true) from the no-progress sleep", [&] { P().Idle(true); }, false);
        within("Idle(true) from the parked sleep", [&] { P().Idle(true); }, false);
        within("Seek from the parked sleep", [&] { P().Seek(&at, 0); }, true);
        within("fast forward", [&] { P().SetStatus(MSSP_STATUS_FAST_FORWARD, 8, &tod); }, true);
        within("back to play", [&] { P().SetStatus(MSSP_STATUS_PLAY, 0, &tod); }, true);
        if (round % 2) P().Idle(true);
        within(round % 2 ? "StopParse from the parked sleep" : "StopParse", [&] { P().StopParse(); }, false);
    }
}

TEST_F(ReaderThreads, BySegmentId_OpensAtSegmentStartAndPlaysFromThere) {
    Make(1);
    RecordingBuilder r = Rec(1, 3, 2);
    rig->Record(1, 0, r);
    tag_tavuSegmentId id{1, 0, 0, 2};
    ASSERT_EQ(P().StartParse(0x2, 0x01, 0x77, &id, false, 0), 0);
    const auto opens = rig->host.CallsOf(ScriptedHost::kOpen);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].time, r.recording.segments[2].start);
    EXPECT_EQ(opens[0].openParam, 0) << "opens by segment id carry no open parameter";
    EXPECT_EQ(A::OpenParam(P()), 0x77) << "but later opens will";
    std::vector<Got> got;
    ASSERT_TRUE(PlayOut(P(), got));
    ExpectStream(got, 0, std::vector<PackInfo>(r.packs.begin() + 2 * (r.packs.size() / 3), r.packs.end()));
}

TEST_F(ReaderThreads, RestartAfterStop_StaleCuttingStateDiscarded) {
    Make(1);
    RecordingBuilder r = Rec(0, 1, 3);
    rig->Record(0, 0, r);
    ASSERT_EQ(rig->Start(0x1, kStart, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return mssp::WaitingCount(A::Head(P(), 0)) > 0; }));
    P().StopParse();
    // Left as if the stop came in the middle of a pack and of a segment
    // change naming the old playback's first two packs, still in the ring.
    tag_pbParserData& pd = A::Parser(P(), 0);
    pd.u8PackPending = 1;
    pd.PackLen = 5000;
    pd.u8NewSegData = 1;
    pd.NewSegPos = 0;
    pd.NewSegLen = static_cast<uint32_t>(r.packs[0].bytes.size() + r.packs[1].bytes.size());
    ASSERT_EQ(rig->Start(0x1, kStart, 0), 0);
    std::vector<Got> got;
    ASSERT_TRUE(PlayOut(P(), got));
    ExpectStream(got, 0, r.packs);
}

// Three channels recorded from one origin just below 2^32, played through a
// small ring that every reader wraps: stream 0 carries audio in an ordinary
// segment (timed by the video behind it; the last one, with no video
// behind, is thrown), stream 1 a video segment then an audio segment (audio
// is the timing medium there), stream 2 a timestamp jump. Every frame comes
// in timestamp order (ties to the lower stream), flagged at new segments
// and, unconverted, where the low 32 bits of the timing medium step back or
// jump. Converted, the completion mark keeps the recorded timestamps.
class Forward : public ReaderThreads, public ::testing::WithParamInterface<int> {};

TEST_P(Forward, EveryFrameInTimestampOrder_FlagsAtSegmentsAndJumps) {
    const unsigned char convert = static_cast<unsigned char>(GetParam());
    RecordingBuilder b[3];
    for (int c = 0; c < 3; ++c) {
        uint64_t pts = (1ull << 32) - 1500;
        for (int s = 0; s < 2; ++s) {
            const bool audioSeg = c == 1 && s == 1;
            b[c].NewSegment(AddSeconds(kStart, 8 * s), audioSeg);
            for (int f = 0; f < 80; ++f, pts += 40) {
                const DateTime t = AddSeconds(kStart, 8 * s + f / 10);
                if (c == 2 && s == 1 && f == 33) pts += 5000;
                if (audioSeg) b[c].AddAudio(pts, t, 160 + f % 13, 1);
                b[c].AddVideo(f % 10 ? 1 : 0, pts, t, (f % 10 ? 1500 : 3000) + f * 37 % 97, static_cast<uint8_t>(c));
                if (c == 0) b[c].AddAudio(pts + 20, t, 160 + f % 13, 0);
            }
        }
    }
    Make(3, 3 * 65536 + 4000, 64);
    for (int c = 0; c < 3; ++c) {
        rig->Record(c, 0, b[c]);
        rig->host.SetChunks(c, 0, {65536, 7001, 30011});
    }
    ASSERT_EQ(rig->Start(0x7, kStart, convert), 0);
    std::vector<Got> got;
    ASSERT_TRUE(PlayOut(P(), got, convert)) << got.size() << " frames";
    size_t wrapped = 0;
    for (size_t n = 1; n < got.size(); ++n) {
        wrapped += got[n].wrapped;
        EXPECT_TRUE(got[n - 1].pts < got[n].pts || (got[n - 1].pts == got[n].pts && got[n - 1].index <= got[n].index))
            << "delivery " << n;
    }
    EXPECT_GT(wrapped, 0u);
    for (int c = 0; c < 3; ++c) {
        std::vector<PackInfo> want = b[c].packs;
        if (c == 0) want.pop_back();
        ExpectStream(got, c, want);
        // Expected timestamp and flag of each frame, in stream order.
        uint64_t last = 0;
        size_t k = 0;
        for (const Got& g : got) {
            if (g.index != c || k >= want.size()) continue;
            const PackInfo& p = want[k];
            const bool audioSeg = b[c].recording.segments[p.segment].audio;
            const bool ordinaryAudio = p.type == 2 && !audioSeg;
            EXPECT_EQ(g.pts, ordinaryAudio ? want[k + 1].pts : p.pts) << "stream " << c << " frame " << k;
            bool flag = k > 0 && p.segment != want[k - 1].segment;
            if (audioSeg == (p.type == 2) && convert == 0) {
                const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(p.pts) - static_cast<uint32_t>(last));
                flag = flag || d > 2500 || d < 0;
                last = p.pts;
            }
            EXPECT_EQ(g.flag & 1u, flag ? 1u : 0u) << "stream " << c << " frame " << k;
            ++k;
        }
    }
    EXPECT_EQ(P().StopParse(), 0);
    EXPECT_EQ(rig->host.OpenHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Raw0Converted1, Forward, ::testing::Values(0, 1));

// The diagnostics hooks: the object's own hook takes its lines from the
// reader threads and the playback thread alike, whole and with their levels,
// before the process-wide one, which takes what no object's hook does (here
// the constructor's lines); nothing reaches standard output.
TEST_F(ReaderThreads, LogHooks_WholeLinesFromEveryThread_ObjectHookFirst) {
    HookLines process, object;
    struct Unset {
        ~Unset() { MSSP_SetLogHook(nullptr, nullptr); }
    } unset;
    MSSP_SetLogHook(&HookLines::Take, &process);
    void* user = nullptr;
    EXPECT_EQ(MSSP_GetLogHook(&user), &HookLines::Take);
    EXPECT_EQ(user, &process);
    testing::internal::CaptureStdout();
    Make(2);
    P().SetLogHook(&HookLines::Take, &object);
    for (int c : {0, 1}) rig->Record(c, 0, Rec(static_cast<uint8_t>(c)));
    EXPECT_EQ(rig->Start(0x3, kStart, 1), 0);
    std::vector<Got> got;
    EXPECT_TRUE(PlayOut(P(), got));
    P().GetChnStatusEx(7, 0);  // an invalid index: an error line
    EXPECT_EQ(P().StopParse(), 0);
    rig.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    EXPECT_EQ(process.LevelOf("*  MSSP:Group:1 StreamNum:2"), MSSP_LOG_INFO);
    EXPECT_EQ(process.LevelOf("Playback Thread"), 0) << "an object's line went past its hook";
    EXPECT_EQ(object.LevelOf("Playback Thread 1 is entering, channle is [1,2]"), MSSP_LOG_INFO);
    EXPECT_EQ(object.LevelOf("index 7 is invalid, stream num:2"), MSSP_LOG_ERROR);
    EXPECT_EQ(object.LevelOf("[MSSP MultiStreamSyncParser->StopParse line:"), MSSP_LOG_INFO)
        << "the location prefix leads its message's line";
    EXPECT_GE(object.threads.size(), 3u) << "two reader threads and the test's";
    for (const auto* h : {&process, &object}) {
        for (const auto& [level, line] : h->lines) {
            EXPECT_FALSE(line.empty());
            EXPECT_EQ(line.find('\n'), std::string::npos) << line;
            EXPECT_TRUE(level >= MSSP_LOG_ERROR && level <= MSSP_LOG_DEBUG) << line;
        }
    }
}
