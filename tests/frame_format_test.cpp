// The recorded frame formats: chunk-id tests, the header search over one or
// two pieces, header and extension decoding in both formats, the length
// checks, the bounds kept on malformed extension areas, and the payload
// checksum.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>

#include "FrameFormat.h"
#include "HeaderHarness.h"
#include "MsspInternal.h"
#include "PackWriter.h"

using msspt::Bytes;
using msspt::Fmt;
using msspt::HeaderHarness;

namespace {

// ---------------------------------------------------------------------------
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

Bytes NewHead(char typeChar, uint32_t frameLen, uint32_t extLen, uint8_t count, uint8_t checksum = 0x5A) {
    Bytes h = {5, static_cast<uint8_t>(typeChar), 'd', 'c'};
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
    r.insert(r.end(), body.begin(), body.end());
    return r;
}

Bytes PtsRec(uint64_t pts) {
    Bytes body;
    PutLe(body, pts, 8);
    return Rec(3, 12, body);
}

Bytes OldVideoHead(char typeChar, uint32_t frameLen, uint16_t extLen, uint16_t layout, uint64_t ptsUs) {
    Bytes h = {'5', static_cast<uint8_t>(typeChar), 'd', 'c', 0, 0, 0, 0};
    PutLe(h, frameLen, 4);
    PutLe(h, extLen, 2);
    PutLe(h, layout, 2);
    PutLe(h, ptsUs, 8);
    return h;
}

Bytes OldAudioHead(char digit, uint16_t frameLen) {
    Bytes h = {'5', static_cast<uint8_t>(digit), 'w', 'b'};
    PutLe(h, frameLen, 2);
    h.push_back(0);
    h.push_back(0);
    return h;
}

// Runs `fn` and returns what it printed.
template <class Fn>
std::string Printed(Fn fn) {
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

const uint8_t kTime1[6] = {24, 3, 15, 10, 20, 30};
const uint8_t kTime2[6] = {25, 12, 31, 23, 59, 58};

class FrameHeader : public ::testing::Test {
protected:
    HeaderHarness h;
    MSSP_FrameNode_t& fi = h.info;
    tag_pbParserData& pd = h.parser;
};

}  // namespace

// ---------------------------------------------------------------------------
// Chunk ids.

TEST(FrameType, NewTypeCharacters) {
    EXPECT_EQ(GetFrameType('2'), 0);
    EXPECT_EQ(GetFrameType('3'), 1);
    EXPECT_EQ(GetFrameType('4'), 2);
    for (char c : {'0', '1', '5', 'd', '\0', static_cast<char>(0xB2)}) EXPECT_EQ(GetFrameType(c), 3) << int(c);
}

TEST(FrameType, OldChunkIds) {
    EXPECT_EQ(GetFrameTypeOldVersion('0', 'd', 'c'), 0);
    EXPECT_EQ(GetFrameTypeOldVersion('1', 'd', 'c'), 1);
    // Only 0 and 1 name video frames; any digit names an audio frame.
    EXPECT_EQ(GetFrameTypeOldVersion('7', 'd', 'c'), 3);
    EXPECT_EQ(GetFrameTypeOldVersion('7', 'w', 'b'), 2);
    EXPECT_EQ(GetFrameTypeOldVersion('0', 'w', 'b'), 2);
    EXPECT_EQ(GetFrameTypeOldVersion('9', 'w', 'b'), 2);
    EXPECT_EQ(GetFrameTypeOldVersion('a', 'w', 'b'), 3);
    EXPECT_EQ(GetFrameTypeOldVersion('/', 'w', 'b'), 3);
    EXPECT_EQ(GetFrameTypeOldVersion('0', 'd', 'b'), 3);
    EXPECT_EQ(GetFrameTypeOldVersion('0', 'w', 'c'), 3);
}

// ---------------------------------------------------------------------------
// Header search.

TEST_F(FrameHeader, Search_EmptyInputGivesMinusOneAndTypeOther) {
    fi.frameType = 0;
    EXPECT_EQ(h.Decode(Fmt::kNew, nullptr, 0, nullptr, 0), -1);
    EXPECT_EQ(pd.Offset, 0u);
    EXPECT_EQ(pd.OffsetEx, 0u);
    EXPECT_EQ(fi.frameType, 3);
}

TEST_F(FrameHeader, Search_NoHeaderStopsThreeBytesBeforeTheEnd) {
    pd.Offset = pd.OffsetEx = 99;
    const Bytes noise = Fill(20, 'x');
    // One piece: the last three bytes may begin a chunk id and stay.
    EXPECT_EQ(h.Decode(Fmt::kNew, noise), -1);
    EXPECT_EQ(pd.Offset, 17u);
    EXPECT_EQ(pd.OffsetEx, 0u);
    // Two pieces: the search ran through piece 2 as well.
    EXPECT_EQ(h.Decode(Fmt::kOld, noise, 8), -1);
    EXPECT_EQ(pd.Offset, 8u);
    EXPECT_EQ(pd.OffsetEx, 9u);
    // Short piece 1 and short piece 2: nothing can be tested or dropped.
    EXPECT_EQ(h.Decode(Fmt::kNew, Fill(2, 'x'), 1), -1);
    EXPECT_EQ(pd.Offset, 0u);
    EXPECT_EQ(pd.OffsetEx, 0u);
}

TEST_F(FrameHeader, Search_ChunkIdAcrossJointWaitsForThreeBytesOfPieceTwo) {
    // Piece 1 ends with "<chn>2" of a header, piece 2 holds only "dc": with
    // fewer than three bytes in piece 2 no straddling window is tested, and
    // Offset = LA - 3 keeps the trailing bytes for the next search.
    const Bytes pack = Cat({Fill(6, 'x'), NewHead('2', 16, 0, 0), Fill(16)});
    EXPECT_EQ(h.Decode(Fmt::kNew, pack.data(), 8, pack.data() + 8, 2), -1);
    EXPECT_EQ(pd.Offset, 5u);
    EXPECT_EQ(pd.OffsetEx, 0u);
    // After dropping Offset bytes, with one more byte the window is found.
    EXPECT_EQ(h.Decode(Fmt::kNew, pack.data() + 5, 3, pack.data() + 8, 3), -1);  // header incomplete
    EXPECT_EQ(pd.Offset, 1u);
    EXPECT_EQ(fi.frameType, 0);
    EXPECT_EQ(h.Decode(Fmt::kNew, pack.data() + 5, 3, pack.data() + 8, pack.size() - 8), 0);
    EXPECT_EQ(pd.Offset, 1u);
}

TEST_F(FrameHeader, Search_NotAHeaderInTheOtherFormat) {
    // Type character 5 before "dc", and "wb", are no new-format chunk ids.
    const Bytes newNoise = Cat({Bytes{0, '5', 'd', 'c', 0, '4', 'w', 'b'}, Fill(30, 'x')});
    EXPECT_EQ(h.Decode(Fmt::kNew, newNoise), -1);
    EXPECT_EQ(fi.frameType, 3);
    // Type character 7 before "dc" is no old chunk id, 7 before "wb" is audio.
    const Bytes old = Cat({Bytes{'5', '7', 'd', 'c'}, OldAudioHead('7', 20), Fill(20)});
    EXPECT_EQ(h.Decode(Fmt::kOld, old), 0);
    EXPECT_EQ(pd.Offset, 4u);
    EXPECT_EQ(fi.frameType, 2);
}

// Every position of the header relative to the joint, both formats: the
// chunk id wholly in piece 1, straddling the joint in its three positions,
// or wholly in piece 2. Offset is the header's start in piece 1, else LA
// with OffsetEx its start in piece 2.
TEST_F(FrameHeader, Search_EveryPositionOfTheChunkIdAcrossTheJoint) {
    struct Case {
        Fmt fmt;
        Bytes pack;
        int type;
    };
    const Case cases[] = {
        {Fmt::kNew, Cat({NewHead('3', 16, 8, 1), Rec(5, 8, {0x20, 0, 0, 0}), Fill(16)}), 1},
        {Fmt::kOld, Cat({OldVideoHead('0', 16, 8, 9, 5000), Bytes(kTime1, kTime1 + 6), Fill(2), Fill(16)}), 0},
        {Fmt::kOld, Cat({OldAudioHead('3', 16), Fill(16)}), 2},
    };
    for (const Case& c : cases) {
        for (size_t prefix : {size_t{0}, size_t{1}, size_t{2}, size_t{7}}) {
            const Bytes bytes = Cat({Fill(prefix, 'x'), c.pack});
            for (size_t split = 0; split <= bytes.size(); ++split) {
                SCOPED_TRACE(testing::Message() << "type " << c.type << " prefix " << prefix << " split " << split);
                ASSERT_EQ(h.Decode(c.fmt, bytes, split), 0);
                EXPECT_EQ(fi.frameType, c.type);
                if (split > prefix) {  // wholly in piece 1, or straddling
                    EXPECT_EQ(pd.Offset, prefix);
                    EXPECT_EQ(pd.OffsetEx, 0u);
                } else {
                    EXPECT_EQ(pd.Offset, split);
                    EXPECT_EQ(pd.OffsetEx, prefix - split);
                }
                EXPECT_EQ(pd.PackLen, c.pack.size());
                EXPECT_EQ(pd.FrameLen, 16u);
            }
        }
    }
}

TEST_F(FrameHeader, Search_ThreeStraddlingWindowsInOrder) {
    // The window starts at LA - 3, LA - 2 and LA - 1; at LA - 1 the type
    // character is piece 2's first byte.
    const Bytes bytes = Cat({Fill(10, 'x'), NewHead('4', 16, 0, 0), Fill(16)});
    for (size_t back : {3u, 2u, 1u}) {
        SCOPED_TRACE(back);
        ASSERT_EQ(h.Decode(Fmt::kNew, bytes, 10 + back), 0);
        EXPECT_EQ(pd.Offset, 10u);
        EXPECT_EQ(fi.frameType, 2);
    }
}

// ---------------------------------------------------------------------------
// Completeness.

TEST_F(FrameHeader, Incomplete_HeaderThenExtensionThenWhole) {
    const Bytes bytes = Cat({Fill(5, 'x'), NewHead('2', 16, 12, 1), PtsRec(777), Fill(16)});
    const std::string out = Printed([&] {
        // Header one byte short, in one piece and split.
        EXPECT_EQ(h.Decode(Fmt::kNew, Bytes(bytes.begin(), bytes.begin() + 16)), -1);
        EXPECT_EQ(pd.Offset, 5u);
        EXPECT_EQ(h.Decode(Fmt::kNew, Bytes(bytes.begin(), bytes.begin() + 16), 9), -1);
        EXPECT_EQ(pd.Offset, 5u);
        EXPECT_EQ(h.Decode(Fmt::kNew, Bytes(bytes.begin(), bytes.begin() + 16), 3), -1);
        EXPECT_EQ(pd.Offset, 3u);
        EXPECT_EQ(pd.OffsetEx, 2u);
        // Header complete, extension one byte short.
        EXPECT_EQ(h.Decode(Fmt::kNew, Bytes(bytes.begin(), bytes.begin() + 28)), -1);
        EXPECT_EQ(pd.Offset, 5u);
        EXPECT_EQ(h.Decode(Fmt::kNew, Bytes(bytes.begin(), bytes.begin() + 28), 20), -1);
    });
    EXPECT_EQ(out, "");  // -1 is silent
    // The extension complete; the payload is not needed.
    EXPECT_EQ(h.Decode(Fmt::kNew, Bytes(bytes.begin(), bytes.begin() + 29), 20), 0);
    EXPECT_EQ(pd.Offset, 5u);
    EXPECT_EQ(fi.pts, 777u);
}

TEST_F(FrameHeader, Incomplete_OldVideoAndAudioHeaders) {
    const Bytes video = Cat({OldVideoHead('1', 16, 8, 9, 0), Bytes(8, 1)});
    EXPECT_EQ(h.Decode(Fmt::kOld, Bytes(video.begin(), video.begin() + 23)), -1);
    EXPECT_EQ(h.Decode(Fmt::kOld, Bytes(video.begin(), video.begin() + 31)), -1);
    EXPECT_EQ(h.Decode(Fmt::kOld, video, 12), 0);
    const Bytes audio = OldAudioHead('1', 16);
    EXPECT_EQ(h.Decode(Fmt::kOld, Bytes(audio.begin(), audio.begin() + 7)), -1);
    EXPECT_EQ(h.Decode(Fmt::kOld, audio, 3), 0);  // no extension to wait for
}

// ---------------------------------------------------------------------------
// Length checks.

TEST_F(FrameHeader, Lengths_ExtLenLimitIs4096) {
    // A 4096-byte area (a skipped record, then the pts record at its very
    // end), split so that it is assembled in pTempBuf.
    const Bytes area = Cat({Rec(9, 4084, Fill(4080)), PtsRec(0x1122334455667788ull)});
    const Bytes ok = Cat({NewHead('2', 16, 4096, 2), area});
    for (size_t split : {size_t{0}, size_t{6}, size_t{12}, size_t{13}, size_t{2000}, size_t{4100}, ok.size() - 1, ok.size()}) {
        SCOPED_TRACE(split);
        fi.pts = 0;
        ASSERT_EQ(h.Decode(Fmt::kNew, ok, split), 0);
        EXPECT_EQ(fi.pts, 0x1122334455667788ull);
        EXPECT_EQ(pd.ExtLen, 4096u);
        EXPECT_EQ(pd.PackLen, 12u + 4096 + 16);
    }
    const Bytes tooLong = Cat({NewHead('2', 16, 4097, 2), area, Fill(1)});
    std::string out = Printed([&] { EXPECT_EQ(h.Decode(Fmt::kNew, tooLong, 100), -2); });
    EXPECT_EQ(out, "data extern len is too big, len=4097\n");
    // The record already holds the decoded lengths.
    EXPECT_EQ(pd.ExtLen, 4097u);
    EXPECT_EQ(pd.FrameLen, 16u);
    EXPECT_EQ(pd.PackLen, 12u + 4097 + 16);
    EXPECT_EQ(pd.CheckSum, 0x5Au);

    EXPECT_EQ(h.Decode(Fmt::kOld, Cat({OldVideoHead('0', 16, 4096, 9, 0), Fill(4096)}), 30), 0);
    out = Printed([&] { EXPECT_EQ(h.Decode(Fmt::kOld, Cat({OldVideoHead('0', 16, 4097, 9, 0), Fill(4097)})), -2); });
    EXPECT_EQ(out, "data extern len is too big, len=4097\n");
}

TEST_F(FrameHeader, Lengths_FrameLenAtLeast16) {
    EXPECT_EQ(h.Decode(Fmt::kNew, NewHead('3', 16, 0, 0)), 0);
    std::string out = Printed([&] { EXPECT_EQ(h.Decode(Fmt::kNew, NewHead('3', 15, 0, 0)), -2); });
    EXPECT_EQ(out, "data extern len is too big, len=0\n");
    EXPECT_EQ(pd.FrameLen, 15u);
    EXPECT_EQ(h.Decode(Fmt::kOld, OldVideoHead('1', 16, 0, 9, 0)), 0);
    EXPECT_EQ(h.Decode(Fmt::kOld, OldAudioHead('0', 16)), 0);
    out = Printed([&] {
        EXPECT_EQ(h.Decode(Fmt::kOld, OldVideoHead('1', 15, 0, 9, 0)), -2);
        EXPECT_EQ(h.Decode(Fmt::kOld, OldAudioHead('0', 15)), -2);
    });
    EXPECT_EQ(out, "data extern len is too big, len=0\ndata extern len is too big, len=0\n");
}

TEST_F(FrameHeader, Lengths_RecordCountNeedsAnArea) {
    fi.refType = 9;
    EXPECT_EQ(h.Decode(Fmt::kNew, NewHead('2', 16, 0, 0)), 0);
    EXPECT_EQ(fi.refType, 1);
    const std::string out = Printed([&] { EXPECT_EQ(h.Decode(Fmt::kNew, NewHead('2', 16, 0, 1)), -2); });
    EXPECT_EQ(out, "data extern len is too big, len=0\n");
}

TEST_F(FrameHeader, Lengths_OldPackLenThatWouldWrapIsInvalid) {
    // 24 + 200 + 0xFFFFFF80 wraps a u32 to 72: a broken pack would look
    // complete after 72 bytes.
    const Bytes bytes = Cat({OldVideoHead('0', 0xFFFFFF80u, 200, 9, 0), Fill(200)});
    const std::string out = Printed([&] { EXPECT_EQ(h.Decode(Fmt::kOld, bytes), -2); });
    EXPECT_EQ(out, "data extern len is too big, len=200\n");
    EXPECT_EQ(pd.PackLen, UINT32_MAX);
    EXPECT_EQ(pd.FrameLen, 0xFFFFFF80u);
    // The largest payload that still fits is accepted.
    EXPECT_EQ(h.Decode(Fmt::kOld, Cat({OldVideoHead('0', UINT32_MAX - 224, 200, 9, 0), Fill(200)})), 0);
    EXPECT_EQ(pd.PackLen, UINT32_MAX);
}

// ---------------------------------------------------------------------------
// New-format records.

TEST_F(FrameHeader, Records_EveryKindDecoded) {
    pd.u8FrameRate = 0;
    fi.frameRate = 0x80;  // completion mark, left alone
    fi.flags2 = 0x02;     // audio-segment bit, left alone
    const Bytes area = Cat({Rec(1, 8, {0x80, 0x87, 0x43, 25}),  // 1920 x 1080 (0x780 x 0x438)
                            Rec(2, 12, Cat({Bytes(kTime1, kTime1 + 6), Fill(2)})),
                            PtsRec(0x0000012345678901ull),
                            Rec(5, 8, {0x20, 0, 0, 0}),
                            Rec(8, 12, {(1 << 2) | 0, 1 << 2, 0, 0, 7 << 2, 0, 0, 0}),
                            Rec(0x44, 6, {1, 2})});
    ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 300, static_cast<uint32_t>(area.size()), 6, 0xC3), area})), 0);
    EXPECT_EQ(fi.width, 1920);
    EXPECT_EQ(fi.height, 1080);
    EXPECT_EQ(pd.u8FrameRate, 25);
    EXPECT_EQ(fi.frameRate, 0x80 | 25);
    EXPECT_EQ(0, std::memcmp(fi.time, kTime1, 6));
    EXPECT_EQ(fi.pts, 0x0000012345678901ull);
    EXPECT_EQ(fi.flags2, 0x03);
    EXPECT_EQ(fi.refType, 2);
    EXPECT_EQ(fi.refIndex, 7);
    EXPECT_EQ(pd.CheckSum, 0xC3u);
    EXPECT_EQ(pd.FrameLen, 300u);
    EXPECT_EQ(pd.PackLen, 12u + area.size() + 300);
}

