// The playback session of the pipeline and latency benchmarks: the first N
// channels of a recording group through the host layer, the parser built
// before anything is timed. Header-only; the programs that include it link
// the host layer and the engine.
#ifndef MSSP_BENCH_SESSION_H
#define MSSP_BENCH_SESSION_H

#include <cstdlib>
#include <memory>
#include <string>

#include "BenchCommon.h"
#include "MsspHost.h"

namespace bench {

// Channels 0..channels-1, main stream; exits with a message when the group
// cannot be played so.
inline std::unique_ptr<mssphost::Session> OpenSession(const std::string& dir, int channels, int ringBytes, int nodes,
                                                      int perThread) {
    mssphost::Options options;
    options.groupDir = dir;
    options.channels = mssphost::FirstChannels(0xFFFFFFFFu, channels);
    options.ringBytes = ringBytes;
    options.nodes = nodes;
    options.streamsPerThread = perThread;
    options.shmPrefix = "mbench";
    std::string error;
    std::unique_ptr<mssphost::Session> session = mssphost::Session::Open(options, &error);
    if (!session) {
        Note("bench: %s\n", error.c_str());
        std::exit(2);
    }
    session->Prepare();
    return session;
}

}  // namespace bench

#endif  // MSSP_BENCH_SESSION_H
