// The recording player (mssp-play): its command line, whole runs of the
// player library over synthetic and hand-made recordings (per-channel
// counts, the timeline, the elementary-stream output, trick play, the
// schedule, the order and drop counters, the pack formats), the program's
// exit status on bad arguments and bad recordings, and the demo.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "PackTool.h"
#include "PackWriter.h"
#include "Player.h"
#include "Presentation.h"
#include "RecGroup.h"
#include "RecWriter.h"
#include "TargetProgram.h"
#include "TestAccess.h"

using namespace player;

namespace {

const std::string kPlayPath = std::string(MSSP_TOOLS_DIR) + "/mssp-play";
// The command that starts it (through a cross build's emulator, if any).
const std::string kPlay = msspt::EmulatorPrefix() + kPlayPath;

// A run of the player library with its report captured.
struct PlayRun {
    Result result;
    int status = -1;
    std::string report;
};

PlayRun PlayQuiet(Options o) {
    PlayRun run;
    if (o.shmName.empty()) o.shmName = msspt::UniqueName("play");
    o.realtime = false;
    o.progress = 0;
    char* text = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&text, &len);
    Output out;
    out.out = mem;
    out.err = mem;
    run.status = Play(o, out, &run.result);
    fclose(mem);
    run.report.assign(text, len);
    free(text);
    // The run's shared memory and key file are gone.
    const std::string key = KeyFilePath(o.shmName, kPlaybackGroup);
    EXPECT_NE(access(key.c_str(), F_OK), 0) << key << " left behind";
    return run;
}

// The timeline's frame lines, each tagged "after_op" with the number of the
// operation line before it; the operation lines go to `ops`.
std::vector<Json::Value> ReadTimeline(const std::string& path, std::vector<Json::Value>* ops = nullptr) {
    std::vector<Json::Value> rows;
    std::ifstream in(path);
    std::string line;
    Json::CharReaderBuilder builder;
    int op = -1;
    while (std::getline(in, line)) {
        Json::Value v;
        std::string errs;
        std::istringstream is(line);
        EXPECT_TRUE(Json::parseFromStream(builder, is, &v, &errs)) << line << ": " << errs;
        if (v.isMember("op")) {
            op = v["op"].asInt();
            if (ops) ops->push_back(v);
            continue;
        }
        v["after_op"] = op;
        rows.push_back(v);
    }
    return rows;
}

void AddActions(Options* o, std::initializer_list<const char*> specs) {
    for (const char* spec : specs) {
        Action a;
        std::string err;
        ASSERT_TRUE(ParseAction(spec, &a, &err)) << err;
        o->actions.push_back(a);
    }
}

// Four recorders whose clocks start up to 680 ms apart, as in the demo.
const std::map<int, uint64_t> kSkewedOrigins = {{0, 100000}, {1, 100160}, {2, 99720}, {3, 100400}};

packtool::SynthOptions Synth(const std::string& dir) {
    packtool::SynthOptions s;
    s.outDir = dir;
    s.durationSec = 4;
    s.bitrateKbps = 256;
    // Timestamp 0 means "no timestamp" to the engine: every clock starts above it.
    s.origins = {{0, 10000}, {1, 10120}, {2, 9880}, {3, 10300}};
    return s;
}

void WriteSynth(const packtool::SynthOptions& s, packtool::Report* report = nullptr) {
    std::string err;
    ASSERT_TRUE(packtool::WriteSynthetic(s, report, &err)) << err;
}

// The video payloads of a recorded stream in recording order, concatenated.
std::vector<uint8_t> RecordedVideo(const std::string& dir, uint8_t channel, uint8_t type) {
    std::string err;
    recstore::GroupDesc group;
    EXPECT_TRUE(recstore::LoadManifest(dir, &group, &err)) << err;
    std::vector<uint8_t> out;
    for (const recstore::StreamDesc& s : group.streams) {
        if (s.channel != channel || s.streamType != type) continue;
        for (const recstore::SegmentDesc& seg : s.segments) {
            std::vector<uint8_t> bytes;
            EXPECT_TRUE(packtool::ReadFile(dir + "/" + seg.file, &bytes, &err)) << err;
            size_t pos = 0;
            while (pos < bytes.size()) {
                recstore::PackHeader h;
                std::string why;
                EXPECT_EQ(recstore::DecodeHeader(seg.format, bytes.data() + pos, bytes.size() - pos, &h, &why),
                          recstore::Decode::kOk);
                if (h.type == recstore::kTypeI || h.type == recstore::kTypeP) {
                    const size_t at = pos + h.headerLen + h.extLen;
                    out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                               bytes.begin() + static_cast<std::ptrdiff_t>(at + h.frameLen));
                }
                pos += h.packLen;
            }
        }
    }
    return out;
}

// The video payloads the player wrote for a channel (--out-dir).
std::vector<uint8_t> PlayedVideo(const std::string& outDir, int channel) {
    char name[16];
    std::snprintf(name, sizeof(name), "/ch%02d.es", channel);
    std::vector<uint8_t> es;
    std::string err;
    EXPECT_TRUE(packtool::ReadFile(outDir + name, &es, &err)) << err;
    return es;
}

// A hand-made channel: video packs with the given timestamps (I-frame every
// `gop`), optionally tagged like synthetic payloads, one of them with a
// wrong checksum (the engine drops it).
struct HandChannel {
    uint8_t channel = 0;
    std::vector<uint64_t> pts;
    int gop = 10;
    bool tagged = false;
    int badChecksumAt = -1;
};

