// mssp-bench-latency: control latencies over repeated runs, with a host
// whose data is ready (the recording in the page cache, the store's
// indexes loaded by a warm-up run that is not counted).
//
//   mssp-bench-latency --group DIR --channels N --runs R [--seek-sec S]
//                      [--ring BYTES] [--nodes F] [--per-thread T]
//
// Each run, one thread acting as both the playback and the control thread
// (frames are released at once, so no control call waits for a held frame):
//   start  StartParse until the first frame GetFrame delivers;
//   seek   after a few frames, Seek to S seconds into the recording until
//          the first frame delivered (checked to lie at the new time);
//   ff     SetStatus(fast forward, speed 2, from the seek position) until the
//          first I-frame delivered;
//   stop   the duration of StopParse.
// The host polls GetFrame in a loop that yields the processor between
// calls. Median and maximum of each, in milliseconds.
#include <sched.h>

#include <string>
#include <vector>

#include "BenchCommon.h"
#include "BenchHost.h"

namespace {

constexpr double kGiveUpSec = 5.0;

// Polls until a frame is delivered that `accept` takes; every frame is
// released at once. Seconds from `t0`, or -1 after kGiveUpSec.
template <class Accept>
double WaitFrame(bench::Host& host, double t0, Accept accept) {
    for (;;) {
        bench::Frame f;
        if (host.Get(&f)) {
            const bool ok = accept(f);
            host.Release(f);
            if (ok) return bench::WallNow() - t0;
            continue;
        }
        if (bench::WallNow() - t0 > kGiveUpSec) return -1;
        sched_yield();
    }
}

void Report(const char* name, const std::vector<double>& v) {
    std::vector<double> ms;
    long long failed = 0;
    for (double s : v) {
        if (s < 0) ++failed;
        else ms.push_back(s * 1000.0);
    }
    bench::Result((std::string(name) + "_median_ms").c_str(), bench::Median(ms));
    bench::Result((std::string(name) + "_max_ms").c_str(), bench::Max(ms));
    bench::Result((std::string(name) + "_failed").c_str(), failed);
}

}  // namespace

int main(int argc, char** argv) {
    bench::QuietStdout();
    const bench::Args args(argc, argv, 1);
    const std::string dir = args.Str("group", "");
    const int channels = static_cast<int>(args.Int("channels", 1));
    const int runs = static_cast<int>(args.Int("runs", 10));
    const int seekSec = static_cast<int>(args.Int("seek-sec", 4));
    const int ring = static_cast<int>(args.Int("ring", 2 << 20));
    const int nodes = static_cast<int>(args.Int("nodes", 256));
    const int perThread = static_cast<int>(args.Int("per-thread", 8));
    if (dir.empty() || channels < 1 || channels > 32 || runs < 1) {
        bench::Note("usage: mssp-bench-latency --group DIR --channels 1..32 --runs R [--seek-sec S]\n");
        return 2;
    }
    bench::Host host(dir, channels, ring, nodes);
    CMultiStreamSyncParser& parser = host.Parser();
    // Frames at or after this timestamp belong to the new time (the store
    // positions at the last I-frame at or before it; GOPs are at most 2 s).
    const unsigned long long seekPts = seekSec > 2 ? (seekSec - 2) * 1000ULL : 0;

    std::vector<double> start, startCalls, seek, seekCall, ff, stop;
    long long seekMisplaced = 0;
    for (int r = 0; r <= runs; ++r) {  // run 0 warms up and is not counted
        double t0 = bench::WallNow();
        host.Start(perThread);
        const double startCall = bench::WallNow() - t0;
        const double s = WaitFrame(host, t0, [](const bench::Frame&) { return true; });
        for (int k = 0; k < 4 * channels; ++k) WaitFrame(host, bench::WallNow(), [](const bench::Frame&) { return true; });

        Common::_datetime_ at = host.At(seekSec);
        t0 = bench::WallNow();
        parser.Seek(&at, 0);
        const double call = bench::WallNow() - t0;
        bool misplaced = false;
        const double sk = WaitFrame(host, t0, [&](const bench::Frame& f) {
            misplaced = f.pts < seekPts;
            return true;
        });
        for (int k = 0; k < 4 * channels; ++k) WaitFrame(host, bench::WallNow(), [](const bench::Frame&) { return true; });

        // Fast forward from the seek position: with a time, SetStatus
        // repositions every stream there, so the store's next I-frame call
        // returns that position's I-frame, however far the rings read ahead.
        MSSP_Time_t from{at.hour, at.minute, at.second};
        t0 = bench::WallNow();
        parser.SetStatus(MSSP_STATUS_FAST_FORWARD, 2, &from);
        const double f = WaitFrame(host, t0, [](const bench::Frame& fr) { return fr.type == MSSP_FRAME_I; });

        t0 = bench::WallNow();
        parser.StopParse();
        const double st = bench::WallNow() - t0;
        if (r == 0) continue;
        start.push_back(s);
        startCalls.push_back(startCall);
        seek.push_back(sk);
        seekCall.push_back(call);
        ff.push_back(f);
        stop.push_back(st);
        if (misplaced) ++seekMisplaced;
    }
    bench::Result("bench", std::string("latency"));
    bench::Result("channels", static_cast<long long>(channels));
    bench::Result("runs", static_cast<long long>(runs));
    bench::Result("per_thread", static_cast<long long>(perThread));
    Report("start", start);
    Report("start_call", startCalls);
    Report("seek", seek);
    Report("seek_call", seekCall);
    Report("ff", ff);
    Report("stop", stop);
    bench::Result("seek_misplaced", seekMisplaced);
    bench::ResultFlush();
    return 0;
}