TEST_F(FrameHeader, Records_ReferenceCodes) {
    struct Case {
        uint32_t w;
        uint8_t refType;
        uint8_t refIndex;
    };
    // P = bits 2..9, Q = bits 10..17 of W; R = bits 2..9 of V = 0x3FC (255).
    const Case cases[] = {{(1u << 2) | (1u << 10), 2, 255}, {(2u << 2) | (7u << 10), 5, 255},
                          {(1u << 2) | (2u << 10), 1, 3}, {3u << 2, 1, 3}, {0x3u | (1u << 2) | (1u << 10), 2, 255}};
    for (const Case& c : cases) {
        fi.refIndex = 3;
        Bytes body;
        PutLe(body, c.w, 4);
        PutLe(body, 0x3FF, 2);  // bits 0..1 and 10.. of V are not part of R
        body.push_back(0);
        body.push_back(0);
        ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('3', 16, 12, 1), Rec(8, 12, body)})), 0);
        EXPECT_EQ(fi.refType, c.refType) << c.w;
        EXPECT_EQ(fi.refIndex, c.refIndex) << c.w;
    }
}

TEST_F(FrameHeader, Records_FieldsNotCarriedKeepThePreviousFrame) {
    const Bytes full = Cat({Rec(1, 8, {100, 0x21, 3, 30}), Rec(2, 12, Cat({Bytes(kTime1, kTime1 + 6), Fill(2)})),
                            PtsRec(5000), Rec(5, 8, {0x20, 0, 0, 0}), Rec(8, 12, {2 << 2, 0, 0, 0, 9 << 2, 0, 0, 0})});
    ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, static_cast<uint32_t>(full.size()), 5), full})), 0);
    ASSERT_EQ(fi.refType, 5);
    fi.flags = 0xA5;
    fi.offset1 = 1234;
    fi.length2 = 99;
    // A P-frame with no records at all.
    ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('3', 16, 0, 0), Fill(16)})), 0);
    EXPECT_EQ(fi.frameType, 1);
    EXPECT_EQ(fi.pts, 5000u);
    EXPECT_EQ(0, std::memcmp(fi.time, kTime1, 6));
    EXPECT_EQ(fi.width, 100 | (1 << 8));
    EXPECT_EQ(fi.height, 2 | (3 << 4));
    EXPECT_EQ(fi.flags2 & 1, 1);
    EXPECT_EQ(fi.refType, 1);  // no kind-8 record: plain reference
    EXPECT_EQ(fi.refIndex, 9);
    EXPECT_EQ(fi.frameRate & 0x7F, 30);  // u8FrameRate persists
    EXPECT_EQ(fi.flags, 0xA5);
    EXPECT_EQ(fi.offset1, 1234u);
    EXPECT_EQ(fi.length2, 99u);
    // A kind-5 record with the bit clear clears flags2 bit 0 only.
    fi.flags2 = 0x03;
    ASSERT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('3', 16, 8, 1), Rec(5, 8, {0xDF, 0, 0, 0})})), 0);
    EXPECT_EQ(fi.flags2, 0x02);
}

