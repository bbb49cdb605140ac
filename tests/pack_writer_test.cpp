// Round trip between the pack writer and the header functions: packs of
// every extension kind and both old layouts are written, decoded in one
// piece and split at every position, and every field comes back; payload
// checksums agree with the writer's at every split of the payload.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "HeaderHarness.h"
#include "PackWriter.h"

using msspt::Bytes;
using msspt::Fmt;
using msspt::HeaderHarness;
namespace pw = packwriter;

namespace {

constexpr uint8_t kSentinel = 0xA5;  // frame-info bytes a pack does not carry keep it

// What a decoded pack must show.
struct Expected {
    int type;
    uint32_t frameLen, extLen, packLen, checkSum;
    std::optional<uint64_t> pts;
    std::optional<pw::DateTime> time;
    std::optional<uint16_t> width, height;
    std::optional<uint8_t> frameRate;  // bits 0..6 of the frame-info byte
    std::optional<uint8_t> flag;       // bit 0 of flags2
    uint8_t refType;
    std::optional<uint8_t> refIndex;
};

Expected FromNewPack(const pw::NewPack& p, const Bytes& pack, const Bytes& payload) {
    Expected e{};
    e.type = p.kind;
    e.frameLen = static_cast<uint32_t>(payload.size());
    e.packLen = static_cast<uint32_t>(pack.size());
    e.extLen = e.packLen - 12 - e.frameLen;
    e.checkSum = pw::PayloadChecksum(payload.data(), payload.size());
    e.pts = p.pts;
    e.time = p.time;
    if (p.video) {
        e.width = p.video->width;
        e.height = p.video->height;
        e.frameRate = p.video->frameRate & 0x7F;
    } else {
        e.frameRate = kSentinel & 0x7F;  // u8FrameRate persists
    }
    if (p.flag) e.flag = *p.flag ? 1 : 0;
    e.refType = 1;
    if (p.ref && (p.ref->refType == 2 || p.ref->refType == 5)) {
        e.refType = p.ref->refType;
        e.refIndex = p.ref->refIndex;
    }
    return e;
}

class RoundTrip : public ::testing::Test {
protected:
    HeaderHarness h;

    // Frame-info and parser record as a previous frame may have left them.
    void Scramble() {
        std::memset(&h.info, kSentinel, sizeof(h.info));
        h.parser.u8FrameRate = kSentinel;
        h.parser.FrameLen = h.parser.PackLen = h.parser.ExtLen = h.parser.CheckSum = 0xDEAD;
    }

    void Check(const Expected& e, const std::string& where) {
        SCOPED_TRACE(where);
        const MSSP_FrameNode_t& fi = h.info;
        const tag_pbParserData& pd = h.parser;
        EXPECT_EQ(fi.frameType, e.type);
        EXPECT_EQ(pd.FrameLen, e.frameLen);
        EXPECT_EQ(pd.ExtLen, e.extLen);
        EXPECT_EQ(pd.PackLen, e.packLen);
        EXPECT_EQ(pd.CheckSum, e.checkSum);
        const uint64_t pts = fi.pts;
        EXPECT_EQ(pts, e.pts.value_or(0xA5A5A5A5A5A5A5A5ull));
        const pw::DateTime keep = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
        EXPECT_EQ(0, std::memcmp(fi.time, e.time.value_or(keep).data(), 6));
        EXPECT_EQ(fi.width, e.width.value_or(0xA5A5));
        EXPECT_EQ(fi.height, e.height.value_or(0xA5A5));
        EXPECT_EQ(fi.frameRate, (kSentinel & 0x80) | e.frameRate.value_or(0));
        EXPECT_EQ(fi.flags2 & 1, e.flag.value_or(kSentinel & 1));
        EXPECT_EQ(fi.flags2 & 0xFE, kSentinel & 0xFE);
        EXPECT_EQ(fi.refType, e.refType);
        EXPECT_EQ(fi.refIndex, e.refIndex.value_or(kSentinel));
        EXPECT_EQ(fi.flags, kSentinel);
        EXPECT_EQ(fi.offset1, 0xA5A5A5A5u);
    }

