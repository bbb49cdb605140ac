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
#include "PackWriter.h"

namespace {

namespace pw = packwriter;
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
void PutLe(Bytes& b, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Fill(size_t n, uint8_t v = 0xEE) { return Bytes(n, v); }
Bytes Part(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }
Bytes NewHead(char type, uint32_t frameLen, uint32_t extLen, uint8_t count, uint8_t checksum = 0x5A) {
    Bytes h = {5, static_cast<uint8_t>(type), 'd', 'c'};
    PutLe(h, frameLen, 3);
    h.push_back(checksum);
    PutLe(h, extLen, 3);
    h.push_back(count);
    return h;
}
// A record whose length field says `lenField`, followed by `body` as given.
Bytes Rec(uint8_t kind, uint32_t lenField, const Bytes& body) {
    Bytes r = {kind};
    PutLe(r, lenField, 3);
    return Cat({r, body});
}
Bytes PtsRec(uint64_t pts) {
    Bytes body;
    PutLe(body, pts, 8);
    return Rec(3, 12, body);
}
Bytes OldVideoHead(char type, uint32_t frameLen, uint16_t extLen, uint16_t layout, uint64_t ptsUs) {
    Bytes h = {'5', static_cast<uint8_t>(type), 'd', 'c', 0, 0, 0, 0};
    PutLe(h, frameLen, 4);
    PutLe(h, extLen, 2);
    PutLe(h, layout, 2);
    PutLe(h, ptsUs, 8);
    return h;
}
Bytes OldAudioHead(char digit, uint16_t frameLen) {
    Bytes h = {'5', static_cast<uint8_t>(digit), 'w', 'b'};
    PutLe(h, frameLen, 2);
    return Cat({h, Fill(2, 0)});
}

template <class Fn>
std::string Printed(Fn fn) {
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
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
        {Fmt::kNew, Part(incomplete, 0, 16), 9, -1, 5, 0, 0, ""},
        {Fmt::kNew, Part(incomplete, 0, 16), 3, -1, 3, 2, 0, ""},
        {Fmt::kNew, Part(incomplete, 0, 28), 20, -1, 5, 0, 0, ""},
        {Fmt::kNew, Part(incomplete, 0, 29), 20, 0, 5, 0, 0, ""},
        {Fmt::kOld, Part(oldVideo, 0, 23), kWhole, -1, 0, 0, 1, ""},
        {Fmt::kOld, Part(oldVideo, 0, 31), kWhole, -1, 0, 0, 1, ""},
        {Fmt::kOld, oldVideo, 12, 0, 0, 0, 1, ""},
        {Fmt::kOld, Part(OldAudioHead('1', 16), 0, 7), kWhole, -1, 0, 0, 2, ""},
        {Fmt::kOld, OldAudioHead('0', 16), 3, 0, 0, 0, 2, ""},
        // Lengths: extension area up to 4096, payload at least 16, a record
        // count only with an area, no pack length that wraps 32 bits.
        {Fmt::kNew, Cat({NewHead('2', 16, 4096, 2), area}), 100, 0, 0, 0, 0, ""},
        {Fmt::kNew, Cat({NewHead('2', 16, 4097, 2), area, Fill(1)}), 100, -2, 0, 0, 0, kTooBig + "4097\n"},
        {Fmt::kOld, Cat({OldVideoHead('0', 16, 4096, 9, 0), Fill(4096)}), 30, 0, 0, 0, 0, ""},
        {Fmt::kOld, Cat({OldVideoHead('0', 16, 4097, 9, 0), Fill(4097)}), kWhole, -2, 0, 0, 0, kTooBig + "4097\n"},
        {Fmt::kNew, NewHead('3', 16, 0, 0), kWhole, 0, 0, 0, 1, ""},
        {Fmt::kNew, NewHead('3', 15, 0, 0), kWhole, -2, 0, 0, 1, kTooBig + "0\n"},
        {Fmt::kOld, OldVideoHead('1', 16, 0, 9, 0), kWhole, 0, 0, 0, 1, ""},
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
        const std::string out = Printed([&] { EXPECT_EQ(h.Decode(r.fmt, r.bytes, r.split), r.rc); });
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

TEST_F(Header, ExtensionOf4096AssembledAtAnySplit) {
    const Bytes ok = Cat({NewHead('2', 16, 4096, 2), Rec(9, 4084, Fill(4080)), PtsRec(0x1122334455667788ull)});
    for (size_t split : {size_t{0}, size_t{6}, size_t{13}, size_t{2000}, ok.size() - 1, ok.size()}) {
        fi.pts = 0;
        ASSERT_EQ(h.Decode(Fmt::kNew, ok, split), 0) << split;
        EXPECT_EQ(fi.pts, 0x1122334455667788ull) << split;
        EXPECT_EQ(pd.PackLen, 12u + 4096 + 16);
    }
}

TEST_F(Header, EveryRecordKindDecoded) {
    pd.u8FrameRate = 0;
    fi.frameRate = 0x80;  // completion mark, left alone
    fi.flags2 = 0x02;     // audio-segment bit, left alone
    const Bytes area = Cat({Rec(1, 8, {0x80, 0x87, 0x43, 25}),  // 1920 x 1080
                            Rec(2, 12, Cat({kTime1, Fill(2)})), PtsRec(0x0000012345678901ull),
                            Rec(5, 8, {0x20, 0, 0, 0}), Rec(8, 12, {(1 << 2) | 0, 1 << 2, 0, 0, 7 << 2, 0, 0, 0}),
                            Rec(0x44, 6, {1, 2})});
    ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 300, static_cast<uint32_t>(area.size()), 6, 0xC3), area})), 0);
    EXPECT_EQ(fi.width, 1920);
    EXPECT_EQ(fi.height, 1080);
    EXPECT_EQ(fi.frameRate, 0x80 | 25);
    EXPECT_EQ(0, std::memcmp(fi.time, kTime1.data(), 6));
    EXPECT_EQ(fi.pts, 0x0000012345678901ull);
    EXPECT_EQ(fi.flags2, 0x03);
    EXPECT_EQ(fi.refType, 2);
    EXPECT_EQ(fi.refIndex, 7);
    EXPECT_EQ(pd.CheckSum, 0xC3u);
    EXPECT_EQ(pd.PackLen, 12u + area.size() + 300);
    // Reference codes: P = bits 2..9, Q = bits 10..17 of W; R = bits 2..9 of V.
    struct Ref {
        uint32_t w;
        uint8_t refType, refIndex;
    };
    for (const Ref r : {Ref{(1u << 2) | (1u << 10), 2, 255}, Ref{(2u << 2) | (7u << 10), 5, 255},
                        Ref{(1u << 2) | (2u << 10), 1, 3}, Ref{1u << 10, 1, 3}, Ref{3u << 2, 1, 3},
                        Ref{0x3u | (1u << 2) | (1u << 10), 2, 255}}) {
        fi.refIndex = 3;
        Bytes body;
        PutLe(body, r.w, 4);
        PutLe(body, 0x3FF, 4);  // bits 0..1 and 10.. of V are not part of R
        ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('3', 16, 12, 1), Rec(8, 12, body)})), 0);
        EXPECT_EQ(fi.refType, r.refType) << r.w;
        EXPECT_EQ(fi.refIndex, r.refIndex) << r.w;
    }
}

