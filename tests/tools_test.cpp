// Recording tools: the synthetic recorder (counts, types, timestamp
// spacing, segments, audio, reference positions, both formats) checked with
// the probe and the store; the probe's explanations of dropped packs; H.264
// Annex-B access-unit splitting against ffprobe; and the two command-line
// programs end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "PackTool.h"
#include "Probe.h"
#include "RecStore.h"
#include "TargetProgram.h"
#include "Watchdog.h"

using namespace recstore;

namespace {

// Probes a segment quietly; the listing goes to /dev/null.
probe::FileStats ProbeQuiet(const std::string& path, PackFormat format) {
    probe::FileStats stats;
    FILE* null = fopen("/dev/null", "w");
    std::string err;
    EXPECT_TRUE(probe::ProbeFile(path, &format, probe::Options{}, null, &stats, &err)) << err;
    fclose(null);
    return stats;
}

struct Collected {
    std::vector<ScannedPack> packs;
    ScanSummary summary;
};

Collected ScanAll(const std::string& path, PackFormat format) {
    Collected c;
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    const uint64_t size = std::filesystem::file_size(path);
    ScanVisitor v;
    v.onPack = [&](const ScannedPack& p) {
        c.packs.push_back(p);
        return true;
    };
    EXPECT_TRUE(ScanFile(fd, size, format, v, &c.summary));
    close(fd);
    return c;
}

}  // namespace

TEST(Synth, CountsTypesSpacingSegmentsAndReferences) {
    msspt::TempDir dir("tools_test");
    packtool::SynthOptions o;
    o.outDir = dir.path();
    o.channels = 2;
    o.streamTypes = 2;
    o.durationSec = 6;
    o.segmentSec = 2;
    o.gapSec = 1;
    o.audio = packtool::AudioMode::kAlternate;
    o.refType = 5;
    o.refCycle = 8;
    o.origins[1] = 500000;
    o.groupId = 9;
    packtool::Report report;
    std::string err;
    ASSERT_TRUE(packtool::WriteSynthetic(o, &report, &err)) << err;
    ASSERT_EQ(report.streams.size(), 4u);
    for (const packtool::StreamReport& s : report.streams) {
        EXPECT_EQ(s.segments, 3u);
        EXPECT_EQ(s.iFrames, 6u);
        EXPECT_EQ(s.pFrames, 144u);
        EXPECT_EQ(s.audio, 50u) << "segment 1 only: 2 s of 40 ms packs";
    }
    auto store = RecStore::Open(dir.path(), &err);
    ASSERT_TRUE(store) << err;
    EXPECT_EQ(store->GroupId(), 9u);
    ASSERT_EQ(store->Group().streams.size(), 4u);
    for (const StreamDesc& sd : store->Group().streams) {
        ASSERT_EQ(sd.segments.size(), 3u);
        EXPECT_EQ(sd.segments[0].start, (DateTime{26, 1, 1, 10, 0, 0}));
        EXPECT_EQ(sd.segments[1].start, (DateTime{26, 1, 1, 10, 0, 3})) << "2 s, then a 1 s pause";
        EXPECT_EQ(sd.segments[2].start, (DateTime{26, 1, 1, 10, 0, 6}));
        EXPECT_FALSE(sd.segments[0].audio);
        EXPECT_TRUE(sd.segments[1].audio);
        const uint64_t origin = sd.channel == 1 ? 500000 : packtool::kDefaultPtsOrigin;
        int64_t lastVideo = -1;
        for (size_t n = 0; n < 3; ++n) {
            const std::string path = dir.path() + "/" + sd.segments[n].file;
            Collected c = ScanAll(path, PackFormat::kNew);
            EXPECT_EQ(c.summary.packs, n == 1 ? 100u : 50u);
            EXPECT_EQ(c.summary.garbageBytes + c.summary.badChecksum + c.summary.invalidHeaders, 0u);
            int frame = 0;
            for (const ScannedPack& p : c.packs) {
                const PackHeader& h = p.header;
                if (h.type == kTypeAudio) {
                    EXPECT_TRUE(h.hasFlag && h.flag) << "audio must carry the extension flag to be played";
                    EXPECT_EQ(h.records.size(), 4u);
                    continue;
                }
                EXPECT_EQ(h.type, frame % 25 == 0 ? kTypeI : kTypeP);
                EXPECT_EQ(h.width, sd.streamType ? 352 : 704);
                EXPECT_EQ(h.frameRate, 25);
                ASSERT_TRUE(h.hasRef);
                EXPECT_EQ(h.refType, 5);
                EXPECT_EQ(h.refIndex, frame % 25 % 8);
                if (lastVideo >= 0) {
                    // 40 ms between frames; 1040 ms across a pause.
                    EXPECT_EQ(static_cast<int64_t>(h.ptsMs) - lastVideo, frame == 0 ? 1040 : 40);
                } else {
                    EXPECT_EQ(h.ptsMs, origin);
                }
                lastVideo = static_cast<int64_t>(h.ptsMs);
                // The date and time lies where the player reads it: frame bytes 39..41.
                ++frame;
            }
        }
        DateTime first{}, last{};
        ASSERT_TRUE(store->StreamSpan(sd.channel, sd.streamType, &first, &last));
        EXPECT_EQ(last, (DateTime{26, 1, 1, 10, 0, 7}));
    }
    // The sub stream carries a quarter of the main stream's bytes, roughly.
    const auto main = std::filesystem::file_size(dir.path() + "/" + DefaultSegmentFile(0, 0, 0));
    const auto sub = std::filesystem::file_size(dir.path() + "/" + DefaultSegmentFile(0, 1, 0));
    EXPECT_GT(main, 3 * sub);
    EXPECT_LT(main, 5 * sub);
    // 1024 kbit/s over 2 s is 256 kB; the synthetic sizes stay within 15 %.
    EXPECT_NEAR(static_cast<double>(main), 256000.0, 256000.0 * 0.15);
}

