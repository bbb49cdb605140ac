// The recorded frame formats: chunk ids, the header search over one or two
// pieces, header and extension decoding in both formats, length and bound
// checks, the payload checksum, the pack writer's packs read back, and the
// fast paths against the general ones on random bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "FrameFormat.h"
#include "MsspInternal.h"
#include "NodeBuilder.h"
#include "PackWriter.h"

namespace {

namespace pw = packwriter;
using msspt::Printed;
using Bytes = pw::Bytes;
enum class Fmt { kNew, kOld };
constexpr size_t kWhole = SIZE_MAX;  // a split: everything in piece 1

// A stream's parser record and frame-info record as StartParse sets them up.
// Each piece is handed over as a heap copy of exact size, so that a
// sanitizer build catches a read past the end of either.
struct Harness {
    MSSP_FrameNode_t info{};
    tag_pbParserData parser{};
    std::unique_ptr<uint8_t[]> temp{new uint8_t[mssp::kMaxExtLen]};
    Harness() {
        parser.pFrameInfo = &info;
        parser.pTempBuf = temp.get();
    }
    Harness(const Harness&) = delete;

    int Decode(Fmt fmt, const uint8_t* a, size_t la, const uint8_t* b, size_t lb, bool general = false) {
        std::unique_ptr<uint8_t[]> pa(la ? new uint8_t[la] : nullptr), pb(lb ? new uint8_t[lb] : nullptr);
        if (la) std::memcpy(pa.get(), a, la);
        if (lb) std::memcpy(pb.get(), b, lb);
        const bool old = fmt == Fmt::kOld;
        const auto na = static_cast<unsigned>(la), nb = static_cast<unsigned>(lb);
        if (general) return mssp::ParseHeaderGeneral(old, pa.get(), na, pb.get(), nb, &parser);
        return old ? GetFrameHeaderOldVersion(pa.get(), na, pb.get(), nb, &parser)
                   : GetFrameHeader(pa.get(), na, pb.get(), nb, &parser);
    }
    int Decode(Fmt fmt, const Bytes& b, size_t split = kWhole, bool general = false) {
        split = std::min(split, b.size());
        return Decode(fmt, b.data(), split, b.data() + split, b.size() - split, general);
    }
};

// Raw builders, able to write headers the pack writer refuses to.
Bytes Le(uint64_t v, int width) {
    Bytes b;
    for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Fill(size_t n, uint8_t v = 0xEE) { return Bytes(n, v); }
Bytes Part(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }
Bytes NewHead(char type, uint32_t frameLen, uint32_t extLen, uint8_t count, uint8_t sum = 0x5A) {
    return Cat({{5, static_cast<uint8_t>(type), 'd', 'c'}, Le(frameLen, 3), {sum}, Le(extLen, 3), {count}});
}
// A record whose length field says `len`, followed by `body` as given.
Bytes Rec(uint8_t kind, uint32_t len, const Bytes& body) { return Cat({{kind}, Le(len, 3), body}); }
Bytes PtsRec(uint64_t pts) { return Rec(3, 12, Le(pts, 8)); }
Bytes OldVideoHead(char type, uint32_t frameLen, uint16_t extLen, uint16_t layout, uint64_t ptsUs) {
    return Cat({{'5', static_cast<uint8_t>(type), 'd', 'c', 0, 0, 0, 0}, Le(frameLen, 4), Le(extLen, 2), Le(layout, 2),
                Le(ptsUs, 8)});
}
Bytes OldAudioHead(char digit, uint16_t frameLen) {
    return Cat({{'5', static_cast<uint8_t>(digit), 'w', 'b'}, Le(frameLen, 2), {0, 0}});
}

const Bytes kTime1 = {24, 3, 15, 10, 20, 30};
const Bytes kTime2 = {25, 12, 31, 23, 59, 58};
const std::string kTooBig = "data extern len is too big, len=";

class Header : public ::testing::Test {
protected:
    Harness h;
    MSSP_FrameNode_t& fi = h.info;
    tag_pbParserData& pd = h.parser;
};

}  // namespace

TEST(ChunkId, TypeCharactersAndTags) {
    struct Row {
        char type, tag1, tag2;
        int newType, oldType;  // GetFrameType(type), GetFrameTypeOldVersion(type, tag1, tag2)
    };
    const Row rows[] = {{'2', 'd', 'c', 0, 3}, {'3', 'd', 'c', 1, 3}, {'4', 'w', 'b', 2, 2}, {'0', 'd', 'c', 3, 0},
                        {'1', 'd', 'c', 3, 1}, {'7', 'd', 'c', 3, 3}, {'0', 'w', 'b', 3, 2}, {'9', 'w', 'b', 3, 2},
                        {'a', 'w', 'b', 3, 3}, {'/', 'w', 'b', 3, 3}, {'0', 'd', 'b', 3, 3}, {'0', 'w', 'c', 3, 3},
                        {'5', 'd', 'c', 3, 3}, {'\xB2', 'd', 'c', 3, 3}};
    for (const Row& r : rows) {
        EXPECT_EQ(GetFrameType(r.type), r.newType) << r.type;
        EXPECT_EQ(GetFrameTypeOldVersion(r.type, r.tag1, r.tag2), r.oldType) << r.type << r.tag1 << r.tag2;
    }
}

// Header bytes and splits -> result, where the search stopped (Offset, and
// OffsetEx in piece 2), frame type, and what was printed.
TEST_F(Header, BytesAndSplitsGiveResultAndPlace) {
    struct Row {
        Fmt fmt;
        Bytes bytes;
        size_t split;
        int rc;
        uint32_t offset, offsetEx;
        int type;
        std::string out;
    };
    const Bytes joint = Cat({Fill(6, 'x'), NewHead('2', 16, 0, 0), Fill(16)});
    const Bytes incomplete = Cat({Fill(5, 'x'), NewHead('2', 16, 12, 1), PtsRec(777), Fill(16)});
    const Bytes oldVideo = Cat({OldVideoHead('1', 16, 8, 9, 0), Fill(8, 1)});
    const Bytes area = Cat({Rec(9, 4084, Fill(4080)), PtsRec(1)});
    const auto n = [](char type, uint32_t ext, uint8_t count, const Bytes& recs) {
        return Cat({NewHead(type, 16, ext, count), recs});
    };
    const Row rows[] = {
        // Search: nothing found stops three bytes before the end, so that a
        // chunk id cut by the end of the data is found next time.
        {Fmt::kNew, {}, 0, -1, 0, 0, 3, ""},
        {Fmt::kNew, Fill(20, 'x'), kWhole, -1, 17, 0, 3, ""},
        {Fmt::kOld, Fill(20, 'x'), 8, -1, 8, 9, 3, ""},
        {Fmt::kNew, Fill(2, 'x'), 1, -1, 0, 0, 3, ""},
        // A chunk id across the joint waits for three bytes of piece 2.
        {Fmt::kNew, Part(joint, 0, 10), 8, -1, 5, 0, 3, ""},
        {Fmt::kNew, Part(joint, 5, 11), 3, -1, 1, 0, 0, ""},
        {Fmt::kNew, Part(joint, 5, joint.size()), 3, 0, 1, 0, 0, ""},
        // One letter off a chunk id is no chunk id, nor is the other format's.
        {Fmt::kNew, Cat({Bytes{0, '2', 'd', 'x'}, Fill(20, 'x')}), kWhole, -1, 21, 0, 3, ""},
        {Fmt::kNew, Cat({Bytes{0, '2', 'x', 'c'}, Fill(20, 'x')}), kWhole, -1, 21, 0, 3, ""},
        {Fmt::kOld, Cat({Bytes{'5', '0', 'd', 'x'}, Fill(20, 'x')}), kWhole, -1, 21, 0, 3, ""},
        {Fmt::kOld, Cat({Bytes{'5', '0', 'x', 'c'}, Fill(20, 'x')}), kWhole, -1, 21, 0, 3, ""},
        {Fmt::kNew, Cat({Bytes{0, '5', 'd', 'c', 0, '4', 'w', 'b'}, Fill(30, 'x')}), kWhole, -1, 35, 0, 3, ""},
        {Fmt::kOld, Cat({Bytes{'5', '7', 'd', 'c'}, OldAudioHead('7', 20), Fill(20)}), kWhole, 0, 4, 0, 2, ""},
        // Header, then extension incomplete: -1, silently; the payload is not needed.
        {Fmt::kNew, Part(incomplete, 0, 16), kWhole, -1, 5, 0, 0, ""},
        {Fmt::kNew, Part(incomplete, 0, 16), 3, -1, 3, 2, 0, ""},
        {Fmt::kNew, Part(incomplete, 0, 28), 20, -1, 5, 0, 0, ""},
        {Fmt::kNew, Part(incomplete, 0, 29), 20, 0, 5, 0, 0, ""},
        {Fmt::kOld, Part(oldVideo, 0, 31), kWhole, -1, 0, 0, 1, ""},
        {Fmt::kOld, oldVideo, 12, 0, 0, 0, 1, ""},
        {Fmt::kOld, Part(OldAudioHead('1', 16), 0, 7), kWhole, -1, 0, 0, 2, ""},
        {Fmt::kOld, OldAudioHead('0', 16), 3, 0, 0, 0, 2, ""},
        // Lengths: extension area up to 4096, payload at least 16, a record
        // count only with an area, no pack length that wraps 32 bits.
        {Fmt::kNew, Cat({NewHead('2', 16, 4096, 2), area}), 100, 0, 0, 0, 0, ""},
        {Fmt::kNew, Cat({NewHead('2', 16, 4097, 2), area, Fill(1)}), 100, -2, 0, 0, 0, kTooBig + "4097\n"},
        {Fmt::kOld, Cat({OldVideoHead('0', 16, 4097, 9, 0), Fill(4097)}), kWhole, -2, 0, 0, 0, kTooBig + "4097\n"},
        {Fmt::kNew, NewHead('3', 16, 0, 0), kWhole, 0, 0, 0, 1, ""},
        {Fmt::kNew, NewHead('3', 15, 0, 0), kWhole, -2, 0, 0, 1, kTooBig + "0\n"},
        {Fmt::kOld, OldVideoHead('1', 15, 0, 9, 0), kWhole, -2, 0, 0, 1, kTooBig + "0\n"},
        {Fmt::kOld, OldAudioHead('0', 15), kWhole, -2, 0, 0, 2, kTooBig + "0\n"},
        {Fmt::kNew, NewHead('2', 16, 0, 1), kWhole, -2, 0, 0, 0, kTooBig + "0\n"},
        {Fmt::kOld, Cat({OldVideoHead('0', 0xFFFFFF80u, 200, 9, 0), Fill(200)}), kWhole, -2, 0, 0, 0, kTooBig + "200\n"},
        {Fmt::kOld, Cat({OldVideoHead('0', UINT32_MAX - 224, 200, 9, 0), Fill(200)}), kWhole, 0, 0, 0, 0, ""},
        // Records: kinds 1 and 3 of a wrong length are invalid, silently.
        {Fmt::kNew, n('2', 24, 2, Cat({PtsRec(42), Rec(1, 12, Fill(8))})), kWhole, -2, 0, 0, 0, ""},
        {Fmt::kNew, n('2', 16, 1, Rec(3, 16, Fill(12))), kWhole, -2, 0, 0, 0, ""},
        {Fmt::kNew, n('2', 8, 1, Rec(3, 8, Fill(4))), kWhole, -2, 0, 0, 0, ""},
        {Fmt::kNew, n('2', 4, 255, Rec(3, 0, {})), kWhole, -2, 0, 0, 0, ""},
        // A record running past the area is invalid, even where the bytes
        // behind the area would make it harmless; a count larger than the
        // records ends at the area; a zero-length record repeats.
        {Fmt::kNew, n('2', 10, 1, Part(PtsRec(1), 0, 10)), kWhole, -2, 0, 0, 0, ""},
        {Fmt::kNew, n('2', 8, 1, Rec(9, 9, Fill(4))), kWhole, -2, 0, 0, 0, ""},
        {Fmt::kNew, n('2', 10, 2, Cat({Rec(5, 8, Fill(4)), Fill(2)})), kWhole, -2, 0, 0, 0, ""},
        {Fmt::kNew, n('2', 10, 2, Cat({Rec(5, 8, Fill(4)), Bytes{9, 0}, Fill(16, 0)})), kWhole, -2, 0, 0, 0, ""},
        {Fmt::kNew, n('2', 10, 1, Cat({Rec(5, 8, Fill(4)), Fill(2)})), kWhole, 0, 0, 0, 0, ""},
        {Fmt::kNew, n('2', 4, 255, Rec(5, 0, {})), kWhole, 0, 0, 0, 0, ""},
    };
    for (size_t k = 0; k < std::size(rows); ++k) {
        const Row& r = rows[k];
        SCOPED_TRACE(k);
        pd.Offset = pd.OffsetEx = 99;
        int rc = 0;
        const std::string out = Printed([&] { rc = h.Decode(r.fmt, r.bytes, r.split); });
        EXPECT_EQ(rc, r.rc);
        EXPECT_EQ(pd.Offset, r.offset);
        EXPECT_EQ(pd.OffsetEx, r.offsetEx);
        EXPECT_EQ(fi.frameType, r.type);
        EXPECT_EQ(out, r.out);
    }
}

// Every position of a header relative to the joint: the chunk id wholly in
// piece 1, straddling the joint in its three positions, or in piece 2.
TEST_F(Header, EveryPositionAcrossTheJoint) {
    struct Row {
        Fmt fmt;
        Bytes pack;
        int type;
    };
    const Row rows[] = {
        {Fmt::kNew, Cat({NewHead('3', 16, 8, 1), Rec(5, 8, {0x20, 0, 0, 0}), Fill(16)}), 1},
        {Fmt::kOld, Cat({OldVideoHead('0', 16, 8, 9, 5000), kTime1, Fill(2), Fill(16)}), 0},
        {Fmt::kOld, Cat({OldAudioHead('3', 16), Fill(16)}), 2},
    };
    for (const Row& r : rows) {
        for (size_t prefix : {0, 1, 2, 7}) {
            const Bytes bytes = Cat({Fill(prefix, 'x'), r.pack});
            for (size_t split = 0; split <= bytes.size(); ++split) {
                SCOPED_TRACE(testing::Message() << "type " << r.type << " prefix " << prefix << " split " << split);
                ASSERT_EQ(h.Decode(r.fmt, bytes, split), 0);
                EXPECT_EQ(fi.frameType, r.type);
                EXPECT_EQ(pd.Offset, split > prefix ? prefix : split);
                EXPECT_EQ(pd.OffsetEx, split > prefix ? 0 : prefix - split);
                EXPECT_EQ(pd.PackLen, r.pack.size());
                EXPECT_EQ(pd.FrameLen, 16u);
            }
        }
    }
}

TEST_F(Header, RecordsDecodedAndFieldsNotCarriedKept) {
    pd.u8FrameRate = 0;
    fi.frameRate = 0x80;  // completion mark, left alone
    fi.flags2 = 0x02;     // audio-segment bit, left alone
    const Bytes area = Cat({Rec(1, 8, {0xFF, 0xFF, 0x43, 25}),  // 4095 x 1087
                            Rec(2, 12, Cat({kTime1, Fill(2)})), PtsRec(0x0000012345678901ull),
                            Rec(5, 8, {0x20, 0, 0, 0}), Rec(8, 12, {(1 << 2) | 0, 1 << 2, 0, 0, 7 << 2, 0, 0, 0}),
                            Rec(0x44, 6, {1, 2})});
    // A payload longer than 16 bits of length (24 bits are).
    ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 0x10000 + 300, static_cast<uint32_t>(area.size()), 6, 0xC3), area})), 0);
    const auto check = [&](uint8_t refType) {
        EXPECT_EQ(fi.width, 4095);
        EXPECT_EQ(fi.height, 1087);
        EXPECT_EQ(fi.frameRate, 0x80 | 25);
        EXPECT_EQ(0, std::memcmp(fi.time, kTime1.data(), 6));
        EXPECT_EQ(fi.pts, 0x0000012345678901ull);
        EXPECT_EQ(fi.flags2, 0x03);
        EXPECT_EQ(fi.refType, refType);
        EXPECT_EQ(fi.refIndex, 7);
    };
    check(2);
    EXPECT_EQ(pd.CheckSum, 0xC3u);
    EXPECT_EQ(pd.PackLen, 12u + area.size() + 0x10000 + 300);
    // A frame without records, or with kind-2, -5 and -8 records too short
    // for their fields, or with a count beyond the area (a pts record behind
    // it is payload) keeps the previous frame's fields.
    for (const Bytes& b : {NewHead('3', 16, 0, 0), Cat({NewHead('3', 16, 9, 1), Rec(2, 9, Part(kTime2, 0, 5))}),
                           Cat({NewHead('3', 16, 4, 1), Rec(5, 4, {})}), Cat({NewHead('3', 16, 9, 1), Rec(8, 9, {4, 4, 0, 0, 8})}),
                           Cat({NewHead('3', 16, 8, 3), Rec(5, 8, {0x20, 0, 0, 0}), PtsRec(999)}), Cat({NewHead('3', 16, 16, 2), Rec(9, 0, {}), PtsRec(999)})}) {
        ASSERT_EQ(h.Decode(Fmt::kNew, b), 0);
        EXPECT_EQ(fi.frameType, 1);
        check(1);  // no usable kind-8 record: plain reference
    }
    // Reference codes: P = bits 2..9, Q = bits 10..17 of W; R = bits 2..9 of V (bits 0..1 and 10.. are not).
    for (const uint32_t w : {(1u << 2) | (2u << 10), 1u << 10, (2u << 2) | (7u << 10), 3u | (1u << 2) | (1u << 10)}) {
        ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('3', 16, 12, 1), Rec(8, 12, Cat({Le(w, 4), Le(0x3FF, 4)}))})), 0);
        EXPECT_EQ(fi.refType, w == (1u << 10) || w == ((1u << 2) | (2u << 10)) ? 1 : ((w >> 2) & 0xFF) == 2 ? 5 : 2) << w;
        EXPECT_EQ(fi.refIndex, w == (1u << 10) || w == ((1u << 2) | (2u << 10)) ? 7 : 255) << w;
    }
    // The shortest kind-2, -5 and -8 records that hold their fields are used.
    const Bytes shortest = Cat({Rec(2, 10, kTime2), Rec(5, 5, {0}), Rec(8, 10, {4, 4, 0, 0, 8, 0})});
    ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 25, 3), shortest})), 0);
    EXPECT_EQ(0, std::memcmp(fi.time, kTime2.data(), 6));
    EXPECT_EQ(fi.flags2, 0x02);
    EXPECT_EQ(fi.refType, 2);
    EXPECT_EQ(fi.refIndex, 2);
}