TEST_F(Header, FieldsNotCarriedKeepThePreviousFrame) {
    const Bytes full = Cat({Rec(1, 8, {100, 0x21, 3, 30}), Rec(2, 12, Cat({kTime1, Fill(2)})), PtsRec(5000),
                            Rec(5, 8, {0x20, 0, 0, 0}), Rec(8, 12, {2 << 2, 0, 0, 0, 9 << 2, 0, 0, 0})});
    ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, static_cast<uint32_t>(full.size()), 5), full})), 0);
    fi.flags = 0xA5;
    // A P-frame with no records; then short kind-2, -5 and -8 records, a
    // count beyond the area (a pts record behind it is payload) and a
    // zero-length record repeated until the count is used.
    for (const Bytes& recs : {Bytes{}, Rec(2, 9, Part(kTime2, 0, 5)), Rec(5, 4, {}), Rec(8, 9, {4, 4, 0, 0, 8})}) {
        ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('3', 16, static_cast<uint32_t>(recs.size()), recs.empty() ? 0 : 1),
                                           recs, Fill(16)})), 0);
        EXPECT_EQ(fi.frameType, 1);
        EXPECT_EQ(fi.pts, 5000u);
        EXPECT_EQ(0, std::memcmp(fi.time, kTime1.data(), 6));
        EXPECT_EQ(fi.width, 100 | (1 << 8));
        EXPECT_EQ(fi.height, 2 | (3 << 4));
        EXPECT_EQ(fi.flags2 & 1, 1);
        EXPECT_EQ(fi.refType, 1);  // no usable kind-8 record: plain reference
        EXPECT_EQ(fi.refIndex, 9);
        EXPECT_EQ(fi.frameRate & 0x7F, 30);
        EXPECT_EQ(fi.flags, 0xA5);
    }
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 8, 3), Rec(5, 8, {0, 0, 0, 0}), PtsRec(999), Fill(4)}), 20), 0);
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 16, 2), Rec(9, 0, {}), PtsRec(999)})), 0);
    EXPECT_EQ(fi.pts, 5000u);
    EXPECT_EQ(fi.flags2, 0);  // the kind-5 record with the bit clear
    // The shortest kind-2, -5 and -8 records that hold their fields are used.
    const Bytes shortest = Cat({Rec(2, 10, kTime2), Rec(5, 5, {0x20}), Rec(8, 10, {4, 4, 0, 0, 8, 0})});
    ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 25, 3), shortest})), 0);
    EXPECT_EQ(0, std::memcmp(fi.time, kTime2.data(), 6));
    EXPECT_EQ(fi.flags2, 1);
    EXPECT_EQ(fi.refType, 2);
    EXPECT_EQ(fi.refIndex, 2);
}