TEST(Synth, DateTimeSitsWhereThePlayerReadsIt) {
    msspt::TempDir dir("tools_test");
    packtool::SynthOptions o;
    o.outDir = dir.path();
    o.durationSec = 2;
    o.audio = packtool::AudioMode::kAll;
    o.start = DateTime{26, 5, 6, 7, 8, 9};
    std::string err;
    ASSERT_TRUE(packtool::WriteSynthetic(o, nullptr, &err)) << err;
    const std::string path = dir.path() + "/" + DefaultSegmentFile(0, 0, 0);
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    for (const ScannedPack& p : ScanAll(path, PackFormat::kNew).packs) {
        if (p.header.type == kTypeP) continue;
        // I-frames and audio of an audio segment: hour, minute, second at 39..41.
        const uint8_t* f = bytes.data() + p.offset;
        EXPECT_EQ(f[39], p.header.time[3]);
        EXPECT_EQ(f[40], p.header.time[4]);
        EXPECT_EQ(f[41], p.header.time[5]);
    }
}

TEST(Synth, OldFormatAndOptionChecks) {
    msspt::TempDir dir("tools_test");
    packtool::SynthOptions o;
    o.outDir = dir.path();
    o.format = PackFormat::kOld;
    o.durationSec = 3;
    o.gop = 10;
    o.audio = packtool::AudioMode::kAll;
    packtool::Report report;
    std::string err;
    ASSERT_TRUE(packtool::WriteSynthetic(o, &report, &err)) << err;
    probe::FileStats st = ProbeQuiet(dir.path() + "/" + DefaultSegmentFile(0, 0, 0), PackFormat::kOld);
    EXPECT_EQ(st.scan.byType[kTypeI], 8u);
    EXPECT_EQ(st.scan.byType[kTypeP], 67u);
    EXPECT_EQ(st.scan.byType[kTypeAudio], 75u);
    EXPECT_EQ(st.videoPtsStepMin, 40u);
    EXPECT_EQ(st.videoPtsStepMax, 40u);
    EXPECT_EQ(st.audioWithoutFlag, 0u) << "old audio packs are always flagged";

    packtool::SynthOptions bad = o;
    bad.refType = 5;  // no reference records in the old format
    EXPECT_FALSE(packtool::WriteSynthetic(bad, nullptr, &err));
    EXPECT_NE(err.find("new format"), std::string::npos);
    bad = o;
    bad.fps = 0;
    EXPECT_FALSE(packtool::WriteSynthetic(bad, nullptr, &err));
    bad = o;
    bad.channels = 33;
    EXPECT_FALSE(packtool::WriteSynthetic(bad, nullptr, &err));
}