TEST_F(Header, OldLayoutsPlaceDateAndSize) {
    struct Row {
        uint16_t layout, extLen;
        uint32_t dateAt;  // UINT32_MAX: no date taken
    };
    const Row rows[] = {{1087, 144, 88}, {1087, 200, 88}, {1087, 143, 88}, {1087, 96, 88}, {1087, 95, UINT32_MAX},
                        {35, 40, 32},    {35, 39, UINT32_MAX}, {7, 8, 0}, {7, 7, UINT32_MAX}, {0, 0, UINT32_MAX}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.layout << "/" << r.extLen);
        Bytes ext(r.extLen, 0xCC);
        if (r.dateAt != UINT32_MAX) std::copy(kTime1.begin(), kTime1.end(), ext.begin() + r.dateAt);
        const bool size = r.extLen >= 144;
        if (size) std::copy_n(Le(1920u | (1080u << 13) | (0x3Fu << 26), 4).begin(), 4, ext.begin() + 140);  // bits 26.. ignored
        std::memcpy(fi.time, kTime2.data(), 6);
        fi.width = fi.height = 77;
        fi.frameRate = 0x80 | 12;
        fi.flags2 = 0x02;
        ASSERT_EQ(h.Decode(Fmt::kOld, Cat({OldVideoHead('1', 500, r.extLen, r.layout, 123456789ull), ext}), 30), 0);
        EXPECT_EQ(fi.pts, 123456u);
        EXPECT_EQ(fi.width, size ? 1920 : 0);
        EXPECT_EQ(fi.height, size ? 1080 : 0);
        EXPECT_EQ(0, std::memcmp(fi.time, (r.dateAt != UINT32_MAX ? kTime1 : kTime2).data(), 6));
        EXPECT_EQ(fi.refType, 1);
        EXPECT_EQ(fi.flags2, 0x03);
        EXPECT_EQ(fi.frameRate, 0x80);  // old frames carry u8FrameRate (0)
        EXPECT_EQ(pd.CheckSum, 0u);
        EXPECT_EQ(pd.PackLen, 24u + r.extLen + 500);
    }
}

