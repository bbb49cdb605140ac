// Pack writer: the writing side of both recorded frame formats.
#include "PackWriter.h"

#include <cstring>

namespace packwriter {
namespace {

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put24(uint8_t* p, uint32_t v) {
    Put16(p, v);
    p[2] = static_cast<uint8_t>(v >> 16);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
void Put64(uint8_t* p, uint64_t v) {
    Put32(p, static_cast<uint32_t>(v));
    Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

void AppendRecord(Bytes& ext, uint8_t kind, size_t len, const uint8_t* body, size_t bodyLen) {
    const size_t at = ext.size();
    ext.resize(at + len, 0);
    ext[at] = kind;
    Put24(&ext[at + 1], static_cast<uint32_t>(len));
    if (bodyLen) std::memcpy(&ext[at + 4], body, bodyLen);
}

const char kNewTypeChar[] = {'2', '3', '4'};

}  // namespace

uint8_t PayloadChecksum(const uint8_t* data, size_t len) {
    if (len == 0) return 0;
    size_t n = len, step = 1;
    if (len > 127) {
        n = 128;
        step = len / 128;
    }
    unsigned sum = 0;
    size_t pos = len - 1;
    for (size_t i = 0; i < n; ++i, pos -= step) sum += data[pos];
    return static_cast<uint8_t>(sum & 0xFF);
}

size_t AppendNewPack(Bytes& out, const NewPack& pack, const uint8_t* payload, size_t payloadLen) {
    Bytes ext;
    uint8_t count = 0;
    if (pack.video) {
        uint8_t b[4];
        b[0] = static_cast<uint8_t>(pack.video->width & 0xFF);
        b[1] = static_cast<uint8_t>(((pack.video->width >> 8) & 0x0F) | ((pack.video->height & 0x0F) << 4));
        b[2] = static_cast<uint8_t>((pack.video->height >> 4) & 0xFF);
        b[3] = pack.video->frameRate;
        AppendRecord(ext, 1, 8, b, 4);
        ++count;
    }
    if (pack.pts) {
        uint8_t b[8];
        Put64(b, *pack.pts);
        AppendRecord(ext, 3, 12, b, 8);
        ++count;
    }
    if (pack.time) {
        AppendRecord(ext, 2, 12, pack.time->data(), 6);
        ++count;
    }
    if (pack.flag) {
        uint8_t b[4] = {static_cast<uint8_t>(*pack.flag ? 0x20 : 0), 0, 0, 0};
        AppendRecord(ext, 5, 8, b, 4);
        ++count;
    }
    if (pack.ref) {
        uint8_t b[8] = {};
        uint32_t w = 0;
        if (pack.ref->refType == 2) w = (1u << 2) | (1u << 10);
        else if (pack.ref->refType == 5) w = 2u << 2;
        Put32(b, w);
        Put16(b + 4, static_cast<uint32_t>(pack.ref->refIndex) << 2);
        AppendRecord(ext, 8, 12, b, 8);
        ++count;
    }
    ext.insert(ext.end(), pack.extraExtension.begin(), pack.extraExtension.end());

    const size_t at = out.size();
    out.resize(at + 12 + ext.size() + payloadLen);
    uint8_t* h = &out[at];
    h[0] = pack.channel;
    h[1] = static_cast<uint8_t>(kNewTypeChar[pack.kind]);
    h[2] = 'd';
    h[3] = 'c';
    Put24(h + 4, static_cast<uint32_t>(payloadLen));
    h[7] = pack.checksum ? *pack.checksum : PayloadChecksum(payload, payloadLen);
    Put24(h + 8, static_cast<uint32_t>(ext.size()));
    h[11] = pack.recordCount ? *pack.recordCount : count;
    if (!ext.empty()) std::memcpy(h + 12, ext.data(), ext.size());
    if (payloadLen) std::memcpy(h + 12 + ext.size(), payload, payloadLen);
    return 12 + ext.size() + payloadLen;
}

Bytes MakeNewPack(const NewPack& pack, const Bytes& payload) {
    Bytes out;
    AppendNewPack(out, pack, payload.data(), payload.size());
    return out;
}

size_t OldLayoutDateOffset(uint16_t layoutCode) {
    if (layoutCode == 1087) return 88;
    if (layoutCode == 35) return 32;
    return 0;
}

size_t AppendOldVideoPack(Bytes& out, const OldVideoPack& pack, const uint8_t* payload, size_t payloadLen) {
    const size_t at = out.size();
    out.resize(at + 24 + pack.extLen + payloadLen, 0);
    uint8_t* h = &out[at];
    h[0] = static_cast<uint8_t>(pack.channel + 0x30);
    h[1] = pack.kind == kIFrame ? '0' : '1';
    h[2] = 'd';
    h[3] = 'c';
    Put32(h + 8, static_cast<uint32_t>(payloadLen));
    Put16(h + 12, pack.extLen);
    Put16(h + 14, pack.layoutCode);
    Put64(h + 16, pack.ptsUs);
    uint8_t* ext = h + 24;
    const size_t dateAt = OldLayoutDateOffset(pack.layoutCode);
    if (pack.extLen >= dateAt + 8) std::memcpy(ext + dateAt, pack.time.data(), 6);
    if (pack.layoutCode == 1087 && pack.extLen >= 144) {
        const uint32_t size = (pack.width & 0x1FFFu) | ((pack.height & 0x1FFFu) << 13);
        Put32(ext + 140, size);
    }
    if (payloadLen) std::memcpy(ext + pack.extLen, payload, payloadLen);
    return 24 + pack.extLen + payloadLen;
}

Bytes MakeOldVideoPack(const OldVideoPack& pack, const Bytes& payload) {
    Bytes out;
    AppendOldVideoPack(out, pack, payload.data(), payload.size());
    return out;
}

size_t AppendOldAudioPack(Bytes& out, uint8_t channel, uint8_t digit, const uint8_t* payload,
                          size_t payloadLen) {
    const size_t at = out.size();
    out.resize(at + 8 + payloadLen, 0);
    uint8_t* h = &out[at];
    h[0] = static_cast<uint8_t>(channel + 0x30);
    h[1] = static_cast<uint8_t>('0' + (digit % 10));
    h[2] = 'w';
    h[3] = 'b';
    Put16(h + 4, static_cast<uint32_t>(payloadLen));
    if (payloadLen) std::memcpy(h + 8, payload, payloadLen);
    return 8 + payloadLen;
}

Bytes MakeOldAudioPack(uint8_t channel, uint8_t digit, const Bytes& payload) {
    Bytes out;
    AppendOldAudioPack(out, channel, digit, payload.data(), payload.size());
    return out;
}

Bytes PatternPayload(size_t len, uint32_t seed) {
    Bytes out(len);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < len; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x);
    }
    return out;
}

}  // namespace packwriter
