// mssp-bench-latency: control latencies over repeated runs, with a host
// whose data is ready (the recording in the page cache, the store's
// indexes loaded by a warm-up run that is not counted).
//
//   mssp-bench-latency --group DIR --channels N --runs R [--seek-sec S]
//                      [--ring BYTES] [--nodes F] [--per-thread T]
//
// The group needs stream types 0 and 1 for the first N channels, and channel
// 1 when N is 1 (mssp-pack synth --types 2). Each run, one thread acting as
// both the playback and the control thread (frames are released at once,
// so no control call waits for a held frame), in this order:
//   start    StartParse (main stream) until the first frame GetFrame delivers;
//   seek     Seek to S seconds into the recording until the first frame
//            delivered (checked to lie at the new time);
//   ff       SetStatus(fast forward, speed 2, from S) until the first I-frame;
//   play     SetStatus(play, from S - 1) out of fast forward until the first
//            frame (checked to lie at the new time);
//   switch_stream    SwitchStream of every played channel to stream type 1
//            at S + 1 until the first frame (a video frame is checked to
//            come from the sub stream);
//   switch_channels  SwitchPlaybackChannels to the next N channels (the same
//            32 when N is 32: each is closed and opened again) at S until
//            the first frame (checked to come from a new channel, at the
//            new time);
//   stop     the duration of StopParse.
// Between two operations the host takes a few frames of each channel (for
// a quarter of a second at most), so that every operation meets reader
// threads at work. The host polls
// GetFrame in a loop that yields the processor between calls. Median and
// maximum of each, in milliseconds; <op>_failed counts waits that gave up
// (no frame within 5 s), <op>_misplaced first frames that failed their check.
// <op>_reader_cpu_ms is the median processor time that all other threads
// (the reader threads) used between the call and the first frame, and
// <op>_read_mib the median bytes the process read meanwhile (the readers'
// reads through the store): the work the operation costs, whatever the
// machine's load makes of it in wall time.
//
// The host is the host layer's session, driven by recorded date and time
// as the recorder's playback service drives the engine; every run plays on
// the parser the session built before the first (Prepare, Halt), as one
// parser object serves a playback channel group for its lifetime.
#include <sched.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "BenchSession.h"

namespace {

constexpr double kGiveUpSec = 5.0;
constexpr int kGopSec = 2;          // longest GOP of the bench material: the store starts that far back
constexpr size_t kTagScan = 4200;   // header, extension (at most 4096 bytes) and the payload's tag
constexpr int kFramesBetween = 4;   // per channel, taken between two operations
constexpr double kSettleSec = 0.25;  // longest time taken between two operations

// Polls until a frame is delivered that `accept` takes; every frame is
// released at once. Seconds from `t0`, or -1 after kGiveUpSec.
template <class Accept>
double WaitFrame(mssphost::Session& session, double t0, Accept accept) {
    for (;;) {
        mssphost::Frame f;
        if (session.Take(&f)) {
            const bool ok = accept(f);
            session.Release(f);
            if (ok) return bench::WallNow() - t0;
            continue;
        }
        if (bench::WallNow() - t0 > kGiveUpSec) return -1;
        sched_yield();
    }
}

// The stream type written into a synthetic video frame's payload tag
// ("MSYN", channel, type), or -1 for a frame without one (audio).
int SynthStreamType(const mssphost::Frame& f) {
    const size_t n = f.pack.n1 < kTagScan ? f.pack.n1 : kTagScan;
    for (size_t k = 0; k + 6 <= n; ++k) {
        if (std::memcmp(f.pack.p1 + k, "MSYN", 4) == 0) return f.pack.p1[k + 5];
    }
    return -1;
}

// Work done so far: processor time of every thread but the calling one
// (seconds) and bytes read by the process (MiB, /proc/self/io rchar).
struct Work {
    double cpuSec = 0;
    double readMiB = 0;
    Work operator-(const Work& o) const { return {cpuSec - o.cpuSec, readMiB - o.readMiB}; }
};

Work WorkNow() {
    timespec all, self;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &all);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &self);
    Work w;
    w.cpuSec = static_cast<double>(all.tv_sec - self.tv_sec) + static_cast<double>(all.tv_nsec - self.tv_nsec) * 1e-9;
    if (FILE* f = std::fopen("/proc/self/io", "r")) {
        unsigned long long rchar = 0;
        if (std::fscanf(f, "rchar: %llu", &rchar) == 1) w.readMiB = static_cast<double>(rchar) / (1 << 20);
        std::fclose(f);
    }
    return w;
}