void WriteHandGroup(const std::string& dir, const std::vector<HandChannel>& channels) {
    recstore::RecWriter w(dir, 0);
    std::string err;
    const recstore::DateTime start{26, 1, 1, 10, 0, 0};
    for (const HandChannel& c : channels) {
        ASSERT_TRUE(w.BeginSegment(c.channel, 0, start, false, recstore::PackFormat::kNew, &err)) << err;
        for (size_t n = 0; n < c.pts.size(); ++n) {
            packwriter::NewPack p;
            p.kind = n % static_cast<size_t>(c.gop) == 0 ? packwriter::kIFrame : packwriter::kPFrame;
            p.channel = c.channel;
            p.video = packwriter::VideoInfo{352, 288, 25};
            p.pts = c.pts[n];
            p.time = recstore::SecondsToDateTime(recstore::DateTimeToSeconds(start) +
                                                 static_cast<int64_t>((c.pts[n] - c.pts[0]) / 1000));
            if (static_cast<int>(n) == c.badChecksumAt) p.checksum = 0x55;
            packwriter::Bytes payload = packwriter::PatternPayload(400, static_cast<uint32_t>(n + 1));
            if (c.tagged) {
                std::memcpy(payload.data(), "MSYN", 4);
                payload[4] = c.channel;
                payload[5] = 0;
                recstore::PutLe32(payload.data() + 8, static_cast<uint32_t>(n));
            }
            packwriter::Bytes pack;
            packwriter::AppendNewPack(pack, p, payload.data(), payload.size());
            ASSERT_TRUE(w.AppendPack(c.channel, 0, pack.data(), pack.size(), &err)) << err;
        }
    }
    ASSERT_TRUE(w.Finish(&err)) << err;
}

