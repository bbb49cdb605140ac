// Start, stop and the reader threads: channel and stream-type mapping, the
// checks StartParse makes before it opens anything, the distribution of
// streams over threads, the Idle handshake, bounded waits, and a few end-to-
// end runs with real threads (bounded in time, polling conditions). The
// test thread consumes frames the way the playback thread does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "MsspInternal.h"
#include "ParserHarness.h"

using A = MsspTestAccess;
using msspt::DateTime;
using msspt::Delivered;
using msspt::PackInfo;
using msspt::ParserHarness;
using msspt::RecordingBuilder;
using msspt::ScriptedHost;

namespace {

constexpr DateTime kStart{26, 7, 8, 11, 0, 0};

template <class Cond>
bool WaitFor(Cond cond, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        usleep(1000);
    }
    return true;
}

template <class Fn>
long long ElapsedMs(Fn fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

RecordingBuilder Recording(uint8_t channel, int segments = 1, int gops = 4) {
    msspt::SynthSpec s;
    s.channel = channel;
    s.segments = segments;
    s.gopsPerSegment = gops;
    s.gop = 5;
    s.start = kStart;
    return msspt::MakeSynthetic(s);
}

class ReaderThreads : public ::testing::Test {
protected:
    void Make(int streams, int ringSize = 1 << 20, int frameNum = 32) {
        h = std::make_unique<ParserHarness>("rt", streams, ringSize, frameNum);
    }
    void TearDown() override {
        if (h) {
            // Never leave threads running on a parser that is destroyed.
            EXPECT_LT(ElapsedMs([&] { h->P().StopParse(); }), 3000);
        }
    }
    int StartByTime(unsigned chnBmp, int streamsPerThread, unsigned char typeBmp = 0x01) {
        tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
        tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
        return h->P().StartParse(chnBmp, typeBmp, 0x1234, &date, &time, true, streamsPerThread);
    }
    // Takes every waiting frame of stream i, as the playback thread would.
    void Consume(int i, std::vector<Delivered>& out) {
        while (h->Waiting(i) > 0) {
            out.push_back(h->Oldest(i));
            h->Release(i);
        }
    }
    std::unique_ptr<ParserHarness> h;
};

void ExpectSameFrames(const std::vector<Delivered>& got, const std::vector<PackInfo>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_TRUE(got[k].bytes == want[k].bytes) << "frame " << k;
        EXPECT_EQ(got[k].node.frameType, want[k].type) << "frame " << k;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Mapping and checks before anything starts

TEST_F(ReaderThreads, StreamTypeOfBitmap_LowestSetBit) {
    Make(1);
    CMultiStreamSyncParser& p = h->P();
    EXPECT_EQ(p.GetStreamTypeFromBitmap(0x01), 0);
    EXPECT_EQ(p.GetStreamTypeFromBitmap(0x00), 0);
    EXPECT_EQ(p.GetStreamTypeFromBitmap(0x02), 1);
    EXPECT_EQ(p.GetStreamTypeFromBitmap(0x06), 1);
    EXPECT_EQ(p.GetStreamTypeFromBitmap(0x04), 2);
    EXPECT_EQ(p.GetStreamTypeFromBitmap(0x80), 7);
}

TEST_F(ReaderThreads, ChannelsMapToStreamIndexesInOrder) {
    Make(2);
    h->host.SetRecording(1, 0, Recording(1).recording);
    h->host.SetRecording(3, 0, Recording(3).recording);
    ASSERT_EQ(StartByTime(0x0000000A, 0), 0);
    int index = -5;
    EXPECT_EQ(h->P().GetChnIndex(3, index), 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(h->P().GetChnIndex(1, index), 1);
    EXPECT_EQ(index, 0);
    index = -5;
    EXPECT_EQ(h->P().GetChnIndex(2, index), 0);
    EXPECT_EQ(h->P().GetChnIndex(32, index), 0);
    EXPECT_EQ(h->P().GetChnIndex(-1, index), 0);
    EXPECT_EQ(index, -5);
    EXPECT_EQ(h->Head(0)->channel, 1);
    EXPECT_EQ(h->Head(1)->channel, 3);
    const auto opens = h->host.CallsOf(ScriptedHost::kOpen);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].channel, 1);
    EXPECT_EQ(opens[1].channel, 3);
    EXPECT_EQ(opens[0].openParam, 0x1234);
    EXPECT_EQ(opens[0].openFlag, 1);
    EXPECT_EQ(opens[0].time, kStart);
}

TEST_F(ReaderThreads, MoreChannelsThanStreams_OnlyIndexedChannelsPlayed) {
    Make(2);
    for (int c = 0; c < 4; ++c) h->host.SetRecording(c, 0, Recording(c).recording);
    ASSERT_EQ(StartByTime(0x0000000F, 0), 0);
    EXPECT_EQ(A::ChnMask(h->P()), 0x3u);
    EXPECT_EQ(h->host.Count(ScriptedHost::kOpen), 2);
    int index = -1;
    EXPECT_EQ(h->P().GetChnIndex(2, index), 0) << "channel 2 has no stream";
}

TEST_F(ReaderThreads, StreamTypeBitmapAboveType2_RefusedNothingOpened) {
    Make(2);
    h->host.SetRecording(0, 3, Recording(0).recording);
    EXPECT_EQ(StartByTime(0x3, 0, 0x08), -1);
    tag_tavuSegmentId id{0, 3, 0, 0};
    EXPECT_EQ(h->P().StartParse(0x3, 0x10, 0, &id, false, 0), -1);
    EXPECT_EQ(h->host.Calls().size(), 0u) << "no host call at all";
    EXPECT_EQ(A::Running(h->P()), 0);
    EXPECT_EQ(A::Status(h->P()), MSSP_STATUS_STOP);
    EXPECT_EQ(h->P().Idle(true), 0);
}

TEST_F(ReaderThreads, EveryOpenFails_StreamsInvalidStatusZero_StopBounded) {
    Make(3);
    ASSERT_EQ(StartByTime(0x7, 1), 0);  // no recordings: every open fails
    for (int i = 0; i < 3; ++i) EXPECT_EQ(h->Head(i)->state, MSSP_STATUS_STOP);
    EXPECT_EQ(h->P().GetStatus(), 0);
    EXPECT_EQ(A::Running(h->P()), 1);
    EXPECT_EQ(A::Status(h->P()), MSSP_STATUS_PLAY);
    EXPECT_LT(ElapsedMs([&] { h->P().Idle(true); }), 2000);
    h->P().Idle(false);
    EXPECT_LT(ElapsedMs([&] { EXPECT_EQ(h->P().StopParse(), 0); }), 2000);
    for (int t = 0; t < 3; ++t) EXPECT_EQ(A::Thread(h->P(), t).exited, 1);
    EXPECT_EQ(h->host.Count(ScriptedHost::kRead), 0);
}

TEST_F(ReaderThreads, IdleAndStopWithoutThreads_ReturnAtOnce) {
    Make(4);
    EXPECT_LT(ElapsedMs([&] { EXPECT_EQ(h->P().Idle(true), 0); }), 500) << "before the first StartParse";
    EXPECT_EQ(h->P().StopParse(), 0);
    h->host.SetRecording(0, 0, Recording(0).recording);
    ASSERT_EQ(StartByTime(0x1, 0), 0);
    EXPECT_EQ(h->P().StopParse(), 0);
    EXPECT_EQ(A::Status(h->P()), MSSP_STATUS_STOP);
    EXPECT_EQ(h->P().StopParse(), 0) << "second stop returns at once";
    EXPECT_LT(ElapsedMs([&] { EXPECT_EQ(h->P().Idle(true), 0); }), 500) << "after StopParse";
    EXPECT_EQ(h->Pd(0).pFrameInfo, nullptr);
    EXPECT_EQ(h->Pd(0).pTempBuf, nullptr);
    EXPECT_EQ(h->host.OpenHandles(), 0);
}

// ---------------------------------------------------------------------------
// Distribution of streams over threads

struct Split {
    int streamsPerThread;
    std::vector<std::pair<int, int>> served;  // firstStream, endStream per thread
};
void PrintTo(const Split& c, std::ostream* os) { *os << "streamsPerThread " << c.streamsPerThread; }

class ReaderThreadSplit : public ReaderThreads, public ::testing::WithParamInterface<Split> {};

TEST_P(ReaderThreadSplit, RecordsAndEveryStreamRead) {
    const Split s = GetParam();
    Make(4);
    for (int c = 0; c < 4; ++c) h->host.SetRecording(c, 0, Recording(c).recording);
    ASSERT_EQ(StartByTime(0xF, s.streamsPerThread), 0);
    for (int t = 0; t < 4; ++t) {
        const MSSP_ThreadParam_t& rec = A::Thread(h->P(), t);
        if (t < static_cast<int>(s.served.size())) {
            EXPECT_EQ(rec.threadIndex, t);
            EXPECT_EQ(rec.firstStream, s.served[t].first) << "thread " << t;
            EXPECT_EQ(rec.endStream, s.served[t].second) << "thread " << t;
            EXPECT_EQ(rec.parser, &h->P());
        } else {
            EXPECT_EQ(rec.threadIndex, mssp::kNoThread) << "record " << t;
        }
    }
    // Every stream is served by some thread: each gets frames.
    EXPECT_TRUE(WaitFor([&] {
        for (int i = 0; i < 4; ++i)
            if (h->Waiting(i) == 0) return false;
        return true;
    }));
    EXPECT_LT(ElapsedMs([&] { h->P().StopParse(); }), 2000);
    EXPECT_EQ(h->host.OpenHandles(), 0) << "each thread closed its streams' handles";
    EXPECT_EQ(h->host.Count(ScriptedHost::kClose), 4);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, ReaderThreadSplit,
    ::testing::Values(Split{0, {{0, 4}}}, Split{-1, {{0, 4}}}, Split{1, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}},
                      Split{3, {{0, 3}, {3, 6}}}, Split{4, {{0, 4}}}, Split{300, {{0, 4}}}),
    [](const ::testing::TestParamInfo<Split>& info) {
        const int n = info.param.streamsPerThread;
        return (n < 0 ? "PerThreadMinus" : "PerThread") + std::to_string(n < 0 ? -n : n);
    });