// One operation's samples over the runs.
struct Series {
    explicit Series(const char* n) : name(n) {}
    const char* name;
    std::vector<double> sec;
    std::vector<double> cpuMs, readMiB;
    long long misplaced = 0;

    // `done`: the work behind the sample, when measured.
    void Add(double s, bool wrong, const Work* done = nullptr) {
        sec.push_back(s);
        if (wrong) ++misplaced;
        if (done == nullptr) return;
        // Clock readings of two threads: a sample with no work may come out a hair below 0.
        cpuMs.push_back(done->cpuSec > 0 ? done->cpuSec * 1000.0 : 0.0);
        readMiB.push_back(done->readMiB);
    }
    void Report() const {
        std::vector<double> ms;
        long long failed = 0;
        for (double s : sec) {
            if (s < 0) ++failed;
            else ms.push_back(s * 1000.0);
        }
        const std::string n(name);
        bench::Result((n + "_median_ms").c_str(), bench::Median(ms));
        bench::Result((n + "_max_ms").c_str(), bench::Max(ms));
        bench::Result((n + "_failed").c_str(), failed);
        bench::Result((n + "_misplaced").c_str(), misplaced);
        if (cpuMs.empty()) return;
        bench::Result((n + "_reader_cpu_ms").c_str(), bench::Median(cpuMs));
        bench::Result((n + "_read_mib").c_str(), bench::Median(readMiB));
    }
};

uint32_t NextChannels(uint32_t mask, int channels) {
    if (channels >= 32) return mask;
    return (mask << channels) | (mask >> (32 - channels));
}

}  // namespace