    // Decodes `pack` behind `prefix` noise bytes at every split position.
    void EverySplit(Fmt fmt, const Bytes& pack, const Expected& e, size_t prefix = 3) {
        Bytes bytes(prefix, 'x');
        bytes.insert(bytes.end(), pack.begin(), pack.end());
        for (size_t split = 0; split <= bytes.size(); ++split) {
            Scramble();
            const int rc = h.Decode(fmt, bytes, split);
            ASSERT_EQ(rc, 0) << "split " << split;
            EXPECT_EQ(h.parser.Offset + h.parser.OffsetEx, prefix) << "split " << split;
            Check(e, "split " + std::to_string(split));
            if (HasFailure()) return;
        }
    }
};

}  // namespace

TEST_F(RoundTrip, NewPacks_EveryKindAtEverySplit) {
    struct Case {
        pw::NewPack pack;
        size_t payload;
    };
    const Case cases[] = {
        {{pw::kIFrame, 3, pw::VideoInfo{1920, 1080, 25}, 0x0000018F00112233ull, pw::DateTime{24, 2, 29, 23, 59, 59},
          true, pw::RefInfo{2, 17}, {}, std::nullopt, std::nullopt},
         200},
        {{pw::kPFrame, 31, pw::VideoInfo{4095, 4095, 127}, 1ull, std::nullopt, false, pw::RefInfo{5, 255}, {},
          std::nullopt, std::nullopt},
         383},
        {{pw::kAudio, 0, std::nullopt, 0xFFFFFFFFFFFFFFFFull, std::nullopt, std::nullopt, std::nullopt, {},
          std::nullopt, std::nullopt},
         16},
        {{pw::kPFrame, 7, std::nullopt, std::nullopt, std::nullopt, std::nullopt, pw::RefInfo{3, 9}, {},
          std::nullopt, std::nullopt},
         128},
        {{pw::kIFrame, 1, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, {}, std::nullopt,
          std::nullopt},
         127},
    };
    uint32_t seed = 1;
    for (const Case& c : cases) {
        const Bytes payload = pw::PatternPayload(c.payload, seed++);
        const Bytes pack = pw::MakeNewPack(c.pack, payload);
        SCOPED_TRACE(testing::Message() << "kind " << c.pack.kind << " payload " << c.payload);
        EverySplit(Fmt::kNew, pack, FromNewPack(c.pack, pack, payload));
    }
}

TEST_F(RoundTrip, NewPacks_UnknownRecordsAreSkipped) {
    pw::NewPack p;
    p.kind = pw::kPFrame;
    p.pts = 123456;
    p.flag = true;
    // An unknown record of 20 bytes after the known ones, counted.
    p.extraExtension = Bytes(20, 0x11);
    p.extraExtension[0] = 0x42;
    p.extraExtension[1] = 20;
    p.extraExtension[2] = p.extraExtension[3] = 0;
    p.recordCount = 3;
    const Bytes payload = pw::PatternPayload(40, 9);
    const Bytes pack = pw::MakeNewPack(p, payload);
    EverySplit(Fmt::kNew, pack, FromNewPack(p, pack, payload), 0);
}

TEST_F(RoundTrip, OldVideoPacks_BothLayoutsAtEverySplit) {
    struct Case {
        pw::OldVideoPack pack;
        bool size;
    };
    const Case cases[] = {
        {{pw::kIFrame, 4, 1087, 144, 40000123456ull, {25, 1, 2, 3, 4, 5}, 8191, 8191}, true},
        {{pw::kPFrame, 9, 1087, 160, 999ull, {20, 12, 31, 0, 0, 1}, 352, 288}, true},
        {{pw::kPFrame, 0, 35, 40, 5000000ull, {21, 6, 7, 8, 9, 10}, 0, 0}, false},
        {{pw::kIFrame, 2, 12, 16, 1000ull, {22, 7, 8, 9, 10, 11}, 0, 0}, false},
    };
    uint32_t seed = 20;
    for (const Case& c : cases) {
        const Bytes payload = pw::PatternPayload(100, seed++);
        const Bytes pack = pw::MakeOldVideoPack(c.pack, payload);
        Expected e{};
        e.type = c.pack.kind;
        e.frameLen = 100;
        e.extLen = c.pack.extLen;
        e.packLen = 24 + c.pack.extLen + 100;
        e.checkSum = 0;
        e.pts = c.pack.ptsUs / 1000;
        e.time = c.pack.time;
        e.width = c.size ? c.pack.width : 0;
        e.height = c.size ? c.pack.height : 0;
        e.frameRate = kSentinel & 0x7F;  // u8FrameRate, which old frames never set
        e.flag = 1;
        e.refType = 1;
        SCOPED_TRACE(testing::Message() << "layout " << c.pack.layoutCode);
        EverySplit(Fmt::kOld, pack, e);
    }
}