std::vector<uint64_t> Steps(uint64_t from, int count, uint64_t step = 40) {
    std::vector<uint64_t> v;
    for (int i = 0; i < count; ++i) v.push_back(from + static_cast<uint64_t>(i) * step);
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// The command line.

TEST(PlayerArgs, PointsChannelSetsAndActions) {
    Point p;
    ASSERT_TRUE(ParsePoint("2s", &p));
    EXPECT_FALSE(p.frames);
    EXPECT_EQ(p.value, 2000u);
    ASSERT_TRUE(ParsePoint("1.5s", &p));
    EXPECT_EQ(p.value, 1500u);
    ASSERT_TRUE(ParsePoint("250ms", &p));
    EXPECT_EQ(p.value, 250u);
    ASSERT_TRUE(ParsePoint("300f", &p));
    EXPECT_TRUE(p.frames);
    EXPECT_EQ(p.value, 300u);
    for (const char* bad : {"2", "s", "-1s", "2x", "1.5f", ""}) EXPECT_FALSE(ParsePoint(bad, &p)) << bad;

    uint32_t m = 0;
    ASSERT_TRUE(ParseChannelSet("0,2,4-6", &m));
    EXPECT_EQ(m, 0x75u);
    ASSERT_TRUE(ParseChannelSet("0x5", &m));
    EXPECT_EQ(m, 0x5u);
    ASSERT_TRUE(ParseChannelSet("31", &m));
    EXPECT_EQ(m, 0x80000000u);
    for (const char* bad : {"32", "3-1", "", "0x", "0x1FFFFFFFF", "1,,2", "a"})
        EXPECT_FALSE(ParseChannelSet(bad, &m)) << bad;

    Action a;
    std::string err;
    ASSERT_TRUE(ParseAction("5s:seek:10:00:30", &a, &err)) << err;
    EXPECT_EQ(a.kind, Action::kSeek);
    EXPECT_EQ(a.time.kind, TimeSpec::kTimeOfDay);
    EXPECT_EQ(a.time.dt[3], 10);
    EXPECT_EQ(a.time.dt[5], 30);
    ASSERT_TRUE(ParseAction("1s:seek:2026-01-02T03:04:05", &a, &err)) << err;
    EXPECT_EQ(a.time.kind, TimeSpec::kDateTime);
    EXPECT_EQ(a.time.dt, (DateTime{26, 1, 2, 3, 4, 5}));
    ASSERT_TRUE(ParseAction("1s:seek:-30", &a, &err)) << err;
    EXPECT_EQ(a.time.kind, TimeSpec::kRelative);
    EXPECT_EQ(a.time.seconds, -30);
    ASSERT_TRUE(ParseAction("2s:ff:16", &a, &err)) << err;
    EXPECT_EQ(a.kind, Action::kFastForward);
    EXPECT_EQ(a.speed, 16);
    EXPECT_EQ(a.time.kind, TimeSpec::kCurrent);
    ASSERT_TRUE(ParseAction("2s:fb:32:09:59:00", &a, &err)) << err;
    EXPECT_EQ(a.kind, Action::kFastBackward);
    EXPECT_EQ(a.time.dt[4], 59);
    ASSERT_TRUE(ParseAction("6s:switch-type:1", &a, &err)) << err;
    EXPECT_EQ(a.kind, Action::kSwitchTypeAll);
    ASSERT_TRUE(ParseAction("6s:switch-type:2:0,3", &a, &err)) << err;
    EXPECT_EQ(a.kind, Action::kSwitchType);
    EXPECT_EQ(a.mask, 0x9u);
    ASSERT_TRUE(ParseAction("7s:channels:0x5", &a, &err)) << err;
    EXPECT_EQ(a.mask, 0x5u);
    ASSERT_TRUE(ParseAction("8s:jump:0:3", &a, &err)) << err;
    EXPECT_EQ(a.channel, 0);
    EXPECT_EQ(a.level, 3);
    ASSERT_TRUE(ParseAction("40f:stop", &a, &err)) << err;
    EXPECT_EQ(a.kind, Action::kStop);

    for (const char* bad : {"2s:ff:3", "2s:ff", "2s:jump:0:15", "2s:jump:32:1", "2s:dance", "2s", "x:play",
                            "2s:seek", "2s:seek:25:00:00", "2s:switch-type:3", "2s:channels:0x0", "2s:stop:now",
                            "2s:play:2026-01-01 10:00:00"}) {
        EXPECT_FALSE(ParseAction(bad, &a, &err)) << bad;
        EXPECT_FALSE(err.empty());
    }
}

TEST(PlayerArgs, OptionsAndTheirConflicts) {
    Options o;
    std::string err;
    ASSERT_TRUE(ParseArgs({"g", "--fast", "--channels", "0-2", "--type", "1", "--fb", "8", "--convert", "--at",
                           "1s:play", "--at", "10f:stop", "--timeline", "t.jsonl", "--out-dir", "o", "--present-by",
                           "time", "--plot", "p.png"},
                          &o, &err))
        << err;
    EXPECT_TRUE(o.presentByTime);
    EXPECT_EQ(o.plotPath, "p.png");
    EXPECT_EQ(o.groupDir, "g");
    EXPECT_FALSE(o.realtime);
    EXPECT_EQ(o.channels, 0x7u);
    EXPECT_EQ(o.streamType, 1);
    EXPECT_EQ(o.mode, Mode::kFastBackward);
    EXPECT_EQ(o.speed, 8);
    EXPECT_TRUE(o.convert);
    ASSERT_EQ(o.actions.size(), 2u);
    EXPECT_TRUE(o.actions[1].at.frames);

    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{}, "no group directory"},
        {{"g", "--bogus"}, "unknown option --bogus"},
        {{"g", "h"}, "more than one group directory"},
        {{"g", "--ff", "5"}, "--ff needs a speed"},
        {{"g", "--type"}, "--type needs"},
        {{"g", "--start", "25:00:00"}, "--start needs"},
        {{"g", "--start", "10:00:00", "--segment", "1"}, "not both"},
        {{"g", "--channels", "1", "--segment", "2:0"}, "not among --channels"},
        {{"g", "--at", "2s:warp"}, "unknown action"},
        {{"g", "--ring", "1000"}, "--ring needs"},
        {{"g", "--present-by", "clock"}, "--present-by needs time or timestamp"},
        {{"g", "--plot"}, "--plot needs"},
    };
    for (const Case& c : cases) {
        Options x;
        EXPECT_FALSE(ParseArgs(c.args, &x, &err));
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

TEST(PlayerCli, BadArgumentsAndBadRecordingsExitNonZeroWithAMessage) {
    if (access(kPlayPath.c_str(), X_OK) != 0) GTEST_SKIP() << "mssp-play not built";
    msspt::TempDir dir("player_test");
    std::string out;
    EXPECT_EQ(msspt::Shell(kPlay, &out), kExitUsage);
    EXPECT_NE(out.find("usage: mssp-play"), std::string::npos);
    EXPECT_EQ(msspt::Shell(kPlay + " --help", &out), kExitOk);
    EXPECT_NE(out.find("--at POINT:ACTION"), std::string::npos);
    EXPECT_EQ(msspt::Shell(kPlay + " " + dir.path() + " --at 2s:ff:3", &out), kExitUsage);
    EXPECT_NE(out.find("SPEED must be"), std::string::npos) << out;
    EXPECT_EQ(msspt::Shell(kPlay + " " + dir.path() + "/none", &out), kExitFailure);
    EXPECT_NE(out.find("cannot open the recording"), std::string::npos) << out;

    // A channel that the recording does not hold.
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.durationSec = 1;
    s.channels = 2;
    WriteSynth(s);
    EXPECT_EQ(msspt::Shell(kPlay + " --fast " + s.outDir + " --channels 0,5", &out), kExitUsage);
    EXPECT_NE(out.find("channel(s) 5 have no recording"), std::string::npos) << out;

    // Channel 1's segment lost: channel 0 plays, the run still fails.
    const std::string lost = s.outDir + "/" + recstore::DefaultSegmentFile(1, 0, 0);
    const std::string kept = lost + ".kept";
    std::filesystem::rename(lost, kept);
    EXPECT_EQ(msspt::Shell(kPlay + " --fast " + s.outDir, &out), kExitFailure);
    EXPECT_NE(out.find("channel 1 stream type 0 could not be played at 2026-01-01"), std::string::npos) << out;
    EXPECT_NE(out.find("every stream ran out after 25 frames"), std::string::npos) << out;
    std::filesystem::rename(kept, lost);

    // Every segment file damaged: nothing can be opened.
    for (const auto& e : std::filesystem::recursive_directory_iterator(s.outDir)) {
        if (e.path().extension() == ".pack") std::ofstream(e.path(), std::ios::binary) << std::string(5000, 'x');
        if (e.path().extension() == ".idx") std::filesystem::remove(e.path());
    }
    EXPECT_EQ(msspt::Shell(kPlay + " --fast " + s.outDir, &out), kExitFailure);
    EXPECT_NE(out.find("has a usable segment"), std::string::npos) << out;
    // The engine's own diagnostics stay out of the report.
    EXPECT_EQ(out.find("[MSSP "), std::string::npos) << out;
}

// ---------------------------------------------------------------------------
// Whole runs.

TEST(PlayerRun, SyntheticGroupPlaysCompletelyWithTimelineAndPayloads) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.channels = 3;
    s.segmentSec = 2;
    s.gapSec = 1;
    s.audio = packtool::AudioMode::kAlternate;
    packtool::Report report;
    WriteSynth(s, &report);
    Options o;
    o.groupDir = s.outDir;
    o.timelinePath = dir.path() + "/timeline.jsonl";
    o.outDir = dir.path() + "/out";
    const PlayRun run = PlayQuiet(o);
    ASSERT_EQ(run.status, kExitOk) << run.report;
    ASSERT_EQ(run.result.channels.size(), 3u);
    uint64_t total = 0;
    for (const packtool::StreamReport& sr : report.streams) {
        const ChannelStats* c = run.result.Find(sr.channel);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->byType[0], sr.iFrames) << "channel " << int(sr.channel);
        EXPECT_EQ(c->byType[1], sr.pFrames);
        EXPECT_EQ(c->byType[2], sr.audio);
        EXPECT_EQ(c->dropped, 0u);
        EXPECT_EQ(c->orderViolations, 0u);
        EXPECT_EQ(c->discontinuities, 2u) << "the first frame and the new segment";
        EXPECT_EQ(c->firstTime, (DateTime{26, 1, 1, 10, 0, 0}));
        EXPECT_EQ(c->lastTime, (DateTime{26, 1, 1, 10, 0, 4})) << "4 s recorded with a 1 s pause";
        EXPECT_EQ(c->firstPts, s.origins[sr.channel]);
        total += sr.iFrames + sr.pFrames + sr.audio;
        // The elementary stream is the recorded payloads, in order.
        EXPECT_TRUE(PlayedVideo(o.outDir, sr.channel) == RecordedVideo(s.outDir, sr.channel, 0))
            << "channel " << int(sr.channel);
    }
    EXPECT_EQ(run.result.frames, total);
    EXPECT_NE(run.report.find("every stream ran out"), std::string::npos) << run.report;

    // One timeline line per delivered frame, numbered, in non-decreasing pts.
    const std::vector<Json::Value> rows = ReadTimeline(o.timelinePath);
    ASSERT_EQ(rows.size(), run.result.frames);
    uint64_t lastPts = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]["n"].asUInt64(), i + 1);
        EXPECT_GE(rows[i]["pts"].asUInt64(), lastPts);
        lastPts = rows[i]["pts"].asUInt64();
        EXPECT_TRUE(rows[i]["order_ok"].asBool());
        EXPECT_EQ(rows[i]["mode"].asString(), "play");
        const std::string type = rows[i]["type"].asString();
        EXPECT_TRUE(type == "I" || type == "P" || type == "A") << type;
        if (type != "A") {
            EXPECT_TRUE(rows[i]["seq"].isUInt()) << "synthetic frame number";
        }
    }
}

