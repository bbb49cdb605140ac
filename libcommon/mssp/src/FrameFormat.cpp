// Recorded frame formats: the chunk-id tests, the header search and decoding
// of the new format (12-byte header, tagged extension records) and the old
// format (24-byte video / 8-byte audio header, fixed extension layouts), and
// the payload checksum. Pure byte parsers, called on the reader thread of the
// stream whose parser record they fill; they never read a stream or touch a
// ring, and never read outside the bytes they are given.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "MsspInternal.h"

namespace {

using mssp::Le16;
using mssp::Le24;
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

int ChunkType(Format format, uint8_t b1, uint8_t b2, uint8_t b3) {
    if (format == Format::kNew) {
        if (b2 != 'd' || b3 != 'c') return MSSP_FRAME_OTHER;
        return GetFrameType(static_cast<char>(b1));
    }
    return GetFrameTypeOldVersion(static_cast<char>(b1), static_cast<char>(b2), static_cast<char>(b3));
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
    hd->frameLen = Le24(h + 4);
    hd->checkSum = h[7];
    hd->extLen = Le24(h + 8);
    hd->recordCount = h[11];
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
        std::printf("data extern len is too big, len=%u\n", static_cast<unsigned>(hd.extLen));
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

int ApplyRecord(const uint8_t* r, uint32_t len, tag_pbParserData* parser) {
    switch (r[0]) {
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
int DecodeNewExtension(const uint8_t* ext, const Header& hd, tag_pbParserData* parser) {
    parser->pFrameInfo->refType = 1;
    uint32_t at = 0;
    for (uint32_t handled = 0; handled < hd.recordCount; ++handled) {
        if (at == hd.extLen) break;  // no record left in the area
        if (hd.extLen - at < kRecordHeadLen) return -2;
        const uint32_t len = Le24(ext + at + 1);
        if (len > hd.extLen - at) return -2;
        if (ApplyRecord(ext + at, len, parser) != 0) return -2;
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

int ParseHeader(Format format, const Pieces& p, tag_pbParserData* parser) {
    MSSP_FrameNode_t* fi = parser->pFrameInfo;
    fi->frameType = MSSP_FRAME_OTHER;
    Header hd{};
    if (!FindChunkId(format, p, parser, &hd.type)) return -1;
    fi->frameType = static_cast<uint8_t>(hd.type);

    const uint64_t start = static_cast<uint64_t>(parser->Offset) + parser->OffsetEx;
    hd.headLen = HeaderLength(format, hd.type);
    const uint8_t* head = LocateBytes(p, start, hd.headLen, parser->pTempBuf);
    if (head == nullptr) return -1;  // header not complete yet
    if (format == Format::kNew) DecodeNewHeader(head, &hd);
    else DecodeOldHeader(head, &hd);
    if (StoreAndValidate(format, hd, parser) != 0) return -2;

    // ExtLen <= 4096 now, so a split area fits pTempBuf.
    const uint8_t* ext = LocateBytes(p, start + hd.headLen, hd.extLen, parser->pTempBuf);
    if (ext == nullptr) return -1;  // extension area not complete yet
    if (format == Format::kNew) {
        if (DecodeNewExtension(ext, hd, parser) != 0) return -2;
    } else {
        DecodeOldExtension(ext, hd, parser);
    }
    fi->frameRate = static_cast<uint8_t>((fi->frameRate & mssp::kCompletionMark) |
                                         (parser->u8FrameRate & 0x7F));
    return 0;
}

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

int GetFrameType(char type) {
    switch (type) {
        case '2': return MSSP_FRAME_I;
        case '3': return MSSP_FRAME_P;
        case '4': return MSSP_FRAME_AUDIO;
        default: return MSSP_FRAME_OTHER;
    }
}

int GetFrameTypeOldVersion(char type, char tag1, char tag2) {
    if (tag1 == 'd' && tag2 == 'c') {
        if (type == '0') return MSSP_FRAME_I;
        if (type == '1') return MSSP_FRAME_P;
        return MSSP_FRAME_OTHER;
    }
    if (type >= '0' && type <= '9' && tag1 == 'w' && tag2 == 'b') return MSSP_FRAME_AUDIO;
    return MSSP_FRAME_OTHER;
}

int GetFrameHeader(unsigned char* data, unsigned int len, unsigned char* dataEx, unsigned int lenEx,
                   tag_pbParserData* parser) {
    return ParseHeader(Format::kNew, Pieces{data, len, dataEx, lenEx}, parser);
}

int GetFrameHeaderOldVersion(unsigned char* data, unsigned int len, unsigned char* dataEx,
                             unsigned int lenEx, tag_pbParserData* parser) {
    return ParseHeader(Format::kOld, Pieces{data, len, dataEx, lenEx}, parser);
}

// Sums up to 128 bytes sampled backwards from the data's last byte, `step`
// apart. Data shorter than `len` is reported and gives -1, which no checksum
// byte equals, so the frame fails its check instead of passing on a partial sum.
int CalculateCheckSum(FrameData_t* data, int len) {
    if (len <= 0) return 0;
    const int count = len > kChecksumSamples - 1 ? kChecksumSamples : len;
    const uint64_t step = len > kChecksumSamples - 1 ? static_cast<uint64_t>(len) / kChecksumSamples : 1;
    Part parts[2 * kMaxPieces];
    uint64_t total = 0;
    int k = CollectParts(data, parts, &total) - 1;
    unsigned sum = 0;
    // The part that holds the last byte (empty parts after it skipped).
    while (k >= 0 && (total == 0 || total - 1 < parts[k].start)) --k;
    // Common case, every frame that does not wrap in the ring: all samples
    // lie in that part, so they are summed straight from it, lowest first.
    const uint64_t span = 1 + static_cast<uint64_t>(count - 1) * step;  // how far back the last sample lies
    if (k >= 0 && span <= total && total - span >= parts[k].start) {
        const uint8_t* low = parts[k].data + (total - span - parts[k].start);
        const size_t stride = static_cast<size_t>(step);
        for (int i = 0; i < count; ++i) sum += low[static_cast<size_t>(i) * stride];
        return static_cast<int>(sum & 0xFF);
    }
    for (int i = 0; i < count; ++i) {
        const uint64_t back = 1 + static_cast<uint64_t>(i) * step;
        while (k >= 0 && (back > total || total - back < parts[k].start)) --k;
        if (k < 0) {
            std::printf("\n\nCalculateCheckSum err0:PackIndex:%d i:%d count:%d\n\n", -1, i, count);
            std::fflush(stdout);
            return -1;
        }
        sum += parts[k].data[total - back - parts[k].start];
    }
    return static_cast<int>(sum & 0xFF);
}
