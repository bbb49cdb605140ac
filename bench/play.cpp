// mssp-bench-play: the whole pipeline. A host plays the first N channels of
// a recording group through the recording store, either as fast as
// possible (--speed 0, the default) or paced at a multiple of real time
// (--speed S), and reports what it cost per delivered frame.
//
//   mssp-bench-play --group DIR --channels N [--ring BYTES] [--nodes F]
//                   [--per-thread S] [--speed X] [--poll-us US] [--no-warmup]
//
// The recording is played twice: a warm-up pass, then the measured one. The
// measured region runs from StartParse to the last delivered frame
// (GetStatus() == 0); StopParse is timed apart, and the StartParse call
// (opening) is reported on its own, so that the steady state can be told.
// With --speed the host holds each frame until its time (relative to the
// first frame) has come. Under callgrind the region is dumped on its own
// (BeginMeasure/EndMeasure). The host takes each frame,
// looks at its first and last byte, and releases it; when nothing is ready
// it sleeps --poll-us microseconds (default 100) and counts an empty poll.
// The host layer's session opens the group and builds the parser before
// the first pass, and both passes play on that parser, so that neither
// its construction nor a fresh segment falls into the measured region.
// Frames are taken with the engine's GetFrame and ReleaseFrame themselves,
// not the session's Take and Release: the minimal host loop is what is
// measured, and Take's own work (its frame record, the check for frames
// before a positioning's I-frame) would add about 100 instructions a frame
// on x86-64, some 7% of the figure.
#include <time.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "BenchSession.h"