TEST_F(FrameHeader, Records_WrongKind1Or3LengthIsInvalidSilently) {
    const std::string out = Printed([&] {
        // The pts of the first record stays set.
        EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 24, 2), PtsRec(42), Rec(1, 12, Fill(8))})), -2);
        EXPECT_EQ(fi.pts, 42u);
        EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 16, 1), Rec(3, 16, Fill(12))})), -2);
        EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 8, 1), Rec(3, 8, Fill(4))})), -2);
    });
    EXPECT_EQ(out, "");
}

// ---------------------------------------------------------------------------
// Malformed extension areas: nothing is read outside the bytes given or the
// area. The pieces end where the area ends, so a sanitizer build catches a
// read past them; the expectations say how each case is treated.

TEST_F(FrameHeader, Bounds_RecordRunningPastTheAreaIsInvalid) {
    // A pts record cut by the end of the area (10 of its 12 bytes).
    Bytes cut = PtsRec(1);
    cut.resize(10);
    fi.pts = 7;
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 10, 1), cut})), -2);
    EXPECT_EQ(fi.pts, 7u);
    // A record of unknown kind claiming more than the area.
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 8, 1), Rec(9, 9, Fill(4))})), -2);
    // Two bytes after the last record, and the count asks for another one:
    // not even its head fits.
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 10, 2), Rec(5, 8, Fill(4)), Fill(2)})), -2);
    // Also when the payload behind the area would make that head a
    // harmless zero-length record.
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 10, 2), Rec(5, 8, Fill(4)), Bytes{9, 0}, Fill(16, 0)})), -2);
    // The same bytes with the count used up are fine.
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 10, 1), Rec(5, 8, Fill(4)), Fill(2)})), 0);
}

