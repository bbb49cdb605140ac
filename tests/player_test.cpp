// The recording player (mssp-play): runs of the player library over
// synthetic recordings made once per suite (counts, switches, drops,
// old-format audio, the step of the channels, the timeline and the
// elementary-stream output), and the demo.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "PackTool.h"
#include "Player.h"
#include "Presentation.h"
#include "RecGroup.h"
#include "TargetProgram.h"

using namespace player;

namespace {

const std::string kPlayPath = std::string(MSSP_TOOLS_DIR) + "/mssp-play";
const std::string kPlay = msspt::EmulatorPrefix() + kPlayPath;
// Four recorders whose clocks start up to 680 ms apart, as in the demo.
const std::map<int, uint64_t> kSkewed = {{0, 100000}, {1, 100160}, {2, 99720}, {3, 100400}};

msspt::TempDir& SuiteDir() {
    static msspt::TempDir dir("player_test");
    return dir;
}

// The suite's recordings, each written once on first use.
struct Recording {
    packtool::SynthOptions s;
    packtool::Report report;
};
const Recording& Recorded(const std::string& name) {
    static std::map<std::string, Recording> made;
    auto [it, fresh] = made.try_emplace(name);
    packtool::SynthOptions& s = it->second.s;
    if (!fresh) return it->second;
    s.outDir = SuiteDir().path() + "/" + name;
    s.bitrateKbps = 256;
    // Timestamp 0 means "no timestamp" to the engine: every clock starts above it.
    s.origins = {{0, 10000}, {1, 10120}, {2, 9880}, {3, 10300}};
    auto set = [&](int channels, double sec, int segmentSec, int gapSec, packtool::AudioMode audio) {
        s.channels = channels, s.durationSec = sec, s.segmentSec = segmentSec, s.gapSec = gapSec, s.audio = audio;
    };
    using packtool::AudioMode;
    if (name == "short") set(1, 3, 1, 0, AudioMode::kAlternate), s.origins.clear();  // the tool's default origin
    if (name == "types") set(3, 6, 0, 0, AudioMode::kNone), s.streamTypes = 2;
    if (name == "zero") set(2, 4, 0, 0, AudioMode::kNone), s.origins = {{0, 0}, {1, 10000}};
    if (name == "skewed") set(4, 6, 3, 2, AudioMode::kNone), s.origins = kSkewed;  // 2nd segment from 10:00:05
    if (name == "oldskewed") set(4, 12, 6, 2, AudioMode::kAll), s.origins = kSkewed, s.audioChannels = 0xD;
    if (name == "oldskewed") s.format = recstore::PackFormat::kOld;
    // A clock that passes INT64_MAX while playing: no recorder's, but what damaged data can hold.
    if (name == "hostile") set(2, 3, 0, 0, AudioMode::kNone), s.origins = {{0, 10000}, {1, (1ull << 63) - 1000}};
    std::string err;
    EXPECT_TRUE(packtool::WriteSynthetic(s, &it->second.report, &err)) << err;
    return it->second;
}

struct PlayRun {
    Result result;
    int status = -1;
    std::string report;
    std::vector<Json::Value> rows, ops;  // the timeline's frame lines (tagged "after_op") and operation lines
};

PlayRun PlayIt(Options o, const std::vector<const char*>& actions = {}) {
    PlayRun run;
    std::string err;
    for (const char* spec : actions) {
        Action a;
        EXPECT_TRUE(ParseAction(spec, &a, &err)) << err;
        o.actions.push_back(a);
    }
    o.shmName = UniqueShmName("play");
    o.realtime = false;
    o.progress = 0;
    o.timelinePath = SuiteDir().path() + "/timeline.jsonl";
    run.report = msspt::Captured([&](FILE* f) { run.status = Play(o, Output{f, f}, &run.result); });
    EXPECT_NE(access(KeyFilePath(o.shmName, kPlaybackGroup).c_str(), F_OK), 0) << "key file left behind";
    std::ifstream in(o.timelinePath);
    int op = -1;
    for (std::string line; std::getline(in, line);) {
        Json::Value v;
        std::istringstream is(line);
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), is, &v, &err)) << line;
        if (v.isMember("op")) {
            op = v["op"].asInt();
            run.ops.push_back(v);
        } else {
            v["after_op"] = op;
            run.rows.push_back(v);
        }
    }
    return run;
}

