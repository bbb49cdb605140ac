// Control operations against a running playback: while a host-like playback
// thread keeps taking frames (GetFrame, holding each one briefly as a decoder
// would, ReleaseFrame), the control thread runs a bounded random sequence of
// status changes, seeks and switches. Nothing may crash or hang, StopParse
// must return, no handle may stay open, and every delivered frame's bytes
// must equal the recorded pack of its channel and pts when it is handed out
// and still after the playback thread has used it.
//
// The seed is printed; MSSP_CONTROL_SEED=<n> replays a sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "MsspInternal.h"
#include "ScriptedHost.h"
#include "Watchdog.h"
#include "TestAccess.h"

using msspt::ScriptedHost;
using P = CMultiStreamSyncParser;

namespace {

constexpr int kGroup = 7;
constexpr int kStreams = 3;
constexpr int kChannels = 5;  // recordings exist for channels 0..4
constexpr int kGops = 40;     // one per second from 10:00:00
constexpr int kOps = 30;      // control operations per run
// A decoder's use of one frame; MSSP_CONTROL_HOLD_US=<n> changes it.
std::chrono::microseconds HoldTime() {
    const char* env = std::getenv("MSSP_CONTROL_HOLD_US");
    return std::chrono::microseconds(env ? std::strtol(env, nullptr, 10) : 1500);
}
const msspt::DateTime kStart{26, 1, 2, 10, 0, 0};

using PackMap = std::map<std::pair<int, uint64_t>, msspt::Bytes>;

struct Tally {
    std::atomic<int> delivered{0};
    std::atomic<int> badAtDelivery{0};  // bytes differ from the recorded pack when handed out
    std::atomic<int> badAfterHold{0};   // bytes changed while the playback thread held the frame
    std::atomic<int> unknown{0};        // no recorded pack of that channel and pts
};

bool Matches(const PackMap& packs, const unsigned char* d1, int l1, const unsigned char* d2, int l2,
             uint64_t pts, bool* known) {
    *known = false;
    if (d1 == nullptr || l1 <= 0) return false;
    auto it = packs.find({d1[0], pts});
    if (it == packs.end()) return false;
    *known = true;
    const msspt::Bytes& want = it->second;
    if (static_cast<size_t>(l1) + static_cast<size_t>(l2) != want.size()) return false;
    return std::memcmp(d1, want.data(), l1) == 0 && (l2 == 0 || std::memcmp(d2, want.data() + l1, l2) == 0);
}

void PlaybackLoop(P& p, const PackMap& packs, const std::atomic<int>& direction,
                  const std::atomic<bool>& stop, Tally& tally) {
    const std::chrono::microseconds hold = HoldTime();
    while (!stop.load()) {
        unsigned char *d1 = nullptr, *d2 = nullptr;
        int l1 = 0, l2 = 0, type = 0, channel = -1;
        unsigned long long pts = 0;
        unsigned int flag = 0;
        const int idx = p.GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, direction.load(), 0);
        if (idx < 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            continue;
        }
        bool known = false;
        const bool good = Matches(packs, d1, l1, d2, l2, pts, &known);
        if (!known) tally.unknown++;
        if (!good) tally.badAtDelivery++;
        std::this_thread::sleep_for(hold);
        if (good && !Matches(packs, d1, l1, d2, l2, pts, &known)) tally.badAfterHold++;
        tally.delivered++;
        p.ReleaseFrame(idx);
    }
}

Common::_datetime_ RandomTime(std::mt19937& rng) {
    Common::_datetime_ t{};
    t.year = kStart[0];
    t.month = kStart[1];
    t.day = kStart[2];
    t.hour = 10;
    t.minute = 0;
    t.second = static_cast<uint8_t>(rng() % kGops);
    return t;
}

// Runs one random control operation; returns its name for the trace.
const char* RandomOp(P& p, std::mt19937& rng, std::atomic<int>& direction) {
    static const int kSpeeds[] = {4, 8, 16, 32};
    Common::_datetime_ t = RandomTime(rng);
    MSSP_Time_t tod{t.hour, t.minute, t.second};
    MSSP_Time_t* maybeTime = (rng() % 2) ? &tod : nullptr;
    switch (rng() % 8) {
    case 0:
        p.SetStatus(MSSP_STATUS_PLAY, 0, maybeTime);
        direction = 1;
        return "play";
    case 1:
        p.SetStatus(MSSP_STATUS_FAST_FORWARD, kSpeeds[rng() % 4], maybeTime);
        direction = 1;
        return "fast forward";
    case 2:
        p.SetStatus(MSSP_STATUS_FAST_BACKWARD, kSpeeds[rng() % 4], maybeTime);
        direction = -1;
        return "fast backward";
    case 3:
    case 4:
        p.Seek(&t, 0);
        direction = 1;
        return "seek";
    case 5:
        p.SwitchStream(static_cast<unsigned>(rng() % 32), 1 << (rng() % 3), &t);
        return "switch some";
    case 6:
        p.SwitchStream(static_cast<int>(rng() % 3), &t);
        direction = 1;
        return "switch all";
    default: {
        unsigned mask = 0;
        while (mask == 0) mask = static_cast<unsigned>(rng() % (1u << kChannels));
        p.SwitchPlaybackChannels(mask, &t);
        return "switch channels";
    }
    }
}

