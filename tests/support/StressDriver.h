// The pieces every threaded test shares: a parser on a scripted host that
// remembers every recorded pack (Rig), a playback thread that takes, checks,
// holds and releases frames as a decoder would (Consumer), a random control
// thread (ControlDriver), a watchdog against hangs and bounded polling.
#ifndef MSSP_STRESS_DRIVER_H
#define MSSP_STRESS_DRIVER_H

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "ScriptedHost.h"
#include "TestAccess.h"
#include "Watchdog.h"

namespace msspt {

using Parser = CMultiStreamSyncParser;

// Polls `cond` every millisecond for at most `ms`.
template <class Cond>
bool WaitFor(Cond cond, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

template <class Fn>
long long ElapsedMs(Fn fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

// A parser of `streams` streams on a scripted host. Record() hands a
// recording to the host and remembers its packs, by channel and pts and
// (audio, whose pts the parser may take from the video behind it) by bytes.
struct Rig {
    Rig(const char* tag, int group, int streams, int ring, int nodes, bool oldFormat = false);
    ~Rig();  // stops the threads, removes the shared memory
    void Record(int channel, int type, const RecordingBuilder& b);
    int Start(unsigned chnBmp, DateTime at, int streamsPerThread, unsigned char typeBmp = 0x01);
    int Handle(int i);  // the host handle of stream i's current type, -1 none
    int State(int i);   // the stream's state as the readers publish it
    Parser& P() { return *parser; }

    ScriptedHost host;
    MSSP_StreamOperation_t ops;
    std::string name;
    int group;
    std::unique_ptr<Parser> parser;
    std::map<std::pair<int, uint64_t>, Bytes> packs;
    std::set<std::pair<int, Bytes>> audio;
};

// The host's playback thread: GetFrame (now and then GetFrameEx with the
// queries the playback thread may make), checks each frame against the
// recorded packs, holds it for `hold`, checks it is unchanged, releases it.
class Consumer {
public:
    Consumer(Rig& rig, std::chrono::microseconds hold, unsigned seed);
    ~Consumer() { Stop(); }
    void Stop();
    // Waits until `n` more frames came (false after `ms`).
    bool AwaitFrames(int n, int ms);

    std::atomic<int> direction{1};
    std::atomic<int> delivered{0};
    std::atomic<int> bad{0};      // outside the ring, or no recorded pack of its channel and pts
    std::atomic<int> changed{0};  // bytes changed while held

private:
    void Loop(unsigned seed);
    void Check(int index, const unsigned char* d1, int l1, const unsigned char* d2, int l2, int channel,
               int type, uint64_t pts);
    Rig& rig_;
    std::chrono::microseconds hold_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The host's control thread: one random operation at a time from the set in
// `ops` (bits of Op), at times within `seconds` after `start`.
struct ControlDriver {
    enum Op { kPlay, kForward, kBackward, kSeek, kSwitchSome, kSwitchAll, kSwitchChannels, kJumpLevel, kOtherGroup, kClear, kOps };
    ~ControlDriver();
    Op Next();

    Rig& rig;
    Consumer& consumer;
    std::mt19937 rng;
    DateTime start;
    int seconds;
    unsigned ops;
    int channels = 32;  // channels SwitchPlaybackChannels may pick from
    int oddRates = 0;   // SetFrameJumpLevel answers other than 25 fps or unknown (255)
    std::string otherName = UniqueName("oth");
};

}  // namespace msspt

#endif  // MSSP_STRESS_DRIVER_H