PlayRun PlayIt(const std::string& group, const std::vector<const char*>& actions = {}) {
    Options o;
    o.groupDir = Recorded(group).s.outDir;
    return PlayIt(o, actions);
}

// The video payloads of a recorded stream in recording order.
std::vector<uint8_t> RecordedVideo(const std::string& dir, uint8_t channel) {
    std::string err;
    recstore::GroupDesc group;
    EXPECT_TRUE(recstore::LoadManifest(dir, &group, &err)) << err;
    std::vector<uint8_t> out;
    for (const recstore::StreamDesc& s : group.streams) {
        for (size_t n = 0; s.channel == channel && s.streamType == 0 && n < s.segments.size(); ++n) {
            const std::vector<uint8_t> bytes = msspt::ReadBytes(dir + "/" + s.segments[n].file);
            recstore::PackHeader h;
            for (size_t pos = 0; pos < bytes.size() && recstore::DecodeHeader(s.segments[n].format, bytes.data() + pos,
                                                                              bytes.size() - pos, &h, nullptr) == recstore::Decode::kOk;
                 pos += h.packLen) {
                const auto at = bytes.begin() + static_cast<std::ptrdiff_t>(pos + h.headerLen + h.extLen);
                if (h.type <= recstore::kTypeP) out.insert(out.end(), at, at + static_cast<std::ptrdiff_t>(h.frameLen));
            }
        }
    }
    return out;
}

}  // namespace

// The readers run ahead of the parser: the frames of a short segment before
// one with audio were judged by the next segment's rule and dropped.
TEST(PlayerRun, ShortSegmentBeforeAnAudioSegmentIsPlayedWhole) {
    const PlayRun run = PlayIt("short");
    ASSERT_EQ(run.status, kExitOk) << run.report;
    EXPECT_NE(run.report.find("every stream ran out"), std::string::npos) << run.report;
    const ChannelStats* c = run.result.Find(0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->firstTime, (DateTime{26, 1, 1, 10, 0, 0})) << "segment 0 is played";
    const packtool::StreamReport& r = Recorded("short").report.streams.at(0);
    EXPECT_TRUE(c->byType[0] == r.iFrames && c->byType[1] == r.pFrames && c->byType[2] == r.audio && c->dropped == 0);
}


// A switch of all channels leaves the old type's streams open; the engine
// then refuses to switch a channel back alone (and answers 0): the player
// reports what took effect.
TEST(PlayerRun, SwitchOfSomeChannelsIsReportedAsItTookEffect) {
    const struct {
        std::vector<const char*> actions;
        const char* says;
        int typeAfter[3];  // stream type of each channel's frames after the last action
    } cases[] = {
        {{"1s:switch-type:1:0,1"}, "stream type 1 for channel(s) 0,1 from", {1, 1, 0}},
        {{"1s:switch-type:1", "2s:switch-type:0:0,1"}, "no channel switched; the engine refused channel 0", {1, 1, 1}},
        {{"1s:switch-type:1", "2s:switch-type:0:0,1", "3s:switch-type:0"}, "stream type 0 for all channels", {0, 0, 0}},
    };
    for (const auto& c : cases) {
        Options o;
        o.groupDir = Recorded("types").s.outDir;
        std::vector<const char*> actions = c.actions;
        actions.push_back("5s:stop");
        const PlayRun run = PlayIt(o, actions);
        EXPECT_NE(run.report.find(c.says), std::string::npos) << run.report;
        int seen = 0;
        for (const Json::Value& r : run.rows) {
            if (r["after_op"].asInt() != static_cast<int>(c.actions.size()) && ++seen) continue;
            EXPECT_EQ(r["stream_type"].asInt(), c.typeAfter[r["channel"].asInt()]) << c.says << ", frame " << r["n"];
        }
        EXPECT_LT(seen, static_cast<int>(run.rows.size()) - 100);
    }
}

