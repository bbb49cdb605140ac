// Threaded stress runs on the shared driver: the reader threads fill, a
// playback thread takes, checks, holds and releases frames, and the test
// thread controls at random, with a host that fails at random points and
// recordings laced with garbage and damaged packs. Nothing may crash or hang
// (a watchdog aborts), every frame must be a recorded pack of its channel,
// unchanged while held, StopParse must return and no handle stay open.
// The seed is printed; MSSP_STRESS_SEED=<n> replays a run's choices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "MsspInternal.h"
#include "StressDriver.h"

using namespace msspt;
using C = ControlDriver;

namespace {

const DateTime kStart{26, 1, 2, 10, 0, 0};

unsigned Seed(const char* what) {
    const char* env = std::getenv("MSSP_STRESS_SEED");
    const unsigned seed = env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10))
                              : static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::printf("%s seed=%u\n", what, seed);
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    return seed;
}

// A recording of 3 segments of 4 one-second GOPs, new format with audio
// segments at random, or old format; with garbage between packs (bytes below
// 0x40 never hold a chunk id) and, in the new format, packs whose checksum
// is wrong. Damaged packs are not remembered: they must never come out.
RecordingBuilder Damaged(std::mt19937& rng, uint8_t channel, bool oldFormat) {
    RecordingBuilder b;
    uint64_t pts = 1000 + 3u * channel;
    DateTime time = kStart;
    for (int s = 0; s < 3; ++s) {
        const bool audio = !oldFormat && rng() % 3 == 0;
        b.NewSegment(time, audio);
        for (int f = 0; f < 24; ++f, pts += 40) {
            if (f % 6 == 0 && f > 0) time = AddSeconds(time, 1);
            const int type = f % 6 == 0 ? 0 : 1;
            const size_t len = (type == 0 ? 2500 : 500) + rng() % 400;
            if (rng() % 10 == 0) {
                Bytes g(1 + rng() % 300);
                for (uint8_t& x : g) x = static_cast<uint8_t>(rng() & 0x3F);
                b.AddGarbage(g);
            }
            if (oldFormat) {
                packwriter::OldVideoPack op;
                op.kind = type == 0 ? packwriter::kIFrame : packwriter::kPFrame;
                op.channel = channel;
                op.ptsUs = pts * 1000;
                op.time = time;
                b.AddPack(packwriter::MakeOldVideoPack(op, packwriter::PatternPayload(len, rng())), type, pts, time);
                continue;
            }
            if (rng() % 12 == 0) {
                RecordingBuilder bad;
                bad.NewSegment(time).AddVideo(1, pts, time, 200 + rng() % 2000, channel);
                ++bad.packs[0].bytes[7];  // the checksum byte
                b.AddGarbage(bad.packs[0].bytes);
            }
            b.AddVideo(type, pts, time, len, channel);
            if (audio) b.AddAudio(pts + 20, time, 160 + rng() % 40, channel);
        }
        time = AddSeconds(time, 1);
    }
    return b;
}