TEST_F(RoundTrip, OldAudioPacks_AtEverySplit) {
    for (uint8_t digit : {0, 7, 9}) {
        const Bytes payload = pw::PatternPayload(64 + digit, digit);
        const Bytes pack = pw::MakeOldAudioPack(static_cast<uint8_t>(digit + 1), digit, payload);
        Expected e{};
        e.type = 2;
        e.frameLen = static_cast<uint32_t>(payload.size());
        e.extLen = 0;
        e.packLen = 8 + e.frameLen;
        e.frameRate = kSentinel & 0x7F;
        e.flag = 1;
        e.refType = 1;  // pts, time and picture size stay the previous frame's
        SCOPED_TRACE(int(digit));
        EverySplit(Fmt::kOld, pack, e);
    }
}

// A recorded stream walked pack by pack through a ring whose wrap point
// lies at every position: each search starts where the last pack ended.
TEST_F(RoundTrip, Stream_PacksFollowEachOtherAcrossAMovingJoint) {
    Bytes stream;
    std::vector<uint64_t> pts;
    for (uint32_t i = 0; i < 6; ++i) {
        pw::NewPack p;
        p.kind = i % 3 == 0 ? pw::kIFrame : (i % 3 == 1 ? pw::kPFrame : pw::kAudio);
        p.pts = 1000 + 40 * i;
        if (p.kind == pw::kIFrame) p.video = pw::VideoInfo{704, 576, 25};
        const Bytes payload = pw::PatternPayload(16 + 37 * i, i);
        pw::AppendNewPack(stream, p, payload.data(), payload.size());
        pts.push_back(*p.pts);
    }
    for (size_t joint = 0; joint <= stream.size(); ++joint) {
        size_t cur = 0;
        for (uint64_t want : pts) {
            const int rc = cur < joint ? h.Decode(Fmt::kNew, stream.data() + cur, joint - cur, stream.data() + joint,
                                                  stream.size() - joint)
                                       : h.Decode(Fmt::kNew, stream.data() + cur, stream.size() - cur, nullptr, 0);
            ASSERT_EQ(rc, 0) << "joint " << joint << " at " << cur;
            ASSERT_EQ(h.parser.Offset + h.parser.OffsetEx, 0u);
            ASSERT_EQ(h.info.pts, want);
            cur += h.parser.PackLen;
        }
        ASSERT_EQ(cur, stream.size());
    }
}

TEST(PayloadChecksum, HeaderByteMatchesAtEverySplitOfThePayload) {
    for (size_t len : {16u, 127u, 128u, 129u, 200u, 255u, 256u, 383u, 1000u, 4099u}) {
        Bytes payload = pw::PatternPayload(len, static_cast<uint32_t>(len));
        const Bytes pack = pw::MakeNewPack(pw::NewPack{}, payload);
        const int expected = pw::PayloadChecksum(payload.data(), payload.size());
        ASSERT_EQ(pack[7], expected);
        for (size_t split = 0; split <= len; ++split) {
            FrameData_t fd{};
            fd.PackNum = 1;
            fd.Pack[0].pData = payload.data();
            fd.Pack[0].Len = static_cast<uint32_t>(split);
            fd.Pack[0].pDataEx = payload.data() + split;
            fd.Pack[0].LenEx = static_cast<uint32_t>(len - split);
            ASSERT_EQ(CalculateCheckSum(&fd, static_cast<int>(len)), expected) << len << " split " << split;
        }
    }
}