// A clock that starts at 0: the engine takes that timestamp for none and
// drops the first I-frame with its GOP (25 frames), again after each seek to
// the recording's start, not after one behind it.
TEST(PlayerRun, CountsTheFramesDroppedForTimestampZero) {
    const struct {
        std::vector<const char*> actions;
        uint64_t dropped;
    } cases[] = {{{}, 25}, {{"2s:seek:10:00:00", "3s:stop"}, 50}, {{"2s:seek:10:00:01", "3s:stop"}, 25}};
    for (const auto& c : cases) {
        const PlayRun run = PlayIt("zero", c.actions);
        const ChannelStats *c0 = run.result.Find(0), *c1 = run.result.Find(1);
        ASSERT_TRUE(c0 && c1) << run.report;
        EXPECT_TRUE(c0->zeroTimestamp == c.dropped && c0->dropped == c.dropped && c1->dropped == 0) << run.report;
        EXPECT_NE(run.report.find("dropped includes " + std::to_string(c.dropped) + " frame(s)"), std::string::npos);
    }
}

// Old-format audio packs take the timestamp of the pack before them: after a
// seek the first pack read must not be one (the channel was held back after
// a seek forward, out of order after a seek backward), and at a segment
// change the pause shows at the frame after the flagged one.
TEST(PlayerRun, OldFormatAudioFollowsASeekBothWaysAndTheClockStaysContinuous) {
    for (const auto& [seek, targetMs] : {std::pair{"1s:seek:10:00:09", 9000}, std::pair{"8s:seek:10:00:02", 2000}}) {
        SCOPED_TRACE(seek);
        const PlayRun run = PlayIt("oldskewed", {seek, "11s:stop"});
        ASSERT_GE(run.result.steps.size(), 2u) << run.report;
        // The clocks differ by up to 680 ms, plus up to two frame intervals; the 2 s pause is no step.
        EXPECT_LE(run.result.steps[0].spreadMs, 760) << "across the segment change";
        EXPECT_TRUE(run.result.steps[1].settled && run.result.steps[1].settleMs <= 1000) << "none held back";
        for (const ChannelStats& ch : run.result.channels) EXPECT_TRUE(ch.orderViolations == 0 && ch.dropped <= 1);
        std::map<int, uint64_t> firstAfter;
        for (size_t i = 0; i < run.rows.size(); ++i) {
            const Json::Value& r = run.rows[i];
            if (i && r["after_op"] == run.rows[i - 1]["after_op"]) {
                EXPECT_LE(r["clock_ms"].asDouble() - run.rows[i - 1]["clock_ms"].asDouble(), 40.0) << r["n"];
            }
            if (r["after_op"] == 1) firstAfter.emplace(r["channel"].asInt(), r["pts"].asUInt64());
        }
        ASSERT_EQ(firstAfter.size(), 4u);
        for (const auto& [ch, pts] : firstAfter) {  // the audio pack 40 ms before the I-frame, or the I-frame
            const uint64_t at = kSkewed.at(ch) + static_cast<uint64_t>(targetMs);
            EXPECT_TRUE(pts + 40 >= at && pts <= at) << "channel " << ch << ": " << pts;
        }
    }
}

