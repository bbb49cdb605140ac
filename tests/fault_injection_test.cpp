// Fault injection through the real reader threads: a host that fails its
// operations at random points (open, seek, read with 0 / negative / more
// than asked, segment info, I-frame reads with failures and null data) and
// serves recordings laced with garbage, truncated packs, packs with wrong
// lengths and packs with bad checksums, while a playback thread takes frames
// with GetFrame/GetFrameEx and a control thread seeks and changes the play
// status. Every run must end without a crash or a hang (a watchdog aborts),
// deliver only frames whose bytes are exactly a recorded pack of their
// channel, end every stream as over (5) or retire it (6) as the operations
// that touched it say, let StopParse return and leave no handle open.
//
// The seed is printed; MSSP_FAULT_SEED=<n> replays a run (thread timing
// still varies), MSSP_FAULT_ITERATIONS=<n> changes the number of runs.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

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
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KeltoPlatform.h"
#include "MsspInternal.h"
#include "ParserHarness.h"
#include "TestAccess.h"
#include "Watchdog.h"

using A = MsspTestAccess;
using msspt::Bytes;
using msspt::DateTime;
using msspt::RecordingBuilder;
using msspt::ScriptedHost;
using P = CMultiStreamSyncParser;

namespace {

constexpr int kGroup = 9;
constexpr int kStreams = 3;        // channels 0..2, stream index = channel
constexpr int kSegments = 3;
constexpr int kGopsPerSegment = 4;  // one GOP per second
constexpr int kGop = 6;
constexpr int kOps = 5;            // control operations per run
constexpr DateTime kStart{26, 3, 4, 9, 0, 0};

unsigned EnvUnsigned(const char* name, unsigned fallback) {
    const char* v = std::getenv(name);
    return v ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

// ---------------------------------------------------------------------------
// Recordings with faults in their bytes.

// Garbage drawn from 0x00..0x3F never holds a chunk id: both formats need
// a tag letter ('d', 'c', 'w', 'b') above that range.
Bytes Garbage(std::mt19937& rng, size_t n) {
    Bytes g(n);
    for (uint8_t& b : g) b = static_cast<uint8_t>(rng() & 0x3F);
    return g;
}

// Where a damaged new-format pack starts, so that the finished recording can
// be checked for a damaged pack that passes its checksum by chance.
struct Damage {
    int segment;
    size_t offset;
};

uint32_t Le24At(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16);
}

// A damaged pack that the parser can take for a good one carries bytes that
// were never recorded as a pack: with an 8-bit checksum one damaged pack in
// 256 would. Change the checksum byte of such a pack (it lies in the damaged
// header, outside every good pack).
void SpoilChance(msspt::Recording& rec, const std::vector<Damage>& damage) {
    for (const Damage& d : damage) {
        Bytes& b = rec.segments[d.segment].bytes;
        if (d.offset + 12 > b.size()) continue;
        const uint64_t packLen = 12ull + Le24At(b, d.offset + 8) + Le24At(b, d.offset + 4);
        if (d.offset + packLen > b.size()) continue;  // never complete within its segment
        const size_t payload = d.offset + 12 + Le24At(b, d.offset + 8);
        const uint8_t sum = packwriter::PayloadChecksum(b.data() + payload, d.offset + packLen - payload);
        if (b[d.offset + 7] == sum) b[d.offset + 7] = static_cast<uint8_t>(sum + 1);
    }
}

// Appends a new-format pack damaged one of three ways, remembered as
// garbage: a bad checksum, cut short, or a payload length that is wrong.
void AddDamagedPack(RecordingBuilder& b, std::mt19937& rng, uint8_t channel, uint64_t pts, DateTime time,
                    std::vector<Damage>& damage) {
    packwriter::NewPack p;
    p.kind = rng() % 2 ? packwriter::kIFrame : packwriter::kPFrame;
    p.channel = channel;
    p.video = packwriter::VideoInfo{704, 576, 25};
    p.pts = pts;
    p.time = time;
    p.flag = true;
    const Bytes payload = packwriter::PatternPayload(200 + rng() % 2000, rng());
    Bytes pack = packwriter::MakeNewPack(p, payload);
    const uint8_t good = packwriter::PayloadChecksum(payload.data(), payload.size());
    switch (rng() % 3) {
    case 0:
        pack[7] = static_cast<uint8_t>(good + 1 + rng() % 255);
        break;
    case 1:
        // Keep the whole header: a shorter piece would have its header
        // completed by the next pack's bytes, which SpoilChance must not touch.
        pack.resize(12 + rng() % (pack.size() - 12));
        break;
    default: {
        const uint32_t len = Le24At(pack, 4);
        const uint32_t wrong = rng() % 2 ? len + 1 + rng() % 3000 : 16 + rng() % (len - 16);
        pack[4] = static_cast<uint8_t>(wrong);
        pack[5] = static_cast<uint8_t>(wrong >> 8);
        pack[6] = static_cast<uint8_t>(wrong >> 16);
        break;
    }
    }
    damage.push_back({static_cast<int>(b.recording.segments.size()) - 1, b.recording.segments.back().bytes.size()});
    b.AddGarbage(pack);
}

struct ChannelRecording {
    RecordingBuilder builder;
    std::map<uint64_t, Bytes> byPts;  // every good pack by pts
};

// GOP-structured recording of `channel`; new format with damage and audio
// segments at random, or old format with garbage only (it has no checksum
// that could catch a damaged pack).
ChannelRecording MakeRecording(std::mt19937& rng, uint8_t channel, bool oldFormat) {
    ChannelRecording out;
    RecordingBuilder& b = out.builder;
    std::vector<Damage> damage;
    uint64_t pts = 1000 + 3u * channel;
    DateTime time = kStart;
    for (int s = 0; s < kSegments; ++s) {
        const bool audio = !oldFormat && rng() % 3 == 0;
        b.NewSegment(time, audio);
        for (int g = 0; g < kGopsPerSegment; ++g) {
            for (int f = 0; f < kGop; ++f) {
                const int type = f == 0 ? 0 : 1;
                const size_t len = (type == 0 ? 2500 : 500) + rng() % 400;
                if (rng() % 10 == 0) b.AddGarbage(Garbage(rng, 1 + rng() % 300));
                if (!oldFormat && rng() % 12 == 0) AddDamagedPack(b, rng, channel, pts, time, damage);
                if (oldFormat) {
                    packwriter::OldVideoPack op;
                    op.kind = type == 0 ? packwriter::kIFrame : packwriter::kPFrame;
                    op.channel = channel;
                    op.ptsUs = pts * 1000;
                    op.time = time;
                    b.AddPack(packwriter::MakeOldVideoPack(op, packwriter::PatternPayload(len, rng())), type, pts, time);
                } else {
                    b.AddVideo(type, pts, time, len, channel);
                }
                if (audio) b.AddAudio(pts + 20, time, 160 + rng() % 40, channel);
                pts += 40;
            }
            time = msspt::AddSeconds(time, 1);
        }
    }
    SpoilChance(b.recording, damage);
    for (const msspt::PackInfo& pk : b.packs) out.byPts[pk.pts] = pk.bytes;
    return out;
}

// ---------------------------------------------------------------------------
// The host table: the scripted host behind a check that every read lands
// wholly inside one of the parser's rings.

struct RingBounds {
    std::atomic<unsigned char*> rings[kStreams];
    std::atomic<int> size{0};
    std::atomic<int> outside{0};
};
RingBounds g_bounds;

int CheckedReadStream(void* user, int handle, unsigned char* dst, int maxLen, unsigned char* newSegment) {
    bool inside = false;
    for (auto& r : g_bounds.rings) {
        unsigned char* ring = r.load();
        if (ring != nullptr && dst >= ring && maxLen >= 0 && dst + maxLen <= ring + g_bounds.size.load()) inside = true;
    }
    if (!inside) {
        g_bounds.outside++;
        return -1;
    }
    return ScriptedHost::ReadStream(user, handle, dst, maxLen, newSegment);
}

// ---------------------------------------------------------------------------
// The playback thread.

struct Tally {
    std::atomic<int> delivered{0};
    std::atomic<int> notAPack{0};      // bytes that are no recorded pack of the channel
    std::atomic<int> wrongPts{0};      // a recorded pack with another timestamp
    std::atomic<int> outsideRing{0};   // pieces not inside the stream's ring
    std::atomic<int> changedWhileHeld{0};
};

struct Catalogue {
    std::map<uint64_t, Bytes> byPts[kStreams];
};

Bytes Join(const unsigned char* d1, int l1, const unsigned char* d2, int l2) {
    Bytes b(d1, d1 + l1);
    if (l2 > 0) b.insert(b.end(), d2, d2 + l2);
    return b;
}

bool PiecesInRing(P& p, int index, const unsigned char* d1, int l1, const unsigned char* d2, int l2) {
    const unsigned char* ring = A::Ring(p, index);
    const long size = A::BufSize(p);
    auto inside = [&](const unsigned char* d, int l) {
        return d != nullptr && l > 0 && d >= ring && d - ring <= size - l;
    };
    if (!inside(d1, l1)) return false;
    return l2 == 0 ? d2 == nullptr : (inside(d2, l2) && d2 == ring);
}

// Checks one delivered frame: inside the ring, a recorded pack of the
// stream's channel with its timestamp, unchanged while it is held.
void CheckFrame(P& p, const Catalogue& cat, int index, const unsigned char* d1, int l1, const unsigned char* d2,
                int l2, int type, uint64_t pts, Tally& tally) {
    tally.delivered++;
    if (!PiecesInRing(p, index, d1, l1, d2, l2)) {
        tally.outsideRing++;
        return;
    }
    const Bytes got = Join(d1, l1, d2, l2);
    const auto& packs = cat.byPts[index];
    auto it = packs.find(pts);
    if (it != packs.end() && it->second == got) {
        // hold the frame a little, as a decoder would
    } else {
        bool recorded = false;
        for (const auto& [ppts, bytes] : packs) recorded = recorded || bytes == got;
        // An audio frame that its segment's (failed) attribute query left
        // outside the timeline is timed by the video frame behind it.
        if (!recorded) tally.notAPack++;
        else if (type != MSSP_FRAME_AUDIO) tally.wrongPts++;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    if (Join(d1, l1, d2, l2) != got) tally.changedWhileHeld++;
}

void PlaybackLoop(P& p, const Catalogue& cat, const std::atomic<int>& direction, const std::atomic<bool>& stop,
                  unsigned seed, Tally& tally) {
    std::mt19937 rng(seed);
    while (!stop.load()) {
        unsigned char *d1 = nullptr, *d2 = nullptr;
        int l1 = 0, l2 = 0;
        const int pick = static_cast<int>(rng() % 16);
        if (pick < kStreams) {
            // One stream on its own, and the queries the playback thread may make.
            tag_MSSP_GetFrameInfo info{};
            if (p.GetFrameEx(pick, &d1, &l1, &d2, &l2, &info, 0) == 0) {
                CheckFrame(p, cat, pick, d1, l1, d2, l2, info.frameType, info.pts, tally);
                p.ReleaseFrame(pick);
            }
            unsigned seconds = 0;
            p.GetStreamTime(pick, &seconds);
            p.GetFrameInfo(static_cast<unsigned char>(pick), &info);
            p.GetChnStatusEx(pick, 0);
            continue;
        }
        int type = 0, channel = -1;
        unsigned long long pts = 0;
        unsigned int flag = 0;
        const int idx = p.GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, direction.load(), 0);
        if (idx < 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        CheckFrame(p, cat, idx, d1, l1, d2, l2, type, pts, tally);
        p.ReleaseFrame(idx);
    }
}

// ---------------------------------------------------------------------------
// One run.

struct Run {
    unsigned seed;
    std::mt19937 rng;
    bool oldFormat;
    ScriptedHost host;
    Catalogue cat;
    std::unique_ptr<P> parser;
    std::string name;
    bool retired[kStreams] = {};  // expected: the stream has no handle and stays invalid
    int streamType = 0;

    explicit Run(unsigned s) : seed(s), rng(s), oldFormat(rng() % 4 == 0) {}

    P& Parser() { return *parser; }

    int Handle(int i) { return A::StreamFd(*parser, A::CurStreamType(*parser, i), i); }

    void Build() {
        for (int c = 0; c < kStreams; ++c) {
            ChannelRecording r = MakeRecording(rng, static_cast<uint8_t>(c), oldFormat);
            cat.byPts[c] = r.byPts;
            host.SetRecording(c, 0, r.builder.recording);
            // Short, uneven reads: many calls, packs cut anywhere.
            std::vector<int> chunks;
            for (int k = 0; k < 7; ++k) chunks.push_back(rng() % 3 == 0 ? 1 + rng() % 64 : 200 + rng() % 9000);
            host.SetChunks(c, 0, chunks);
        }
        host.SetFaultSeed(seed);
        host.SetFlagFirstRead(rng() % 2 == 0);
        for (int c = 0; c < kStreams; ++c) {
            // Reads that end a stream early: end of data, an error, or a host
            // that claims more bytes than it was allowed to write.
            static const int kReadResults[] = {0, -1, -7, mssp::kMaxReadLen + 1, mssp::kMaxReadLen * 2};
            if (rng() % 2 == 0)
                host.SetFault(c, 0, ScriptedHost::kRead, {kReadResults[rng() % 5], static_cast<int>(rng() % 40), 1, 15});
            host.SetFault(c, 0, ScriptedHost::kSegmentInfo, {5, 0, -1, 300});
            // I-frame reads: failures and positive results without data.
            host.SetFault(c, 0, ScriptedHost::kNextIFrame, {rng() % 2 ? 0 : 1, static_cast<int>(rng() % 6), 1, 200});
            host.SetFault(c, 0, ScriptedHost::kPrevIFrame, {rng() % 2 ? -2 : 3, static_cast<int>(rng() % 6), 1, 200});
            if (rng() % 3 == 0) host.SetFault(c, 0, ScriptedHost::kSeek, {-1, static_cast<int>(rng() % 3), 1});
        }
        // One stream may fail to open at the start (and be reopened by a seek).
        if (rng() % 3 == 0) host.SetFault(static_cast<int>(rng() % kStreams), 0, ScriptedHost::kOpen, {-1, 0, 1});
    }

    void Construct() {
        Json::Value spec(Json::objectValue);
        if (oldFormat) spec["PRODUCT_GROUP"] = "ANT";
        Kelto_SetSpecInfo(spec);
        name = msspt::UniqueName("fij");
        static MSSP_StreamOperation_t ops = [] {
            MSSP_StreamOperation_t t = ScriptedHost::Table();
            t.ReadStream = &CheckedReadStream;
            return t;
        }();
        const int ring = 3 * mssp::kMaxReadLen + static_cast<int>(rng() % 3) * mssp::kMaxReadLen +
                         static_cast<int>(rng() % 5000);
        const int nodes = 10 + static_cast<int>(rng() % 30);
        parser = std::make_unique<P>(kGroup, kStreams, name.data(), ring, nodes, &ops, &host, 1);
        g_bounds.size = ring;
        for (int i = 0; i < kStreams; ++i) g_bounds.rings[i] = A::Ring(*parser, i);
        Kelto_SetSpecInfo(Json::Value(Json::objectValue));
    }

    void Destroy() {
        for (auto& r : g_bounds.rings) r = nullptr;
        parser.reset();
        msspt::RemoveKeyFile(name, kGroup);
    }

    Common::_datetime_ RandomTime() {
        Common::_datetime_ t{};
        t.year = kStart[0];
        t.month = kStart[1];
        t.day = kStart[2];
        const DateTime at = msspt::AddSeconds(kStart, static_cast<int>(rng() % (kSegments * kGopsPerSegment + 1)));
        t.hour = at[3];
        t.minute = at[4];
        t.second = at[5];
        return t;
    }

    // After StartParse: a stream whose open failed is invalid.
    void CheckStart() {
        for (int i = 0; i < kStreams; ++i) {
            const int state = mssp::LoadAcquire(A::Head(*parser, i)->state);
            if (Handle(i) < 0) {
                retired[i] = true;
                EXPECT_EQ(state, MSSP_STATUS_STOP) << "stream " << i << " seed " << seed;
            } else {
                EXPECT_TRUE(state == MSSP_STATUS_PLAY || state == MSSP_STATUS_OVER) << "stream " << i << " state " << state;
            }
        }
    }

    // A seek retires the streams that could be neither repositioned nor
    // opened, unless that is every stream; the others read again.
    void SeekAndCheck() {
        int before[kStreams];
        for (int i = 0; i < kStreams; ++i) before[i] = Handle(i);
        const size_t seeksBefore = host.CallsOf(ScriptedHost::kSeek).size();
        const size_t opensBefore = host.CallsOf(ScriptedHost::kOpen).size();
        Common::_datetime_ t = RandomTime();
        parser->Seek(&t, 0);
        const auto seeks = host.CallsOf(ScriptedHost::kSeek);
        const auto opens = host.CallsOf(ScriptedHost::kOpen);
        bool failed[kStreams] = {};
        for (size_t k = seeksBefore; k < seeks.size(); ++k)
            for (int i = 0; i < kStreams; ++i)
                if (seeks[k].handle == before[i] && seeks[k].result < 0) failed[i] = true;
        for (size_t k = opensBefore; k < opens.size(); ++k)
            if (opens[k].result < 0 && opens[k].channel >= 0 && opens[k].channel < kStreams) failed[opens[k].channel] = true;
        const bool all = failed[0] && failed[1] && failed[2];
        for (int i = 0; i < kStreams; ++i) {
            const int state = mssp::LoadAcquire(A::Head(*parser, i)->state);
            if (failed[i] && (!all || before[i] < 0)) {
                retired[i] = true;
                EXPECT_EQ(state, MSSP_STATUS_STOP) << "stream " << i << " seed " << seed;
                EXPECT_LT(Handle(i), 0) << "stream " << i << " seed " << seed;
                if (before[i] >= 0) {
                    EXPECT_FALSE(host.Handle(before[i]).open) << "stream " << i << " seed " << seed;
                }
            } else {
                retired[i] = false;
                EXPECT_TRUE(state == MSSP_STATUS_PLAY || state == MSSP_STATUS_OVER)
                    << "stream " << i << " state " << state << " seed " << seed;
            }
        }
    }

    const char* RandomOp(std::atomic<int>& direction) {
        static const int kSpeeds[] = {2, 8, 16, 32};
        Common::_datetime_ t = RandomTime();
        MSSP_Time_t tod{t.hour, t.minute, t.second};
        MSSP_Time_t* maybeTime = rng() % 2 ? &tod : nullptr;
        switch (rng() % 5) {
        case 0:
        case 1:
            SeekAndCheck();
            direction = 1;
            return "seek";
        case 2:
            parser->SetStatus(MSSP_STATUS_FAST_FORWARD, kSpeeds[rng() % 4], maybeTime);
            direction = 1;
            return "fast forward";
        case 3:
            parser->SetStatus(MSSP_STATUS_FAST_BACKWARD, kSpeeds[rng() % 4], maybeTime);
            direction = -1;
            return "fast backward";
        default:
            parser->SetStatus(MSSP_STATUS_PLAY, 0, maybeTime);
            direction = 1;
            return "play";
        }
    }
};

template <class Cond>
bool WaitFor(Cond cond, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void RunOnce(unsigned seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Run run(seed);
    run.Build();
    run.Construct();
    P& p = run.Parser();
    Tally tally;
    {
        msspt::Watchdog watchdog(std::chrono::seconds(25), "fault injection, seed " + std::to_string(seed));
        tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
        tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
        if (p.StartParse((1u << kStreams) - 1, 0x01, 0, &date, &time, false, static_cast<int>(run.rng() % 3)) != 0) {
            ADD_FAILURE() << "StartParse refused the start";
            run.Destroy();
            return;
        }
        run.CheckStart();

        std::atomic<bool> stop{false};
        std::atomic<int> direction{1};
        std::thread playback(PlaybackLoop, std::ref(p), std::cref(run.cat), std::cref(direction), std::cref(stop),
                             seed + 1, std::ref(tally));
        for (int k = 0; k < kOps; ++k) {
            const int before = tally.delivered.load();
            const char* op = run.RandomOp(direction);
            WaitFor([&] { return tally.delivered.load() >= before + 6; }, 80);
            std::printf("fault injection seed %u op %d: %s, delivered %d\n", seed, k, op, tally.delivered.load());
        }
        // Play on to the end: every stream runs out of data (or was retired).
        run.host.ClearFaults();
        direction = 1;
        p.SetStatus(MSSP_STATUS_PLAY, 0, nullptr);
        const bool ended = WaitFor([&] { return p.GetStatus() == 0; }, 15000);
        EXPECT_TRUE(ended) << "streams still live after the final play";
        stop = true;
        playback.join();
        for (int i = 0; i < kStreams; ++i) {
            const int state = mssp::LoadAcquire(A::Head(p, i)->state);
            EXPECT_EQ(state, run.retired[i] ? MSSP_STATUS_STOP : MSSP_STATUS_OVER) << "stream " << i;
        }
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(p.StopParse(), 0);
        const auto stopMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(stopMs, 3000);
    }
    EXPECT_EQ(run.host.OpenHandles(), 0);
    EXPECT_EQ(g_bounds.outside.exchange(0), 0) << "a read was asked for bytes outside the rings";
    std::printf("fault injection seed %u: %s format, delivered %d\n", seed, run.oldFormat ? "old" : "new",
                tally.delivered.load());
    EXPECT_GT(tally.delivered.load(), 0);
    EXPECT_EQ(tally.outsideRing.load(), 0);
    EXPECT_EQ(tally.notAPack.load(), 0);
    EXPECT_EQ(tally.wrongPts.load(), 0);
    EXPECT_EQ(tally.changedWhileHeld.load(), 0);
    run.Destroy();
}

}  // namespace

TEST(FaultInjection, RandomHostFaultsAndDamagedRecordings_FramesExactStreamsEndNothingLeaks) {
    unsigned seed = EnvUnsigned("MSSP_FAULT_SEED",
                                static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    const unsigned iterations = EnvUnsigned("MSSP_FAULT_ITERATIONS", 8);
    std::printf("fault injection seed=%u iterations=%u\n", seed, iterations);
    RecordProperty("seed", std::to_string(seed));
    const auto t0 = std::chrono::steady_clock::now();
    for (unsigned k = 0; k < iterations && !HasFailure(); ++k) RunOnce(seed + k);
    std::printf("fault injection: %u runs in %lld ms\n", iterations,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - t0)
                                           .count()));
}