// ---------------------------------------------------------------------------
// Idle handshake with running threads

TEST_F(ReaderThreads, Idle_ParksEveryThreadUntilReleased) {
    Make(3, 1 << 20, 32);  // the node rings fill: the readers wait for the consumer
    std::vector<RecordingBuilder> recs;
    for (int c = 0; c < 3; ++c) {
        recs.push_back(Recording(c, 1, 12));
        h->host.SetRecording(c, 0, recs.back().recording);
        h->host.SetChunks(c, 0, {4000});  // many small reads
    }
    ASSERT_EQ(StartByTime(0x7, 2), 0);
    ASSERT_TRUE(WaitFor([&] { return h->Waiting(0) > 0 && h->Waiting(2) > 0; }));
    EXPECT_LT(ElapsedMs([&] { h->P().Idle(true); }), 2000);
    for (int t = 0; t < 2; ++t) EXPECT_EQ(mssp::LoadAcquire(A::Thread(h->P(), t).idleAck), 1);
    // Free every node while parked: parked threads must still store nothing
    // and read nothing, while they keep re-acknowledging.
    std::vector<Delivered> got[3];
    for (int i = 0; i < 3; ++i) Consume(i, got[i]);
    const int reads = h->host.Count(ScriptedHost::kRead);
    std::vector<uint32_t> parsed;
    for (int i = 0; i < 3; ++i) parsed.push_back(h->Head(i)->parseNum);
    for (int round = 0; round < 2; ++round) {
        for (int t = 0; t < 2; ++t) mssp::StoreRelease(A::Thread(h->P(), t).idleAck, 0);
        ASSERT_TRUE(WaitFor([&] {
            return mssp::LoadAcquire(A::Thread(h->P(), 0).idleAck) == 1 &&
                   mssp::LoadAcquire(A::Thread(h->P(), 1).idleAck) == 1;
        }));
    }
    EXPECT_EQ(h->host.Count(ScriptedHost::kRead), reads);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(h->Head(i)->parseNum, parsed[i]);
    h->P().Idle(false);
    ASSERT_TRUE(WaitFor([&] {
        for (int i = 0; i < 3; ++i) Consume(i, got[i]);
        return h->P().GetStatus() == 0;
    }));
    for (int i = 0; i < 3; ++i) ExpectSameFrames(got[i], recs[i].packs);
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
    h->host.SetRecording(0, 0, Recording(0, 1, 2).recording);
    CMultiStreamSyncParser& p = h->P();
    Common::_datetime_ at{kStart[0], kStart[1], kStart[2], kStart[3], kStart[4], kStart[5], 0};
    MSSP_Time_t tod{kStart[3], kStart[4], kStart[5]};
    auto over = [&] {
        return WaitFor([&] { return mssp::LoadAcquire(h->Head(0)->state) == MSSP_STATUS_OVER; }, kBoundMs);
    };
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
        ASSERT_EQ(StartByTime(0x1, 0), 0);
        ASSERT_TRUE(over());
        within("Idle(true) from the no-progress sleep", [&] { p.Idle(true); }, false);
        within("Idle(true) from the parked sleep", [&] { p.Idle(true); }, false);
        within("Seek from the parked sleep", [&] { p.Seek(&at, 0); }, true);
        within("fast forward", [&] { p.SetStatus(MSSP_STATUS_FAST_FORWARD, 8, &tod); }, true);
        within("back to play", [&] { p.SetStatus(MSSP_STATUS_PLAY, 0, &tod); }, true);
        if (round % 2) p.Idle(true);
        within(round % 2 ? "StopParse from the parked sleep" : "StopParse", [&] { p.StopParse(); }, false);
    }
}

