// mssp-export: writes one recorded time range of several channels into one
// Matroska or MP4 file, in step by recorded time (see --help). The engine
// prints its diagnostics on standard output by design: they are moved to
// /dev/null so that the summary on standard output stays readable.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "Export.h"
#include "MsspHost.h"
#include "Signals.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void Usage(FILE* f) {
    std::fputs(
        "usage: mssp-export GROUP -o FILE.mkv|FILE.mp4 --from 'YYYY-MM-DD HH:MM:SS' --to 'YYYY-MM-DD HH:MM:SS'\n"
        "                   [--channels 0-3] [--stream-type 0|1|2] [--audio] [--present-by time|timestamp] [--force]\n"
        "  one video track per channel (H.264 or H.265, copied as recorded), titled \"channel N\", each\n"
        "  starting at its key frame at or before --from; frames recorded at the same instant share one\n"
        "  time in the file (--present-by time, the default); recording pauses stay gaps.\n"
        "  An MP4 file starts playing at --from: an edit list per track skips the lead-in from the key\n"
        "  frame, which stays in the file for decoding. Matroska has no edit list: its time 0 is the\n"
        "  earliest track's key frame, and --from lies that far into the file.\n"
        "  --audio       the channels' G.711 audio as well (Matroska only: MP4 cannot carry G.711)\n"
        "  --present-by timestamp  file times by the engine's timestamps instead (channels on other\n"
        "                clocks then stay apart)\n"
        "  --force       replace an existing FILE\n",
        f);
}

}  // namespace

int main(int argc, char** argv) {
    exporter::Options o;
    bool haveFrom = false, haveTo = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool timeOfDay = false;
        long long v = 0;
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else if ((arg == "-o" || arg == "--out") && value) {
            o.outPath = argv[++i];
        } else if ((arg == "--from" || arg == "--to") && value) {
            recstore::DateTime& dt = arg == "--from" ? o.from : o.to;
            if (!mssphost::ParseStartTime(value, &dt, &timeOfDay) || timeOfDay) {
                std::fprintf(stderr, "mssp-export: %s takes 'YYYY-MM-DD HH:MM:SS', not %s\n", arg.c_str(), value);
                return 2;
            }
            (arg == "--from" ? haveFrom : haveTo) = true;
            ++i;
        } else if (arg == "--channels" && value && mssphost::ParseChannelSet(value, &o.channels)) {
            ++i;
        } else if (arg == "--stream-type" && value && mssphost::ParseInteger(value, 0, 2, &v)) {
            o.streamType = static_cast<int>(v);
            ++i;
        } else if (arg == "--present-by" && value && (!std::strcmp(value, "time") || !std::strcmp(value, "timestamp"))) {
            o.presentByTime = !std::strcmp(value, "time");
            ++i;
        } else if (arg == "--audio") {
            o.audio = true;
        } else if (arg == "--force") {
            o.force = true;
        } else if (!arg.empty() && arg[0] != '-' && o.groupDir.empty()) {
            o.groupDir = arg;
        } else {
            std::fprintf(stderr, "mssp-export: bad argument %s\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (o.groupDir.empty() || o.outPath.empty() || !haveFrom || !haveTo) {
        Usage(stderr);
        return 2;
    }
    o.progress = isatty(STDERR_FILENO) != 0;
    // Interrupted, the export ends as a failure: no file, the engine's shared memory removed.
    o.stop = &g_stop;
    tooling::StopOnSignals(&g_stop);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    FILE* report = saved >= 0 ? fdopen(saved, "w") : nullptr;
    if (!report || null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        std::fprintf(stderr, "mssp-export: cannot set up standard output: %s\n", std::strerror(errno));
        return 1;
    }
    close(null);
    exporter::Summary summary;
    std::string error;
    if (!exporter::Export(o, stderr, &summary, &error)) {
        std::fprintf(stderr, "mssp-export: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(report, "%s: %zu channel(s), %s .. %s\n", o.outPath.c_str(), summary.channels.size(),
                 recstore::FormatDateTime(o.from).c_str(), recstore::FormatDateTime(o.to).c_str());
    exporter::PrintSummary(report, summary);
    return std::fclose(report) == 0 ? 0 : 1;
}