// ---------------------------------------------------------------------------
// Checksum.

namespace {

int SumOne(const Bytes& d, int len) {
    FrameData_t fd{};
    fd.PackNum = 1;
    fd.Pack[0].pData = const_cast<uint8_t*>(d.data());
    fd.Pack[0].Len = static_cast<uint32_t>(d.size());
    return CalculateCheckSum(&fd, len);
}
int SumOf(const Bytes& d, size_t from, size_t to, size_t step) {
    unsigned s = 0;
    for (size_t i = from; i <= to; i += step) s += d[i];
    return static_cast<int>(s & 0xFF);
}

}  // namespace

TEST(Checksum, ShortDataReported_PiecesBeyondTheArrayNotRead) {
    const Bytes d = pw::PatternPayload(1000, 77);
    EXPECT_EQ(SumOne(Part(d, 0, 200), 200), SumOf(d, 72, 199, 1));   // the last 128 bytes
    EXPECT_EQ(SumOne(Part(d, 0, 383), 383), SumOf(d, 128, 382, 2));  // step 2
    EXPECT_EQ(Printed([&] { SumOne(Part(d, 0, 10), 11); }), "\n\nCalculateCheckSum err0:PackIndex:-1 i:10 count:11\n\n");
    EXPECT_EQ(SumOne(Part(d, 0, 10), 11), -1);
    // 20 pieces of 50 bytes in two parts, some empty; a PackNum past the
    // array is clamped rather than read past.
    FrameData_t fd{};
    for (uint32_t n = 0; n < 20; ++n) {
        uint8_t* at = const_cast<uint8_t*>(d.data()) + 50 * n;
        fd.Pack[n] = {at, at + (n % 3) * 25, (n % 3) * 25, 50 - (n % 3) * 25};
    }
    fd.PackNum = 1000;
    EXPECT_EQ(CalculateCheckSum(&fd, 1000), SumOne(d, 1000));
    EXPECT_EQ(CalculateCheckSum(&fd, 500), SumOne(d, 500));
}

