// The host layer's own logic, without an engine: the payload of a pack in
// either format at every split between the two pieces a ring hands out, the
// kind of a video payload, trick speeds, the key file of the engine's
// shared memory, and the presentation stage on hand-made frame sequences.
// Sessions and the engine are driven through the GStreamer element's tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "HostPresent.h"
#include "MsspHost.h"
#include "PackWriter.h"

namespace {

using mssphost::PackFormat;
using mssphost::PackView;
using packwriter::Bytes;

// Every split of a pack between the two pieces a ring hands out gives the
// payload whole; a pack cut short, or read as the other format, gives none.
TEST(HostPayload, PayloadComesOutWholeAtEverySplit) {
    Bytes payload(300);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
    packwriter::NewPack fresh;
    fresh.video = packwriter::VideoInfo{352, 288, 25};
    fresh.pts = 123456;
    packwriter::OldVideoPack old;
    old.kind = packwriter::kPFrame;
    const std::pair<PackFormat, Bytes> packs[] = {{PackFormat::kNew, packwriter::MakeNewPack(fresh, payload)},
                                                  {PackFormat::kOld, packwriter::MakeOldVideoPack(old, payload)},
                                                  {PackFormat::kOld, packwriter::MakeOldAudioPack(2, 0, payload)}};
    auto split = [](const Bytes& pack, size_t at) {
        return PackView{pack.data(), at, at < pack.size() ? pack.data() + at : nullptr, pack.size() - at};
    };
    for (const auto& [format, pack] : packs) {
        for (size_t at = 4; at <= pack.size(); ++at) {
            std::vector<uint8_t> scratch;
            size_t len = 0;
            const uint8_t* p = mssphost::ContiguousPayload(format, split(pack, at), &scratch, &len);
            ASSERT_TRUE(p && Bytes(p, p + len) == payload) << "split at " << at << " of " << pack.size();
        }
        size_t offset = 0, len = 0;
        EXPECT_FALSE(mssphost::PayloadRange(format, split(Bytes(pack.begin(), pack.end() - 1), 10), &offset, &len));
        const PackFormat other = format == PackFormat::kNew ? PackFormat::kOld : PackFormat::kNew;
        EXPECT_FALSE(mssphost::PayloadRange(other, split(pack, pack.size()), &offset, &len));
    }
    const std::pair<Bytes, mssphost::MediaKind> kinds[] = {  // from the first NAL unit
        {{0, 0, 0, 1, 0x67, 0x42}, mssphost::MediaKind::kH264},        // sequence parameter set
        {{0, 0, 1, 0x09, 0xF0}, mssphost::MediaKind::kH264},           // access unit delimiter
        {{0, 0, 0, 1, 0x40, 0x01, 0x0C}, mssphost::MediaKind::kH265},  // video parameter set
        {{0, 0, 0, 1, 0x46, 0x01, 0x50}, mssphost::MediaKind::kH265},  // access unit delimiter
        {{'M', 'S', 'Y', 'N', 0, 0, 0, 0}, mssphost::MediaKind::kOther},
        {{0, 0, 0, 1, 0x80, 0x01}, mssphost::MediaKind::kOther},  // forbidden bit set
        {{0, 0, 1}, mssphost::MediaKind::kOther},
    };
    for (const auto& [bytes, kind] : kinds) EXPECT_EQ(mssphost::ClassifyVideo(bytes.data(), bytes.size()), kind) << bytes.size();
}

TEST(HostTrick, RatesMapToTheEngineSpeeds) {
    for (const auto& [rate, speed] : {std::pair{1.5, 2}, {2.0, 2}, {4.0, 4}, {7.9, 4}, {8.0, 8}, {15.0, 8}, {16.0, 16},
                                      {-16.0, 16}, {31.0, 16}, {32.0, 32}, {100.0, 32}})
        EXPECT_EQ(mssphost::TrickSpeedForRate(rate), speed) << rate;
}

// The key file as a host finds it: in MSSP_KEY_DIR (or /tmp), with the
// process whose engine plays on it while that one holds its lock; removal
// leaves a key file alone while another process plays on it.
TEST(HostSharedMemory, KeyFileInMsspKeyDir_OwnerByLock_KeptWhileLocked) {
    const std::string dir = "/tmp/mssp-hostkeys-" + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    setenv("MSSP_KEY_DIR", dir.c_str(), 1);
    const std::string name = mssphost::UniqueShmName("hk");
    const std::string path = mssphost::KeyFilePath(name, 1);
    EXPECT_EQ(path, dir + "/." + name + "01");
    EXPECT_EQ(mssphost::KeyFileOwner(name, 1), 0) << "no key file";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "4242\n", 5), 5);
    EXPECT_EQ(mssphost::KeyFileOwner(name, 1), 0) << "a process id without a lock";
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
    EXPECT_EQ(mssphost::KeyFileOwner(name, 1), 4242);
    mssphost::RemoveSharedMemory(name, 1);
    EXPECT_TRUE(mssphost::SharedMemoryExists(name, 1)) << "removed under a playing process";
    close(fd);  // the lock goes with the description
    mssphost::RemoveSharedMemory(name, 1);
    EXPECT_FALSE(mssphost::SharedMemoryExists(name, 1));
    unsetenv("MSSP_KEY_DIR");
    EXPECT_EQ(rmdir(dir.c_str()), 0) << dir << " left behind";
}