TEST_F(FrameHeader, Bounds_ShortKind2_5_8RecordsLeaveTheirFields) {
    std::memcpy(fi.time, kTime2, 6);
    fi.flags2 = 0;
    fi.refIndex = 4;
    // Each record ends at the end of the area and is too short for its field.
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 9, 1), Rec(2, 9, Bytes(kTime1, kTime1 + 5))})), 0);
    EXPECT_EQ(0, std::memcmp(fi.time, kTime2, 6));
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 4, 1), Rec(5, 4, {})})), 0);
    EXPECT_EQ(fi.flags2, 0);
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 9, 1), Rec(8, 9, {1 << 2, 1 << 2, 0, 0, 8})})), 0);
    EXPECT_EQ(fi.refType, 1);
    EXPECT_EQ(fi.refIndex, 4);
    // The shortest records that hold their fields are used.
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 10, 1), Rec(2, 10, Bytes(kTime1, kTime1 + 6))})), 0);
    EXPECT_EQ(0, std::memcmp(fi.time, kTime1, 6));
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 5, 1), Rec(5, 5, {0x20})})), 0);
    EXPECT_EQ(fi.flags2, 1);
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 10, 1), Rec(8, 10, {1 << 2, 1 << 2, 0, 0, 8, 0})})), 0);
    EXPECT_EQ(fi.refType, 2);
    EXPECT_EQ(fi.refIndex, 2);
}

