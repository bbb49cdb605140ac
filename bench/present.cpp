// mssp-bench-present: the cost per frame of the host layer's presentation
// stage by recorded time (HostPresent.h), beside the engine's delivery.
// N channels at 25 fps whose recorders' clocks start up to 680 ms apart
// (as in the demo), every frame with its date and time; frames pushed in
// timestamp order, as the engine delivers, and taken out in recorded-time
// order as soon as they may go. The held item is the frame's number, so
// the host's copy of the frame is not part of the figure.
//   mssp-bench-present [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "HostPresent.h"

namespace {

constexpr int kSeconds = 60;          // of recording per channel; the stage starts afresh after it
constexpr uint64_t kFrameMs = 40;
constexpr uint64_t kClockApartMs[] = {0, 160, 680, 400};  // per channel, repeating

std::vector<mssphost::StageFrame> Sequence(int channels) {
    const int64_t t0 = recstore::DateTimeToSeconds(mssphost::DateTime{26, 1, 1, 10, 0, 0});
    std::vector<mssphost::StageFrame> seq;
    for (int c = 0; c < channels; ++c) {
        for (uint64_t ms = 0; ms < kSeconds * 1000u; ms += kFrameMs) {
            mssphost::StageFrame f;
            f.channel = c;
            f.pts = f.clockPts = 1000 + kClockApartMs[c % 4] + ms;
            f.hasTime = true;
            f.time = recstore::SecondsToDateTime(t0 + static_cast<int64_t>(ms / 1000));
            f.bytes = 20000;
            seq.push_back(f);
        }
    }
    std::stable_sort(seq.begin(), seq.end(),
                     [](const mssphost::StageFrame& a, const mssphost::StageFrame& b) { return a.pts < b.pts; });
    return seq;
}

void BM_PresentationStage(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    const std::vector<mssphost::StageFrame> seq = Sequence(channels);
    const uint32_t live = channels >= 32 ? ~0u : (1u << channels) - 1;
    mssphost::Presentation<uint32_t> stage;
    mssphost::Presentation<uint32_t>::Out out;
    size_t next = 0;
    long long frames = 0;
    for (auto _ : state) {
        if (next == seq.size()) {
            state.PauseTiming();
            stage.Reposition(false);
            next = 0;
            state.ResumeTiming();
        }
        stage.Push(seq[next], static_cast<uint32_t>(next));
        ++next;
        while (stage.Pop(live, &out)) benchmark::DoNotOptimize(out.item);
        ++frames;
    }
    state.SetItemsProcessed(frames);
    state.counters["channels"] = static_cast<double>(channels);
}
BENCHMARK(BM_PresentationStage)->Arg(1)->Arg(4)->Arg(16)->Arg(32);

}  // namespace

BENCHMARK_MAIN();