namespace {

void SleepUntil(double wall) {
    const double now = bench::WallNow();
    if (wall <= now) return;
    const double d = wall - now;
    timespec ts{static_cast<time_t>(d), static_cast<long>((d - std::floor(d)) * 1e9)};
    nanosleep(&ts, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    bench::QuietStdout();
    const bench::Args args(argc, argv, 1);
    const std::string dir = args.Str("group", "");
    const int channels = static_cast<int>(args.Int("channels", 1));
    const int ring = static_cast<int>(args.Int("ring", 1 << 20));
    const int nodes = static_cast<int>(args.Int("nodes", 256));
    const int perThread = static_cast<int>(args.Int("per-thread", 8));
    const double speed = args.Num("speed", 0);
    const useconds_t pollUs = static_cast<useconds_t>(args.Int("poll-us", 100));
    if (dir.empty() || channels < 1 || channels > 32) {
        bench::Note("usage: mssp-bench-play --group DIR --channels 1..32 [--ring B] [--nodes F] [--per-thread S] "
                    "[--speed X]\n");
        return 2;
    }

    // Page faults and context switches of the whole process: the
    // construction (the session, the parser and its shared segment) apart
    // from the measured playback.
    rusage u0{}, u1{};
    getrusage(RUSAGE_SELF, &u0);
    const std::unique_ptr<mssphost::Session> session = bench::OpenSession(dir, channels, ring, nodes, perThread);
    getrusage(RUSAGE_SELF, &u1);
    CMultiStreamSyncParser& parser = *session->Parser();

    // One pass over the recording. The first pass warms up what a playback
    // service has warm in its steady state (the shared segment's pages, the
    // store's indexes, the page cache, stdio buffers); the second is measured.
    struct Pass {
        long long frames = 0, video = 0, audio = 0, bytes = 0, empty = 0, disorder = 0;
        unsigned touched = 0;
        std::vector<unsigned long long> minPts = std::vector<unsigned long long>(32, UINT64_MAX);
        std::vector<unsigned long long> maxPts = std::vector<unsigned long long>(32, 0);
        double t0 = 0, t1 = 0, firstFrameWall = 0, maxLate = 0, stopSec = 0;
        double startWall = 0, startCpu = 0;  // the StartParse call itself (opening)
        bench::CpuTime c0, c1;
        bench::AllocCounts a0, a1, atFirst, atLast;
        bench::Memory mem;
        rusage u0{}, u1{};
    };
    auto run = [&](bool measured, Pass& r) {
        const bool paced = measured && speed > 0;
        unsigned long long lastPts = 0, firstPacePts = 0;
        if (measured) bench::BeginMeasure();
        r.a0 = bench::Allocs();
        getrusage(RUSAGE_SELF, &r.u0);
        r.c0 = bench::CpuNow();
        r.t0 = bench::WallNow();
        const double cs0 = bench::ThreadCpuNow();
        if (session->StartAt(session->FirstTime()) != 0) {
            bench::Note("bench: StartParse failed\n");
            std::exit(1);
        }
        r.startCpu = bench::ThreadCpuNow() - cs0;
        r.startWall = bench::WallNow() - r.t0;
        for (;;) {
            unsigned char *p1 = nullptr, *p2 = nullptr;
            int n1 = 0, n2 = 0, type = 0, channel = 0;
            unsigned long long pts = 0;
            unsigned int flags = 0;
            bench::MarkThread(true);
            const int stream = parser.GetFrame(&p1, &n1, &p2, &n2, &type, &pts, &flags, &channel, 1, 0);
            bench::MarkThread(false);
            if (stream < 0) {
                if (!session->Live()) break;
                ++r.empty;
                usleep(pollUs);
                continue;
            }
            if (r.frames == 0) {
                r.firstFrameWall = bench::WallNow();
                r.atFirst = bench::Allocs();
                firstPacePts = pts;
            }
            if (paced) {
                const double due = r.firstFrameWall + static_cast<double>(pts - firstPacePts) / 1000.0 / speed;
                SleepUntil(due);
                r.maxLate = std::max(r.maxLate, bench::WallNow() - due);
            }
            // What a decoder would at least look at: the first and the last byte.
            r.touched += n2 > 0 ? p1[0] + p2[n2 - 1] : p1[0] + p1[n1 - 1];
            ++r.frames;
            r.bytes += static_cast<long long>(n1) + n2;
            if (type == MSSP_FRAME_AUDIO) ++r.audio;
            else ++r.video;
            if (pts < lastPts) ++r.disorder;
            lastPts = pts;
            const int c = channel & 31;
            r.minPts[c] = std::min<unsigned long long>(r.minPts[c], pts);
            r.maxPts[c] = std::max<unsigned long long>(r.maxPts[c], pts);
            bench::MarkThread(true);
            parser.ReleaseFrame(stream);
            bench::MarkThread(false);
            r.atLast = bench::Allocs();
        }
        r.t1 = bench::WallNow();
        r.c1 = bench::CpuNow();
        getrusage(RUSAGE_SELF, &r.u1);
        r.a1 = bench::Allocs();
        if (measured) bench::EndMeasure("pipeline");
        r.mem = bench::ReadMemory();
        const double s0 = bench::WallNow();
        session->Halt();
        r.stopSec = bench::WallNow() - s0;
    };
    Pass warm, r;
    if (!args.Has("no-warmup")) run(false, warm);
    run(true, r);
    const long long frames = r.frames, video = r.video, audio = r.audio, bytes = r.bytes, empty = r.empty,
                    disorder = r.disorder;
    const double t0 = r.t0, t1 = r.t1, firstFrameWall = r.firstFrameWall, maxLate = r.maxLate, stopSec = r.stopSec;
    const bench::CpuTime c0 = r.c0, c1 = r.c1;
    const bench::AllocCounts a0 = r.a0, a1 = r.a1, atFirst = r.atFirst, atLast = r.atLast;
    const bench::Memory mem = r.mem;
    const unsigned touched = r.touched;
    const std::vector<unsigned long long>& minPts = r.minPts;
    const std::vector<unsigned long long>& maxPts = r.maxPts;

    double media = 0;
    for (int c = 0; c < 32; ++c) {
        if (maxPts[c] >= minPts[c] && minPts[c] != UINT64_MAX)
            media = std::max(media, static_cast<double>(maxPts[c] - minPts[c]) / 1000.0 + 0.04);
    }
    const long long segment =
        static_cast<long long>(channels) * (24 + 40LL * nodes) + static_cast<long long>(channels) * ring;

    bench::Result("bench", std::string(speed > 0 ? "pipeline-paced" : "pipeline"));
    bench::Result("channels", static_cast<long long>(channels));
    bench::Result("per_thread", static_cast<long long>(perThread));
    bench::Result("ring", static_cast<long long>(ring));
    bench::Result("nodes", static_cast<long long>(nodes));
    bench::Result("speed", speed);
    bench::Result("frames", frames);
    bench::Result("video_frames", video);
    bench::Result("audio_frames", audio);
    bench::Result("bytes", bytes);
    bench::Result("wall_s", t1 - t0);
    bench::Result("cpu_user_s", c1.user - c0.user);
    bench::Result("cpu_sys_s", c1.sys - c0.sys);
    bench::Result("first_frame_s", frames ? firstFrameWall - t0 : 0.0);
    bench::Result("empty_polls", empty);
    bench::Result("order_violations", disorder);
    bench::Result("max_late_s", maxLate);
    bench::Result("media_s", media);
    bench::Result("speed_factor", t1 > t0 ? media / (t1 - t0) : 0.0);
    bench::Result("allocs_region", static_cast<long long>(a1.all - a0.all));
    bench::Result("allocs_steady", static_cast<long long>(atLast.all - atFirst.all));
    bench::Result("allocs_delivery", static_cast<long long>(a1.marked - a0.marked));
    bench::Result("stop_s", stopSec);
    bench::Result("start_wall_s", r.startWall);
    bench::Result("start_cpu_s", r.startCpu);
    bench::Result("mem_rss_kib", mem.rss);
    bench::Result("mem_anon_kib", mem.anon);
    bench::Result("mem_file_kib", mem.file);
    bench::Result("mem_shmem_kib", mem.shmem);
    bench::Result("segment_bytes", segment);
    bench::Result("construct_minflt", static_cast<long long>(u1.ru_minflt - u0.ru_minflt));
    bench::Result("region_minflt", static_cast<long long>(r.u1.ru_minflt - r.u0.ru_minflt));
    bench::Result("region_nvcsw", static_cast<long long>(r.u1.ru_nvcsw - r.u0.ru_nvcsw));
    bench::Result("region_nivcsw", static_cast<long long>(r.u1.ru_nivcsw - r.u0.ru_nivcsw));
    bench::Result("touch", static_cast<long long>(touched & 0xFF));
    bench::ResultFlush();
    return 0;
}