int main(int argc, char** argv) {
    bench::QuietStdout();
    const bench::Args args(argc, argv, 1);
    const std::string dir = args.Str("group", "");
    const int channels = static_cast<int>(args.Int("channels", 1));
    const int runs = static_cast<int>(args.Int("runs", 10));
    const int seekSec = static_cast<int>(args.Int("seek-sec", 4));
    const int ring = static_cast<int>(args.Int("ring", 1 << 20));
    const int nodes = static_cast<int>(args.Int("nodes", 256));
    const int perThread = static_cast<int>(args.Int("per-thread", 8));
    if (dir.empty() || channels < 1 || channels > 32 || runs < 1 || seekSec < 2) {
        bench::Note("usage: mssp-bench-latency --group DIR --channels 1..32 --runs R [--seek-sec S >= 2]\n");
        return 2;
    }
    const std::unique_ptr<mssphost::Session> opened = bench::OpenSession(dir, channels, ring, nodes, perThread);
    mssphost::Session& session = *opened;
    // The recorded date and time `sec` seconds into the recording.
    auto at = [&](int sec) { return session.DateTimeAt(static_cast<uint64_t>(sec) * 1000); };
    // Frames at or after this timestamp belong to a position `sec` seconds
    // into the recording (the store positions at the last I-frame at or
    // before it).
    auto minPts = [](int sec) { return sec > kGopSec ? (sec - kGopSec) * 1000ULL : 0ULL; };
    auto any = [](const mssphost::Frame&) { return true; };
    // Takes a few frames of each channel, for kSettleSec at most (fast
    // forward runs out of I-frames quickly).
    auto settle = [&] {
        const double until = bench::WallNow() + kSettleSec;
        int taken = 0;
        while (taken < kFramesBetween * channels && bench::WallNow() < until) {
            mssphost::Frame f;
            if (session.Take(&f)) {
                session.Release(f);
                ++taken;
            } else {
                sched_yield();
            }
        }
    };

    Series start("start"), startCall("start_call"), seek("seek"), seekCall("seek_call"), ff("ff"), play("play"),
        switchStream("switch_stream"), switchChannels("switch_channels"), stop("stop");
    // Calls `op`, then waits for the first frame that `accept` takes; `wrong`
    // tells whether that frame lies where the operation should not have put
    // playback. Returns the duration of the call itself.
    auto measure = [&](Series& series, bool counted, auto op, auto accept, auto wrong) {
        bool misplaced = false;
        const Work w0 = WorkNow();
        const double t0 = bench::WallNow();
        op();
        const double call = bench::WallNow() - t0;
        const double wall = WaitFrame(session, t0, [&](const mssphost::Frame& f) {
            if (!accept(f)) return false;
            misplaced = wrong(f);
            return true;
        });
        const Work done = WorkNow() - w0;
        if (counted) series.Add(wall, misplaced, &done);
        settle();
        return call;
    };
    auto iFrame = [](const mssphost::Frame& f) { return f.type == MSSP_FRAME_I; };
    auto anywhere = [](const mssphost::Frame&) { return false; };
    auto before = [&](int sec) { return [&, sec](const mssphost::Frame& f) { return f.pts < minPts(sec); }; };

    for (int r = 0; r <= runs; ++r) {  // run 0 warms up and is not counted
        const bool counted = r > 0;
        const double startCallSec = measure(start, counted, [&] { session.StartAt(at(0)); }, any, anywhere);
        if (counted) startCall.Add(startCallSec, false);

        const double seekCallSec = measure(seek, counted, [&] { session.SeekTo(at(seekSec)); }, any, before(seekSec));
        if (counted) seekCall.Add(seekCallSec, false);

        // Fast forward from the seek position: with a time, SetStatus
        // repositions every stream there, so the store's next I-frame call
        // returns that position's I-frame, however far the rings read ahead.
        measure(ff, counted, [&] { session.TrickFrom(mssphost::Mode::kFastForward, 2, at(seekSec)); }, iFrame,
                anywhere);

        measure(play, counted, [&] { session.PlayFrom(at(seekSec - 1)); }, any, before(seekSec - 1));

        measure(switchStream, counted, [&] { session.SwitchStreamTypeOf(session.Mask(), 1, at(seekSec + 1)); }, any,
                [&](const mssphost::Frame& f) {
                    const int type = SynthStreamType(f);
                    return (type >= 0 && type != 1) || before(seekSec + 1)(f);
                });

        // The engine's call itself: the session's SwitchChannelsAt also
        // reloads its description of the channels (their I-frame indexes and
        // first packs), host work that is no part of this latency. The
        // session keeps its channel set, so the next run starts on it again.
        const uint32_t next = NextChannels(session.Mask(), channels);
        measure(switchChannels, counted,
                [&] {
                    Common::_datetime_ dt = mssphost::EngineTime(at(seekSec));
                    session.Parser()->SwitchPlaybackChannels(next, &dt);
                },
                any,
                [&](const mssphost::Frame& f) {
                    return f.channel < 0 || f.channel > 31 || !(next & (1u << f.channel)) || before(seekSec)(f);
                });

        const Work w0 = WorkNow();
        const double t0 = bench::WallNow();
        session.Halt();
        const double wall = bench::WallNow() - t0;
        const Work done = WorkNow() - w0;
        if (counted) stop.Add(wall, false, &done);
    }
    bench::Result("bench", std::string("latency"));
    bench::Result("channels", static_cast<long long>(channels));
    bench::Result("runs", static_cast<long long>(runs));
    bench::Result("per_thread", static_cast<long long>(perThread));
    for (const Series* s : {&start, &startCall, &seek, &seekCall, &ff, &play, &switchStream, &switchChannels, &stop})
        s->Report();
    bench::ResultFlush();
    return 0;
}