// Regression: the readers run up to four reads ahead of the parser. When
// they reached a following segment with audio while the first frames of a
// segment without audio still waited to be parsed, those frames were judged
// by the new segment's rule (the first frame must be audio) and the whole
// rest of the segment was dropped.
TEST(PlayerRun, ShortSegmentBeforeAnAudioSegmentIsPlayedWhole) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.durationSec = 3;
    s.segmentSec = 1;  // about 32 kB per segment: the next one is read before this one is parsed
    s.audio = packtool::AudioMode::kAlternate;
    s.origins.clear();  // the recording tool's default origin, which must not be 0 (the first GOP would be lost)
    packtool::Report report;
    WriteSynth(s, &report);
    Options o;
    o.groupDir = s.outDir;
    const PlayRun run = PlayQuiet(o);
    ASSERT_EQ(run.status, kExitOk) << run.report;
    const ChannelStats* c = run.result.Find(0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->firstTime, (DateTime{26, 1, 1, 10, 0, 0})) << "segment 0 is played";
    EXPECT_EQ(c->byType[0], report.streams[0].iFrames);
    EXPECT_EQ(c->byType[1], report.streams[0].pFrames);
    EXPECT_EQ(c->byType[2], report.streams[0].audio);
}

TEST(PlayerRun, FastForwardAndBackwardDeliverOnlyIFrames) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.channels = 2;
    s.durationSec = 10;  // I-frames at 0..9 s
    s.audio = packtool::AudioMode::kAll;
    WriteSynth(s);
    Options o;
    o.groupDir = s.outDir;
    o.timelinePath = dir.path() + "/t.jsonl";

    o.mode = Mode::kFastForward;
    o.speed = 16;  // every 4th I-frame: 0, 4, 8, then the last one
    PlayRun run = PlayQuiet(o);
    ASSERT_EQ(run.status, kExitOk) << run.report;
    for (const ChannelStats& c : run.result.channels) {
        EXPECT_EQ(c.byType[1] + c.byType[2] + c.byType[3], 0u) << "fast forward shows I-frames only";
        EXPECT_GE(c.byType[0], 3u);
        EXPECT_LE(c.byType[0], 4u);
        EXPECT_EQ(c.orderViolations, 0u);
    }
    std::vector<Json::Value> rows = ReadTimeline(o.timelinePath);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[1]["seq"].asUInt() - rows[0]["seq"].asUInt(), 0u) << "both channels at their first I-frame";
    EXPECT_EQ(rows[2]["seq"].asUInt(), 100u) << "then the 4th I-frame after it (frame 100)";

    o.speed = 1;  // every I-frame
    run = PlayQuiet(o);
    for (const ChannelStats& c : run.result.channels) EXPECT_EQ(c.byType[0], 10u);

    o.mode = Mode::kFastBackward;  // from the end, every I-frame, newest first
    run = PlayQuiet(o);
    ASSERT_EQ(run.status, kExitOk) << run.report;
    rows = ReadTimeline(o.timelinePath);
    ASSERT_EQ(rows.size(), 20u);
    EXPECT_EQ(rows.front()["seq"].asUInt(), 225u);
    EXPECT_EQ(rows.back()["seq"].asUInt(), 0u);
    for (size_t i = 1; i < rows.size(); ++i) {
        EXPECT_LE(rows[i]["pts"].asUInt64(), rows[i - 1]["pts"].asUInt64());
        EXPECT_EQ(rows[i]["type"].asString(), "I");
    }
    for (const ChannelStats& c : run.result.channels) EXPECT_EQ(c.orderViolations, 0u);
}