// Recorded time is learnt from the whole seconds of the frames; the
// recorder's second boundary falls at pts 1300 (pts 1000 was 10:00:00.700).
TEST(HostPresent, RecordedTimeIsLearntFromWholeSecondsFollowedAndRelearnt) {
    const int64_t t0 = recstore::DateTimeToSeconds(mssphost::DateTime{26, 1, 1, 10, 0, 0});
    const struct {
        uint64_t pts;
        int64_t sec;  // recorded whole seconds after t0; -1: the frame carries no time
        bool relearn;
        int64_t expectMs;  // -1 unknown
    } steps[] = {
        {1000, -1, false, -1}, {1000, 0, false, 0},  // a lower bound only: 700 ms short
        {1320, 1, false, 1000},                      // the first frame past the boundary: 20 ms short from now on
        {1040, -1, false, 720}, {9000, 8, false, 8680},  // a looser bound changes nothing
        {10330, 9, false, 9999},                    // a slower clock: drawn back just inside its second
        {50000, 300, true, 300000},                 // relearnt after a new segment, below the bound before
        {50040, 200, false, 200000},                // back by more than a second: afresh
        {UINT64_MAX, 200, false, -1},               // out of range: no recorded time, the offset kept
        {0, -1, false, 200000 - 50040},
        {mssphost::kMaxTimestampMs, -1, false, static_cast<int64_t>(mssphost::kMaxTimestampMs) + 200000 - 50040},
    };
    mssphost::RecordedClock clock;
    for (const auto& s : steps) {
        if (s.relearn) clock.Relearn(2);
        const mssphost::DateTime time = recstore::SecondsToDateTime(t0 + s.sec);
        const int64_t r = clock.Take(2, s.pts, s.sec >= 0 ? &time : nullptr);
        EXPECT_EQ(r < 0 ? r : r - t0 * 1000, s.expectMs) << "pts " << s.pts;
    }
    int64_t offset = 0;
    EXPECT_FALSE(clock.Offset(1, &offset)) << "other channels learn on their own";
}

