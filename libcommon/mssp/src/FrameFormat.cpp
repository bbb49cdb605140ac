// Recorded frame formats: the chunk-id tests, the header search and decoding
// of the new format (12-byte header, tagged extension records) and the old
// format (24-byte video / 8-byte audio header, fixed extension layouts), and
// the payload checksum. Pure byte parsers, called on the reader thread of the
// stream whose parser record they fill; they never read a stream or touch a
// ring, and never read outside the bytes they are given.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "FrameFormat.h"
#include "MsspInternal.h"

namespace {

using mssp::Le16;
using mssp::Le32;
using mssp::Le64;

constexpr int kChunkIdLen = 4;          // channel, type character, two letters
constexpr uint32_t kNewHeaderLen = 12;  // new format, every frame type
constexpr uint32_t kOldVideoHeaderLen = 24;
constexpr uint32_t kOldAudioHeaderLen = 8;
constexpr uint32_t kRecordHeadLen = 4;  // kind byte and u24 length
constexpr int kChecksumSamples = 128;   // bytes summed at most
constexpr uint32_t kMaxPieces = 20;     // FrameData_t::Pack

// Old extension layouts: where the date and the picture size lie.
constexpr uint16_t kOldLayoutFull = 1087;
constexpr uint16_t kOldLayoutShort = 35;
constexpr uint32_t kOldFullDateAt = 88;
constexpr uint32_t kOldShortDateAt = 32;
constexpr uint32_t kOldSizeAt = 140;     // u32 picture size, layout 1087
constexpr uint32_t kOldDateSlack = 8;    // the date counts only with 8 bytes from its offset

enum class Format { kNew, kOld };

// The two pieces of a search: A followed by B, addressed as one sequence.
struct Pieces {
    const uint8_t* a;
    uint32_t la;
    const uint8_t* b;
    uint32_t lb;
    uint64_t Total() const { return static_cast<uint64_t>(la) + lb; }
    uint8_t At(uint64_t i) const { return i < la ? a[i] : b[i - la]; }
};

// Header fields decoded before any of them is trusted.
struct Header {
    int type;
    uint32_t headLen;
    uint32_t frameLen;
    uint32_t extLen;
    uint32_t checkSum;
    uint32_t recordCount;  // new format
    uint16_t layout;       // old video
    uint64_t ptsUs;        // old video
};

// ---------------------------------------------------------------------------
// Header search.

// The exported type functions' rules, inlined where the search uses them.
inline int NewType(char type) {
    switch (type) {
        case '2': return MSSP_FRAME_I;
        case '3': return MSSP_FRAME_P;
        case '4': return MSSP_FRAME_AUDIO;
        default: return MSSP_FRAME_OTHER;
    }
}

inline int OldType(char type, char tag1, char tag2) {
    if (tag1 == 'd' && tag2 == 'c') {
        if (type == '0') return MSSP_FRAME_I;
        if (type == '1') return MSSP_FRAME_P;
        return MSSP_FRAME_OTHER;
    }
    if (type >= '0' && type <= '9' && tag1 == 'w' && tag2 == 'b') return MSSP_FRAME_AUDIO;
    return MSSP_FRAME_OTHER;
}

int ChunkType(Format format, uint8_t b1, uint8_t b2, uint8_t b3) {
    if (format == Format::kNew) {
        if (b2 != 'd' || b3 != 'c') return MSSP_FRAME_OTHER;
        return NewType(static_cast<char>(b1));
    }
    return OldType(static_cast<char>(b1), static_cast<char>(b2), static_cast<char>(b3));
}

// Type of the window starting at sequence position `pos` (byte 0, the
// channel, is not examined); the caller guarantees pos + 4 <= Total().
int WindowType(Format format, const Pieces& p, uint64_t pos) {
    return ChunkType(format, p.At(pos + 1), p.At(pos + 2), p.At(pos + 3));
}

// Step: windows wholly inside A. Leaves Offset at the match, else at LA - 3
// (0 when A is shorter than 3 bytes) so that A's tail stays for later.
bool SearchPieceA(Format format, const Pieces& p, tag_pbParserData* parser, int* type) {
    if (p.la <= 2) return false;
    for (uint32_t pos = 0; pos + kChunkIdLen <= p.la; ++pos) {
        *type = WindowType(format, p, pos);
        if (*type != MSSP_FRAME_OTHER) {
            parser->Offset = pos;
            return true;
        }
    }
    parser->Offset = p.la - 3;
    return false;
}

// Step: windows that start in A's last three bytes and end in B.
bool SearchJoint(Format format, const Pieces& p, tag_pbParserData* parser, int* type) {
    for (uint32_t back = 3; back >= 1; --back) {
        if (p.la < back) continue;
        const uint32_t pos = p.la - back;
        *type = WindowType(format, p, pos);
        if (*type != MSSP_FRAME_OTHER) {
            parser->Offset = pos;
            return true;
        }
    }
    return false;
}

// Step: windows wholly inside B. Offset is LA from here on.
bool SearchPieceB(Format format, const Pieces& p, tag_pbParserData* parser, int* type) {
    parser->Offset = p.la;
    for (uint32_t pos = 0; pos + kChunkIdLen <= p.lb; ++pos) {
        *type = WindowType(format, p, p.la + static_cast<uint64_t>(pos));
        if (*type != MSSP_FRAME_OTHER) {
            parser->OffsetEx = pos;
            return true;
        }
    }
    parser->OffsetEx = p.lb - 3;
    return false;
}

// Finds the first chunk id of A followed by B. On return Offset and OffsetEx
// say where the search stopped; the header starts at Offset + OffsetEx.
bool FindChunkId(Format format, const Pieces& p, tag_pbParserData* parser, int* type) {
    parser->Offset = 0;
    parser->OffsetEx = 0;
    *type = MSSP_FRAME_OTHER;
    if (p.Total() == 0) return false;
    if (SearchPieceA(format, p, parser, type)) return true;
    // Fewer than three bytes in B: no window can straddle yet; keep A's tail.
    if (p.lb <= 2) return false;
    if (SearchJoint(format, p, parser, type)) return true;
    return SearchPieceB(format, p, parser, type);
}

// `len` contiguous bytes at sequence position `pos`: in place when they lie
// in one piece, assembled in `temp` (at least `len` bytes) when they straddle
// the joint. Null when the pieces do not hold them all yet.
const uint8_t* LocateBytes(const Pieces& p, uint64_t pos, uint32_t len, uint8_t* temp) {
    if (pos + len > p.Total()) return nullptr;
    if (len == 0) return temp;  // nothing to read; never a missing piece
    if (pos + len <= p.la) return p.a + pos;
    if (pos >= p.la) return p.b + (pos - p.la);
    const uint32_t inA = p.la - static_cast<uint32_t>(pos);
    std::memcpy(temp, p.a + pos, inA);
    std::memcpy(temp + inA, p.b, len - inA);
    return temp;
}

// ---------------------------------------------------------------------------
// Header fields.

void DecodeNewHeader(const uint8_t* h, Header* hd) {
    // Two words: payload length and checksum byte, extension length and count.
    const uint32_t w1 = Le32(h + 4);
    const uint32_t w2 = Le32(h + 8);
    hd->frameLen = w1 & 0xFFFFFF;
    hd->checkSum = w1 >> 24;
    hd->extLen = w2 & 0xFFFFFF;
    hd->recordCount = w2 >> 24;
}

void DecodeOldHeader(const uint8_t* h, Header* hd) {
    hd->checkSum = 0;  // the old format carries no checksum
    hd->recordCount = 0;
    if (hd->type == MSSP_FRAME_AUDIO) {
        hd->frameLen = Le16(h + 4);
        hd->extLen = 0;
        return;
    }
    hd->frameLen = Le32(h + 8);
    hd->extLen = Le16(h + 12);
    hd->layout = Le16(h + 14);
    hd->ptsUs = Le64(h + 16);
}

// Publishes the decoded lengths and validates them. An old video header can
// announce a payload so large that PackLen would wrap to a small number and
// make a broken pack look complete: such a header is invalid too, and its
// PackLen saturates so that nobody waits for a wrapped length.
int StoreAndValidate(Format format, const Header& hd, tag_pbParserData* parser) {
    const uint64_t packLen = static_cast<uint64_t>(hd.headLen) + hd.extLen + hd.frameLen;
    const bool packTooLong = packLen > UINT32_MAX;
    parser->FrameLen = hd.frameLen;
    parser->PackLen = packTooLong ? UINT32_MAX : static_cast<uint32_t>(packLen);
    parser->ExtLen = hd.extLen;
    parser->CheckSum = hd.checkSum;
    const bool countWithoutArea = format == Format::kNew && hd.recordCount != 0 && hd.extLen == 0;
    if (hd.extLen > mssp::kMaxExtLen || hd.frameLen < mssp::kMinFrameLen || countWithoutArea ||
        packTooLong) {
        mssp::Log(nullptr, mssp::kLogError, "data extern len is too big, len=%u\n", static_cast<unsigned>(hd.extLen));
        return -2;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// New-format extension records.

// Kind 1: picture size (12 bits each) and frame rate.
int ApplyVideoRecord(const uint8_t* r, uint32_t len, tag_pbParserData* parser) {
    if (len != 8) return -2;
    MSSP_FrameNode_t* fi = parser->pFrameInfo;
    fi->width = static_cast<uint16_t>(r[4] | ((r[5] & 0x0F) << 8));
    fi->height = static_cast<uint16_t>((r[5] >> 4) | (r[6] << 4));
    parser->u8FrameRate = r[7];
    return 0;
}

// Kind 3: u64 timestamp in milliseconds.
int ApplyPtsRecord(const uint8_t* r, uint32_t len, tag_pbParserData* parser) {
    if (len != 12) return -2;
    parser->pFrameInfo->pts = Le64(r + 4);
    return 0;
}

// Kind 2: date and time. The kinds 2, 5 and 8 carry no required length; one
// too short for the bytes its field is read from is skipped and leaves the
// field alone, as a record of unknown kind would, since the frame itself is
// still sound.
void ApplyTimeRecord(const uint8_t* r, uint32_t len, tag_pbParserData* parser) {
    if (len < 10) return;
    std::memcpy(parser->pFrameInfo->time, r + 4, 6);
}

// Kind 5: bit 5 of byte 4 becomes bit 0 of flags2.
void ApplyFlagRecord(const uint8_t* r, uint32_t len, tag_pbParserData* parser) {
    if (len < 5) return;
    MSSP_FrameNode_t* fi = parser->pFrameInfo;
    fi->flags2 = static_cast<uint8_t>((fi->flags2 & ~1u) | ((r[4] >> 5) & 1u));
}

// Kind 8: reference structure for the frame-jump levels.
void ApplyRefRecord(const uint8_t* r, uint32_t len, tag_pbParserData* parser) {
    if (len < 10) return;
    const uint32_t w = Le32(r + 4);
    const uint32_t v = Le16(r + 8);
    const uint32_t p = (w >> 2) & 0xFF;
    const uint32_t q = (w >> 10) & 0xFF;
    const uint8_t index = static_cast<uint8_t>((v >> 2) & 0xFF);
    MSSP_FrameNode_t* fi = parser->pFrameInfo;
    if (p == 1 && q == 1) {
        fi->refType = 2;
        fi->refIndex = index;
    } else if (p == 2) {
        fi->refType = 5;
        fi->refIndex = index;
    }
}

int ApplyRecord(uint8_t kind, const uint8_t* r, uint32_t len, tag_pbParserData* parser) {
    switch (kind) {
        case 1: return ApplyVideoRecord(r, len, parser);
        case 2: ApplyTimeRecord(r, len, parser); return 0;
        case 3: return ApplyPtsRecord(r, len, parser);
        case 5: ApplyFlagRecord(r, len, parser); return 0;
        case 8: ApplyRefRecord(r, len, parser); return 0;
        default: return 0;  // other kinds are skipped by their length
    }
}

// Walks the records of a new extension area. Every record read lies wholly
// inside the area:
//  * a count larger than the records present ends the walk at the area's
//    end with the fields decoded so far (nothing beyond the area is a record);
//  * a record whose head or length runs past the area makes the header
//    invalid: its lengths contradict each other and none can be trusted;
//  * a record of length 0 does not advance and is handled again until the
//    count is used up, which bounds the walk at 255 records.
// `usualFirst` (the fast path): the usual opening, the layout the recorder
// writes (and the one the time of day is read from, kind 2 at frame byte
// 32), is taken first: picture, timestamp, date and time records of their
// exact lengths, decoded without the walk's bookkeeping. The walk takes what
// follows them, and everything else.
int DecodeNewExtension(const uint8_t* ext, const Header& hd, tag_pbParserData* parser, bool usualFirst) {
    parser->pFrameInfo->refType = 1;
    uint32_t at = 0;
    uint32_t left = hd.recordCount;
    constexpr uint32_t kUsualHeads[3] = {1u | (8u << 8), 3u | (12u << 8), 2u | (12u << 8)};
    constexpr uint32_t kUsualLen = 32;
    if (usualFirst && left >= 3 && hd.extLen >= kUsualLen && Le32(ext) == kUsualHeads[0] &&
        Le32(ext + 8) == kUsualHeads[1] && Le32(ext + 20) == kUsualHeads[2]) {
        ApplyVideoRecord(ext, 8, parser);
        ApplyPtsRecord(ext + 8, 12, parser);
        ApplyTimeRecord(ext + 20, 12, parser);
        at = kUsualLen;
        left -= 3;
    }
    for (; left != 0; --left) {
        const uint32_t room = hd.extLen - at;
        if (room == 0) break;  // no record left in the area
        if (room < kRecordHeadLen) return -2;
        const uint32_t head = Le32(ext + at);  // kind, then the u24 length
        const uint32_t len = head >> 8;
        if (len > room) return -2;
        if (ApplyRecord(static_cast<uint8_t>(head), ext + at, len, parser) != 0) return -2;
        at += len;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Old-format fields.

void ApplyOldDate(const uint8_t* ext, const Header& hd, MSSP_FrameNode_t* fi) {
    uint32_t dateAt = 0;
    if (hd.layout == kOldLayoutFull) dateAt = kOldFullDateAt;
    else if (hd.layout == kOldLayoutShort) dateAt = kOldShortDateAt;
    if (hd.extLen >= dateAt + kOldDateSlack) std::memcpy(fi->time, ext + dateAt, 6);
}

// An old audio header sets only refType and the flag: its pts and time stay
// those of the stream's previous frame. A layout-1087 extension shorter than
// the picture-size word leaves width and height at 0, as layouts without a
// size do, instead of reading past the area.
void DecodeOldExtension(const uint8_t* ext, const Header& hd, tag_pbParserData* parser) {
    MSSP_FrameNode_t* fi = parser->pFrameInfo;
    fi->refType = 1;
    fi->flags2 = static_cast<uint8_t>(fi->flags2 | 1u);
    if (hd.type == MSSP_FRAME_AUDIO) return;
    fi->pts = hd.ptsUs / 1000;
    fi->width = 0;
    fi->height = 0;
    fi->frameRate = static_cast<uint8_t>(fi->frameRate & mssp::kCompletionMark);
    if (hd.layout == kOldLayoutFull && hd.extLen >= kOldSizeAt + 4) {
        const uint32_t size = Le32(ext + kOldSizeAt);
        fi->width = static_cast<uint16_t>(size & 0x1FFF);
        fi->height = static_cast<uint16_t>((size >> 13) & 0x1FFF);
    }
    ApplyOldDate(ext, hd, fi);
}

// ---------------------------------------------------------------------------
// The header functions' common course.

uint32_t HeaderLength(Format format, int type) {
    if (format == Format::kNew) return kNewHeaderLen;
    return type == MSSP_FRAME_AUDIO ? kOldAudioHeaderLen : kOldVideoHeaderLen;
}

// The steps after the search, shared by both paths: the header's fields
// from `head`, their checks, the extension area that `locateExt` finds (null
// while it is not complete) and its records.
template <class LocateExt>
int DecodeFoundHeader(Format format, Header& hd, const uint8_t* head, tag_pbParserData* parser, LocateExt locateExt,
                      bool fast) {
    if (format == Format::kNew) DecodeNewHeader(head, &hd);
    else DecodeOldHeader(head, &hd);
    if (StoreAndValidate(format, hd, parser) != 0) return -2;

    // ExtLen <= 4096 now, so a split area fits pTempBuf.
    const uint8_t* ext = locateExt(hd.extLen);
    if (ext == nullptr) return -1;  // extension area not complete yet
    if (format == Format::kNew) {
        if (DecodeNewExtension(ext, hd, parser, fast) != 0) return -2;
    } else {
        DecodeOldExtension(ext, hd, parser);
    }
    MSSP_FrameNode_t* fi = parser->pFrameInfo;
    fi->frameRate = static_cast<uint8_t>((fi->frameRate & mssp::kCompletionMark) | (parser->u8FrameRate & 0x7F));
    return 0;
}

// Extension length a header announces, read before the header is decoded.
uint32_t PeekExtLen(Format format, int type, const uint8_t* h) {
    if (format == Format::kNew) return Le32(h + 8) & 0xFFFFFF;
    return type == MSSP_FRAME_AUDIO ? 0 : Le16(h + 12);
}

}  // namespace

namespace mssp {

// The general path: search both pieces, assemble what straddles the joint.
int ParseHeaderGeneral(bool oldFormat, const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb,
                       tag_pbParserData* parser) {
    const Format format = oldFormat ? Format::kOld : Format::kNew;
    const Pieces p{a, la, b, lb};
    MSSP_FrameNode_t* fi = parser->pFrameInfo;
    fi->frameType = MSSP_FRAME_OTHER;
    Header hd{};
    if (!FindChunkId(format, p, parser, &hd.type)) return -1;
    fi->frameType = static_cast<uint8_t>(hd.type);

    const uint64_t start = static_cast<uint64_t>(parser->Offset) + parser->OffsetEx;
    hd.headLen = HeaderLength(format, hd.type);
    const uint8_t* head = LocateBytes(p, start, hd.headLen, parser->pTempBuf);
    if (head == nullptr) return -1;  // header not complete yet
    return DecodeFoundHeader(format, hd, head, parser, [&](uint32_t extLen) {
        return LocateBytes(p, start + hd.headLen, extLen, parser->pTempBuf);
    }, false);
}

// The usual case, every pack the reader meets in order: a chunk id at the
// read position, header and extension area whole in the first piece. They
// are decoded in place, with no search and no copy, the usual records first;
// kNotInPlace otherwise.
int ParseHeaderInPlace(bool oldFormat, const uint8_t* a, uint32_t la, tag_pbParserData* parser) {
    const Format format = oldFormat ? Format::kOld : Format::kNew;
    if (la < kChunkIdLen) return kNotInPlace;
    Header hd{};
    hd.type = ChunkType(format, a[1], a[2], a[3]);
    if (hd.type == MSSP_FRAME_OTHER) return kNotInPlace;
    hd.headLen = HeaderLength(format, hd.type);
    if (hd.headLen > la || static_cast<uint64_t>(hd.headLen) + PeekExtLen(format, hd.type, a) > la) return kNotInPlace;
    // What the search would leave: the header found at the very start.
    parser->Offset = 0;
    parser->OffsetEx = 0;
    parser->pFrameInfo->frameType = static_cast<uint8_t>(hd.type);
    return DecodeFoundHeader(format, hd, a, parser, [&](uint32_t) { return a + hd.headLen; }, true);
}

}  // namespace mssp

namespace {

// ---------------------------------------------------------------------------
// Checksum walk: one part of a FrameData_t, with its place in the sequence.

struct Part {
    const uint8_t* data;
    uint64_t start;
    uint32_t len;
};

// Flattens the pieces into parts in sequence order; returns the part count.
// At most 20 pieces exist: a larger PackNum is clamped rather than read past
// the array.
int CollectParts(const FrameData_t* data, Part* parts, uint64_t* total) {
    const uint32_t pieces = data->PackNum < kMaxPieces ? data->PackNum : kMaxPieces;
    int n = 0;
    uint64_t at = 0;
    for (uint32_t i = 0; i < pieces; ++i) {
        const FramePiece_t& piece = data->Pack[i];
        parts[n++] = Part{piece.pData, at, piece.Len};
        at += piece.Len;
        parts[n++] = Part{piece.pDataEx, at, piece.LenEx};
        at += piece.LenEx;
    }
    *total = at;
    return n;
}

}  // namespace

int GetFrameType(char type) { return NewType(type); }

int GetFrameTypeOldVersion(char type, char tag1, char tag2) { return OldType(type, tag1, tag2); }

int GetFrameHeader(unsigned char* data, unsigned int len, unsigned char* dataEx, unsigned int lenEx,
                   tag_pbParserData* parser) {
    const int r = mssp::ParseHeaderInPlace(false, data, len, parser);
    return r != mssp::kNotInPlace ? r : mssp::ParseHeaderGeneral(false, data, len, dataEx, lenEx, parser);
}

int GetFrameHeaderOldVersion(unsigned char* data, unsigned int len, unsigned char* dataEx,
                             unsigned int lenEx, tag_pbParserData* parser) {
    const int r = mssp::ParseHeaderInPlace(true, data, len, parser);
    return r != mssp::kNotInPlace ? r : mssp::ParseHeaderGeneral(true, data, len, dataEx, lenEx, parser);
}

namespace mssp {

// The sum modulo 256 of `count` bytes `step` apart from `low` on: byte
// additions (8 bits suffice for the result), four samples a round into
// four sums.
uint8_t SumSamples(const uint8_t* low, size_t step, int count) {
    uint8_t a = 0, b = 0, c = 0, d = 0;
    if (step == 1) {  // short payloads: contiguous bytes
        for (int i = 0; i < count; ++i) a = static_cast<uint8_t>(a + low[i]);
        return a;
    }
    for (int rounds = count >> 2; rounds != 0; --rounds, low += 4 * step) {
        a = static_cast<uint8_t>(a + low[0]);
        b = static_cast<uint8_t>(b + low[step]);
        c = static_cast<uint8_t>(c + low[2 * step]);
        d = static_cast<uint8_t>(d + low[3 * step]);
    }
    for (int rest = count & 3; rest != 0; --rest, low += step) a = static_cast<uint8_t>(a + low[0]);
    return static_cast<uint8_t>(a + b + c + d);
}

int CheckSumInPart(const uint8_t* end, uint32_t avail, int len) {
    if (len <= 0) return 0;
    const bool sampled = len > kChecksumSamples - 1;
    const int count = sampled ? kChecksumSamples : len;
    const uint32_t step = sampled ? static_cast<uint32_t>(len) / kChecksumSamples : 1;
    const uint64_t span = 1 + static_cast<uint64_t>(count - 1) * step;  // how far back the last sample lies
    if (span > avail) return kNotInOnePart;
    return SumSamples(end - span, step, count);
}

// The general walk, sample by sample through the pieces: any layout, data
// shorter than `len` reported (see CalculateCheckSum).
int CheckSumWalk(const FrameData_t* data, int len) {
    if (len <= 0) return 0;
    const int count = len > kChecksumSamples - 1 ? kChecksumSamples : len;
    const int64_t step = len > kChecksumSamples - 1 ? len / kChecksumSamples : 1;
    Part parts[2 * kMaxPieces];
    uint64_t total = 0;
    const int n = CollectParts(data, parts, &total);
    // Backwards through the parts, each sample taken from the part that
    // holds it; pos is the next sample's place in the joined data.
    int64_t pos = static_cast<int64_t>(total) - 1;
    int i = 0;
    uint8_t sum = 0;
    for (int k = n - 1; k >= 0 && i < count; --k) {
        const Part& part = parts[k];
        for (; i < count && pos >= static_cast<int64_t>(part.start); ++i, pos -= step)
            sum = static_cast<uint8_t>(sum + part.data[pos - static_cast<int64_t>(part.start)]);
    }
    if (i < count) {
        mssp::Log(nullptr, mssp::kLogError, "\n\nCalculateCheckSum err0:PackIndex:%d i:%d count:%d\n\n", -1, i, count);
        std::fflush(stdout);
        return -1;
    }
    return sum;
}

}  // namespace mssp

// Sums up to 128 bytes sampled backwards from the data's last byte, `step`
// apart. Data shorter than `len` is reported and gives -1, which no checksum
// byte equals, so the frame fails its check instead of passing on a partial sum.
int CalculateCheckSum(FrameData_t* data, int len) {
    // Common case, every frame that does not wrap in the ring: the part that
    // holds the last byte holds every sample. Anything else takes the walk.
    const uint32_t pieces = data->PackNum < kMaxPieces ? data->PackNum : kMaxPieces;
    if (pieces != 0) {
        const FramePiece_t& last = data->Pack[pieces - 1];
        const bool second = last.LenEx != 0;
        const uint32_t avail = second ? last.LenEx : last.Len;
        const int sum = mssp::CheckSumInPart((second ? last.pDataEx : last.pData) + avail, avail, len);
        if (sum != mssp::kNotInOnePart) return sum;
    }
    return mssp::CheckSumWalk(data, len);
}
