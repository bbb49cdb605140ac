// Recording tools: the probe's verdicts on odd files, H.264 Annex-B
// splitting (real streams are split and wrapped in the GStreamer suite), and
// the monitor mssp-top on a playing engine and on hand-made segments, the
// exporter mssp-export read back with ffprobe / ffmpeg, and probe --ranges.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "MsspInternal.h"
#include "PackTool.h"
#include "Probe.h"
#include "PackScan.h"
#include "RecGroup.h"
#include "TargetProgram.h"
#include "TopSegment.h"
#include "TopView.h"

// The monitor sizes rings by the engine's smallest one.
static_assert(msstop::kMinRingSize == static_cast<uint32_t>(mssp::kMinRingSize), "mssp-top's smallest ring");

using namespace recstore;
using packwriter::Bytes;

namespace {

Bytes NewPacks(std::initializer_list<std::pair<packwriter::FrameKind, uint64_t>> packs) {
    Bytes out;
    uint32_t n = 0;
    for (const auto& [kind, pts] : packs) {
        packwriter::NewPack p;
        p.kind = kind;
        p.pts = pts;
        packwriter::AppendNewPack(out, p, packwriter::PatternPayload(200, ++n).data(), 200);
    }
    return out;
}

std::string ProbeText(const std::string& path, bool* ok) {
    probe::FileStats st;
    std::string err;
    return msspt::Captured([&](FILE* f) { *ok = probe::ProbeFile(path, nullptr, probe::Options{}, f, &st, &err); }) + err;
}

}  // namespace

// The probe names why the engine would drop packs, how sure its format
// verdict is (whole valid packs chaining through the first MiB decide it, not
// damage that looks like the other format), and never opens what is not a
// regular file (a FIFO made it hang).
TEST(Probe, ExplainsDropsAndFormatVerdicts) {
    msspt::TempDir dir("tools_test");
    using packwriter::kIFrame;
    using packwriter::kPFrame;
    Bytes odd = NewPacks({{kPFrame, 0}});  // a P-frame before any I-frame
    for (uint8_t b : {1, 2, 3, 4, 5, 6, 7}) odd.push_back(b);
    packwriter::NewPack p;
    p.kind = kIFrame, p.pts = 40, p.checksum = 0x55;  // wrong on purpose
    packwriter::AppendNewPack(odd, p, packwriter::PatternPayload(300, 3).data(), 300);
    p.pts = 80, p.checksum.reset();
    packwriter::AppendNewPack(odd, p, packwriter::PatternPayload(300, 3).data(), 300);
    packwriter::NewPack a;
    a.kind = packwriter::kAudio;  // no kind-5 record: the player skips it
    packwriter::AppendNewPack(odd, a, Bytes(32, 0).data(), 32);
    const size_t cut = odd.size() + 20;
    packwriter::AppendNewPack(odd, p, packwriter::PatternPayload(300, 3).data(), 300);
    odd.resize(cut);
    const Bytes news = NewPacks({{kIFrame, 1000}, {kPFrame, 1040}, {kPFrame, 1080}, {kIFrame, 1120}});
    Bytes oldLooking = {'0', '5', 'w', 'b', 20, 0, 0, 0}, olds;  // an old audio header with 20 bytes
    oldLooking.resize(28, 0x11);
    for (uint64_t n = 0; n < 3; ++n) {
        packwriter::OldVideoPack v;
        v.ptsUs = 1000000 + 40000 * n;
        const Bytes pack = packwriter::MakeOldVideoPack(v, packwriter::PatternPayload(200, 7));
        olds.insert(olds.end(), pack.begin(), pack.end());
    }
    auto join = [](Bytes x, const Bytes& y) { return x.insert(x.end(), y.begin(), y.end()), x; };
    const struct {
        const char* name;
        Bytes bytes;
        std::vector<std::string> says;
    } cases[] = {
        {"odd packs", odd, {"new format (detected)", "dropped at a start: P-frame before the first I-frame",
                            "dropped: payload checksum mismatch", "dropped: audio without the extension flag",
                            "7 bytes of garbage skipped", "truncated: incomplete I pack: 20 of"}},
        {"old packs", olds, {"old format (detected)"}},
        {"new packs behind an old-looking header", join(oldLooking, news), {"new format (detected)"}},
        {"one new pack and an old-looking header", join(oldLooking, Bytes(news.begin(), news.begin() + 252)),
         {"new format (uncertain: 1 whole pack(s) of the new format and 1 of the old in the first MiB"}},
        {"no pack", Bytes(300, 0x5A), {"new format (assumed: no pack of either format found)"}},
        // The engine takes a timestamp of 0 for none, and drops frames until a key frame.
        {"timestamps 0", NewPacks({{kIFrame, 0}, {kPFrame, 40}, {kPFrame, 80}, {kIFrame, 120}, {kPFrame, 160},
                                   {kPFrame, 0}, {kPFrame, 240}, {kIFrame, 280}}),
         {"2 for timestamp 0 and 3 after those until a key frame"}},
    };
    const std::string path = dir.path() + "/seg.pack";
    bool ok = false;
    for (const auto& c : cases) {
        msspt::WriteBytes(path, c.bytes);
        const std::string out = ProbeText(path, &ok);
        EXPECT_TRUE(ok) << c.name;
        for (const std::string& s : c.says) EXPECT_NE(out.find(s), std::string::npos) << c.name << ": " << s << "\n" << out;
    }
    for (const msspt::NonRegular& k : msspt::kNonRegular) {
        const std::string odd = dir.path() + "/" + k.kind;
        ASSERT_TRUE(k.make(odd));
        const std::string out = ProbeText(odd, &ok);
        EXPECT_FALSE(ok);
        EXPECT_NE(out.find(odd + " is not a regular file (" + k.kind + ")"), std::string::npos) << out;
    }
}