TEST_F(FrameHeader, Bounds_CountLargerThanRecordsEndsAtTheArea) {
    // The payload after the area looks like a pts record; it is not one.
    fi.pts = 11;
    const Bytes bytes = Cat({NewHead('2', 16, 8, 3), Rec(5, 8, {0x20, 0, 0, 0}), PtsRec(999), Fill(4)});
    EXPECT_EQ(h.Decode(Fmt::kNew, bytes), 0);
    EXPECT_EQ(fi.pts, 11u);
    EXPECT_EQ(fi.flags2 & 1, 1);
    // Split right at the area's end: piece 2 is not read either.
    EXPECT_EQ(h.Decode(Fmt::kNew, bytes, 20), 0);
    EXPECT_EQ(fi.pts, 11u);
}

TEST_F(FrameHeader, Bounds_ZeroLengthRecordRepeatsUntilTheCountIsUsed) {
    // The zero-length record does not advance, so the pts record behind it
    // is never reached; the walk ends with the count.
    fi.pts = 11;
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 16, 2), Rec(9, 0, {}), PtsRec(999)})), 0);
    EXPECT_EQ(fi.pts, 11u);
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 4, 255), Rec(5, 0, {})})), 0);
    // A zero-length kind-3 record has the wrong length.
    EXPECT_EQ(h.Decode(Fmt::kNew, Cat({NewHead('2', 16, 4, 255), Rec(3, 0, {})})), -2);
}

