// Hand-over between threads that the control operations' tests do not reach:
// the host builds and destroys the parser of another playback group on its
// own thread while this group plays (every constructor writes process-wide
// state); the control thread sets frame-jump levels, which read the waiting
// nodes, while the playback thread releases them and the reader threads
// refill them; and it changes the fast-forward speed while the readers fetch
// I-frames at the old one. Playback must go on undisturbed, and the thread-
// sanitizer build checks that no access races. Bounded in time; polls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "ScriptedHost.h"
#include "TestAccess.h"

using msspt::ScriptedHost;
using P = CMultiStreamSyncParser;

namespace {

constexpr int kGroupPlayed = 11;
constexpr int kGroupBuilt = 12;
constexpr int kChannels = 2;
constexpr int kNodes = 16;      // few nodes: the readers refill each one several times
constexpr int kMaxBuilds = 40;  // parsers of the other group built during one run
constexpr int kMaxLevelCalls = 3000;
constexpr int kGops = 24;       // one second each
constexpr int kRecordedRate = 25;  // frame rate of the synthetic video
constexpr int kUnknownRate = 255;
const msspt::DateTime kStart{26, 4, 5, 9, 0, 0};

using PackMap = std::map<std::pair<int, uint64_t>, msspt::Bytes>;

// One group playing kChannels recordings through its reader threads; the
// test thread is its playback thread.
class Played {
public:
    Played() : ops_(ScriptedHost::Table()), name_(msspt::UniqueName("thp")) {
        for (int c = 0; c < kChannels; ++c) {
            msspt::SynthSpec s;
            s.channel = static_cast<uint8_t>(c);
            s.gopsPerSegment = kGops;
            s.gop = 5;
            s.firstPts = 5000 + 13u * static_cast<unsigned>(c);  // no two channels share a pts
            s.start = kStart;
            msspt::RecordingBuilder b = msspt::MakeSynthetic(s);
            for (const msspt::PackInfo& pk : b.packs) packs_[{c, pk.pts}] = pk.bytes;
            host_.SetRecording(c, 0, std::move(b.recording));
        }
        p_ = std::make_unique<P>(kGroupPlayed, kChannels, name_.data(), 4 * 65536, kNodes, &ops_, &host_, 1);
    }
    ~Played() {
        p_.reset();
        msspt::RemoveKeyFile(name_, kGroupPlayed);
    }
    P& parser() { return *p_; }
    int OpenHandles() { return host_.OpenHandles(); }

    int Start() {
        tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
        tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
        return p_->StartParse((1u << kChannels) - 1, 0x01, 0, &date, &time, false, 1);
    }

    // Takes frames until playback runs out, or until `stop` is set when
    // given (30 s at most), checking the bytes of each against the recorded
    // pack of its channel and pts.
    void PlayOut(const std::atomic<bool>* stop = nullptr, int direction = 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((stop ? !stop->load() : p_->GetStatus() != 0) && std::chrono::steady_clock::now() < deadline) {
            unsigned char *d1 = nullptr, *d2 = nullptr;
            int l1 = 0, l2 = 0, type = 0, channel = -1;
            unsigned long long pts = 0;
            unsigned int flag = 0;
            const int idx = p_->GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, direction, 0);
            if (idx < 0) {
                usleep(500);
                continue;
            }
            auto it = packs_.find({channel, pts});
            const bool good = it != packs_.end() && static_cast<size_t>(l1 + l2) == it->second.size() &&
                              std::memcmp(d1, it->second.data(), l1) == 0 &&
                              (l2 == 0 || std::memcmp(d2, it->second.data() + l1, l2) == 0);
            if (!good) ++bad;
            ++delivered;
            p_->ReleaseFrame(idx);
        }
    }

    // After StopParse: everything played, intact, every handle closed.
    void ExpectPlayedOut() {
        EXPECT_EQ(p_->GetStatus(), 0) << "playback did not run out in time";
        EXPECT_EQ(delivered.load(), static_cast<int>(packs_.size()));  // video only: every pack is a frame
        EXPECT_EQ(bad.load(), 0);
        EXPECT_EQ(host_.OpenHandles(), 0);
    }