TEST(PlayerRun, ScheduleSwitchesTypeAndChannelsSeeksAndThinsFrames) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.channels = 3;
    s.streamTypes = 2;
    s.durationSec = 8;
    s.refType = 5;  // positions 0..24 in a 25-frame GOP
    WriteSynth(s);
    Options o;
    o.groupDir = s.outDir;
    o.channels = 0x3;
    o.timelinePath = dir.path() + "/t.jsonl";
    std::string err;
    for (const char* spec : {"0f:jump:0:3", "60f:switch-type:1", "150f:channels:1,2", "250f:seek:10:00:01",
                             "350f:stop"}) {
        Action a;
        ASSERT_TRUE(ParseAction(spec, &a, &err)) << err;
        o.actions.push_back(a);
    }
    const PlayRun run = PlayQuiet(o);
    ASSERT_EQ(run.status, kExitOk) << run.report;
    EXPECT_NE(run.report.find("stopped by the schedule"), std::string::npos) << run.report;
    const std::vector<Json::Value> rows = ReadTimeline(o.timelinePath);
    ASSERT_EQ(rows.size(), 350u);
    for (const Json::Value& r : rows) {
        const uint64_t n = r["n"].asUInt64();
        EXPECT_EQ(r["stream_type"].asInt(), n <= 60 ? 0 : 1) << "frame " << n;
        if (n > 150) {
            EXPECT_NE(r["channel"].asInt(), 0) << "channel 0 is no longer played";
        }
        if (n == 251) {
            EXPECT_EQ(r["time"].asString(), "2026-01-01 10:00:01") << "the seek's position";
            EXPECT_EQ(r["type"].asString(), "I");
        }
    }
    const ChannelStats* c0 = run.result.Find(0);
    const ChannelStats* c1 = run.result.Find(1);
    const ChannelStats* c2 = run.result.Find(2);
    ASSERT_TRUE(c0 && c1 && c2);
    // Level 3 shows positions 0, 4, .., 24 of the 25: three frames skipped per gap.
    EXPECT_GT(c0->skipped, 0u);
    EXPECT_EQ(c0->skipped % 3, 0u);
    EXPECT_EQ(c0->dropped, 0u);
    // The level stays with stream index 0, which channel 1 takes over.
    EXPECT_GT(c1->skipped, 0u);
    EXPECT_EQ(c2->skipped, 0u);
    EXPECT_GT(c2->Frames(), 0u);
    EXPECT_EQ(c0->typesSeen, 0x3u);
    EXPECT_EQ(c2->typesSeen, 0x2u) << "channel 2 joins on stream index 1, whose type is 1";
    for (const ChannelStats& c : run.result.channels) EXPECT_EQ(c.orderViolations, 0u);
}

TEST(PlayerRun, CountsDroppedFramesAndOrderViolations) {
    msspt::TempDir dir("player_test");
    std::vector<HandChannel> chans(3);
    chans[0] = HandChannel{0, Steps(1000, 40), 10, true, 13};   // tagged; frame 13 fails its checksum
    chans[1] = HandChannel{1, Steps(1000, 40), 10, false, 25};  // untagged: found by the timestamp gap
    chans[2] = HandChannel{2, Steps(1000, 40), 10, false, -1};
    chans[2].pts[22] = chans[2].pts[21] - 100;  // a P-frame stamped before its predecessor
    WriteHandGroup(dir.path(), chans);
    Options o;
    o.groupDir = dir.path();
    const PlayRun run = PlayQuiet(o);
    ASSERT_EQ(run.status, kExitOk) << run.report;
    const ChannelStats* c0 = run.result.Find(0);
    const ChannelStats* c1 = run.result.Find(1);
    const ChannelStats* c2 = run.result.Find(2);
    ASSERT_TRUE(c0 && c1 && c2);
    EXPECT_EQ(c0->Frames(), 39u);
    EXPECT_EQ(c0->dropped, 1u);
    EXPECT_EQ(c0->orderViolations, 0u);
    EXPECT_EQ(c1->Frames(), 39u);
    EXPECT_EQ(c1->dropped, 1u);
    EXPECT_EQ(c1->orderViolations, 0u);
    EXPECT_EQ(c2->Frames(), 40u);
    EXPECT_EQ(c2->orderViolations, 1u) << "the late-stamped frame, against its channel and the run";
    EXPECT_EQ(c2->dropped, 0u) << "no gap is measured across it";
}