// ---------------------------------------------------------------------------
// Old format.

TEST_F(FrameHeader, Old_LayoutsPlaceDateAndSize) {
    struct Case {
        uint16_t layout;
        uint16_t extLen;
        uint32_t dateAt;  // UINT32_MAX: no date taken
        bool size;
    };
    const Case cases[] = {
        {1087, 144, 88, true},  {1087, 200, 88, true},  {1087, 143, 88, false}, {1087, 96, 88, false},
        {1087, 95, UINT32_MAX, false}, {35, 40, 32, false}, {35, 39, UINT32_MAX, false},
        {7, 8, 0, false}, {7, 7, UINT32_MAX, false}, {0, 0, UINT32_MAX, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.layout << "/" << c.extLen);
        Bytes ext(c.extLen, 0xCC);
        if (c.dateAt != UINT32_MAX) std::copy(kTime1, kTime1 + 6, ext.begin() + c.dateAt);
        if (c.extLen >= 144) {  // 1920 x 1080, bits 26..31 set and ignored
            const uint32_t size = 1920u | (1080u << 13) | (0x3Fu << 26);
            for (int i = 0; i < 4; ++i) ext[140 + i] = static_cast<uint8_t>(size >> (8 * i));
        }
        std::memcpy(fi.time, kTime2, 6);
        fi.width = fi.height = 77;
        pd.u8FrameRate = 0;
        fi.frameRate = 0x80 | 12;
        fi.flags2 = 0x02;
        // The pieces end where the extension ends, split inside it.
        const Bytes bytes = Cat({OldVideoHead('1', 500, c.extLen, c.layout, 123456789ull), ext});
        ASSERT_EQ(h.Decode(Fmt::kOld, bytes, std::min<size_t>(30, bytes.size())), 0);
        EXPECT_EQ(fi.frameType, 1);
        EXPECT_EQ(fi.pts, 123456u);
        EXPECT_EQ(fi.width, c.size ? 1920 : 0);
        EXPECT_EQ(fi.height, c.size ? 1080 : 0);
        EXPECT_EQ(0, std::memcmp(fi.time, c.dateAt != UINT32_MAX ? kTime1 : kTime2, 6));
        EXPECT_EQ(fi.refType, 1);
        EXPECT_EQ(fi.flags2, 0x03);
        EXPECT_EQ(fi.frameRate, 0x80);  // old frames carry u8FrameRate (0)
        EXPECT_EQ(pd.CheckSum, 0u);
        EXPECT_EQ(pd.ExtLen, c.extLen);
        EXPECT_EQ(pd.PackLen, 24u + c.extLen + 500);
    }
}

TEST_F(FrameHeader, Old_AudioKeepsPtsAndTime) {
    fi.pts = 4242;
    std::memcpy(fi.time, kTime2, 6);
    fi.width = 640;
    fi.refType = 5;
    fi.flags2 = 0;
    pd.CheckSum = 0x77;
    pd.ExtLen = 100;
    ASSERT_EQ(h.Decode(Fmt::kOld, Cat({OldAudioHead('4', 320), Fill(320)}), 5), 0);
    EXPECT_EQ(fi.frameType, 2);
    EXPECT_EQ(fi.pts, 4242u);
    EXPECT_EQ(0, std::memcmp(fi.time, kTime2, 6));
    EXPECT_EQ(fi.width, 640);
    EXPECT_EQ(fi.refType, 1);
    EXPECT_EQ(fi.flags2, 1);
    EXPECT_EQ(pd.FrameLen, 320u);
    EXPECT_EQ(pd.PackLen, 328u);
    EXPECT_EQ(pd.ExtLen, 0u);
    EXPECT_EQ(pd.CheckSum, 0u);
}

// ---------------------------------------------------------------------------
// Checksum.

namespace {

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 37 + (i >> 3) + 11);
    return b;
}

int SumOne(Bytes& d, int len) {
    FrameData_t fd{};
    fd.PackNum = 1;
    fd.Pack[0].pData = d.data();
    fd.Pack[0].Len = static_cast<uint32_t>(d.size());
    return CalculateCheckSum(&fd, len);
}