// ---------------------------------------------------------------------------
// End to end

TEST_F(ReaderThreads, ByTime_EveryFrameOfEveryStreamThenStatusZero) {
    Make(2, 300000, 32);  // a small ring: the readers wrap it many times
    RecordingBuilder r0 = Recording(0, 2, 20);
    RecordingBuilder r2 = Recording(2, 1, 30);
    h->host.SetRecording(0, 0, r0.recording);
    h->host.SetRecording(2, 0, r2.recording);
    h->host.SetChunks(2, 0, {65536, 1000, 30000});
    ASSERT_EQ(StartByTime(0x5, 1), 0);
    std::vector<Delivered> got0, got2;
    ASSERT_TRUE(WaitFor([&] {
        Consume(0, got0);
        Consume(1, got2);
        return h->P().GetStatus() == 0;
    }));
    ExpectSameFrames(got0, r0.packs);
    ExpectSameFrames(got2, r2.packs);
    ASSERT_FALSE(got0.empty());
    EXPECT_EQ(got0[r0.packs.size() / 2].node.flags, 0x01) << "first frame of the second segment";
    EXPECT_EQ(mssp::LoadAcquire(h->Head(0)->state), MSSP_STATUS_OVER);  // the readers still run
    EXPECT_EQ(mssp::LoadAcquire(h->Head(1)->state), MSSP_STATUS_OVER);
    EXPECT_EQ(A::StreamFd(h->P(), 0, 0) >= 0, true) << "handles stay open until the threads end";
    EXPECT_EQ(h->P().StopParse(), 0);
    EXPECT_EQ(h->host.OpenHandles(), 0);
    EXPECT_EQ(A::StreamFd(h->P(), 0, 0), -1);
    EXPECT_EQ(A::Status(h->P()), MSSP_STATUS_STOP);
}