// A channel whose clock starts at 0: the engine takes that timestamp for
// none and drops the first I-frame with the rest of its GOP (25 frames),
// again after each seek to the recording's start, not after one behind it.
TEST(PlayerRun, CountsTheFramesDroppedForTimestampZero) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.channels = 2;
    s.origins = {{0, 0}, {1, 10000}};
    WriteSynth(s);
    const struct {
        std::vector<const char*> actions;
        uint64_t dropped;
    } cases[] = {{{}, 25}, {{"2s:seek:10:00:00", "3s:stop"}, 50}, {{"2s:seek:10:00:01", "3s:stop"}, 25}};
    for (const auto& c : cases) {
        Options o;
        o.groupDir = s.outDir;
        for (const char* a : c.actions) AddActions(&o, {a});
        const PlayRun run = PlayQuiet(o);
        ASSERT_EQ(run.status, kExitOk) << run.report;
        const ChannelStats* c0 = run.result.Find(0);
        const ChannelStats* c1 = run.result.Find(1);
        ASSERT_TRUE(c0 && c1);
        EXPECT_EQ(c0->zeroTimestamp, c.dropped) << run.report;
        EXPECT_EQ(c0->dropped, c.dropped);
        EXPECT_EQ(c1->dropped, 0u);
        EXPECT_NE(run.report.find("dropped includes " + std::to_string(c.dropped) + " frame(s)"), std::string::npos)
            << run.report;
    }
}

TEST(PlayerRun, OldFormatNeedsDeviceGroupThreeAndStartsBySegment) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.format = recstore::PackFormat::kOld;
    s.channels = 2;
    s.segmentSec = 2;
    packtool::Report report;
    WriteSynth(s, &report);
    Options o;
    o.groupDir = s.outDir;
    PlayRun run = PlayQuiet(o);  // device group 3 chosen for an old-format recording
    ASSERT_EQ(run.status, kExitOk) << run.report;
    EXPECT_NE(run.report.find("old packs (device group 3)"), std::string::npos) << run.report;
    for (const packtool::StreamReport& sr : report.streams)
        EXPECT_EQ(run.result.Find(sr.channel)->Frames(), sr.iFrames + sr.pFrames);

    o.segment = 1;
    o.segmentChannel = 1;
    run = PlayQuiet(o);
    ASSERT_EQ(run.status, kExitOk) << run.report;
    EXPECT_EQ(run.result.Find(0)->firstTime, (DateTime{26, 1, 1, 10, 0, 2}));
    EXPECT_EQ(run.result.Find(0)->byType[0], 2u) << "the second segment's two I-frames";

    // With audio, the old format's audio packs carry no timestamp: the engine
    // cannot store the one before the first I-frame, drops that I-frame
    // (a segment with audio must begin with audio) and starts at the next
    // audio pack, so the first GOP's P-frames come without their I-frame.
    packtool::SynthOptions withAudio = s;
    withAudio.outDir = dir.path() + "/audio";
    withAudio.audio = packtool::AudioMode::kAll;
    WriteSynth(withAudio);
    Options oa;
    oa.groupDir = withAudio.outDir;
    run = PlayQuiet(oa);
    ASSERT_EQ(run.status, kExitOk) << run.report;
    for (const ChannelStats& c : run.result.channels) {
        EXPECT_EQ(c.dropped, 1u) << "channel " << c.channel << ": the first I-frame";
        EXPECT_EQ(c.byType[0], 3u);
    }

    o.segment = -1;
    o.deviceGroup = 0;  // reads the new format only: nothing comes out
    run = PlayQuiet(o);
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_NE(run.report.find("will not play"), std::string::npos) << run.report;
    EXPECT_EQ(run.result.frames, 0u);
}

TEST(PlayerRun, RealTimePacingFollowsTheTimestamps) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.durationSec = 2;
    WriteSynth(s);
    Options o;
    o.groupDir = s.outDir;
    o.shmName = msspt::UniqueName("pace");
    o.durationSec = 1.0;
    o.progress = 0;
    FILE* null = fopen("/dev/null", "w");
    Output out;
    out.out = null;
    out.err = null;
    Result r;
    ASSERT_EQ(Play(o, out, &r), kExitOk);
    fclose(null);
    // One second of recording takes about one second; fast play takes far less.
    EXPECT_GE(r.wallMs, 900);
    EXPECT_LT(r.wallMs, 5000);
    EXPECT_GE(r.clockMs, 1000);
}

// ---------------------------------------------------------------------------
// Step of the channels, presentation by recorded time, the timeline picture.

TEST(PlayerClock, RecordedTimeIsLearntFromWholeSecondsAndRelearnt) {
    const DateTime t0{26, 1, 1, 10, 0, 0};
    const int64_t t0Ms = recstore::DateTimeToSeconds(t0) * 1000;
    auto at = [&](int64_t sec) { return recstore::SecondsToDateTime(recstore::DateTimeToSeconds(t0) + sec); };
    // The recorder's second boundary falls at pts 1300: pts 1000 was recorded at 10:00:00.700.
    struct Step {
        uint64_t pts;
        int64_t timeSec;  // recorded whole seconds after t0; -1: the frame carries no time
        bool relearn;
        int64_t expectMs;  // recorded time after t0 (-1 unknown)
    } steps[] = {
        {1000, -1, false, -1},        // nothing learnt yet
        {1000, 0, false, 0},          // a lower bound only: 700 ms short
        {1320, 1, false, 1000},       // the first frame past the boundary: 20 ms short from now on
        {1040, -1, false, 720},
        {9000, 8, false, 8680},       // a looser bound changes nothing
        {50000, 300, true, 300000},   // relearnt after a new segment, below the bound before
        {50040, 200, false, 200000},  // the recorded time went back by more than a second: afresh
    };
    RecordedClock clock;
    for (const Step& s : steps) {
        if (s.relearn) clock.Relearn(2);
        const DateTime time = at(s.timeSec);
        const int64_t r = clock.Take(2, s.pts, s.timeSec >= 0 ? &time : nullptr);
        EXPECT_EQ(r < 0 ? -1 : r - t0Ms, s.expectMs) << "pts " << s.pts;
    }
    int64_t offset = 0;
    EXPECT_FALSE(clock.Offset(1, &offset)) << "other channels learn on their own";
}

