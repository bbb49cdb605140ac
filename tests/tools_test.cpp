// Recording tools: the probe's verdicts on odd files and H.264 Annex-B
// splitting (real streams are split and wrapped in the GStreamer suite).
#include <gtest/gtest.h>

#include "PackTool.h"
#include "Probe.h"
#include "PackScan.h"
#include "TargetProgram.h"

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