// Channels whose clocks differ are apart by that difference in every step
// until presented by recorded time; the timeline has a line per operation
// and the picture is drawn.
TEST(PlayerStep, ClockDifferenceShowsInTheSpreadUntilPresentedByRecordedTime) {
    const bool plot = msspt::Have("gnuplot");
    for (const bool byTime : {false, true}) {
        SCOPED_TRACE(byTime ? "by recorded time" : "by timestamp");
        Options o;
        o.groupDir = Recorded("skewed").s.outDir;
        o.presentByTime = byTime;
        o.plotPath = plot ? SuiteDir().path() + "/t.png" : "";
        const PlayRun run = PlayIt(o, {"1s:seek:10:00:02"});
        ASSERT_EQ(run.result.steps.size(), 2u) << run.report;
        for (const StepStats& st : run.result.steps) {  // within a frame interval of the clocks' difference, or of 0
            EXPECT_TRUE(st.settled && st.settleMs <= (byTime ? 0 : 680)) << st.operation;
            EXPECT_TRUE(st.spreadMs >= (byTime ? 0 : 680) && st.spreadMs <= (byTime ? 40 : 720)) << st.spreadMs;
        }
        EXPECT_NE(run.report.find("whole run"), std::string::npos) << run.report;
        ASSERT_EQ(run.ops.size(), 2u);
        EXPECT_TRUE(run.ops[1]["action"] == "1s:seek:10:00:02" && run.ops[1]["result"].asInt() == 0);
        int back = 0;  // by recorded time, the rows go back in recorded time only at the seek
        for (size_t i = 1; i < run.rows.size(); ++i) back += run.rows[i]["rec_ms"].asInt64() < run.rows[i - 1]["rec_ms"].asInt64();
        EXPECT_TRUE(byTime ? back <= 1 : back > 10) << back;
        if (plot) { EXPECT_EQ(msspt::ReadBytes(o.plotPath).at(1), 'P') << "a PNG picture"; }
    }
    // Held back and shown by recorded time, every frame still reaches its channel's output, in order.
    Options o;
    o.groupDir = Recorded("skewed").s.outDir;
    o.presentByTime = true;
    o.outDir = SuiteDir().path() + "/skewed_out";
    const PlayRun run = PlayIt(o);
    EXPECT_EQ(run.result.unpresented, 0u);
    for (uint8_t ch = 0; ch < 4; ++ch) {
        EXPECT_TRUE(msspt::ReadBytes(o.outDir + "/ch0" + std::to_string(ch) + ".es") == RecordedVideo(o.groupDir, ch)) << int(ch);
    }
}

// Timestamps that no clock reaches: the player survives them in either mode
// (its clock arithmetic overflowed before), says that they are out of range
// and shows every delivered frame.
TEST(PlayerStep, TimestampsBeyondAnyClockAreReportedAndSurvived) {
    for (const bool byTime : {false, true}) {
        SCOPED_TRACE(byTime ? "by recorded time" : "by timestamp");
        Options o;
        o.groupDir = Recorded("hostile").s.outDir;
        o.presentByTime = byTime;
        const PlayRun run = PlayIt(o);
        const ChannelStats* ch1 = run.result.Find(1);
        ASSERT_TRUE(ch1 && ch1->Frames() > 0) << run.report;
        EXPECT_EQ(run.result.unpresented, 0u) << run.report;
        EXPECT_GT(run.result.clockMs, 2000) << "the clock follows the sane channel";
        if (byTime) { EXPECT_NE(run.report.find("channel 1: timestamp"), std::string::npos) << run.report; }
    }
}

// The demo's session, played as fast as possible.
TEST(PlayerDemo, RunsItsSessionAndLeavesNothingBehind) {
    if (access(kPlayPath.c_str(), X_OK) != 0) GTEST_SKIP() << "mssp-play not built";
    const std::string name = UniqueShmName("demo"), picture = SuiteDir().path() + "/demo.png",
                      libraryLog = SuiteDir().path() + "/demo-library.log";
    std::string out;
    ASSERT_EQ(msspt::Shell(kPlay + " --demo --fast --plot " + picture + " --shm-name " + name + " --library-log " +
                               libraryLog,
                           &out),
              kExitOk)
        << out;
    for (const char* step : {"1. Recording a sample group", "seek to 2026-01-01 10:00:27", "fast forward x16",
                             "stream type 1 for all channels", "stopped by the schedule", "step of the channels",
                             "In normal play they were up to 720 ms", "now at most 40 ms apart"})
        EXPECT_NE(out.find(step), std::string::npos) << step << "\n" << out;
    EXPECT_EQ(std::filesystem::exists(picture), msspt::Have("gnuplot")) << out;
    EXPECT_TRUE(out.find("[MSSP ") == out.npos && out.find("error") == out.npos) << out;
    std::ifstream logFile(libraryLog);
    const std::string log((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("[MSSP MultiStreamSyncParser->StopParse line:"), log.npos) << "the engine's lines, in the log";
    EXPECT_NE(access(KeyFilePath(name, kPlaybackGroup).c_str(), F_OK), 0) << "key file left behind";
    const size_t at = out.find("/tmp/mssp-demo.");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(out.substr(at, std::string("/tmp/mssp-demo.XXXXXX").size())));
}