TEST(Checksum, RandomPayloadsEqualThePackWriterAndTheWalk) {
    // 200,000 payloads of every length, as one part or split in two or more
    // pieces anywhere, against the pack writer's own checksum.
    std::mt19937 rng(6122026);
    Bytes pool(1 << 16);
    for (uint8_t& v : pool) v = static_cast<uint8_t>(rng());
    for (int n = 0; n < 200000; ++n) {
        const size_t len = rng() % 4 == 0 ? rng() % 300 : rng() % 40000;
        uint8_t* payload = pool.data() + rng() % (pool.size() - len);
        FrameData_t fd{};
        const size_t cut1 = rng() % 2 ? len : rng() % (len + 1);
        const size_t cut2 = rng() % 2 ? len : cut1 + rng() % (len - cut1 + 1);
        fd.Pack[0] = {payload, payload + cut1, static_cast<uint32_t>(cut1), static_cast<uint32_t>(cut2 - cut1)};
        fd.Pack[1] = {payload + cut2, nullptr, static_cast<uint32_t>(len - cut2), 0};
        fd.PackNum = cut2 < len ? 2 : 1;
        const int sum = CalculateCheckSum(&fd, static_cast<int>(len));
        ASSERT_EQ(sum, pw::PayloadChecksum(payload, len)) << n << " len " << len;
        ASSERT_EQ(sum, mssp::CheckSumWalk(&fd, static_cast<int>(len))) << n;
    }
}