TEST_F(ReaderThreads, BySegmentId_OpensAtSegmentStartAndPlaysFromThere) {
    Make(1);
    RecordingBuilder r = Recording(1, 3, 2);
    h->host.SetRecording(1, 0, r.recording);
    tag_tavuSegmentId id{1, 0, 0, 2};
    ASSERT_EQ(h->P().StartParse(0x2, 0x01, 0x77, &id, false, 0), 0);
    const auto opens = h->host.CallsOf(ScriptedHost::kOpen);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].time, r.recording.segments[2].start);
    EXPECT_EQ(opens[0].openParam, 0) << "opens by segment id carry no open parameter";
    EXPECT_EQ(A::OpenParam(h->P()), 0x77) << "but later opens will";
    EXPECT_EQ(A::PlayDate(h->P()).day, r.recording.segments[2].start[2]);
    std::vector<Delivered> got;
    ASSERT_TRUE(WaitFor([&] {
        Consume(0, got);
        return h->P().GetStatus() == 0;
    }));
    const size_t perSegment = r.packs.size() / 3;
    ExpectSameFrames(got, std::vector<PackInfo>(r.packs.begin() + 2 * perSegment, r.packs.end()));
}

TEST_F(ReaderThreads, BySegmentId_UnknownSegment_NothingOpenedNotRunning) {
    Make(2);
    h->host.SetRecording(1, 0, Recording(1).recording);
    tag_tavuSegmentId id{1, 0, 0, 9};
    EXPECT_EQ(h->P().StartParse(0x2, 0x01, 0, &id, false, 0), -1);
    EXPECT_EQ(h->host.Count(ScriptedHost::kOpen), 0);
    EXPECT_EQ(A::Running(h->P()), 0);
    EXPECT_EQ(A::Status(h->P()), MSSP_STATUS_INIT);
    EXPECT_EQ(h->P().StopParse(), 0);
    EXPECT_LT(ElapsedMs([&] { h->P().Idle(true); }), 500);
}

TEST_F(ReaderThreads, RestartAfterStop_StaleCuttingStateDiscarded) {
    Make(1);
    RecordingBuilder r = Recording(0, 1, 3);
    h->host.SetRecording(0, 0, r.recording);
    ASSERT_EQ(StartByTime(0x1, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return h->Waiting(0) > 0; }));
    h->P().StopParse();
    // Left behind as if the stop came in the middle of a pack and of a
    // segment change.
    h->Pd(0).u8PackPending = 1;
    h->Pd(0).PackLen = 5000;
    // The new-segment bytes named are the old playback's first two packs,
    // still in the ring: they must not be delivered again.
    h->Pd(0).u8NewSegData = 1;
    h->Pd(0).NewSegPos = 0;
    h->Pd(0).NewSegLen = static_cast<uint32_t>(r.packs[0].bytes.size() + r.packs[1].bytes.size());
    ASSERT_EQ(StartByTime(0x1, 0), 0);
    std::vector<Delivered> got;
    ASSERT_TRUE(WaitFor([&] {
        Consume(0, got);
        return h->P().GetStatus() == 0;
    }));
    ExpectSameFrames(got, r.packs);
}
