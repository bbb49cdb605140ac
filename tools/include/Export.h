// Export library (mssp-export): writes one recorded time range of several
// channels into one Matroska or MP4 file by stream copy, one video track
// per channel (and its G.711 audio on request), in step by recorded time
// through the host layer's presentation stage. Single-threaded: the export
// runs on the caller's thread.
#ifndef MSSP_EXPORT_H
#define MSSP_EXPORT_H

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "RecCommon.h"

namespace exporter {

using recstore::DateTime;

enum class Container { kMatroska, kMp4 };

struct Options {
    std::string groupDir;
    std::string outPath;
    DateTime from{}, to{};
    uint32_t channels = 0;  // 0: every channel recorded in the stream type
    int streamType = 0;
    bool audio = false;      // G.711 tracks where recorded (Matroska only)
    bool presentByTime = true;
    bool force = false;      // replace an existing output file
    bool progress = false;   // a progress line on `log` (a terminal)
    const volatile sig_atomic_t* stop = nullptr;  // set (by a signal handler): the export ends as failed
};

// Per channel, what went into the file.
struct ChannelSummary {
    int channel = -1;
    uint64_t frames = 0, audioFrames = 0, bytes = 0;
    int64_t firstMs = -1, lastMs = -1;  // recorded time of the first and last frame written (ms since 1970)
    uint64_t dropped = 0;                // frames the recording lost (damage) or that could not be copied
    int64_t clockOffsetMs = 0;           // learnt: recorded time = timestamp + offset
};

struct Summary {
    std::vector<ChannelSummary> channels;
    uint64_t bytes = 0;    // of the file
    double seconds = 0;    // wall time
};

// The container for a file name: by its extension (.mkv, .mp4); false when
// it names neither.
bool ContainerFor(const std::string& path, Container* container);

// Runs the export. Notes and warnings (channels left out, damage) go to
// `log`. False with the reason; the output file is then not left behind.
bool Export(const Options& options, FILE* log, Summary* summary, std::string* error);

// The summary as the tool prints it.
void PrintSummary(FILE* out, const Summary& summary);

}  // namespace exporter

#endif  // MSSP_EXPORT_H