// ---------------------------------------------------------------------------
// The in-place header path against the general one.

namespace {

// Packs as the recorder writes them and as it does not: records of every
// kind, in any order and count, lengths right and wrong, garbage before,
// any split. Most headers sit at the start, where the fast path applies.
Bytes RandomPackBytes(std::mt19937& rng, bool old) {
    const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const auto body = [&](size_t n) {
        Bytes v(n);
        for (uint8_t& x : v) x = static_cast<uint8_t>(rng());
        return v;
    };
    Bytes out = body(pick(4) == 0 ? pick(30) : 0);
    const uint32_t frameLen = 10 + pick(60);
    if (old && pick(3) == 0) {
        out = Cat({out, OldAudioHead(static_cast<char>('0' + pick(10)), static_cast<uint16_t>(frameLen))});
    } else if (old) {
        const uint16_t layouts[] = {1087, 35, 7};
        const auto extLen = static_cast<uint16_t>(pick(4) == 0 ? pick(5000) : pick(200));
        out = Cat({out, OldVideoHead(pick(2) ? '0' : '1', frameLen, extLen, layouts[pick(3)], rng()),
                   body(pick(2) ? extLen : pick(extLen + 1))});
    } else {
        const uint32_t records = pick(6);
        const bool usual = pick(2) == 0;  // the recorder's opening: picture, timestamp, date and time
        Bytes ext = usual ? Cat({Rec(1, 8, body(4)), PtsRec(rng()), Rec(2, 12, body(8))}) : Bytes{};
        for (uint32_t k = 0; k < records; ++k) {
            const uint8_t kinds[] = {1, 2, 3, 5, 8, 9, 0};
            const uint8_t kind = kinds[pick(7)];
            const uint32_t len = pick(5) == 0 ? pick(16) : (kind == 1 || kind == 5 ? 8 : 12);
            ext = Cat({ext, Rec(kind, len, body(len > 4 ? len - 4 : 0))});
        }
        const auto count = static_cast<uint8_t>((usual ? 3 : 0) + (pick(4) == 0 ? pick(8) : records));
        out = Cat({out, NewHead("2345"[pick(4)], frameLen, static_cast<uint32_t>(ext.size()), count), ext});
    }
    return Cat({out, body(frameLen)});
}

}  // namespace

