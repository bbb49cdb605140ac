// mssp-pack: the recording tool. Writes a recording group directory from
// synthetic channels ("synth") or by wrapping H.264 Annex-B elementary
// streams with optional G.711 audio ("h264"), then prints what it wrote.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "PackTool.h"

namespace {

void Usage() {
    std::puts(
        "usage: mssp-pack synth -o DIR [options]\n"
        "       mssp-pack h264  -o DIR --input VIDEO.h264[,AUDIO.g711] [--input ...] [options]\n"
        "common options:\n"
        "  -o, --out DIR          group directory to write (created; refused if it holds a group, unless --force)\n"
        "  --format new|old       pack format (default new)\n"
        "  --group N              recording group id (default 0)\n"
        "  --start 'YYYY-MM-DD HH:MM:SS'  date and time of the first frame (default 2026-01-01 10:00:00)\n"
        "  --fps N                frame rate (default 25)\n"
        "  --segment SEC          start a new segment at the first I-frame SEC seconds after the last began\n"
        "  --gap SEC              recording pause before each new segment (default 0)\n"
        "  --origin CH=MS         timestamp of channel CH's first frame, in ms (repeatable; default 1000;\n"
        "                         0 means \"no timestamp\" to the player, which then drops the first GOP)\n"
        "  --audio-frame MS       duration of one audio pack (default 40 ms = 320 G.711 bytes)\n"
        "  --force                write into a directory that already holds a group\n"
        "synth options:\n"
        "  --channels N           channels 0..N-1 (default 1)\n"
        "  --types N              stream types 0..N-1 per channel: main, sub, third (default 1)\n"
        "  --duration SEC         recorded seconds per channel (default 10)\n"
        "  --gop N                frames per GOP (default 25)\n"
        "  --bitrate KBPS         bit rate of stream type 0 (default 1024; each further type a quarter)\n"
        "  --audio none|all|alternate  segments with audio (alternate: odd-numbered ones)\n"
        "  --ref-type 0|2|5       reference type written in every video pack (new format; default 0 = none)\n"
        "  --ref-cycle N          reference positions 0..N-1 from each I-frame (default the GOP)\n"
        "  --size WxH             picture size of stream type 0 (default 704x576)\n"
        "  --seed N               payload pattern seed (default 1)\n"
        "h264 options:\n"
        "  --input V[,A]          channel k's H.264 Annex-B stream and optional raw 8 kHz G.711 audio");
}

bool Int(const char* text, long long lo, long long hi, long long* out) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno || !end || *end || end == text || v < lo || v > hi) return false;
    *out = v;
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "mssp-pack: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) {
        Usage();
        return argc < 2 ? 2 : 0;
    }
    const std::string mode = argv[1];
    if (mode != "synth" && mode != "h264") return Fail("mode must be synth or h264 (see --help)");
    packtool::SynthOptions synth;
    packtool::WrapOptions wrap;
    std::string out, format = "new", start;
    long long groupId = 0, fps = 25, segment = 0, gap = 0, audioFrame = 40;
    bool force = false;
    std::map<int, uint64_t> origins;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "-h" || arg == "--help") {  // after the mode too: "mssp-pack h264 --help"
            Usage();
            return 0;
        }
        long long v = 0;
        auto intArg = [&](long long lo, long long hi, long long* dst) {
            if (!value || !Int(value, lo, hi, dst)) return false;
            ++i;
            return true;
        };
        bool ok = true;
        if ((arg == "-o" || arg == "--out") && value) {
            out = argv[++i];
        } else if (arg == "--format" && value) {
            format = argv[++i];
        } else if (arg == "--start" && value) {
            start = argv[++i];
        } else if (arg == "--group") {
            ok = intArg(0, 255, &groupId);
        } else if (arg == "--fps") {
            ok = intArg(1, 120, &fps);
        } else if (arg == "--segment") {
            ok = intArg(0, 86400, &segment);
        } else if (arg == "--gap") {
            ok = intArg(0, 86400, &gap);
        } else if (arg == "--audio-frame") {
            ok = intArg(2, 1000, &audioFrame);
        } else if (arg == "--force") {
            force = true;
        } else if (arg == "--origin" && value) {
            const std::string o = argv[++i];
            const size_t eq = o.find('=');
            long long ch = 0, ms = 0;
            ok = eq != std::string::npos && Int(o.substr(0, eq).c_str(), 0, 31, &ch) &&
                 Int(o.substr(eq + 1).c_str(), 0, 1LL << 50, &ms);
            if (ok) origins[static_cast<int>(ch)] = static_cast<uint64_t>(ms);
        } else if (mode == "synth" && arg == "--channels") {
            ok = intArg(1, 32, &v) && (synth.channels = static_cast<int>(v), true);
        } else if (mode == "synth" && arg == "--types") {
            ok = intArg(1, 3, &v) && (synth.streamTypes = static_cast<int>(v), true);
        } else if (mode == "synth" && arg == "--duration" && value) {
            char* end = nullptr;
            synth.durationSec = std::strtod(argv[++i], &end);
            ok = end && !*end && std::isfinite(synth.durationSec);
        } else if (mode == "synth" && arg == "--gop") {
            ok = intArg(1, 100000, &v) && (synth.gop = static_cast<int>(v), true);
        } else if (mode == "synth" && arg == "--bitrate") {
            ok = intArg(1, 200000, &v) && (synth.bitrateKbps = static_cast<int>(v), true);
        } else if (mode == "synth" && arg == "--audio" && value) {
            const std::string a = argv[++i];
            if (a == "none") synth.audio = packtool::AudioMode::kNone;
            else if (a == "all") synth.audio = packtool::AudioMode::kAll;
            else if (a == "alternate") synth.audio = packtool::AudioMode::kAlternate;
            else ok = false;
        } else if (mode == "synth" && arg == "--ref-type") {
            ok = intArg(0, 5, &v) && (synth.refType = static_cast<int>(v), true);
        } else if (mode == "synth" && arg == "--ref-cycle") {
            ok = intArg(0, 61, &v) && (synth.refCycle = static_cast<int>(v), true);
        } else if (mode == "synth" && arg == "--size" && value) {
            unsigned w = 0, h = 0;
            char tail = 0;
            ok = std::sscanf(argv[++i], "%ux%u%c", &w, &h, &tail) == 2 && w <= 4095 && h <= 4095;
            synth.width = static_cast<uint16_t>(w);
            synth.height = static_cast<uint16_t>(h);
        } else if (mode == "synth" && arg == "--seed") {
            ok = intArg(0, 0xFFFFFFFFLL, &v) && (synth.seed = static_cast<uint32_t>(v), true);
        } else if (mode == "h264" && arg == "--input" && value) {
            const std::string in = argv[++i];
            const size_t comma = in.find(',');
            wrap.inputs.push_back(packtool::H264Input{in.substr(0, comma),
                                                      comma == std::string::npos ? "" : in.substr(comma + 1)});
        } else {
            ok = false;
        }
        if (!ok) return Fail("bad or incomplete argument " + arg + " (see --help)");
    }
    if (out.empty()) return Fail("no output directory (-o DIR)");
    recstore::PackFormat fmt;
    if (!recstore::ParseFormatName(format, &fmt)) return Fail("format must be new or old");
    recstore::DateTime startTime{26, 1, 1, 10, 0, 0};
    if (!start.empty() && !recstore::ParseDateTime(start, &startTime))
        return Fail("start must be 'YYYY-MM-DD HH:MM:SS'");
    struct stat st;
    if (!force && stat((out + "/" + recstore::kManifestName).c_str(), &st) == 0)
        return Fail(out + " already holds a recording group (use --force to write over it)");

    packtool::Report report;
    std::string error;
    bool ok;
    if (mode == "synth") {
        synth.outDir = out;
        synth.groupId = static_cast<uint32_t>(groupId);
        synth.format = fmt;
        synth.start = startTime;
        synth.fps = static_cast<int>(fps);
        synth.segmentSec = static_cast<int>(segment);
        synth.gapSec = static_cast<int>(gap);
        synth.audioFrameMs = static_cast<int>(audioFrame);
        synth.origins = origins;
        ok = packtool::WriteSynthetic(synth, &report, &error);
    } else {
        wrap.outDir = out;
        wrap.groupId = static_cast<uint32_t>(groupId);
        wrap.format = fmt;
        wrap.start = startTime;
        wrap.fps = static_cast<int>(fps);
        wrap.segmentSec = static_cast<int>(segment);
        wrap.gapSec = static_cast<int>(gap);
        wrap.audioFrameMs = static_cast<int>(audioFrame);
        wrap.origins = origins;
        ok = packtool::WrapH264(wrap, &report, &error);
    }
    if (!ok) {
        std::fprintf(stderr, "mssp-pack: %s\n", error.c_str());
        return 1;
    }
    std::printf("wrote group %u in %s (%s format)\n", static_cast<unsigned>(groupId), out.c_str(),
                recstore::FormatName(fmt));
    for (const packtool::StreamReport& s : report.streams)
        std::printf("  channel %u stream type %u: %u segments, %u I, %u P, %u audio packs\n", s.channel,
                    s.streamType, s.segments, s.iFrames, s.pFrames, s.audio);
    return 0;
}
