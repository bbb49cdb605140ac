// mssp-bench-delivery: the cost of one GetFrame plus ReleaseFrame as the
// number of streams grows (Google Benchmark).
//
//   mssp-bench-delivery [Google Benchmark flags]      time per delivered frame
//   mssp-bench-delivery --callgrind                    fixed work for callgrind
//
// The host is an endless in-memory recording: every channel's stream is
// 25 fps video (50-frame GOP, 4 KiB I-frames, 1 KiB P-frames) with the same
// timestamps on every channel, built with the pack writer as it is read.
// After StartParse the reader thread is parked with Idle(true) and the
// benchmark thread refills the rings itself with ParseFrame while the
// timer is paused (up to the node ring's pause mark, 251 frames a stream),
// so the timed loop is GetFrame + ReleaseFrame alone, on full rings.
// In --callgrind mode each stream count delivers one refill's worth of
// frames between a zero and a dump of the counters (dump "streams=N").
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "MsspHost.h"
#include "MultiStreamSyncParser.h"
#include "PackWriter.h"

namespace {

constexpr int kRing = 1 << 20;
constexpr int kNodes = 256;
constexpr int kGop = 50;
constexpr uint64_t kFrameMs = 40;

// The endless recording; handle = channel + 1.
class Endless {
public:
    Endless() : iPayload_(packwriter::PatternPayload(4096, 7)), pPayload_(packwriter::PatternPayload(1024, 9)) {}

    static MSSP_StreamOperation_t Operations() {
        MSSP_StreamOperation_t ops{};
        ops.OpenStream = [](void* u, MSSP_OpenParam_t* param, unsigned char) {
            Stream& s = static_cast<Endless*>(u)->streams_[param->channel & 31];
            s = Stream{};
            s.channel = param->channel;
            return param->channel + 1;
        };
        ops.GetSegmentInfo = [](void*, int, MSSP_SegmentAttr_t* attr) {
            std::memset(attr, 0, sizeof(*attr));
            return 0;
        };
        ops.ReadStream = [](void* u, int handle, unsigned char* dst, int maxLen, unsigned char* newSegment) {
            *newSegment = 0;
            return static_cast<Endless*>(u)->Read((handle - 1) & 31, dst, maxLen);
        };
        ops.SeekStream = [](void*, int, MSSP_SeekTime_t*) { return 0; };
        ops.CloseStream = [](void*, int, int) { return 0; };
        return ops;
    }

private:
    struct Stream {
        packwriter::Bytes pending;
        size_t at = 0;
        uint64_t frame = 0;
        uint8_t channel = 0;
    };

    int Read(int index, unsigned char* dst, int maxLen) {
        Stream& s = streams_[index];
        int filled = 0;
        while (filled < maxLen) {
            if (s.at == s.pending.size()) NextPack(s);
            const size_t n = std::min<size_t>(s.pending.size() - s.at, static_cast<size_t>(maxLen - filled));
            std::memcpy(dst + filled, s.pending.data() + s.at, n);
            s.at += n;
            filled += static_cast<int>(n);
        }
        return filled;
    }

    void NextPack(Stream& s) {
        const bool iFrame = s.frame % kGop == 0;
        const uint64_t ms = 1000 + s.frame * kFrameMs;
        packwriter::NewPack pack;
        pack.kind = iFrame ? packwriter::kIFrame : packwriter::kPFrame;
        pack.channel = s.channel;
        pack.video = packwriter::VideoInfo{704, 576, 25};
        pack.pts = ms;
        const uint64_t sec = ms / 1000;
        pack.time = packwriter::DateTime{26, 1, 1, static_cast<uint8_t>(10 + sec / 3600 % 14),
                                         static_cast<uint8_t>(sec / 60 % 60), static_cast<uint8_t>(sec % 60)};
        const packwriter::Bytes& payload = iFrame ? iPayload_ : pPayload_;
        s.pending.clear();
        packwriter::AppendNewPack(s.pending, pack, payload.data(), payload.size());
        s.at = 0;
        ++s.frame;
    }

    Stream streams_[32];
    packwriter::Bytes iPayload_, pPayload_;
};

// A parser over the endless recording with its reader thread parked.
class Rig {
public:
    explicit Rig(int streams) : streams_(streams), ops_(Endless::Operations()) {
        name_ = mssphost::UniqueShmName("mbdlv");
        parser_ = new CMultiStreamSyncParser(mssphost::kPlaybackGroup, streams, name_.data(), kRing, kNodes, &ops_,
                                             &host_, 0);
        tag_tavuDate date{26, 1, 1};
        tag_tavuTime time{10, 0, 0};
        parser_->StartParse(mssphost::FirstChannels(0xFFFFFFFFu, streams), 0x01, 0, &date, &time, false, streams);
        parser_->Idle(true);  // from here this thread is the only producer
    }
    ~Rig() {
        parser_->Idle(false);
        parser_->StopParse();
        delete parser_;
        mssphost::RemoveSharedMemory(name_, mssphost::kPlaybackGroup);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Fills every stream's node ring up to its pause mark.
    void Refill() {
        for (int i = 0; i < streams_; ++i) {
            while (parser_->ParseFrame(i) > 0) {
            }
        }
    }
    // One delivery: GetFrame and, when it gave a frame, ReleaseFrame.
    bool Deliver() {
        unsigned char *p1, *p2;
        int n1, n2, type, channel;
        unsigned long long pts;
        unsigned int flags;
        const int s = parser_->GetFrame(&p1, &n1, &p2, &n2, &type, &pts, &flags, &channel, 1, 0);
        if (s < 0) return false;
        benchmark::DoNotOptimize(p1);
        parser_->ReleaseFrame(s);
        return true;
    }

private:
    int streams_;
    Endless host_;
    MSSP_StreamOperation_t ops_;
    std::string name_;
    CMultiStreamSyncParser* parser_;
};

// One rig per stream count for the whole program: Google Benchmark calls the
// function several times while it sizes the run, and a rig takes a StartParse
// and an Idle handshake to build.
Rig& RigFor(int streams) {
    static std::unique_ptr<Rig> rigs[33];
    std::unique_ptr<Rig>& rig = rigs[streams];
    if (!rig) {
        rig = std::make_unique<Rig>(streams);
        rig->Refill();
    }
    return *rig;
}

void BM_GetReleaseFrame(benchmark::State& state) {
    Rig& rig = RigFor(static_cast<int>(state.range(0)));
    long long delivered = 0;
    for (auto _ : state) {
        if (rig.Deliver()) {
            ++delivered;
            continue;
        }
        state.PauseTiming();
        rig.Refill();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(delivered);
    state.counters["streams"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_GetReleaseFrame)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->Arg(24)->Arg(32);

int CallgrindMode() {
    for (int n : {1, 2, 4, 8, 16, 24, 32}) {
        Rig rig(n);
        rig.Refill();
        long long delivered = 0;
        bench::BeginMeasure();
        while (rig.Deliver()) ++delivered;
        const std::string label = "streams=" + std::to_string(n);
        bench::EndMeasure(label.c_str());
        bench::Result("streams", static_cast<long long>(n));
        bench::Result("delivered", delivered);
    }
    bench::ResultFlush();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bench::QuietStdout();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--callgrind") == 0) return CallgrindMode();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