int SumOf(const Bytes& d, size_t from, size_t to, size_t step) {
    unsigned s = 0;
    for (size_t i = from; i <= to; i += step) s += d[i];
    return static_cast<int>(s & 0xFF);
}

}  // namespace

TEST(Checksum, WorkedNumbers) {
    Bytes abc = {'a', 'b', 'c'};
    EXPECT_EQ(SumOne(abc, 3), 38);
    EXPECT_EQ(SumOne(abc, 0), 0);
    Bytes d127 = Pattern(127), d128 = Pattern(128), d200 = Pattern(200), d383 = Pattern(383), d256 = Pattern(256);
    EXPECT_EQ(SumOne(d127, 127), SumOf(d127, 0, 126, 1));
    EXPECT_EQ(SumOne(d128, 128), SumOf(d128, 0, 127, 1));
    EXPECT_EQ(SumOne(d200, 200), SumOf(d200, 72, 199, 1));  // step 1: the last 128 bytes
    EXPECT_EQ(SumOne(d383, 383), SumOf(d383, 128, 382, 2));  // step 2
    EXPECT_EQ(SumOne(d256, 256), SumOf(d256, 1, 255, 2));    // odd positions
    EXPECT_NE(SumOf(d200, 72, 199, 1), SumOf(d200, 0, 199, 1));
    EXPECT_NE(SumOf(d256, 1, 255, 2), SumOf(d256, 0, 254, 2));
}

TEST(Checksum, LastLenBytesOfLongerData) {
    Bytes d = Pattern(300);
    EXPECT_EQ(SumOne(d, 200), SumOf(d, 172, 299, 1));
    EXPECT_EQ(SumOne(d, 10), SumOf(d, 290, 299, 1));
}

TEST(Checksum, ManyPiecesWithEmptyParts) {
    Bytes d = Pattern(1000);
    const int whole = SumOne(d, 1000);
    // Pieces of 0..6 bytes per part, some empty, the last piece's second
    // part empty as well as not.
    for (int last : {0, 5}) {
        FrameData_t fd{};
        size_t at = 0;
        uint32_t n = 0;
        const uint32_t sizes[] = {3, 0, 0, 7, 120, 1, 0, 300, 2, 2, 64, 0, 200, 101, 0, 0};
        for (size_t i = 0; i + 1 < std::size(sizes); i += 2, ++n) {
            FramePiece_t& p = fd.Pack[n];
            p.pData = d.data() + at;
            p.Len = sizes[i];
            at += sizes[i];
            p.pDataEx = d.data() + at;
            p.LenEx = sizes[i + 1];
            at += sizes[i + 1];
        }
        FramePiece_t& p = fd.Pack[n++];
        p.pData = d.data() + at;
        p.Len = static_cast<uint32_t>(d.size() - at - last);
        p.pDataEx = d.data() + d.size() - last;
        p.LenEx = last;
        fd.PackNum = n;
        EXPECT_EQ(CalculateCheckSum(&fd, 1000), whole) << last;
        EXPECT_EQ(CalculateCheckSum(&fd, 500), SumOne(d, 500)) << last;
    }
}

TEST(Checksum, DataShorterThanLenIsReported) {
    Bytes d = Pattern(10);
    const std::string out = Printed([&] { EXPECT_EQ(SumOne(d, 11), -1); });
    EXPECT_EQ(out, "\n\nCalculateCheckSum err0:PackIndex:-1 i:10 count:11\n\n");
    Bytes e = Pattern(300);
    const std::string out2 = Printed([&] { EXPECT_EQ(SumOne(e, 301 * 2), -1); });
    EXPECT_EQ(out2, "\n\nCalculateCheckSum err0:PackIndex:-1 i:75 count:128\n\n");
}

TEST(Checksum, PieceCountBeyondTheArrayIsClamped) {
    // 20 pieces of 10 bytes; a PackNum past the array does not read beyond it.
    Bytes d = Pattern(200);
    FrameData_t fd{};
    for (int i = 0; i < 20; ++i) {
        fd.Pack[i].pData = d.data() + 10 * i;
        fd.Pack[i].Len = 10;
    }
    fd.PackNum = 1000;
    EXPECT_EQ(CalculateCheckSum(&fd, 200), SumOne(d, 200));
}

// ---------------------------------------------------------------------------
// The fast paths against the general ones, on random bytes.