    std::atomic<int> delivered{0};
    std::atomic<int> bad{0};

private:
    ScriptedHost host_;
    MSSP_StreamOperation_t ops_;
    std::string name_;
    PackMap packs_;
    std::unique_ptr<P> p_;
};

}  // namespace

TEST(ThreadHandover, OtherGroupsParserBuiltDuringPlayback_EveryFrameDeliveredIntact) {
    Played played;
    ASSERT_EQ(played.Start(), 0);

    // The other group's host thread: builds and destroys its parser while
    // this group plays, a bounded number of times.
    const std::string builtName = msspt::UniqueName("thb");
    std::atomic<bool> done{false};
    std::atomic<int> built{0};
    std::thread other([&] {
        MSSP_StreamOperation_t otherOps = ScriptedHost::Table();
        ScriptedHost otherHost;
        while (!done.load() && built.load() < kMaxBuilds) {
            P parser(kGroupBuilt, 1, const_cast<char*>(builtName.c_str()), 3 * 65536, 8, &otherOps, &otherHost, 2);
            built++;
            usleep(2000);
        }
    });
    played.PlayOut();
    done = true;
    other.join();
    EXPECT_EQ(played.parser().StopParse(), 0);

    EXPECT_GT(built.load(), 0);
    played.ExpectPlayedOut();
    msspt::RemoveKeyFile(builtName, kGroupBuilt);
}

TEST(ThreadHandover, JumpLevelSetOnControlThreadDuringPlayback_AnswersSaneFramesIntact) {
    Played played;
    ASSERT_EQ(played.Start(), 0);

    // The control thread: sets every level on every stream over and over.
    // The recordings carry no reference structure, so every level shows
    // every frame and the answer is the recorded rate, or unknown when no
    // video frame waits at that moment.
    std::atomic<bool> done{false};
    std::atomic<int> calls{0}, odd{0};
    std::thread control([&] {
        for (int k = 0; !done.load() && k < kMaxLevelCalls; ++k) {
            const int rate = played.parser().SetFrameJumpLevel(static_cast<unsigned char>(k % kChannels),
                                                                static_cast<unsigned char>(k % 15));
            if (rate != kRecordedRate && rate != kUnknownRate) odd++;
            calls++;
            usleep(300);
        }
    });
    played.PlayOut();
    done = true;
    control.join();
    EXPECT_EQ(played.parser().StopParse(), 0);

    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(odd.load(), 0);
    played.ExpectPlayedOut();
}

TEST(ThreadHandover, TrickSpeedChangedWhileReadersFetch_FramesIntactStopReturns) {
    Played played;
    ASSERT_EQ(played.Start(), 0);
    std::atomic<bool> stop{false};
    std::thread playback([&] { played.PlayOut(&stop); });

    // The control thread changes the fast-forward speed while the readers
    // fetch I-frames at the old one (each change restarts from the second
    // given), letting a few frames through between changes. The speeds skip
    // at most two I-frames, so no stream runs out during the run.
    static const int kSpeeds[] = {8, 16, 4, 16};
    constexpr int kChanges = 12;
    int flowing = 0;  // changes after which frames came through
    for (int k = 0; k < kChanges; ++k) {
        MSSP_Time_t at{kStart[3], kStart[4], static_cast<uint8_t>(k % (kGops - 2))};
        const int before = played.delivered.load();
        EXPECT_EQ(played.parser().SetStatus(MSSP_STATUS_FAST_FORWARD, kSpeeds[k % 4], &at), 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (played.delivered.load() < before + 3 && std::chrono::steady_clock::now() < until) usleep(1000);
        if (played.delivered.load() >= before + 3) ++flowing;
    }
    stop = true;
    playback.join();
    EXPECT_EQ(played.parser().StopParse(), 0);

    // Every change found the readers fetching: the speed really changed
    // under them, each time.
    EXPECT_EQ(flowing, kChanges);
    EXPECT_EQ(played.bad.load(), 0);
    EXPECT_EQ(played.OpenHandles(), 0);
}