TEST(AnnexB, SplitsAccessUnitsAtDelimitersParameterSetsAndFirstSlices) {
    const std::vector<uint8_t> es = {
        0, 0, 0, 1, 0x67, 0x42, 0, 0x1e, 0xab,  // SPS
        0, 0, 0, 1, 0x68, 0xce, 0x38, 0x80,     // PPS
        0, 0, 1, 0x65, 0x88, 0x84, 0x21,        // IDR, first_mb 0
        0, 0, 1, 0x41, 0x9a, 0x11,              // non-IDR, first_mb 0: a new unit
        0, 0, 0, 1, 0x09, 0xf0,                 // AUD: a new unit
        0, 0, 1, 0x41, 0x9a, 0x22,              //   its slice
        0, 0, 1, 0x06, 0x05, 0x01, 0x80,        // SEI after a slice: a new unit
        0, 0, 1, 0x41, 0x9a, 0x33,              //   its slice
        0, 0, 1, 0x41, 0x40, 0x44,              //   a second slice (first_mb != 0): the same unit
    };
    std::vector<std::tuple<size_t, size_t, bool>> units;
    for (const packtool::AccessUnit& u : packtool::SplitAccessUnits(es.data(), es.size()))
        units.emplace_back(u.offset, u.length, u.idr);
    EXPECT_EQ(units, (std::vector<std::tuple<size_t, size_t, bool>>{{0, 24, true}, {24, 6, false}, {30, 12, false},
                                                                    {42, es.size() - 42, false}}));
}