void FaultRun(unsigned seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const bool oldFormat = rng() % 4 == 0;
    const int ring = (3 + static_cast<int>(rng() % 3)) * mssp::kMaxReadLen + static_cast<int>(rng() % 5000);
    // Node rings from 2 nodes, the fewest that hold an audio frame of an
    // ordinary segment and the video frame behind it that times it, through
    // the sizes where the reader's pause and resume bounds change.
    static const int kNodes[] = {2, 3, 6, 12, 19, 23, 39};
    Rig rig("fij", 9, 3, ring, kNodes[rng() % 7], oldFormat);
    ScriptedHost& host = rig.host;
    host.SetFaultSeed(seed);
    host.SetFlagFirstRead(rng() % 2 == 0);
    for (int c = 0; c < 3; ++c) {
        rig.Record(c, 0, Damaged(rng, static_cast<uint8_t>(c), oldFormat));
        // Short, uneven reads: many calls, packs cut anywhere.
        std::vector<int> chunks;
        for (int k = 0; k < 7; ++k) chunks.push_back(rng() % 3 == 0 ? 1 + rng() % 64 : 200 + rng() % 9000);
        host.SetChunks(c, 0, chunks);
        // Reads that end a stream early: end, error, or more than was asked.
        static const int kReadResults[] = {0, -1, -7, mssp::kMaxReadLen + 1, mssp::kMaxReadLen * 2};
        if (rng() % 2 == 0)
            host.SetFault(c, 0, ScriptedHost::kRead, {kReadResults[rng() % 5], static_cast<int>(rng() % 40), 1, 15});
        host.SetFault(c, 0, ScriptedHost::kSegmentInfo, {5, 0, -1, 300});
        host.SetFault(c, 0, ScriptedHost::kNextIFrame, {rng() % 2 ? 0 : 1, static_cast<int>(rng() % 6), 1, 200});
        host.SetFault(c, 0, ScriptedHost::kPrevIFrame, {rng() % 2 ? -2 : 3, static_cast<int>(rng() % 6), 1, 200});
        if (rng() % 3 == 0) host.SetFault(c, 0, ScriptedHost::kSeek, {-1, static_cast<int>(rng() % 3), 1});
    }
    if (rng() % 3 == 0) host.SetFault(static_cast<int>(rng() % 3), 0, ScriptedHost::kOpen, {-1, 0, 1});

    Watchdog watchdog(std::chrono::seconds(25), "fault injection, seed " + std::to_string(seed));
    ASSERT_EQ(rig.Start(0x7, kStart, static_cast<int>(rng() % 3)), 0);
    Consumer consumer(rig, std::chrono::microseconds(100), seed + 1);
    ControlDriver control{rig, consumer, std::mt19937(seed + 2), kStart, 13,
                          1u << C::kPlay | 1u << C::kForward | 1u << C::kBackward | 1u << C::kSeek};
    for (int k = 0; k < 5; ++k) {
        control.Next();
        consumer.AwaitFrames(6, 80);
    }
    // Play on to the end: every stream runs out of data, or has been retired.
    host.ClearFaults();
    consumer.direction = 1;
    rig.P().SetStatus(MSSP_STATUS_PLAY, 0, nullptr);
    EXPECT_TRUE(WaitFor([&] { return rig.P().GetStatus() == 0; }, 15000)) << "streams still live";
    consumer.Stop();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(rig.State(i), rig.Handle(i) < 0 ? MSSP_STATUS_STOP : MSSP_STATUS_OVER) << "stream " << i;
    EXPECT_EQ(rig.P().StopParse(), 0);
    EXPECT_EQ(host.OpenHandles(), 0);
    EXPECT_GT(consumer.delivered.load(), 0);
    EXPECT_EQ(consumer.bad.load(), 0);
    EXPECT_EQ(consumer.changed.load(), 0);
}

// Three streams over recordings of five channels in every stream type (the
// pts tell the types apart), 40 one-second GOPs in two segments.
class Concurrency : public ::testing::Test {
protected:
    void SetUp() override {
        for (int c = 0; c < 5; ++c) {
            for (int type = 0; type < MSSP_STREAM_TYPES; ++type) {
                const SynthSpec s{.channel = static_cast<uint8_t>(c), .segments = 2, .gopsPerSegment = 20, .gop = 8,
                                  .firstPts = 1000 + 7u * static_cast<unsigned>(type), .start = kStart,
                                  .iPayload = 6000, .pPayload = 1200};
                rig.Record(c, type, MakeSynthetic(s));
            }
        }
    }
    // Starts playback under a watchdog, a consumer that holds each frame
    // 1.5 ms as a decoder would, and a control driver over the operations `ops`.
    void Run(const char* what, unsigned ops) {
        watchdog = std::make_unique<Watchdog>(std::chrono::seconds(60), what);
        const unsigned seed = Seed(what);
        ASSERT_EQ(rig.Start(0x7, kStart, static_cast<int>(seed % 2)), 0);
        consumer = std::make_unique<Consumer>(rig, std::chrono::microseconds(1500), seed);
        control.reset(new ControlDriver{rig, *consumer, std::mt19937(seed), kStart, 40, ops, 5});
    }
    // Ends the run: StopParse returns, every handle is closed, and no frame
    // was wrong when handed out or changed while the playback thread held
    // it (a reset waits for the held frame before it refills the ring).
    void ExpectClean() {
        consumer->Stop();
        EXPECT_EQ(rig.P().StopParse(), 0);
        EXPECT_EQ(rig.host.OpenHandles(), 0);
        EXPECT_EQ(consumer->bad.load(), 0);
        EXPECT_EQ(consumer->changed.load(), 0);
    }
    Rig rig{"ccy", 7, 3, 4 * 65536, 32};
    std::unique_ptr<Watchdog> watchdog;
    std::unique_ptr<Consumer> consumer;
    std::unique_ptr<ControlDriver> control;
};

}  // namespace