// Frame sequences as the engine delivers them (timestamp order), 25 frames
// a second from 10:00:00.000 of recorded time on every channel, through the
// stage by recorded time: what comes out, in which order, and what it said.
TEST(HostPresent, StageHandsFramesOutInRecordedTimeOrder) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const int64_t t0 = recstore::DateTimeToSeconds(mssphost::DateTime{26, 1, 1, 10, 0, 0}) * 1000;
    struct Clock {
        uint64_t origin;    // timestamp at recorded 10:00:00.000
        int64_t driftPpm;   // timestamps run this much faster than recorded time
        bool hasTime;
    };
    const struct Row {
        const char* what;
        std::vector<Clock> clocks;
        mssphost::StageLimits limits;
        int64_t spreadMs;    // largest step back in recorded time of what came out (-1 not checked)
        const char* note;    // said once ("" nothing)
        int repositionAt;    // frame (in engine order) before which the stage is repositioned (-1 none)
        std::vector<uint64_t> hostile;  // channel 1's timestamps replaced by these, in turn
    } rows[] = {
        {"clocks 680 ms apart", {{1000, 0, true}, {1680, 0, true}, {1300, 0, true}, {1000, 0, true}}, {}, 0, "", -1, {}},
        {"drift of 200 ppm against each other", {{1000, 100, true}, {1000, -100, true}}, {}, 40, "", -1, {}},
        {"repositioned halfway", {{1000, 0, true}, {1500, 0, true}}, {}, 0, "", 300, {}},
        {"a channel without date and time", {{1000, 0, true}, {5000, 0, false}}, {}, 0,
         "channel 1: its frames carry no date and time", -1, {}},
        {"the hold bound reached", {{1000, 0, true}, {9000, 0, true}}, {50, 64u << 20, 2500},
         std::numeric_limits<int64_t>::max(), "the bound", -1, {}},
        {"hostile timestamps", {{1000, 0, true}, {1000, 0, true}}, {}, -1, "channel 1: timestamp", -1,
         {0, kMax, 1, kMax - 1, mssphost::kMaxTimestampMs + 1, 1u << 31, 0, kMax}},
    };
    constexpr int kFrames = 250;  // 10 s per channel
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        struct Made {
            mssphost::StageFrame f;
            int64_t recMs;  // true recorded time, ms after 10:00:00
        };
        std::vector<Made> seq;
        for (size_t c = 0; c < row.clocks.size(); ++c) {
            for (int k = 0; k < kFrames; ++k) {
                const Clock& cl = row.clocks[c];
                Made m;
                m.recMs = k * 40;
                m.f.channel = static_cast<int>(c);
                m.f.pts = m.f.clockPts = cl.origin + static_cast<uint64_t>(m.recMs + m.recMs * cl.driftPpm / 1000000);
                m.f.hasTime = cl.hasTime;
                m.f.time = recstore::SecondsToDateTime((t0 + m.recMs) / 1000);
                m.f.bytes = 1000;
                seq.push_back(m);
            }
        }
        std::stable_sort(seq.begin(), seq.end(), [](const Made& a, const Made& b) { return a.f.pts < b.f.pts; });
        for (size_t i = 0, h = 0; i < seq.size() && h < row.hostile.size(); ++i) {
            if (seq[i].f.channel == 1 && i % 7 == 0) seq[i].f.pts = seq[i].f.clockPts = row.hostile[h++];
        }
        mssphost::Presentation<int64_t> stage(row.limits);  // the item: the frame's true recorded time
        const uint32_t live = (1u << row.clocks.size()) - 1;
        std::vector<int64_t> out;  // true recorded times in presentation order, of frames with a recorded time
        std::string notes;
        size_t mostHeld = 0, passed = 0, passedUnknown = 0;
        auto drain = [&](uint32_t liveNow) {
            mssphost::Presentation<int64_t>::Out o;
            while (stage.Pop(liveNow, &o)) {
                ++passed;
                if (o.recordedMs < 0) ++passedUnknown;
                else out.push_back(o.item);
            }
            for (const std::string& n : stage.TakeNotes()) notes += n + "\n";
        };
        for (size_t i = 0; i < seq.size(); ++i) {
            if (static_cast<int>(i) == row.repositionAt) {
                EXPECT_GT(stage.Reposition(false), 0u) << "frames held at the repositioning are dropped";
                out.push_back(-1);  // a step back at the repositioning is no fault
                passed = seq.size();
            }
            stage.Push(seq[i].f, int64_t{seq[i].recMs});
            mostHeld = std::max(mostHeld, stage.HeldFrames());
            drain(live);
        }
        drain(0);
        EXPECT_EQ(stage.HeldFrames(), 0u);
        if (row.repositionAt < 0) { EXPECT_EQ(passed, seq.size()) << "every frame exactly once"; }
        int64_t back = 0;
        for (size_t i = 1; i < out.size(); ++i) {
            if (out[i] >= 0 && out[i - 1] >= 0) back = std::max(back, out[i - 1] - out[i]);
        }
        if (row.spreadMs == std::numeric_limits<int64_t>::max()) {
            EXPECT_GT(back, 1000) << "out of step, passed on rather than stalled";
        } else if (row.spreadMs >= 0) {
            EXPECT_LE(back, row.spreadMs);
        }
        EXPECT_LE(mostHeld, row.limits.maxFrames + 1);
        if (*row.note) {
            EXPECT_NE(notes.find(row.note), std::string::npos) << notes;
            EXPECT_EQ(notes.find(row.note), notes.rfind(row.note)) << "said once: " << notes;
        } else {
            EXPECT_EQ(notes, "");
        }
        if (!row.hostile.empty()) { EXPECT_GE(passedUnknown, 4u) << "out-of-range timestamps have no recorded time"; }
    }
}

}  // namespace