TEST(HeaderPaths, InPlaceDecodingEqualsTheGeneralPath) {
    std::mt19937 rng(20261206);
    int inPlace = 0;
    testing::internal::CaptureStdout();  // the length check's message
    for (int n = 0; n < 40000; ++n) {
        const bool old = (n & 1) != 0;
        const Fmt fmt = old ? Fmt::kOld : Fmt::kNew;
        const Bytes b = RandomPackBytes(rng, old);
        const size_t split = rng() % 3 == 0 ? rng() % (b.size() + 1) : b.size();
        Harness fast, general;
        std::memset(&fast.info, 0x5C, sizeof(fast.info));
        std::memset(&general.info, 0x5C, sizeof(general.info));
        const int rc = fast.Decode(fmt, b, split);
        const int rcGeneral = general.Decode(fmt, b, split, true);
        const size_t skip = offsetof(tag_pbParserData, FrameLen);  // the two pointers differ
        const bool same = rc == rcGeneral && std::memcmp(&fast.info, &general.info, sizeof(fast.info)) == 0 &&
                          std::memcmp(reinterpret_cast<const uint8_t*>(&fast.parser) + skip,
                                      reinterpret_cast<const uint8_t*>(&general.parser) + skip,
                                      sizeof(tag_pbParserData) - skip) == 0;
        if (!same) {
            testing::internal::GetCapturedStdout();
            FAIL() << "the two paths differ on bytes number " << n;
        }
        inPlace += mssp::ParseHeaderInPlace(old, b.data(), static_cast<uint32_t>(split), &general.parser) !=
                   mssp::kNotInPlace;
    }
    testing::internal::GetCapturedStdout();
    EXPECT_GT(inPlace, 10000);  // the fast path was taken often, and not always
    EXPECT_LT(inPlace, 40000);
}