TEST(PlayerStep, ClockDifferenceShowsInTheSpreadUntilPresentedByRecordedTime) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.channels = 4;
    s.durationSec = 6;
    s.segmentSec = 3;
    s.gapSec = 2;  // the second segment from 10:00:05: every channel jumps 2 s in recorded time
    s.origins = kSkewedOrigins;
    WriteSynth(s);
    struct Case {
        bool byTime;
        int64_t spreadMin, spreadMax;  // per operation, in normal play
        double settleMax;
    } cases[] = {
        {false, 680, 720, 680},  // apart by the clocks' difference (plus a frame interval)
        {true, 0, 40, 0},        // within a frame interval, every channel at once
    };
    const bool plot = msspt::Have("gnuplot");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.byTime ? "by recorded time" : "by timestamp");
        Options o;
        o.groupDir = s.outDir;
        o.presentByTime = c.byTime;
        o.timelinePath = dir.path() + "/t.jsonl";
        o.plotPath = plot ? dir.path() + "/t.png" : "";
        AddActions(&o, {"1s:seek:10:00:02"});
        const PlayRun run = PlayQuiet(o);
        ASSERT_EQ(run.status, kExitOk) << run.report;
        ASSERT_EQ(run.result.steps.size(), 2u);
        for (const StepStats& st : run.result.steps) {
            EXPECT_TRUE(st.settled) << st.operation;
            EXPECT_GE(st.spreadMs, c.spreadMin) << st.operation;
            EXPECT_LE(st.spreadMs, c.spreadMax) << st.operation;
            EXPECT_LE(st.settleMs, c.settleMax) << st.operation;
        }
        EXPECT_NE(run.report.find("whole run"), std::string::npos) << run.report;
        std::vector<Json::Value> ops;
        const std::vector<Json::Value> rows = ReadTimeline(o.timelinePath, &ops);
        ASSERT_EQ(ops.size(), 2u);
        EXPECT_EQ(ops[1]["action"].asString(), "1s:seek:10:00:02");
        EXPECT_EQ(ops[1]["result"].asInt(), 0);
        // Shown by recorded time, the rows go back in recorded time only at the seek;
        // the engine's order is unchanged (every frame in order as delivered).
        int back = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_TRUE(rows[i]["order_ok"].asBool());
            if (i > 0 && rows[i]["rec_ms"].asInt64() < rows[i - 1]["rec_ms"].asInt64()) ++back;
        }
        if (c.byTime) {
            EXPECT_LE(back, 1);
        } else {
            EXPECT_GT(back, 10);
        }
        if (plot) {
            std::vector<uint8_t> png;
            std::string err;
            ASSERT_TRUE(packtool::ReadFile(o.plotPath, &png, &err)) << err;
            EXPECT_TRUE(png.size() > 8 && std::memcmp(png.data(), "\x89PNG", 4) == 0);
        }
    }
    // Held back and shown by recorded time, every frame still reaches its channel's output, in order.
    Options o;
    o.groupDir = s.outDir;
    o.presentByTime = true;
    o.outDir = dir.path() + "/out";
    const PlayRun run = PlayQuiet(o);
    ASSERT_EQ(run.status, kExitOk) << run.report;
    EXPECT_EQ(run.result.unpresented, 0u);
    for (uint8_t ch = 0; ch < 4; ++ch)
        EXPECT_TRUE(PlayedVideo(o.outDir, ch) == RecordedVideo(s.outDir, ch, 0)) << "channel " << int(ch);
}

// ---------------------------------------------------------------------------
// Faults found by trying schedules on generated groups.

// A switch of all channels leaves the old type's streams open; the engine
// then refuses to switch a channel back alone (and answers 0). The player
// reports what took effect.
TEST(PlayerFaults, SwitchOfSomeChannelsIsReportedAsItTookEffect) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.channels = 3;
    s.streamTypes = 2;
    s.durationSec = 6;
    WriteSynth(s);
    struct Case {
        std::vector<const char*> actions;
        const char* says;
        int typeAfter[3];  // stream type of each channel's frames after the last action
    } cases[] = {
        {{"1s:switch-type:1:0,1"}, "stream type 1 for channel(s) 0,1 from", {1, 1, 0}},
        {{"1s:switch-type:1", "2s:switch-type:0:0,1"}, "no channel switched; the engine refused channel 0", {1, 1, 1}},
        {{"1s:switch-type:1", "2s:switch-type:0:0,1", "3s:switch-type:0"}, "stream type 0 for all channels", {0, 0, 0}},
    };
    for (const Case& c : cases) {
        Options o;
        o.groupDir = s.outDir;
        o.timelinePath = dir.path() + "/t.jsonl";
        for (const char* a : c.actions) AddActions(&o, {a});
        AddActions(&o, {"5s:stop"});
        const PlayRun run = PlayQuiet(o);
        ASSERT_EQ(run.status, kExitOk) << run.report;
        EXPECT_NE(run.report.find(c.says), std::string::npos) << run.report;
        const int last = static_cast<int>(c.actions.size());
        int seen = 0;
        for (const Json::Value& r : ReadTimeline(o.timelinePath)) {
            if (r["after_op"].asInt() != last) continue;
            ++seen;
            EXPECT_EQ(r["stream_type"].asInt(), c.typeAfter[r["channel"].asInt()]) << c.says << ", frame " << r["n"];
        }
        EXPECT_GT(seen, 100);
    }
}

