// Host layer: the payload inside a delivered pack. The engine hands out
// whole packs (frame header, extension area, payload) in one or two pieces
// of its ring; hosts want the payload alone, in one block. Reads only the
// fixed length fields of the header, which the engine has already checked,
// and allocates nothing on the way (ReadPackHeader: its scratch, once).
#include <algorithm>
#include <cstring>

#include "MsspHost.h"

namespace mssphost {
namespace {

constexpr size_t kLongestHeader = recstore::kOldVideoHeaderLen;  // the fields read lie within it

}  // namespace

void PackView::Copy(size_t offset, size_t len, uint8_t* dst) const {
    if (offset < n1) {
        const size_t first = std::min(len, n1 - offset);
        std::memcpy(dst, p1 + offset, first);
        dst += first;
        len -= first;
        offset = n1;
    }
    if (len > 0) std::memcpy(dst, p2 + (offset - n1), len);
}

bool PayloadRange(PackFormat format, const PackView& pack, size_t* offset, size_t* length) {
    uint8_t h[kLongestHeader] = {};
    const size_t have = std::min(pack.Size(), kLongestHeader);
    if (have < 4) return false;
    pack.Copy(0, have, h);
    const int type = recstore::ChunkType(format, h);
    size_t headerLen = 0, extLen = 0, frameLen = 0;
    if (type == recstore::kTypeOther) return false;
    if (format == PackFormat::kNew) {
        headerLen = recstore::kNewHeaderLen;
        frameLen = recstore::Le24(h + 4);
        extLen = recstore::Le24(h + 8);
    } else if (type == recstore::kTypeAudio) {
        headerLen = recstore::kOldAudioHeaderLen;
        frameLen = recstore::Le16(h + 4);
    } else {
        headerLen = recstore::kOldVideoHeaderLen;
        frameLen = recstore::Le32(h + 8);
        extLen = recstore::Le16(h + 12);
    }
    // Lengths come from recorded bytes: the pack must hold all of them.
    if (have < headerLen || extLen > recstore::kMaxExtLen || frameLen > pack.Size() ||
        headerLen + extLen > pack.Size() - frameLen)
        return false;
    *offset = headerLen + extLen;
    *length = frameLen;
    return true;
}

const uint8_t* ContiguousPayload(PackFormat format, const PackView& pack, std::vector<uint8_t>* scratch,
                                 size_t* length) {
    size_t offset = 0;
    if (!PayloadRange(format, pack, &offset, length)) return nullptr;
    if (offset + *length <= pack.n1) return pack.p1 + offset;
    scratch->resize(*length);
    pack.Copy(offset, *length, scratch->data());
    return scratch->data();
}

bool ReadPackHeader(PackFormat format, const PackView& pack, std::vector<uint8_t>* scratch,
                    recstore::PackHeader* header) {
    const size_t have = std::min<size_t>(pack.Size(), kLongestHeader + recstore::kMaxExtLen);
    scratch->resize(have);
    pack.Copy(0, have, scratch->data());
    return recstore::DecodeHeader(format, scratch->data(), have, header, nullptr) == recstore::Decode::kOk;
}

const char* MediaKindName(MediaKind kind) {
    switch (kind) {
        case MediaKind::kH264: return "h264";
        case MediaKind::kH265: return "h265";
        default: return "other";
    }
}

// An Annex-B payload starts with a start code (00 00 01, or 00 00 00 01)
// and a NAL unit header: one byte in H.264 (forbidden bit, nal_ref_idc,
// type 1..23), two in H.265 (type 32..40 for the parameter sets, access
// unit delimiter and SEI that open an access unit, then layer 0 and
// temporal id 1).
MediaKind ClassifyVideo(const uint8_t* payload, size_t len) {
    size_t i = 0;
    while (i < len && i < 4 && payload[i] == 0) ++i;
    if (i < 2 || i + 2 >= len || payload[i] != 1) return MediaKind::kOther;
    const uint8_t b0 = payload[i + 1], b1 = payload[i + 2];
    const int hevcType = (b0 >> 1) & 0x3F;
    if ((b0 & 0x81) == 0 && hevcType >= 32 && hevcType <= 40 && b1 == 0x01) return MediaKind::kH265;
    const int avcType = b0 & 0x1F;
    if ((b0 & 0x80) == 0 && avcType >= 1 && avcType <= 23) return MediaKind::kH264;
    return MediaKind::kOther;
}

StageFrame StageFrameOf(const Frame& f, const recstore::PackHeader* header, size_t bytes) {
    StageFrame sf;
    sf.channel = f.channel;
    sf.pts = f.pts;
    sf.clockPts = header && header->hasPts ? header->ptsMs : f.pts;
    sf.newOrJump = (f.flags & kFlagNewOrJump) != 0;
    sf.hasTime = header && header->hasTime;
    sf.time = sf.hasTime ? header->time : DateTime{};
    sf.bytes = bytes;
    return sf;
}

}  // namespace mssphost