TEST_F(Header, OldLayoutsPlaceDateAndSize) {
    struct Row {
        uint16_t layout, extLen;
        uint32_t dateAt;  // UINT32_MAX: no date taken
        bool size;
    };
    const Row rows[] = {{1087, 144, 88, true},         {1087, 200, 88, true}, {1087, 143, 88, false},
                        {1087, 96, 88, false},         {1087, 95, UINT32_MAX, false}, {35, 40, 32, false},
                        {35, 39, UINT32_MAX, false},   {7, 8, 0, false},      {7, 7, UINT32_MAX, false},
                        {0, 0, UINT32_MAX, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.layout << "/" << r.extLen);
        Bytes ext(r.extLen, 0xCC);
        if (r.dateAt != UINT32_MAX) std::copy(kTime1.begin(), kTime1.end(), ext.begin() + r.dateAt);
        if (r.extLen >= 144) {  // 1920 x 1080, bits 26..31 set and ignored
            const uint32_t size = 1920u | (1080u << 13) | (0x3Fu << 26);
            for (int i = 0; i < 4; ++i) ext[140 + i] = static_cast<uint8_t>(size >> (8 * i));
        }
        std::memcpy(fi.time, kTime2.data(), 6);
        fi.width = fi.height = 77;
        pd.u8FrameRate = 0;
        fi.frameRate = 0x80 | 12;
        fi.flags2 = 0x02;
        const Bytes bytes = Cat({OldVideoHead('1', 500, r.extLen, r.layout, 123456789ull), ext});
        ASSERT_EQ(h.Decode(Fmt::kOld, bytes, 30), 0);
        EXPECT_EQ(fi.frameType, 1);
        EXPECT_EQ(fi.pts, 123456u);
        EXPECT_EQ(fi.width, r.size ? 1920 : 0);
        EXPECT_EQ(fi.height, r.size ? 1080 : 0);
        EXPECT_EQ(0, std::memcmp(fi.time, (r.dateAt != UINT32_MAX ? kTime1 : kTime2).data(), 6));
        EXPECT_EQ(fi.refType, 1);
        EXPECT_EQ(fi.flags2, 0x03);
        EXPECT_EQ(fi.frameRate, 0x80);  // old frames carry u8FrameRate (0)
        EXPECT_EQ(pd.CheckSum, 0u);
        EXPECT_EQ(pd.PackLen, 24u + r.extLen + 500);
    }
    // An audio header sets only the reference type and the flag.
    fi.pts = 4242;
    fi.flags2 = 0;
    pd.CheckSum = 0x77;
    ASSERT_EQ(h.Decode(Fmt::kOld, Cat({OldAudioHead('4', 320), Fill(320)}), 5), 0);
    EXPECT_EQ(fi.frameType, 2);
    EXPECT_EQ(fi.pts, 4242u);
    EXPECT_EQ(0, std::memcmp(fi.time, kTime2.data(), 6));
    EXPECT_EQ(fi.width, 0);
    EXPECT_EQ(fi.flags2, 1);
    EXPECT_EQ(pd.PackLen, 328u);
    EXPECT_EQ(pd.ExtLen, 0u);
    EXPECT_EQ(pd.CheckSum, 0u);
}