// Old-format audio packs carry no timestamp and take the one of the pack
// before them: after a seek the first pack read must not be one (the channel
// was held back after a seek forward, out of order after a seek backward),
// and at a segment change the pause shows at the frame after the flagged one.
TEST(PlayerFaults, OldFormatAudioFollowsASeekBothWaysAndTheClockStaysContinuous) {
    msspt::TempDir dir("player_test");
    packtool::SynthOptions s = Synth(dir.path() + "/g");
    s.format = recstore::PackFormat::kOld;
    s.channels = 4;
    s.durationSec = 12;
    s.segmentSec = 6;
    s.gapSec = 2;  // 10:00:00 .. 10:00:05, then from 10:00:08
    s.audio = packtool::AudioMode::kAll;
    s.audioChannels = 0xD;  // all but channel 1; channel 2 has the earliest clock, 3 the latest
    s.origins = kSkewedOrigins;
    WriteSynth(s);
    struct Case {
        const char* seek;
        int64_t targetMs;  // recorded time of the target after the start
    } cases[] = {
        {"1s:seek:10:00:09", 9000},  // forward, into the second segment
        {"8s:seek:10:00:02", 2000},  // backward, after playing over the segment change
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seek);
        Options o;
        o.groupDir = s.outDir;
        o.timelinePath = dir.path() + "/t.jsonl";
        AddActions(&o, {c.seek, "11s:stop"});
        const PlayRun run = PlayQuiet(o);
        ASSERT_EQ(run.status, kExitOk) << run.report;
        ASSERT_GE(run.result.steps.size(), 2u);
        // The clocks differ by up to 680 ms (plus up to two frame intervals: a frame's
        // interval, and the offsets learnt from P-frames in the first second); the
        // 2 s pause is no step difference.
        EXPECT_LE(run.result.steps[0].spreadMs, 760) << "across the segment change";
        EXPECT_TRUE(run.result.steps[1].settled);
        EXPECT_LE(run.result.steps[1].settleMs, 1000) << "no channel held back after the seek";
        for (const ChannelStats& ch : run.result.channels) {
            EXPECT_EQ(ch.orderViolations, 0u) << "channel " << ch.channel;
            EXPECT_LE(ch.dropped, 1u) << "only the first I-frame of an audio segment's start";
        }
        std::map<int, uint64_t> firstAfter;
        double lastClock = 0;
        int lastOp = -1;
        for (const Json::Value& r : ReadTimeline(o.timelinePath)) {
            const double clock = r["clock_ms"].asDouble();
            if (r["after_op"].asInt() == lastOp) {
                EXPECT_LE(clock - lastClock, 40.0) << "playback time jumped at frame " << r["n"];
            }
            lastOp = r["after_op"].asInt();
            lastClock = clock;
            if (lastOp == 1) firstAfter.emplace(r["channel"].asInt(), r["pts"].asUInt64());
        }
        ASSERT_EQ(firstAfter.size(), 4u);
        for (const auto& [ch, pts] : firstAfter) {
            // The audio pack before the I-frame (40 ms earlier) or the I-frame itself.
            const uint64_t at = kSkewedOrigins.at(ch) + static_cast<uint64_t>(c.targetMs);
            EXPECT_GE(pts + 40, at) << "channel " << ch;
            EXPECT_LE(pts, at) << "channel " << ch;
        }
    }
}

// ---------------------------------------------------------------------------

// The demo's session, played as fast as possible (its real-time pacing is
// the player's, checked above).
TEST(PlayerDemo, RunsItsSessionAndLeavesNothingBehind) {
    if (access(kPlayPath.c_str(), X_OK) != 0) GTEST_SKIP() << "mssp-play not built";
    msspt::TempDir dir("player_test");
    const std::string name = msspt::UniqueName("demo");
    const std::string key = KeyFilePath(name, kPlaybackGroup);
    const std::string picture = dir.path() + "/demo.png";
    std::string out;
    ASSERT_EQ(msspt::Shell(kPlay + " --demo --fast --plot " + picture + " --shm-name " + name, &out), kExitOk) << out;
    for (const char* step : {"1. Recording a sample group", "seek to 2026-01-01 10:00:27", "fast forward x16",
                             "normal play from", "stream type 1 for all channels", "stopped by the schedule",
                             "channel types", "step of the channels", "In normal play they were up to 720 ms",
                             "4. The same session shown by recorded time", "now at most 40 ms apart"}) {
        EXPECT_NE(out.find(step), std::string::npos) << step << "\n" << out;
    }
    if (msspt::Have("gnuplot")) {
        EXPECT_NE(out.find("5. The timeline picture"), std::string::npos) << out;
        EXPECT_TRUE(std::filesystem::exists(picture)) << out;
    }
    EXPECT_EQ(out.find("[MSSP "), std::string::npos) << "the engine's diagnostics are kept out";
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
    EXPECT_NE(access(key.c_str(), F_OK), 0) << key << " left behind";
    // The sample group's folder is gone.
    const size_t at = out.find("/tmp/mssp-demo.");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string folder = out.substr(at, std::string("/tmp/mssp-demo.XXXXXX").size());
    EXPECT_FALSE(std::filesystem::exists(folder)) << folder << " left behind";
}