namespace {

// The stage as it first held its frames: a deque in presentation order, each
// frame inserted after the last one recorded at or before it (scanning back
// from the newest), and every readiness check looking at every channel. Kept
// as the reference for the heap and the kept least offset the stage uses now.
class PlainStage {
public:
    explicit PlainStage(mssphost::StageLimits limits) : core_((limits.keepBound = false, limits)) {}
    void Push(const mssphost::StageFrame& f, int item) {
        const int64_t rec = core_.Learn(f);
        Entry e{item, f.channel, f.pts, rec, f.bytes};
        if (rec < 0) {
            now_.push_back(e);
            return;
        }
        auto it = held_.end();
        while (it != held_.begin()) {
            const Entry& q = *(it - 1);
            if (core_.Backward() ? q.recordedMs >= rec : q.recordedMs <= rec) break;
            --it;
        }
        bytes_ += e.bytes;
        held_.insert(it, e);
    }
    bool Pop(uint32_t live, mssphost::Presentation<int>::Out* out) {
        std::deque<Entry>* from = &now_;
        if (now_.empty()) {
            if (held_.empty()) return false;
            const Entry& e = held_.front();
            if (!core_.Ready(e.pts, e.recordedMs, live, held_.size(), bytes_)) return false;
            from = &held_;
            bytes_ -= e.bytes;
        }
        const Entry& e = from->front();
        *out = {e.item, e.channel, e.recordedMs};
        from->pop_front();
        return true;
    }
    void Reposition(bool backward) {
        now_.clear();
        held_.clear();
        bytes_ = 0;
        core_.Reposition(backward);
    }
    size_t HeldFrames() const { return now_.size() + held_.size(); }
    size_t HeldBytes() const { return bytes_; }

private:
    struct Entry {
        int item, channel;
        uint64_t pts;
        int64_t recordedMs;
        size_t bytes;
    };
    mssphost::StageCore core_;
    std::deque<Entry> now_, held_;
    size_t bytes_ = 0;
};

// The stage against the plain one on random groups (channels on clocks up to
// minutes apart, frames recorded in the same second, channels without a
// recorded time, both directions, repositionings, new segments, live masks
// dropping channels, small bounds): the same frames out of the same calls.
TEST(HostPresent, HandsOutWhatThePlainStageDoes_CallForCall) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        mssphost::StageLimits limits;
        limits.maxFrames = static_cast<size_t>(pick(0, 1) ? pick(4, 64) : 2048);
        limits.maxBytes = static_cast<size_t>(pick(0, 1) ? pick(4000, 60000) : 64 << 20);
        mssphost::Presentation<int> heap(limits);
        PlainStage plain(limits);
        const int channels = pick(1, 8);
        std::vector<int64_t> origin(static_cast<size_t>(channels));
        for (int64_t& o : origin) o = 1000 + 1000 * static_cast<int64_t>(pick(0, 300));
        const int64_t t0 = 1767261600000;  // 2026-01-01 10:00:00 UTC
        bool backward = false;
        int64_t at = 0;
        uint32_t live = (1u << channels) - 1;
        const int timeless = pick(0, 2) == 0 ? pick(0, channels - 1) : -1;  // a channel that never shows a time
        int item = 0;
        for (int step = 0; step < 3000; ++step) {
            if (pick(0, 400) == 0) {
                backward = pick(0, 3) == 0;
                heap.Reposition(backward);
                plain.Reposition(backward);
            }
            if (pick(0, 200) == 0) live &= ~(1u << pick(0, channels - 1));
            const int c = pick(0, channels - 1);
            at += backward ? -pick(0, 40) : pick(0, 40);
            mssphost::StageFrame f;
            f.channel = c;
            f.pts = f.clockPts = static_cast<uint64_t>(std::max<int64_t>(1, origin[static_cast<size_t>(c)] + at + pick(-80, 80)));
            f.hasTime = c != timeless && pick(0, 9) != 0;
            f.time = recstore::SecondsToDateTime((t0 + at) / 1000);
            f.newOrJump = pick(0, 300) == 0;
            f.bytes = static_cast<size_t>(pick(100, 3000));
            heap.Push(f, int{item});
            plain.Push(f, item);
            ++item;
            for (int k = 0; k < 3; ++k) {
                mssphost::Presentation<int>::Out a, b;
                const uint32_t mask = pick(0, 5) == 0 ? 0u : live;
                const bool ga = heap.Pop(mask, &a), gb = plain.Pop(mask, &b);
                ASSERT_EQ(ga, gb) << "step " << step;
                if (!ga) break;
                ASSERT_EQ(a.item, b.item) << "step " << step;
                ASSERT_EQ(a.channel, b.channel);
                ASSERT_EQ(a.recordedMs, b.recordedMs);
            }
            ASSERT_EQ(heap.HeldFrames(), plain.HeldFrames());
            ASSERT_EQ(heap.HeldBytes(), plain.HeldBytes());
        }
    }
}

}  // namespace