namespace {

const std::string kTools = std::string(MSSP_TOOLS_DIR);
const std::string kTop = msspt::EmulatorPrefix() + kTools + "/mssp-top";

// The numbers (or "?", or null) that follow every `"field":` of a document.
std::vector<std::string> Field(const std::string& doc, const std::string& field) {
    std::vector<std::string> out;
    const std::string tag = "\"" + field + "\":";
    for (size_t at = doc.find(tag); at != std::string::npos; at = doc.find(tag, at + 1)) {
        const size_t from = at + tag.size();
        out.push_back(doc.substr(from, doc.find_first_of(",}", from) - from));
    }
    return out;
}

// A key file and the segment filed under it, made by the test and removed
// with it.
struct HandMadeSegment {
    std::string key;
    int id = -1;
    uint8_t* mem = nullptr;
    HandMadeSegment(const std::string& path, size_t size) : key(path) {
        msspt::WriteBytes(key, {});
        id = shmget(ftok(key.c_str(), 'k'), size, IPC_CREAT | IPC_EXCL | 0600);
        if (id >= 0) mem = static_cast<uint8_t*>(shmat(id, nullptr, 0));
        if (mem == reinterpret_cast<uint8_t*>(-1)) mem = nullptr;
    }
    ~HandMadeSegment() {
        if (mem) shmdt(mem);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
        unlink(key.c_str());
    }
};

// Two streams of 16 nodes and the smallest ring. Stream 0 is sound: one
// frame delivered, two waiting whose packs lie in the ring, node `keyNode`
// an I-frame recorded at 10:00:01 of month `month`; stream 1 holds values
// that cannot be.
constexpr uint32_t kNodes = 16, kRing = msstop::kMinRingSize, kPack = 100;
void FillSegment(uint8_t* mem, uint32_t keyNode, uint8_t month) {
    const size_t n = 2;
    MSSP_StreamHead_t heads[n] = {{0, 3, 1, MSSP_STATUS_PLAY, 1, MSSP_STATUS_PLAY, 0},
                                  {77, 3, 5, 9, 1, MSSP_STATUS_PLAY, 0}};
    MSSP_NodeCursor_t cursors[n] = {{1, 2}, {40, 2}};
    std::memcpy(mem, heads, sizeof(heads));
    std::memcpy(mem + sizeof(heads), cursors, sizeof(cursors));
    uint8_t* ring0 = mem + n * (24 + 40 * kNodes);
    for (uint32_t k = 0; k < 3; ++k) {
        MSSP_FrameNode_t node{};
        node.frameType = k == keyNode ? MSSP_FRAME_I : MSSP_FRAME_P;
        const uint8_t time[6] = {26, month, 1, 10, 0, 1};
        if (k == keyNode) std::memcpy(node.time, time, 6);
        node.pts = 1000 + 40 * k;
        node.offset1 = kPack * k;
        node.length1 = kPack;
        node.frameRate = 25 | msstop::kCompletionMark;
        std::memcpy(mem + 24 * n + 40 * k, &node, sizeof(node));
        const uint8_t header[12] = {0, static_cast<uint8_t>(k == keyNode ? '2' : '3'), 'd', 'c', kPack - 12, 0, 0, 0, 0, 0, 0, 0};
        std::memcpy(ring0 + kPack * k, header, sizeof(header));
    }
}

pid_t Spawn(const std::vector<std::string>& command) {
    std::vector<std::string> words = msspt::ProgramArgv(command[0]);
    words.insert(words.end(), command.begin() + 1, command.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

}  // namespace

// A real engine playing in another process: two snapshots a second apart
// show its streams and channels, rising delivered counts and playing states.
TEST(MsspTop, WatchesAPlayingEngine) {
    if (access((kTools + "/mssp-top").c_str(), X_OK) != 0) GTEST_SKIP() << "mssp-top not built (no curses)";
    msspt::TempDir dir("top_test");
    std::string out;
    const std::string group = dir.path() + "/group";
    ASSERT_EQ(msspt::Shell(msspt::EmulatorPrefix() + kTools + "/mssp-pack synth -o " + group +
                               " --channels 3 --duration 30",
                           &out),
              0)
        << out;
    const std::string name = "top" + std::to_string(getpid());
    const std::string key = "/tmp/." + name + "01";
    const pid_t play = Spawn({kTools + "/mssp-play", group, "--realtime", "--no-progress", "--duration", "20",
                              "--shm-name", name});
    ASSERT_GT(play, 0);
    const std::string once = kTop + " --key " + key + " --once --json --interval 0.2";
    std::string first;
    for (int tries = 0; tries < 100 && Field(first, "state") != std::vector<std::string>(3, "\"playing\""); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        msspt::Shell(once, &first);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::string second;
    const int status = msspt::Shell(once, &second);
    kill(play, SIGTERM);
    waitpid(play, nullptr, 0);
    if (const key_t k = ftok(key.c_str(), 'k'); k != -1 && shmget(k, 0, 0) >= 0) shmctl(shmget(k, 0, 0), IPC_RMID, nullptr);
    unlink(key.c_str());

    ASSERT_EQ(status, 0) << second;
    for (const std::string* doc : {&first, &second}) {
        EXPECT_EQ(Field(*doc, "streams"), std::vector<std::string>{"3"}) << *doc;
        EXPECT_EQ(Field(*doc, "channel"), (std::vector<std::string>{"0", "1", "2"})) << *doc;
        EXPECT_EQ(Field(*doc, "state"), std::vector<std::string>(3, "\"playing\"")) << *doc;
        EXPECT_EQ(Field(*doc, "play"), std::vector<std::string>(3, "\"play\"")) << *doc;
        EXPECT_EQ(Field(*doc, "impossible"), std::vector<std::string>{"0"}) << *doc;
        EXPECT_EQ(Field(*doc, "nodes"), std::vector<std::string>{"256"}) << *doc;  // the player's default
        // The reader's process, once the engine writes it into the key file.
        const std::vector<std::string> owner = Field(*doc, "owner_pid");
        EXPECT_TRUE(owner == std::vector<std::string>{"null"} || owner == std::vector<std::string>{std::to_string(play)})
            << *doc;
    }
    // mssp-pack's channels start at 10:00:00 with timestamp 1000 ms: the
    // recorded time of the last delivered frame follows from its timestamp.
    const std::vector<std::string> pts = Field(second, "last_pts"), times = Field(second, "last_time");
    ASSERT_EQ(pts.size(), 3u) << second;
    for (size_t i = 0; i < 3; ++i) {
        const long long at = 10 * 3600 + (std::stoll(pts[i]) - 1000) / 1000;
        char expected[64];
        std::snprintf(expected, sizeof(expected), "\"2026-01-01 %02lld:%02lld:%02lld\"", at / 3600, at / 60 % 60, at % 60);
        EXPECT_EQ(times[i], expected) << second;
    }
    const std::vector<std::string> before = Field(first, "delivered"), after = Field(second, "delivered");
    ASSERT_EQ(before.size(), 3u);
    ASSERT_EQ(after.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_GT(std::stoll(after[i]), std::stoll(before[i])) << first << "\n" << second;
}

// Segments made by hand: values that cannot be are shown as "?" and counted;
// the owner comes from the key file's pid and lock; a segment of another
// layout is refused with the reason, a missing one is exit status 2.
TEST(MsspTop, ReadsHandMadeSegments) {
    if (access((kTools + "/mssp-top").c_str(), X_OK) != 0) GTEST_SKIP() << "mssp-top not built (no curses)";
    msspt::TempDir dir("top_test");
    const std::string name = "hand" + std::to_string(getpid());
    const std::string key = dir.path() + "/." + name + "07";
    const std::string pid = std::to_string(getpid());
    HandMadeSegment seg(key, 2 * (24 + 40 * kNodes + kRing));
    ASSERT_NE(seg.mem, nullptr);
    const struct {
        const char* name;
        std::string keyText;
        bool lock;
        const char* ownerPid;
        const char* alive;
        uint32_t keyNode;
        uint8_t month;
        const char* time;  // of the delivered frame, from the key frame before or after it
        const char* impossible;
    } owners[] = {
        {"pid and lock", pid + "\n", true, pid.c_str(), "true", 1, 1, "\"2026-01-01 10:00:00\"", "4"},
        {"pid, no lock", pid + "\n", false, pid.c_str(), "false", 0, 1, "\"2026-01-01 10:00:01\"", "4"},
        {"no pid", "", false, "null", "false", 1, 1, "\"2026-01-01 10:00:00\"", "4"},
        {"not a pid", "12ab\n", true, "null", "true", 0, 13, "\"?\"", "5"},
    };
    for (const auto& o : owners) {
        FillSegment(seg.mem, o.keyNode, o.month);
        msspt::WriteBytes(key, std::vector<uint8_t>(o.keyText.begin(), o.keyText.end()));
        const int fd = open(key.c_str(), O_RDWR | O_CLOEXEC);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        ASSERT_TRUE(!o.lock || fcntl(fd, F_OFD_SETLK, &fl) == 0) << o.name;
        std::string doc;
        const int status = msspt::Shell("MSSP_KEY_DIR=" + dir.path() + " " + kTop + " --name " + name +
                                            " --group 7 --once --json --interval 0.05",
                                        &doc);
        close(fd);
        ASSERT_EQ(status, 0) << o.name << ": " << doc;
        EXPECT_EQ(Field(doc, "owner_pid"), std::vector<std::string>{o.ownerPid}) << o.name << ": " << doc;
        EXPECT_EQ(Field(doc, "owner_alive"), std::vector<std::string>{o.alive}) << o.name << ": " << doc;
        EXPECT_EQ(Field(doc, "group"), std::vector<std::string>{"7"}) << doc;
        EXPECT_EQ(Field(doc, "nodes"), std::vector<std::string>{"16"}) << doc;
        EXPECT_EQ(Field(doc, "ring"), std::vector<std::string>{std::to_string(kRing)}) << doc;
        // Channel 77, state 9, 5 released of 3 stored, read node 40 of 16, (month 13).
        EXPECT_EQ(Field(doc, "channel"), (std::vector<std::string>{"0", "\"?\""})) << doc;
        EXPECT_EQ(Field(doc, "state"), (std::vector<std::string>{"\"playing\"", "\"?\""})) << doc;
        EXPECT_EQ(Field(doc, "waiting"), (std::vector<std::string>{"2", "\"?\""})) << doc;
        EXPECT_EQ(Field(doc, "fill_bytes"), (std::vector<std::string>{std::to_string(2 * kPack), "null"})) << doc;
        EXPECT_EQ(Field(doc, "last_pts"), (std::vector<std::string>{"1000", "null"})) << doc;
        EXPECT_EQ(Field(doc, "last_time"), (std::vector<std::string>{o.time, "null"})) << doc;
        EXPECT_EQ(Field(doc, "impossible"), std::vector<std::string>{o.impossible}) << doc;
    }
    std::string out;
    EXPECT_EQ(msspt::Shell(kTop + " --key " + key + " --once --interval 0.05", &out), 0);
    EXPECT_NE(out.find("impossible values: 5"), std::string::npos) << out;
    EXPECT_NE(out.find(" ? "), std::string::npos) << out;

    // Another layout: too small for one stream, and heads without the
    // engine's reserved bytes.
    HandMadeSegment small(dir.path() + "/.small01", 4096);
    HandMadeSegment foreign(dir.path() + "/.foreign01", 2 * (24 + 40 * kNodes + kRing));
    ASSERT_NE(foreign.mem, nullptr);
    std::memset(foreign.mem, 0x37, 64);
    const struct {
        std::string key;
        int status;
        std::string says;
    } bad[] = {
        {small.key, 3, "refused, not the engine's layout: its 4096 bytes are fewer than one stream"},
        {foreign.key, 3, "refused, not the engine's layout: no stream count 1..32 fits"},
        {dir.path() + "/.none01", 2, "key file " + dir.path() + "/.none01 not found"},
        {dir.path(), 2, "no engine segment for key file"},  // a file without a segment
    };
    for (const auto& b : bad) {
        EXPECT_EQ(msspt::Shell(kTop + " --key " + b.key + " --once", &out), b.status) << b.key << ": " << out;
        EXPECT_NE(out.find(b.says), std::string::npos) << out;
    }
    EXPECT_EQ(msspt::Shell("MSSP_KEY_DIR=" + dir.path() + "/empty " + kTop + " --once", &out), 2) << out;
    EXPECT_NE(out.find("no engine segment in"), std::string::npos) << out;

    // A live stream that stays still while another moves is marked stalled
    // after 3 s; then the segment is removed while watched: said, and a
    // clean end.
    seg.mem[12 + sizeof(MSSP_StreamHead_t)] = MSSP_STATUS_PLAY;
    FILE* p = popen((kTop + " --key " + key + " --json --interval 0.05 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[8192];
    std::vector<std::string> stalled;
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < 400 && stalled != std::vector<std::string>{"false", "true"}; ++n) {
        auto* head = reinterpret_cast<MSSP_StreamHead_t*>(seg.mem);
        ++head->parseNum, ++head->getNum;  // stream 0 moves, with as many frames waiting
        ASSERT_NE(fgets(line, sizeof(line), p), nullptr);
        stalled = Field(line, "stalled");
        ASSERT_EQ(stalled.size(), 2u) << line;
        ASSERT_EQ(stalled[0], "false") << line;
    }
    EXPECT_EQ(stalled, (std::vector<std::string>{"false", "true"}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::duration<double>(msstop::kStallSeconds));
    shmctl(seg.id, IPC_RMID, nullptr);
    seg.id = -1;
    std::string rest;
    while (fgets(line, sizeof(line), p)) rest += line;
    const int status = pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rest;
    EXPECT_NE(rest.find("the segment of " + key + " was removed"), std::string::npos) << rest;
}

// ---------------------------------------------------------------------------
// mssp-export: real H.264 channels (encoded here with ffmpeg) recorded on
// clocks that differ by seconds, with a recording pause, exported and read
// back with ffprobe and ffmpeg.

namespace {

constexpr int kExportChannels = 3;
constexpr int kExportFps = 25;
const char* const kExportFrom = "2026-01-01 10:00:02";
const char* const kExportTo = "2026-01-01 10:00:16";

// A group of kExportChannels H.264 channels, 8 s each at 25 fps, one key
// frame a second, recorded from 10:00:00 with a new segment after 4 s that
// follows a 10 s pause (10:00:00-10:00:03.96, then 10:00:14-10:00:17.96).
// Skips when the tools are missing.
struct ExportGroup {
    msspt::TempDir dir{"export_test"};
    std::string group = dir.path() + "/group";
    std::string Es(int c) const { return dir.path() + "/ch" + std::to_string(c) + ".h264"; }
    bool Make(std::string* why) {
        if (access((kTools + "/mssp-export").c_str(), X_OK) != 0) return *why = "mssp-export not built (no libavformat)", false;
        if (!msspt::Have("ffmpeg") || !msspt::Have("ffprobe")) return *why = "ffmpeg / ffprobe not installed", false;
        std::string out, inputs;
        for (int c = 0; c < kExportChannels; ++c) {
            const int rc = msspt::Shell("ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 8 -vf hue=h=" +
                                            std::to_string(c * 90) + " -c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p -f h264 " +
                                            Es(c),
                                        &out);
            if (rc != 0) return *why = "ffmpeg cannot encode H.264 here: " + out, false;
            inputs += " --input " + Es(c);
        }
        // Channel clocks: 1000 ms, 90 s and some 1.4 hours at the first frame.
        if (msspt::Shell(msspt::EmulatorPrefix() + kTools + "/mssp-pack h264 -o " + group + inputs +
                             " --origin 1=90000 --origin 2=5000000 --segment 4 --gap 10",
                         &out) != 0)
            return *why = "mssp-pack: " + out, false;
        return true;
    }
    int Export(const std::string& args, std::string* out) const {
        return msspt::Shell(msspt::EmulatorPrefix() + kTools + "/mssp-export " + group + " " + args, out);
    }
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find('\n', at), text.size());
        if (end > at) lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The MD5 of each decoded frame, in order (ffmpeg's framemd5, last column).
std::vector<std::string> FrameMd5s(const std::string& input, const std::string& map) {
    std::string out;
    msspt::Shell("ffmpeg -loglevel error -i " + input + map + " -f framemd5 - | grep -v '^#' | awk '{print $NF}'", &out);
    return Lines(out);
}

}  // namespace

// Every channel in its own track, in step by recorded time although the
// channels' timestamps lie seconds to hours apart, starting at the key frame
// at or before --from, with the pause kept as a gap, and each track decoding
// to exactly the frames of its channel's original stream.
TEST(MsspExport, WritesChannelsInStepWithTheirOwnFrames) {
    ExportGroup g;
    std::string why;
    if (!g.Make(&why)) GTEST_SKIP() << why;
    // Recorded frames in [10:00:01, 10:00:18): the key frame at or before
    // 10:00:02 whose second lies before it is 10:00:01; 75 frames up to the
    // pause, 100 after it (to the end); in the original stream, frames
    // 25..199. The file spans 17 s, more than the muxer interleaves by
    // itself: the channels whose clocks run behind come from the engine
    // only after the others. (The cut at --to: the damage row below.)
    // MP4 starts playing at --from, 25 frames on: an edit list skips the
    // lead-in, which stays in the file (the packet checks read it raw);
    // Matroska starts at the key frame.
    constexpr int kFirst = 25, kFrames = 175, kLeadIn = 25;
    for (const char* ext : {"mkv", "mp4"}) {
        SCOPED_TRACE(ext);
        const bool mp4 = std::string(ext) == "mp4";
        const std::string raw = mp4 ? " -ignore_editlist 1" : "";
        const std::string file = g.dir.path() + "/out." + ext;
        std::string out;
        ASSERT_EQ(g.Export(std::string("-o ") + file + " --from '" + kExportFrom + "' --to '2026-01-01 10:00:18'", &out), 0)
            << out;
        msspt::Shell("ffprobe -v error" + raw + " -show_entries stream=codec_type,nb_read_packets:stream_tags=title,handler_name "
                     "-count_packets -of csv=p=0 " + file,
                     &out);
        const std::vector<std::string> streams = Lines(out);
        ASSERT_EQ(streams.size(), static_cast<size_t>(kExportChannels)) << out;
        for (int c = 0; c < kExportChannels; ++c) {
            EXPECT_NE(streams[c].find("video,"), std::string::npos) << streams[c];
            EXPECT_NE(streams[c].find("," + std::to_string(kFrames)), std::string::npos) << streams[c];
            EXPECT_NE(streams[c].find("channel " + std::to_string(c)), std::string::npos) << streams[c];
        }
        double first[kExportChannels] = {};
        for (int c = 0; c < kExportChannels; ++c) {
            msspt::Shell("ffprobe -v error" + raw + " -select_streams v:" + std::to_string(c) +
                             " -show_entries packet=pts_time -of csv=p=0 " + file,
                         &out);
            const std::vector<std::string> times = Lines(out);
            ASSERT_EQ(times.size(), static_cast<size_t>(kFrames)) << out;
            first[c] = std::stod(times[0]);
            msspt::Shell("ffprobe -v error -select_streams v:" + std::to_string(c) +
                             " -show_entries stream=start_time -of csv=p=0 " + file,
                         &out);
            EXPECT_NEAR(std::stod(out), 0.0, 1.0 / kExportFps) << "channel " << c << ": " << out;
            double gap = 0;
            for (size_t i = 1; i < times.size(); ++i) gap = std::max(gap, std::stod(times[i]) - std::stod(times[i - 1]));
            EXPECT_NEAR(gap, 10.04, 0.001) << "the pause is kept: 10:00:03.96 -> 10:00:14.00";
            EXPECT_NEAR(first[c], first[0], 1.0 / kExportFps) << "channel " << c;
        }
        // In file order the tracks interleave: no packet lies a second before one already written.
        msspt::Shell("ffprobe -v error" + raw + " -show_entries packet=pts_time -of csv=p=0 " + file, &out);
        double latest = 0, back = 0;
        for (const std::string& line : Lines(out)) {
            latest = std::max(latest, std::stod(line));
            back = std::max(back, latest - std::stod(line));
        }
        EXPECT_LT(back, 1.0);
        // Created: the recorded time at the file's time 0.
        msspt::Shell("ffprobe -v error -show_entries format_tags=creation_time:stream_tags=CLOCK_SKEW_MS -of csv=p=0 " + file,
                     &out);
        EXPECT_NE(out.find(mp4 ? "2026-01-01T10:00:02" : "2026-01-01T10:00:01"), std::string::npos) << out;
        if (!mp4) {
            EXPECT_NE(out.find("-89000"), std::string::npos) << out;  // channel 1's clock against channel 0's
        }
        for (int c = 0; c < kExportChannels; ++c) {
            const std::vector<std::string> exported = FrameMd5s(file, " -map 0:v:" + std::to_string(c));
            const std::vector<std::string> original = FrameMd5s(g.Es(c), "");
            ASSERT_GE(original.size(), static_cast<size_t>(kFirst + kFrames));
            const int shown = kFirst + (mp4 ? kLeadIn : 0);  // the lead-in is decoded, not shown
            EXPECT_EQ(exported, std::vector<std::string>(original.begin() + shown, original.begin() + kFirst + kFrames))
                << "channel " << c;
        }
    }
}

// By timestamp, the channels keep their clocks' distance: at the same
// recorded instant channel 1's clock reads 89 s more than channel 0's.
TEST(MsspExport, ByTimestampKeepsTheClocksApart) {
    ExportGroup g;
    std::string why;
    if (!g.Make(&why)) GTEST_SKIP() << why;
    const std::string file = g.dir.path() + "/ts.mkv";
    std::string out;
    ASSERT_EQ(g.Export("-o " + file + " --present-by timestamp --from '" + kExportFrom + "' --to '" + kExportTo + "'", &out),
              0)
        << out;
    double first[2] = {};
    for (int c = 0; c < 2; ++c) {
        msspt::Shell("ffprobe -v error -select_streams v:" + std::to_string(c) +
                         " -show_entries packet=pts_time -of csv=p=0 " + file + " | head -1",
                     &out);
        first[c] = std::stod(out);
    }
    EXPECT_NEAR(first[1] - first[0], 89.0, 0.001);
}

// What cannot be exported exits non-zero and leaves no file (nor a partial
// one); a channel that lost frames to damage is exported around them with
// a warning.
TEST(MsspExport, RefusesBadRangesAndOutputsAndWarnsOfDamage) {
    ExportGroup g;
    std::string why;
    if (!g.Make(&why)) GTEST_SKIP() << why;
    const std::string file = g.dir.path() + "/x.mkv";
    const std::string range = std::string(" --from '") + kExportFrom + "' --to '" + kExportTo + "'";
    struct Row {
        const char* name;
        std::string args;
        std::string prefix;  // shell words before the program
        int rc;
        std::string text;
        bool fileLeft;
    };
    const Row rows[] = {
        {"nothing in the range", "-o " + file + " --from '2026-01-01 11:00:00' --to '2026-01-01 11:00:05'", "", 1,
         "no channel has a recording between 2026-01-01 11:00:00 and 2026-01-01 11:00:05", false},
        {"--to before --from", "-o " + file + " --from '2026-01-01 10:00:05' --to '2026-01-01 10:00:02'", "", 1,
         "--to must lie after --from", false},
        {"folder missing", "-o " + g.dir.path() + "/none/x.mkv" + range, "", 1, "cannot write " + g.dir.path() + "/none/x.mkv",
         false},
        {"disk full (file size limit)", "-o " + file + range, "ulimit -f 16; trap '' XFSZ; ", 1, "cannot write " + file, false},
        {"G.711 in MP4", "-o " + g.dir.path() + "/x.mp4 --audio" + range, "", 1, "MP4 cannot carry", false},
        {"unknown channel left out", "-o " + file + " --channels 0,7" + range, "", 0, "channel(s) 7 not recorded", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string out;
        const int rc = msspt::Shell(row.prefix + msspt::EmulatorPrefix() + kTools + "/mssp-export " + g.group + " " + row.args, &out);
        EXPECT_EQ(rc, row.rc) << out;
        EXPECT_NE(out.find(row.text), std::string::npos) << out;
        EXPECT_EQ(access(file.c_str(), F_OK) == 0, row.fileLeft);
        EXPECT_NE(access((file + ".part").c_str(), F_OK), 0) << "a partial file was left";
        unlink(file.c_str());
    }

    // Damage in channel 1's first segment: bytes overwritten in its middle.
    const std::string seg = g.group + "/" + recstore::DefaultSegmentFile(1, 0, 0);
    std::vector<uint8_t> bytes = msspt::ReadBytes(seg);
    ASSERT_GT(bytes.size(), 1000u);
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) bytes[i] ^= 0x5A;
    msspt::WriteBytes(seg, bytes);
    std::string out;
    ASSERT_EQ(g.Export("-o " + file + range, &out), 0) << out;
    EXPECT_NE(out.find("warning: channel 1:"), std::string::npos) << out;
    EXPECT_EQ(out.find("warning: channel 0:"), std::string::npos) << out;
    msspt::Shell("ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 " + file, &out);
    const std::vector<std::string> counts = Lines(out);
    ASSERT_EQ(counts.size(), static_cast<size_t>(kExportChannels)) << out;
    EXPECT_EQ(counts[0], "125");  // [10:00:01, 10:00:16): 75 frames before the pause, 50 after it
    EXPECT_LT(std::stoi(counts[1]), 125);
    EXPECT_GT(std::stoi(counts[1]), 50) << "exported after the damage too";
}

// --ranges lists each channel's recorded spans and the pause between them.
TEST(Probe, ListsRecordedRangesAndPauses) {
    msspt::TempDir dir("ranges_test");
    std::string out;
    ASSERT_EQ(msspt::Shell(msspt::EmulatorPrefix() + kTools + "/mssp-pack synth -o " + dir.path() +
                               "/g --channels 2 --duration 8 --segment 4 --gap 5",
                           &out),
              0)
        << out;
    ASSERT_EQ(msspt::Shell(msspt::EmulatorPrefix() + kTools + "/mssp-probe --ranges --channel 1 " + dir.path() + "/g", &out), 0)
        << out;
    EXPECT_EQ(out,
              "channel 1 stream type 0: 2 range(s)\n"
              "  recorded 2026-01-01 10:00:00 .. 2026-01-01 10:00:03  (4 s)\n"
              "  pause    2026-01-01 10:00:03 .. 2026-01-01 10:00:09  (5 s)\n"
              "  recorded 2026-01-01 10:00:09 .. 2026-01-01 10:00:12  (4 s)\n");
}

// Every tool and subcommand answers --help with its usage on standard
// output and success, wherever the option stands.
TEST(Tools, EveryToolAndSubcommandTakesHelp) {
    for (const char* cmd : {"mssp-pack --help", "mssp-pack h264 --help", "mssp-pack synth -o /nonexistent --help",
                            "mssp-probe --help", "mssp-play --help", "mssp-top --help",
                            "mssp-export --help"}) {
        SCOPED_TRACE(cmd);
        const std::string tool = std::string(cmd).substr(0, std::string(cmd).find(' '));
        if (access((kTools + "/" + tool).c_str(), X_OK) != 0) continue;  // mssp-top needs curses, mssp-export libavformat
        std::string out;
        EXPECT_EQ(msspt::Shell(msspt::EmulatorPrefix() + kTools + "/" + cmd, &out), 0) << out;
        EXPECT_NE(out.find("usage"), std::string::npos) << out;
    }
}
