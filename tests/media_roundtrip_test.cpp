// A round trip with real media: H.264 test patterns made by ffmpeg are
// packed into a recording group with mssp-pack, played through the engine
// with mssp-play writing each channel's payloads out, and checked with
// ffmpeg. A decoder prints nothing for a dropped or swapped P-frame (and
// ffmpeg exits 0 even after decode errors), so besides a clean `-v error`
// run the picture count and the MD5 of every decoded picture must match the
// input's. Skipped where ffmpeg is not installed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "PackTool.h"
#include "TargetProgram.h"

namespace {

const std::string kTools = MSSP_TOOLS_DIR;
// How commands start them (through a cross build's emulator, if any).
const std::string kToolsCmd = msspt::EmulatorPrefix() + kTools;

// What ffmpeg makes of an H.264 Annex-B file: the messages it prints at
// -v error while decoding, and one MD5 per decoded picture, in order (equal
// lists mean an equal MD5 over all pictures).
struct Decoded {
    std::string errors;
    std::vector<std::string> pictures;
};

Decoded Decode(const std::string& path) {
    Decoded d;
    std::string out;
    const std::string errPath = path + ".err";
    msspt::Shell("ffmpeg -nostdin -v error -f h264 -i " + path + " -map 0:v -f framemd5 - 2>" + errPath, &out);
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '#') d.pictures.push_back(line);
    }
    std::ifstream err(errPath);
    d.errors.assign(std::istreambuf_iterator<char>(err), {});
    return d;
}

void ExpectSamePictures(const std::string& input, const std::string& output) {
    const Decoded in = Decode(input), out = Decode(output);
    ASSERT_GT(in.pictures.size(), 0u) << input << ": " << in.errors;
    EXPECT_EQ(out.errors, "") << output;
    EXPECT_EQ(out.pictures.size(), in.pictures.size()) << output;
    EXPECT_TRUE(out.pictures == in.pictures) << output << ": the decoded pictures differ";
}

std::vector<uint8_t> Bytes(const std::string& path) {
    std::vector<uint8_t> data;
    std::string err;
    EXPECT_TRUE(packtool::ReadFile(path, &data, &err)) << err;
    return data;
}

class MediaRoundTrip : public testing::Test {
protected:
    void SetUp() override {
        if (!msspt::Have("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed: the media round trip is not run";
        if (access((kTools + "/mssp-play").c_str(), X_OK) != 0 || access((kTools + "/mssp-pack").c_str(), X_OK) != 0)
            GTEST_SKIP() << "mssp-pack / mssp-play not built";
    }

    // 4 s of a test pattern, 25 fps, a fixed GOP, no B-frames.
    std::string Encode(const std::string& name, const std::string& source, int gop) {
        const std::string path = dir.path() + "/" + name;
        std::string out;
        EXPECT_EQ(msspt::Shell("ffmpeg -nostdin -v error -y -f lavfi -i " + source +
                            " -t 4 -c:v libx264 -bf 0 -g " + std::to_string(gop) + " -keyint_min " +
                            std::to_string(gop) + " -sc_threshold 0 -pix_fmt yuv420p -f h264 " + path,
                        &out),
                  0)
            << out;
        return path;
    }

    msspt::TempDir dir{"media_roundtrip"};
};

}  // namespace

TEST_F(MediaRoundTrip, H264ChannelsWithAudioAndASegmentChangeComeOutIdentical) {
    const std::string a = Encode("a.h264", "testsrc2=size=320x240:rate=25", 25);
    const std::string b = Encode("b.h264", "testsrc=size=176x144:rate=25", 10);
    const std::string audio = dir.path() + "/a.g711";
    std::string out;
    ASSERT_EQ(msspt::Shell("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=8000 -t 4 -ar 8000 "
                    "-ac 1 -f mulaw " + audio,
                    &out),
              0)
        << out;
    const std::string group = dir.path() + "/group", played = dir.path() + "/played";
    ASSERT_EQ(msspt::Shell(kToolsCmd + "/mssp-pack h264 -o " + group + " --input " + a + "," + audio + " --input " + b +
                        " --segment 2 --origin 0=40000 --origin 1=90000",
                    &out),
              0)
        << out;
    ASSERT_EQ(msspt::Shell(kToolsCmd + "/mssp-play --fast " + group + " --out-dir " + played, &out), 0) << out;
    EXPECT_NE(out.find("every stream ran out"), std::string::npos) << out;
    ExpectSamePictures(a, played + "/ch00.es");
    ExpectSamePictures(b, played + "/ch01.es");
    // The G.711 samples come out as they went in (4 s: a hundred 320-byte packs).
    EXPECT_TRUE(Bytes(played + "/ch00.audio") == Bytes(audio));
    EXPECT_FALSE(std::filesystem::exists(played + "/ch01.audio"));
}

TEST_F(MediaRoundTrip, OldPackFormatComesOutIdentical) {
    const std::string a = Encode("a.h264", "testsrc2=size=320x240:rate=25", 25);
    const std::string group = dir.path() + "/group", played = dir.path() + "/played";
    std::string out;
    ASSERT_EQ(msspt::Shell(kToolsCmd + "/mssp-pack h264 --format old -o " + group + " --input " + a + " --origin 0=1000", &out),
              0)
        << out;
    ASSERT_EQ(msspt::Shell(kToolsCmd + "/mssp-play --fast " + group + " --out-dir " + played, &out), 0) << out;
    EXPECT_NE(out.find("(device group 3)"), std::string::npos) << out;
    ExpectSamePictures(a, played + "/ch00.es");
}

// The checks above must be able to fail: a stream that lost one P-frame
// decodes without a message, but its count and MD5 differ.
TEST_F(MediaRoundTrip, ALostPFrameIsCaughtByCountAndDigestOnly) {
    const std::string a = Encode("a.h264", "testsrc2=size=320x240:rate=25", 25);
    const std::vector<uint8_t> es = Bytes(a);
    const std::vector<packtool::AccessUnit> units = packtool::SplitAccessUnits(es.data(), es.size());
    ASSERT_GT(units.size(), 12u);
    ASSERT_FALSE(units[10].idr);
    std::vector<uint8_t> cut(es.begin(), es.begin() + static_cast<std::ptrdiff_t>(units[10].offset));
    cut.insert(cut.end(), es.begin() + static_cast<std::ptrdiff_t>(units[11].offset), es.end());
    const std::string bad = dir.path() + "/bad.h264";
    std::ofstream(bad, std::ios::binary).write(reinterpret_cast<const char*>(cut.data()),
                                               static_cast<std::streamsize>(cut.size()));
    const Decoded in = Decode(a), lost = Decode(bad);
    EXPECT_EQ(lost.errors, "") << "the decoder does not complain";
    EXPECT_EQ(lost.pictures.size() + 1, in.pictures.size());
    // The pictures before the cut are the same; the ones after it are not.
    ASSERT_GE(lost.pictures.size(), 11u);
    EXPECT_EQ(lost.pictures[9], in.pictures[9]);
    EXPECT_NE(lost.pictures[10].substr(lost.pictures[10].rfind(',')),
              in.pictures[11].substr(in.pictures[11].rfind(',')))
        << "the picture after the lost one is decoded from the wrong reference";
}