// ---------------------------------------------------------------------------

TEST(Probe, ExplainsWhyPacksAreDropped) {
    msspt::TempDir dir("tools_test");
    using packwriter::Bytes;
    Bytes file;
    packwriter::NewPack p;
    p.kind = packwriter::kPFrame;  // a P-frame before any I-frame
    p.pts = 0;
    packwriter::AppendNewPack(file, p, Bytes(100, 1).data(), 100);
    const Bytes junk = {1, 2, 3, 4, 5, 6, 7};
    file.insert(file.end(), junk.begin(), junk.end());
    p.kind = packwriter::kIFrame;
    p.pts = 40;
    p.checksum = 0x55;  // wrong on purpose
    const Bytes payload = packwriter::PatternPayload(300, 3);
    packwriter::AppendNewPack(file, p, payload.data(), payload.size());
    p.checksum.reset();
    p.pts = 80;
    packwriter::AppendNewPack(file, p, payload.data(), payload.size());
    packwriter::NewPack a;
    a.kind = packwriter::kAudio;  // no kind-5 record: the player skips it
    packwriter::AppendNewPack(file, a, Bytes(32, 0).data(), 32);
    const size_t cut = file.size() + 20;
    packwriter::AppendNewPack(file, p, payload.data(), payload.size());
    file.resize(cut);  // the last pack ends early
    const std::string path = dir.path() + "/odd.pack";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                static_cast<std::streamsize>(file.size()));
    char* text = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&text, &len);
    probe::FileStats st;
    std::string err;
    ASSERT_TRUE(probe::ProbeFile(path, nullptr, probe::Options{}, mem, &st, &err)) << err;
    fclose(mem);
    const std::string out(text, len);
    free(text);
    EXPECT_EQ(st.scan.packs, 4u);
    EXPECT_EQ(st.leadingP, 1u);
    EXPECT_EQ(st.scan.badChecksum, 1u);
    EXPECT_EQ(st.audioWithoutFlag, 1u);
    EXPECT_EQ(st.scan.garbageBytes, 7u);
    EXPECT_EQ(st.scan.truncatedBytes, 20u);
    EXPECT_NE(out.find("new format (detected)"), std::string::npos);
    EXPECT_NE(out.find("dropped at a start: P-frame before the first I-frame"), std::string::npos);
    EXPECT_NE(out.find("dropped: payload checksum mismatch"), std::string::npos);
    EXPECT_NE(out.find("dropped: audio without the extension flag"), std::string::npos);
    EXPECT_NE(out.find("7 bytes of garbage skipped"), std::string::npos);
    EXPECT_NE(out.find("truncated: incomplete I pack: 20 of"), std::string::npos);
}

namespace {

std::string ProbeText(const std::string& path, probe::FileStats* st, bool* ok) {
    char* text = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&text, &len);
    std::string err;
    *ok = probe::ProbeFile(path, nullptr, probe::Options{}, mem, st, &err);
    fclose(mem);
    std::string out(text, len);
    free(text);
    return out + err;
}

void WriteFile(const std::string& path, const packwriter::Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

packwriter::Bytes NewPacks(std::initializer_list<std::pair<packwriter::FrameKind, uint64_t>> packs) {
    packwriter::Bytes out;
    uint32_t n = 0;
    for (const auto& [kind, pts] : packs) {
        packwriter::NewPack p;
        p.kind = kind;
        p.pts = pts;
        packwriter::AppendNewPack(out, p, packwriter::PatternPayload(200, ++n).data(), 200);
    }
    return out;
}

}  // namespace