namespace {

// Packs as the recorder writes them and as it does not: records of every
// kind, in any order and count, lengths right and wrong, garbage before,
// any split. Most headers sit at the start, where the fast path applies.
Bytes RandomPackBytes(std::mt19937& rng, bool old) {
    const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    Bytes out = Fill(pick(4) == 0 ? pick(30) : 0, static_cast<uint8_t>(rng()));
    const uint32_t frameLen = 10 + pick(60);
    if (old) {
        if (pick(3) == 0) {
            out = Cat({out, OldAudioHead(static_cast<char>('0' + pick(10)), static_cast<uint16_t>(frameLen))});
        } else {
            const uint16_t layouts[] = {1087, 35, 7};
            const uint16_t extLen = static_cast<uint16_t>(pick(4) == 0 ? pick(5000) : pick(200));
            out = Cat({out, OldVideoHead(pick(2) ? '0' : '1', frameLen, extLen, layouts[pick(3)], rng()),
                       Fill(pick(2) ? extLen : pick(extLen + 1), static_cast<uint8_t>(rng()))});
        }
    } else {
        Bytes ext;
        const uint32_t records = pick(6);
        const bool usual = pick(2) == 0;  // the recorder's opening: picture, timestamp, date and time
        const auto body = [&](size_t n) {
            Bytes v(n);
            for (uint8_t& x : v) x = static_cast<uint8_t>(rng());
            return v;
        };
        if (usual) ext = Cat({Rec(1, 8, body(4)), PtsRec(rng()), Rec(2, 12, body(8))});
        for (uint32_t k = 0; k < records; ++k) {
            const uint8_t kinds[] = {1, 2, 3, 5, 8, 9, 0};
            const uint8_t kind = kinds[pick(7)];
            const uint32_t len = pick(5) == 0 ? pick(16) : (kind == 1 || kind == 5 ? 8 : 12);
            ext = Cat({ext, Rec(kind, len, body(len > 4 ? len - 4 : 0))});
        }
        const uint8_t count = static_cast<uint8_t>((usual ? 3 : 0) + (pick(4) == 0 ? pick(8) : records));
        const char types[] = {'2', '3', '4', '5'};
        out = Cat({out, NewHead(types[pick(4)], frameLen, static_cast<uint32_t>(ext.size()), count), ext});
    }
    return Cat({out, Fill(frameLen, static_cast<uint8_t>(rng()))});
}

}  // namespace

TEST(HeaderPaths, InPlaceDecodingEqualsTheGeneralPath) {
    std::mt19937 rng(20261206);
    int inPlace = 0, firstDifferent = -1;
    testing::internal::CaptureStdout();  // the length check's message
    for (int n = 0; n < 40000 && firstDifferent < 0; ++n) {
        const bool old = (n & 1) != 0;
        const Bytes b = RandomPackBytes(rng, old);
        const size_t split = rng() % 3 == 0 ? rng() % (b.size() + 1) : b.size();
        HeaderHarness fast, general;
        std::memset(&fast.info, 0x5C, sizeof(fast.info));
        std::memset(&general.info, 0x5C, sizeof(general.info));
        const Fmt fmt = old ? Fmt::kOld : Fmt::kNew;
        const int rc = fast.Decode(fmt, b, split);
        msspt::HeapBytes pa(b.data(), split), pb(b.data() + split, b.size() - split);
        const int rcGeneral =
            mssp::ParseHeaderGeneral(old, pa.data(), pa.size(), pb.data(), pb.size(), &general.parser);
        const uint8_t* fastRaw = reinterpret_cast<const uint8_t*>(&fast.parser);
        const uint8_t* generalRaw = reinterpret_cast<const uint8_t*>(&general.parser);
        const size_t skip = offsetof(tag_pbParserData, FrameLen);  // the two pointers differ
        if (rc != rcGeneral || std::memcmp(fastRaw + skip, generalRaw + skip, sizeof(tag_pbParserData) - skip) != 0 ||
            std::memcmp(&fast.info, &general.info, sizeof(fast.info)) != 0)
            firstDifferent = n;
        inPlace += mssp::ParseHeaderInPlace(old, b.data(), static_cast<uint32_t>(split), &general.parser) !=
                   mssp::kNotInPlace;
    }
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(firstDifferent, -1) << "the two paths differ on bytes number " << firstDifferent;
    EXPECT_GT(inPlace, 10000);  // the fast path was taken often, and not always
    EXPECT_LT(inPlace, 40000);
}

TEST(Checksum, RandomPayloadsEqualThePackWriterAndTheWalk) {
    // 200,000 payloads of every length, as one part or split in two or more
    // pieces anywhere, against the pack writer's own checksum.
    std::mt19937 rng(6122026);
    Bytes pool(1 << 16);
    for (uint8_t& v : pool) v = static_cast<uint8_t>(rng());
    for (int n = 0; n < 200000; ++n) {
        const size_t len = rng() % 4 == 0 ? rng() % 300 : rng() % 40000;
        const uint8_t* payload = pool.data() + rng() % (pool.size() - len);
        FrameData_t fd{};
        const size_t cut1 = rng() % 2 ? len : rng() % (len + 1);
        const size_t cut2 = rng() % 2 ? len : cut1 + rng() % (len - cut1 + 1);
        fd.Pack[0] = {const_cast<uint8_t*>(payload), const_cast<uint8_t*>(payload + cut1),
                      static_cast<uint32_t>(cut1), static_cast<uint32_t>(cut2 - cut1)};
        fd.Pack[1] = {const_cast<uint8_t*>(payload + cut2), nullptr, static_cast<uint32_t>(len - cut2), 0};
        fd.PackNum = cut2 < len ? 2 : 1;
        const int sum = CalculateCheckSum(&fd, static_cast<int>(len));
        ASSERT_EQ(sum, packwriter::PayloadChecksum(payload, len)) << n << " len " << len;
        ASSERT_EQ(sum, mssp::CheckSumWalk(&fd, static_cast<int>(len))) << n;
    }
}
