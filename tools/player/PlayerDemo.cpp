// Recording player: the built-in demonstration (mssp-play --demo). Writes a
// sample group of four channels into a temporary folder (two stream types,
// recorder clocks that differ, audio on one channel, a segment change with a
// pause), plays a short scripted session in real time (--fast: as fast as
// possible) that shows synchronised play, a seek over the segment change,
// fast forward and a stream switch, prints the summary and the step report,
// plays the session again presented by recorded time to show the step that
// way, draws the timeline picture into the working folder (--plot FILE
// elsewhere) and removes the temporary folder.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "PackTool.h"
#include "Player.h"

namespace player {
namespace {

constexpr int kDemoChannels = 4;
constexpr int kAudioChannel = 2;
constexpr double kDemoSeconds = 60;  // recorded per channel
constexpr int kSegmentSeconds = 30;  // a new segment after 30 s ...
constexpr int kPauseSeconds = 2;     // ... after a 2 s recording pause

constexpr const char* kDemoPicture = "mssp-demo.png";  // in the working folder

// The largest spread of recorded time and settle time after the operations
// of normal play (the demo's fast forward is the one trick-play operation).
std::pair<int64_t, double> PlaySpread(const Result& r) {
    std::pair<int64_t, double> most{0, 0};
    for (const StepStats& s : r.steps) {
        if (!s.settled || s.operation.find(":ff:") != std::string::npos) continue;
        most.first = std::max(most.first, s.spreadMs);
        most.second = std::max(most.second, s.settleMs);
    }
    return most;
}

bool OnPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t at = 0; at <= dirs.size();) {
        const size_t colon = std::min(dirs.find(':', at), dirs.size());
        const std::string file = dirs.substr(at, colon - at) + "/" + program;
        if (access(file.c_str(), X_OK) == 0) return true;
        at = colon + 1;
    }
    return false;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    return ec ? path : (cwd / path).string();
}

Action DemoAction(const std::string& spec, const std::string& note) {
    Action a;
    std::string error;
    if (!ParseAction(spec, &a, &error)) std::abort();  // the demo's own script: a fault here is a bug
    a.note = note;
    return a;
}