// A FIFO made the probe hang in its open; nothing but a regular file is opened.
TEST(Probe, NonRegularFilesAreRefusedWithoutOpeningThem) {
    msspt::Watchdog watchdog(std::chrono::seconds(30), "probe of non-regular files");
    msspt::TempDir dir("tools_test");
    const std::string path = dir.path() + "/seg.pack";
    const struct {
        const char* kind;
        int made;
    } kinds[] = {{"a FIFO", mkfifo(path.c_str(), 0644)},
                 {"a directory", mkdir((path + "d").c_str(), 0755)},
                 {"a character device", symlink("/dev/null", (path + "c").c_str())}};
    const char* suffix[] = {"", "d", "c"};
    for (size_t i = 0; i < std::size(kinds); ++i) {
        ASSERT_EQ(kinds[i].made, 0) << kinds[i].kind;
        probe::FileStats st;
        bool ok = true;
        const std::string out = ProbeText(path + suffix[i], &st, &ok);
        EXPECT_FALSE(ok);
        EXPECT_NE(out.find(path + suffix[i] + " is not a regular file (" + kinds[i].kind + ")"), std::string::npos)
            << out;
    }
}

// The format of a lone file is the one whose whole valid packs chain through
// its first MiB; damage that looks like the other format's header no longer
// decides it, and a verdict the data cannot support is called uncertain.
TEST(Probe, SaysWhenTheFormatIsUncertain) {
    msspt::TempDir dir("tools_test");
    using packwriter::kIFrame;
    using packwriter::kPFrame;
    const packwriter::Bytes news = NewPacks({{kIFrame, 1000}, {kPFrame, 1040}, {kPFrame, 1080}, {kIFrame, 1120}});
    // Damage that reads as an old-format audio header, with a payload of 20 bytes.
    packwriter::Bytes oldLooking = {'0', '5', 'w', 'b', 20, 0, 0, 0};
    oldLooking.resize(28, 0x11);
    packwriter::Bytes olds;
    for (int n = 0; n < 3; ++n) {
        packwriter::OldVideoPack p;
        p.ptsUs = 1000000 + 40000 * static_cast<uint64_t>(n);
        const packwriter::Bytes pack = packwriter::MakeOldVideoPack(p, packwriter::PatternPayload(200, 7));
        olds.insert(olds.end(), pack.begin(), pack.end());
    }
    auto join = [](packwriter::Bytes a, const packwriter::Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const packwriter::Bytes oneNew(news.begin(), news.begin() + 12 + 200 + 40);  // cut inside the second pack
    const struct {
        const char* name;
        packwriter::Bytes bytes;
        const char* says;
    } cases[] = {
        {"new packs", news, "new format (detected)"},
        {"old packs", olds, "old format (detected)"},
        {"new packs behind an old-looking header", join(oldLooking, news), "new format (detected)"},
        {"one new pack and an old-looking header", join(oldLooking, oneNew),
         "new format (uncertain: 1 whole pack(s) of the new format and 1 of the old in the first MiB"},
        {"no pack", packwriter::Bytes(300, 0x5A), "new format (assumed: no pack of either format found)"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.path() + "/seg.pack";
        WriteFile(path, c.bytes);
        probe::FileStats st;
        bool ok = false;
        const std::string out = ProbeText(path, &st, &ok);
        EXPECT_TRUE(ok) << c.name;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.name << "\n" << out;
    }
}

// The engine takes a timestamp of 0 for none: it drops the frame and every
// frame after it until a key frame.
TEST(Probe, CountsFramesDroppedForTimestampZero) {
    msspt::TempDir dir("tools_test");
    using packwriter::kIFrame;
    using packwriter::kPFrame;
    const std::string path = dir.path() + "/seg.pack";
    WriteFile(path, NewPacks({{kIFrame, 0}, {kPFrame, 40}, {kPFrame, 80}, {kIFrame, 120}, {kPFrame, 160},
                              {kPFrame, 0}, {kPFrame, 240}, {kIFrame, 280}, {kPFrame, 320}}));
    probe::FileStats st;
    bool ok = false;
    const std::string out = ProbeText(path, &st, &ok);
    ASSERT_TRUE(ok) << out;
    EXPECT_EQ(st.zeroPts, 2u);
    EXPECT_EQ(st.afterZeroPts, 3u);
    EXPECT_NE(out.find("2 for timestamp 0 and 3 after those until a key frame"), std::string::npos) << out;
}

// ---------------------------------------------------------------------------
// H.264 Annex-B.

TEST(AnnexB, SplitsAccessUnitsAtDelimitersParameterSetsAndFirstSlices) {
    // SPS, PPS, IDR slice | slice (first_mb 0) | AUD, slice | SEI, slice, slice with first_mb != 0
    const std::vector<uint8_t> es = {
        0, 0, 0, 1, 0x67, 0x42, 0, 0x1e, 0xab,  // SPS
        0, 0, 0, 1, 0x68, 0xce, 0x38, 0x80,     // PPS
        0, 0, 1, 0x65, 0x88, 0x84, 0x21,       // IDR, first_mb 0
        0, 0, 1, 0x41, 0x9a, 0x11,             // non-IDR, first_mb 0: a new unit
        0, 0, 0, 1, 0x09, 0xf0,                // AUD: a new unit
        0, 0, 1, 0x41, 0x9a, 0x22,             //   its slice
        0, 0, 1, 0x06, 0x05, 0x01, 0x80,       // SEI after a slice: a new unit
        0, 0, 1, 0x41, 0x9a, 0x33,             //   its slice
        0, 0, 1, 0x41, 0x40, 0x44,             //   second slice (first_mb != 0): same unit
    };
    const std::vector<packtool::AccessUnit> au = packtool::SplitAccessUnits(es.data(), es.size());
    ASSERT_EQ(au.size(), 4u);
    EXPECT_TRUE(au[0].idr);
    EXPECT_FALSE(au[1].idr);
    EXPECT_EQ(au[0].offset, 0u);
    EXPECT_EQ(au[1].offset, 24u);
    EXPECT_EQ(au[2].offset, 30u);
    EXPECT_EQ(au[3].offset, 42u);
    size_t sum = 0;
    for (const packtool::AccessUnit& u : au) sum += u.length;
    EXPECT_EQ(sum, es.size()) << "units cover the stream without gaps";
}

TEST(AnnexB, RealStreamMatchesFfprobeAndWrapsWithAudio) {
    if (!msspt::Have("ffmpeg") || !msspt::Have("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe not installed: H.264 wrapping not checked";
    msspt::TempDir dir("tools_test");
    const std::string es = dir.path() + "/in.h264", audio = dir.path() + "/in.g711";
    std::string out;
    ASSERT_EQ(msspt::Shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -t 3 -c:v libx264 -bf 0 -g 25 "
                  "-pix_fmt yuv420p -f h264 " + es,
                  &out),
              0)
        << out;
    ASSERT_EQ(msspt::Shell("ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=8000 -t 3 -ar 8000 -ac 1 "
                  "-f mulaw " + audio,
                  &out),
              0)
        << out;
    ASSERT_EQ(msspt::Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                  "-of csv=p=0 " + es,
                  &out),
              0);
    const int frames = std::atoi(out.c_str());
    ASSERT_EQ(msspt::Shell("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 " + es +
                      " | grep -c K",
                  &out),
              0);
    const int keys = std::atoi(out.c_str());
    ASSERT_GT(frames, 0);
    ASSERT_GT(keys, 0);

    std::vector<uint8_t> bytes;
    std::string err;
    ASSERT_TRUE(packtool::ReadFile(es, &bytes, &err)) << err;
    const auto units = packtool::SplitAccessUnits(bytes.data(), bytes.size());
    EXPECT_EQ(static_cast<int>(units.size()), frames);
    int idr = 0;
    for (const auto& u : units) idr += u.idr;
    EXPECT_EQ(idr, keys);
    uint16_t w = 0, h = 0;
    ASSERT_TRUE(packtool::FindPictureSize(bytes.data(), bytes.size(), &w, &h));
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);

    packtool::WrapOptions o;
    o.outDir = dir.path() + "/group";
    o.inputs.push_back({es, audio});
    o.inputs.push_back({es, ""});
    packtool::Report report;
    ASSERT_TRUE(packtool::WrapH264(o, &report, &err)) << err;
    ASSERT_EQ(report.streams.size(), 2u);
    EXPECT_EQ(static_cast<int>(report.streams[0].iFrames), keys);
    EXPECT_EQ(static_cast<int>(report.streams[0].pFrames), frames - keys);
    EXPECT_EQ(report.streams[0].audio, 3u * 8000 / 320);
    EXPECT_EQ(report.streams[1].audio, 0u);
    // The payloads of the video packs, in order, are the elementary stream.
    const std::string seg = o.outDir + "/" + DefaultSegmentFile(0, 0, 0);
    std::vector<uint8_t> packed, rebuilt;
    ASSERT_TRUE(packtool::ReadFile(seg, &packed, &err));
    Collected c = ScanAll(seg, PackFormat::kNew);
    EXPECT_EQ(c.summary.byType[kTypeI], static_cast<uint32_t>(keys));
    for (const ScannedPack& p : c.packs) {
        if (p.header.type == kTypeAudio) continue;
        const size_t at = p.offset + p.header.headerLen + p.header.extLen;
        rebuilt.insert(rebuilt.end(), packed.begin() + static_cast<std::ptrdiff_t>(at),
                       packed.begin() + static_cast<std::ptrdiff_t>(at + p.header.frameLen));
    }
    EXPECT_EQ(rebuilt, bytes);
    auto store = RecStore::Open(o.outDir, &err);
    ASSERT_TRUE(store) << err;
    tag_tavuSegmentId id{0, 0, 0, 0};
    MSSP_SegmentInfo_t info{};
    EXPECT_EQ(store->GetStreamSegmentInfo(&id, &info), 0);
    EXPECT_TRUE(store->Group().streams[0].segments[0].audio);
    EXPECT_FALSE(store->Group().streams[1].segments[0].audio);
}

// ---------------------------------------------------------------------------
// The programs.

TEST(Programs, PackThenProbeFromTheCommandLine) {
    if (access(MSSP_TOOLS_DIR "/mssp-pack", X_OK) != 0) GTEST_SKIP() << "mssp-pack not built";
    const std::string tools = msspt::EmulatorPrefix() + MSSP_TOOLS_DIR;
    msspt::TempDir dir("tools_test");
    const std::string g = dir.path() + "/g";
    std::string out;
    ASSERT_EQ(msspt::Shell(tools + "/mssp-pack synth -o " + g +
                      " --channels 3 --duration 4 --gop 20 --segment 2 --origin 2=7000 --start '2026-03-04 05:06:07'",
                  &out),
              0)
        << out;
    EXPECT_NE(out.find("channel 2 stream type 0: 2 segments, 5 I, 95 P, 0 audio packs"), std::string::npos) << out;
    ASSERT_EQ(msspt::Shell(tools + "/mssp-probe --summary --channel 2 " + g, &out), 0) << out;
    EXPECT_NE(out.find("index: valid"), std::string::npos) << out;
    EXPECT_NE(out.find("timestamps 7000 .. "), std::string::npos) << out;
    EXPECT_NE(out.find("segment 1: start 2026-03-04 05:06:09"), std::string::npos) << out;
    // Without --origin a channel's clock starts above 0, which would mean "no timestamp".
    ASSERT_EQ(msspt::Shell(tools + "/mssp-probe --summary --channel 0 " + g, &out), 0) << out;
    EXPECT_NE(out.find("timestamps 1000 .. "), std::string::npos) << out;
    ASSERT_EQ(msspt::Shell(tools + "/mssp-probe --limit 3 " + g + "/ch00/type0/seg0000.pack", &out), 0);
    EXPECT_NE(out.find("summary: 60 packs (3 I, 57 P, 0 audio)"), std::string::npos) << out;
    // A second write into the same directory is refused, bad options are errors.
    EXPECT_EQ(msspt::Shell(tools + "/mssp-pack synth -o " + g, &out), 2);
    EXPECT_EQ(msspt::Shell(tools + "/mssp-pack synth -o " + g + "x --fps 0", &out), 2);
    EXPECT_EQ(msspt::Shell(tools + "/mssp-probe " + g + "/nothing", &out), 1);
}
