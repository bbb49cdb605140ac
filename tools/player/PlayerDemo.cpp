// Recording player: the built-in demonstration (mssp-play --demo). Writes a
// sample group of four channels into a temporary folder (two stream types,
// recorder clocks that differ, audio on one channel, a segment change with a
// pause), plays a short scripted session in real time that shows
// synchronised play, a seek over the segment change, fast forward and a
// stream switch, prints the summary and removes the folder.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "PackTool.h"
#include "Player.h"

namespace player {
namespace {

constexpr int kDemoChannels = 4;
constexpr int kAudioChannel = 2;
constexpr double kDemoSeconds = 60;  // recorded per channel
constexpr int kSegmentSeconds = 30;  // a new segment after 30 s ...
constexpr int kPauseSeconds = 2;     // ... after a 2 s recording pause

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
    o.realtime = true;
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
    std::fprintf(out,
                 "\n2. Playing it through CMultiStreamSyncParser in real time. One line a second shows each\n"
                 "   channel's recorded time and timestamp: the engine hands out the frames of all channels in\n"
                 "   timestamp order, so the four channels advance together.\n\n");
    std::fflush(out);
    Output o2 = output;
    o2.progress = out;
    Result result;
    const int status = Play(o, o2, &result);
    std::fprintf(out,
                 "\n3. The summary above counts per channel what the engine delivered: I-frames, P-frames, audio\n"
                 "   (channel 2 only), the frames flagged as a new segment or a jump (disc), and frames out of\n"
                 "   order (order: 0 is right). Removing %s\n",
                 folder.Path().c_str());
    std::fflush(out);
    return status;
}

}  // namespace player