// Removes the temporary folder on every way out.
class TempFolder {
public:
    TempFolder() {
        char name[] = "/tmp/mssp-demo.XXXXXX";
        if (mkdtemp(name)) path_ = name;
    }
    ~TempFolder() {
        if (path_.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

int RunDemo(const Options& base, const Output& output) {
    FILE* out = output.out;
    TempFolder folder;
    if (folder.Path().empty()) {
        std::fprintf(output.err, "mssp-play: cannot create a temporary folder: %s\n", std::strerror(errno));
        return kExitFailure;
    }
    packtool::SynthOptions synth;
    synth.outDir = folder.Path() + "/group";
    synth.channels = kDemoChannels;
    synth.streamTypes = 2;
    synth.durationSec = kDemoSeconds;
    synth.bitrateKbps = 256;
    synth.audio = packtool::AudioMode::kAll;
    synth.audioChannels = 1u << kAudioChannel;
    synth.segmentSec = kSegmentSeconds;
    synth.gapSec = kPauseSeconds;
    synth.start = DateTime{26, 1, 1, 10, 0, 0};
    // Each channel's recorder counts its timestamps from its own origin.
    synth.origins = {{0, 1000000}, {1, 1000160}, {2, 999720}, {3, 1000400}};

    std::fprintf(out,
                 "MSSP demo: the playback engine plays a recording group of four channels\n\n"
                 "1. Recording a sample group in %s\n"
                 "   4 channels x 2 stream types (0 main 704x576, 1 sub 352x288), 25 fps, one I-frame a second,\n"
                 "   60 s each from 2026-01-01 10:00:00, a new segment at 10:00:32 after a 2 s pause,\n"
                 "   G.711 audio on channel 2, recorder clocks starting at 1000000, 1000160, 999720 and 1000400 ms\n",
                 synth.outDir.c_str());
    std::fflush(out);
    packtool::Report report;
    std::string error;
    if (!packtool::WriteSynthetic(synth, &report, &error)) {
        std::fprintf(output.err, "mssp-play: cannot write the sample group: %s\n", error.c_str());
        return kExitFailure;
    }
    for (const packtool::StreamReport& s : report.streams) {
        if (s.streamType != 0) continue;
        std::fprintf(out, "   channel %u: %u segments, %u I, %u P, %u audio packs per stream type 0\n", s.channel,
                     s.segments, s.iFrames, s.pFrames, s.audio);
    }

    Options o;
    o.groupDir = synth.outDir;
    o.shmName = base.shmName;
    o.libraryLog = base.libraryLog;
    o.realtime = base.realtime;
    o.progress = 1;
    o.events = true;
    o.actions = {
        DemoAction("2s:seek:10:00:27",
                   "seek: every channel moves to 10:00:27; watch the segment change (10:00:30 -> 10:00:32)"),
        DemoAction("7s:ff:16", "fast forward x16: the readers fetch only every 4th I-frame"),
        DemoAction("8s:play", "normal play again, at the position fast forward reached"),
        DemoAction("9s:switch-type:1", "stream switch: every channel to the sub stream at the shown position"),
        DemoAction("11s:stop", "end of the session"),
    };
    std::string picture;
    if (OnPath("gnuplot")) picture = AbsolutePath(base.plotPath.empty() ? kDemoPicture : base.plotPath);
    o.plotPath = picture;
    std::fprintf(out,
                 "\n2. Playing it through CMultiStreamSyncParser %s. The engine hands out the frames\n"
                 "   of all channels in timestamp order. A timestamp counts on its recorder's clock, so frames\n"
                 "   recorded at the same moment come out as far apart as the clocks: channel 2 (the earliest\n"
                 "   clock) runs 280 ms ahead of channel 0 and 680 ms ahead of channel 3. One line a second shows\n"
                 "   per channel the recorded time of the latest frame shown since the last operation (--:--:--\n"
                 "   while the channel has shown none since) and its timestamp.\n\n",
                 o.realtime ? "in real time" : "as fast as possible");
    std::fflush(out);
    Output o2 = output;
    o2.progress = out;
    Result result;
    const int status = Play(o, o2, &result);
    std::fprintf(out,
                 "\n3. The summary counts per channel what the engine delivered: I-frames, P-frames, audio\n"
                 "   (channel 2 only), the frames flagged as a new segment or a jump (disc), and frames out of\n"
                 "   order (order: 0 is right). The step report under it shows after each operation how long it\n"
                 "   took until every channel showed a frame (settle) and how far apart in recorded time the\n"
                 "   channels' latest frames were from then on (spread). In normal play they were up to %" PRId64
                 " ms\n"
                 "   apart (the clocks differ by up to 680 ms, the frames follow each other at 40 ms), and the\n"
                 "   last channel showed its first frame %.0f ms after an operation at most. In fast forward each\n"
                 "   channel shows every 4th I-frame on its own: a step of 4 s.\n",
                 PlaySpread(result).first, PlaySpread(result).second);
    std::fflush(out);

    // The same session once more, presented by recorded time, as fast as possible and unseen.
    Options byTime = o;
    byTime.presentByTime = true;
    byTime.realtime = false;
    byTime.progress = 0;
    byTime.events = false;
    byTime.plotPath.clear();
    byTime.timelinePath.clear();
    for (Action& a : byTime.actions) a.note.clear();
    FILE* quiet = std::fopen("/dev/null", "w");
    Output silent;
    silent.out = silent.err = quiet ? quiet : output.err;
    silent.stop = output.stop;
    Result again;
    const int againStatus = Play(byTime, silent, &again);
    if (quiet) std::fclose(quiet);
    std::fprintf(out,
                 "\n4. The same session shown by recorded time (mssp-play --present-by time), played again as\n"
                 "   fast as possible: the player learns per channel the offset between timestamp and recorded\n"
                 "   time of day and shows every frame at its recorded time, holding frames back as needed; the\n"
                 "   engine's delivery order is unchanged.\n");
    PrintSteps(out, again);
    std::fprintf(out,
                 "   In normal play the channels' latest frames are now at most %" PRId64
                 " ms apart (a frame interval),\n"
                 "   and all channels showed their first frame after an operation within %.0f ms of playback time.\n",
                 PlaySpread(again).first, PlaySpread(again).second);
    if (againStatus != kExitOk)
        std::fprintf(out, "   (that run failed: %s)\n", again.errors.empty() ? "?" : again.errors[0].c_str());
    if (!picture.empty()) {
        std::fprintf(out,
                     "\n5. The timeline picture: per channel the recorded time of day against playback time, the\n"
                     "   operations as dashed lines, circles where a channel begins a new segment:\n   %s\n",
                     picture.c_str());
    } else {
        std::fprintf(out,
                     "\n5. No timeline picture: gnuplot is not installed (bash scripts/install-deps.sh gnuplot-nox).\n");
    }
    std::fprintf(out, "\nRemoving %s\n", folder.Path().c_str());
    std::fflush(out);
    return status != kExitOk ? status : againStatus;
}

}  // namespace player