TEST(FaultInjection, RandomHostFaultsAndDamagedRecordings_FramesExactStreamsEndNothingLeaks) {
    const unsigned seed = Seed("fault injection");
    for (unsigned k = 0; k < 8 && !::testing::Test::HasFailure(); ++k) FaultRun(seed + k);
}

TEST_F(Concurrency, RandomControlWhilePlaybackConsumes_FramesIntactAndStopReturns) {
    ASSERT_NO_FATAL_FAILURE(Run("control concurrency", (1u << C::kOps) - 1));
    for (int k = 0; k < 30; ++k) {
        control->Next();
        consumer->AwaitFrames(4, 120);
    }
    ExpectClean();
    EXPECT_GT(consumer->delivered.load(), 30);
    EXPECT_EQ(control->oddRates, 0);
}

// The host empties the buffers (all streams, or one channel) every half
// millisecond while the readers fetch I-frames in fast forward, with the
// other trick-play and seek operations mixed in: each reset happens while
// the readers are parked, so every frame is still a recorded pack.
TEST_F(Concurrency, ClearBufferWhileFastForward_FramesIntact) {
    ASSERT_NO_FATAL_FAILURE(Run("clear in fast forward", 1u << C::kForward | 1u << C::kBackward | 1u << C::kSeek |
                                                             1u << C::kPlay | 1u << C::kClear));
    EXPECT_EQ(rig.P().SetStatus(MSSP_STATUS_FAST_FORWARD, 16, nullptr), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int k = 0; k < 4000 && std::chrono::steady_clock::now() < end; ++k) {
        control->Next();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ExpectClean();
    EXPECT_GT(consumer->delivered.load(), 0);
}

// The fast-forward speed changed while the readers fetch I-frames at the old
// one (each change restarts at the second given): frames keep coming.
TEST_F(Concurrency, TrickSpeedChangedWhileReadersFetch_FramesKeepComing) {
    ASSERT_NO_FATAL_FAILURE(Run("trick speed", 0));
    static const int kSpeeds[] = {8, 16, 4, 16};  // skip at most 3 I-frames: no stream runs out
    for (int k = 0; k < 12; ++k) {
        const DateTime at = AddSeconds(kStart, k * 3);
        MSSP_Time_t tod{at[3], at[4], at[5]};
        EXPECT_EQ(rig.P().SetStatus(MSSP_STATUS_FAST_FORWARD, kSpeeds[k % 4], &tod), 0);
        EXPECT_TRUE(consumer->AwaitFrames(3, 2000)) << "change " << k;
    }
    ExpectClean();
}

// Control operations back to back for a few seconds: each wakes the readers
// and parks them again at once. Nothing may be lost (a seek afterwards
// brings frames), no operation may wait out a sleep (median below the
// control side's 10 ms look interval), no reset may give up waiting for a
// held frame.
TEST_F(Concurrency, BackToBackControl_NothingLostNothingWaitedOut) {
    ASSERT_NO_FATAL_FAILURE(Run("back-to-back control", 0xFF));
    std::vector<double> ms;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end && ms.size() < 2000) {
        const auto t0 = std::chrono::steady_clock::now();
        control->Next();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    Common::_datetime_ from{kStart[0], kStart[1], kStart[2], kStart[3], kStart[4], kStart[5], 0};
    consumer->direction = 1;
    rig.P().Seek(&from, 0);
    EXPECT_TRUE(consumer->AwaitFrames(12, 10000)) << "playback did not resume after the run";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(MsspTestAccess::ResetCount(rig.P(), i), 0u) << "a held frame was written off";
    ExpectClean();
    std::sort(ms.begin(), ms.end());
    std::printf("%zu operations back to back: median %.3f ms, max %.3f ms\n", ms.size(), ms[ms.size() / 2], ms.back());
    EXPECT_LT(ms[ms.size() / 2], 10.0);
}