// One playback group of kStreams streams over recordings of kChannels
// channels (every stream type), and a host-like playback thread that takes,
// holds, checks and releases frames while the test thread controls.
class ControlConcurrency : public ::testing::Test {
protected:
    void SetUp() override {
        seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
        if (const char* env = std::getenv("MSSP_CONTROL_SEED")) seed = static_cast<unsigned>(std::strtoul(env, nullptr, 10));
        std::printf("control concurrency seed=%u\n", seed);
        RecordProperty("seed", std::to_string(seed));
        rng.seed(seed);
        for (int c = 0; c < kChannels; ++c) {
            for (int type = 0; type < MSSP_STREAM_TYPES; ++type) {
                msspt::SynthSpec s;
                s.channel = static_cast<uint8_t>(c);
                s.segments = 2;
                s.gopsPerSegment = kGops / 2;
                s.gop = 8;
                s.firstPts = 1000 + 7u * static_cast<unsigned>(type);  // pts tell the types apart
                s.start = kStart;
                s.iPayload = 6000;
                s.pPayload = 1200;
                msspt::RecordingBuilder b = msspt::MakeSynthetic(s);
                for (const msspt::PackInfo& pk : b.packs) packs[{c, pk.pts}] = pk.bytes;
                host.SetRecording(c, type, std::move(b.recording));
            }
        }
        ops = ScriptedHost::Table();
        name = msspt::UniqueName("ccy");
        p = std::make_unique<P>(kGroup, kStreams, const_cast<char*>(name.c_str()), 4 * 65536, 32, &ops, &host, 1);
    }
    void TearDown() override {
        p.reset();
        msspt::RemoveKeyFile(name, kGroup);
    }

    void StartPlayback() {
        tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
        tag_tavuTime time{10, 0, 0};
        ASSERT_EQ(p->StartParse(0x7, 0x01, 0, &date, &time, false, rng() % 2 ? 1 : 0), 0);
        playback = std::thread(PlaybackLoop, std::ref(*p), std::cref(packs), std::cref(direction), std::cref(stop),
                               std::ref(tally));
    }
    // Ends the playback thread and playback; every handle must be closed
    // and every delivered frame intact, when handed out and after its use.
    void StopPlayback() {
        stop = true;
        playback.join();
        EXPECT_EQ(p->StopParse(), 0);
        EXPECT_EQ(host.OpenHandles(), 0);
        std::printf("delivered=%d badAtDelivery=%d badAfterHold=%d unknown=%d\n", tally.delivered.load(),
                    tally.badAtDelivery.load(), tally.badAfterHold.load(), tally.unknown.load());
        EXPECT_EQ(tally.badAtDelivery.load(), 0) << "seed " << seed;
        // A reset waits until the playback thread has let go of the frame it
        // holds, so the refill never overwrites a frame in use.
        EXPECT_EQ(tally.badAfterHold.load(), 0) << "seed " << seed;
    }

    unsigned seed = 0;
    std::mt19937 rng;
    ScriptedHost host;
    PackMap packs;
    MSSP_StreamOperation_t ops{};
    std::string name;
    std::unique_ptr<P> p;
    Tally tally;
    std::atomic<bool> stop{false};
    std::atomic<int> direction{1};
    std::thread playback;
};

}  // namespace

TEST_F(ControlConcurrency, RandomControlWhilePlaybackConsumes_FramesIntactAndStopReturns) {
    msspt::Watchdog watchdog(std::chrono::seconds(60), "control concurrency");
    StartPlayback();
    for (int k = 0; k < kOps; ++k) {
        const int before = tally.delivered.load();
        const char* op = RandomOp(*p, rng, direction);
        // Let playback go on for a few frames (or a short while) before the next operation.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(120);
        while (tally.delivered.load() < before + 4 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::printf("control op %d: %s, delivered %d\n", k, op, tally.delivered.load());
    }
    StopPlayback();
    EXPECT_GT(tally.delivered.load(), kOps);
}

// Control operations back to back, no pause between them, for a few seconds:
// each one wakes the readers and parks them again at once. Nothing may be
// lost (afterwards a seek brings frames again), the operations must not wait
// out sleeps (median below the control side's 10 ms look interval, which
// every parking operation used to wait at least once), no reset may give up
// waiting for a held frame, and no frame held by the playback thread may be
// overwritten.
TEST_F(ControlConcurrency, BackToBackControl_NothingLostNothingWaitedOut) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kRun = std::chrono::seconds(3);
    constexpr size_t kMaxOps = 2000;  // the library prints a few lines per operation
    constexpr double kLookIntervalMs = 10;
    msspt::Watchdog watchdog(std::chrono::seconds(60), "back-to-back control");
    StartPlayback();
    std::vector<double> ms;
    const Clock::time_point end = Clock::now() + kRun;
    while (Clock::now() < end && ms.size() < kMaxOps) {
        const Clock::time_point t0 = Clock::now();
        RandomOp(*p, rng, direction);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    Common::_datetime_ from{kStart[0], kStart[1], kStart[2], kStart[3], kStart[4], kStart[5], 0};
    const int before = tally.delivered.load();
    direction = 1;
    p->Seek(&from, 0);
    const Clock::time_point until = Clock::now() + std::chrono::seconds(10);
    while (tally.delivered.load() < before + 4 * kStreams && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(tally.delivered.load(), before + 4 * kStreams) << "playback did not resume after the run";
    for (int i = 0; i < kStreams; ++i) EXPECT_EQ(MsspTestAccess::ResetCount(*p, i), 0u) << "a held frame was written off";
    StopPlayback();

    std::sort(ms.begin(), ms.end());
    std::printf("%zu operations back to back: median %.3f ms, max %.3f ms\n", ms.size(), ms[ms.size() / 2], ms.back());
    EXPECT_LT(ms[ms.size() / 2], kLookIntervalMs);
}