// Packs of the pack writer read back at every split, and a recorded stream
// walked pack by pack through a ring whose joint lies at every position.
TEST(RoundTrip, WriterPacksReadBackAtEverySplit) {
    struct Row {
        Fmt fmt;
        Bytes pack;
        uint32_t frameLen;
        uint64_t pts;
        pw::DateTime time;
        uint16_t width, height;
        uint8_t refType, refIndex, checkSum;
    };
    const Bytes p200 = pw::PatternPayload(200, 1), p383 = pw::PatternPayload(383, 2), p100 = pw::PatternPayload(100, 3);
    const pw::DateTime t1{24, 2, 29, 23, 59, 59}, t2{25, 1, 2, 3, 4, 5};
    const auto sum = [](const Bytes& b) { return pw::PayloadChecksum(b.data(), b.size()); };
    const Row rows[] = {
        {Fmt::kNew, pw::MakeNewPack({pw::kIFrame, 3, pw::VideoInfo{1920, 1080, 25}, 0x18F00112233ull, t1, true,
                                     pw::RefInfo{2, 17}, {}, std::nullopt, std::nullopt}, p200),
         200, 0x18F00112233ull, t1, 1920, 1080, 2, 17, sum(p200)},
        {Fmt::kNew, pw::MakeNewPack({pw::kPFrame, 31, pw::VideoInfo{4095, 4095, 127}, 1ull, t2, false,
                                     pw::RefInfo{5, 255}, {}, std::nullopt, std::nullopt}, p383),
         383, 1, t2, 4095, 4095, 5, 255, sum(p383)},
        {Fmt::kOld, pw::MakeOldVideoPack({pw::kIFrame, 4, 1087, 144, 40000123456ull, t2, 8191, 8191}, p100), 100,
         40000123, t2, 8191, 8191, 1, 0xA5, 0},
        {Fmt::kOld, pw::MakeOldVideoPack({pw::kPFrame, 0, 35, 40, 5000000ull, t1, 0, 0}, p100), 100, 5000, t1, 0, 0,
         1, 0xA5, 0},
    };
    for (const Row& r : rows) {
        const Bytes bytes = Cat({Fill(3, 'x'), r.pack});
        for (size_t split = 0; split <= bytes.size(); ++split) {
            Harness h;
            std::memset(&h.info, 0xA5, sizeof(h.info));
            ASSERT_EQ(h.Decode(r.fmt, bytes, split), 0) << split;
            const MSSP_FrameNode_t& fi = h.info;
            ASSERT_EQ(h.parser.Offset + h.parser.OffsetEx, 3u) << split;
            ASSERT_EQ(h.parser.PackLen, r.pack.size());
            ASSERT_EQ(h.parser.FrameLen, r.frameLen);
            ASSERT_EQ(h.parser.CheckSum, r.checkSum);
            ASSERT_EQ(fi.pts, r.pts);
            ASSERT_EQ(0, std::memcmp(fi.time, r.time.data(), 6));
            ASSERT_EQ(fi.width, r.width);
            ASSERT_EQ(fi.height, r.height);
            ASSERT_EQ(fi.refType, r.refType);
            ASSERT_EQ(fi.refIndex, r.refIndex);
        }
    }
    Bytes stream;
    std::vector<uint64_t> pts;
    for (uint32_t i = 0; i < 6; ++i) {
        pw::NewPack p;
        p.kind = static_cast<pw::FrameKind>(i % 3);
        p.pts = 1000 + 40 * i;
        if (p.kind == pw::kIFrame) p.video = pw::VideoInfo{704, 576, 25};
        const Bytes payload = pw::PatternPayload(16 + 37 * i, i);
        pw::AppendNewPack(stream, p, payload.data(), payload.size());
        pts.push_back(*p.pts);
    }
    Harness h;
    for (size_t joint = 0; joint <= stream.size(); ++joint) {
        size_t cur = 0;
        for (uint64_t want : pts) {
            const size_t j = joint > cur ? joint : stream.size();
            ASSERT_EQ(h.Decode(Fmt::kNew, stream.data() + cur, j - cur, stream.data() + j, stream.size() - j), 0)
                << "joint " << joint << " at " << cur;
            ASSERT_EQ(h.parser.Offset + h.parser.OffsetEx, 0u);
            ASSERT_EQ(h.info.pts, want);
            cur += h.parser.PackLen;
        }
        ASSERT_EQ(cur, stream.size());
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

TEST(Checksum, SamplesFromTheEndAndShortDataReported) {
    const Bytes d = pw::PatternPayload(1000, 77);
    EXPECT_EQ(SumOne(Bytes{'a', 'b', 'c'}, 3), 38);
    EXPECT_EQ(SumOne(d, 0), 0);
    EXPECT_EQ(SumOne(Part(d, 0, 127), 127), SumOf(d, 0, 126, 1));
    EXPECT_EQ(SumOne(Part(d, 0, 200), 200), SumOf(d, 72, 199, 1));   // the last 128 bytes
    EXPECT_EQ(SumOne(Part(d, 0, 383), 383), SumOf(d, 128, 382, 2));  // step 2
    EXPECT_EQ(SumOne(Part(d, 0, 256), 256), SumOf(d, 1, 255, 2));    // odd positions
    EXPECT_EQ(SumOne(Part(d, 0, 300), 10), SumOf(d, 290, 299, 1));   // the last `len` bytes of longer data
    std::string out = Printed([&] { EXPECT_EQ(SumOne(Part(d, 0, 10), 11), -1); });
    EXPECT_EQ(out, "\n\nCalculateCheckSum err0:PackIndex:-1 i:10 count:11\n\n");
    // Pieces of 0..300 bytes per part, some empty; a PackNum beyond the
    // array of 20 pieces is clamped rather than read past.
    for (int last : {0, 5}) {
        FrameData_t fd{};
        size_t at = 0;
        uint32_t n = 0;
        const uint32_t sizes[] = {3, 0, 0, 7, 120, 1, 0, 300, 2, 2, 64, 0, 200, 101, 0, 0};
        for (size_t i = 0; i + 1 < std::size(sizes); i += 2, ++n) {
            fd.Pack[n] = {const_cast<uint8_t*>(d.data() + at), const_cast<uint8_t*>(d.data() + at + sizes[i]),
                          sizes[i], sizes[i + 1]};
            at += sizes[i] + sizes[i + 1];
        }
        fd.Pack[n++] = {const_cast<uint8_t*>(d.data() + at), const_cast<uint8_t*>(d.data() + d.size() - last),
                        static_cast<uint32_t>(d.size() - at - last), static_cast<uint32_t>(last)};
        fd.PackNum = last == 0 ? n : 1000;
        EXPECT_EQ(CalculateCheckSum(&fd, 1000), SumOne(d, 1000)) << last;
        EXPECT_EQ(CalculateCheckSum(&fd, 500), SumOne(d, 500)) << last;
    }
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
