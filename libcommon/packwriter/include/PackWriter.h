// Pack writer: builds recorded frame packs in the recorder's two formats,
// for tests, fuzz corpora and the recording tools. libmssp only reads packs;
// this library is the writing side and shares no code with the reader, so
// that a round trip checks one against the other.
#ifndef MSSP_PACK_WRITER_H
#define MSSP_PACK_WRITER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace packwriter {

using Bytes = std::vector<uint8_t>;
using DateTime = std::array<uint8_t, 6>;  // year (from 2000), month, day, hour, minute, second

enum FrameKind { kIFrame = 0, kPFrame = 1, kAudio = 2 };

// Frame-jump reference structure carried by a kind-8 record.
struct RefInfo {
    uint8_t refType;   // 2 (2X table) or 5 (4X table); others are written as P = 0
    uint8_t refIndex;  // position in the reference cycle
};

struct VideoInfo {
    uint16_t width;     // 12 bits
    uint16_t height;    // 12 bits
    uint8_t frameRate;  // frames per second
};

// A new-format pack: 12-byte header, extension records, payload. Records
// are written in the order kind 1, 3, 2, 5, 8 (so that a video pack with
// kinds 1 and 3 has its date and time at pack bytes 36..41).
struct NewPack {
    FrameKind kind = kIFrame;
    uint8_t channel = 0;
    std::optional<VideoInfo> video;     // kind 1, 8 bytes
    std::optional<uint64_t> pts;        // kind 3, 12 bytes
    std::optional<DateTime> time;       // kind 2, 12 bytes
    std::optional<bool> flag;           // kind 5, 8 bytes: byte 4 bit 5
    std::optional<RefInfo> ref;         // kind 8, 12 bytes
    Bytes extraExtension;               // raw bytes appended to the extension area
    std::optional<uint8_t> recordCount; // overrides the counted records
    std::optional<uint8_t> checksum;    // overrides the computed checksum
};

// Appends one new-format pack with `payload` to `out`; returns its length.
size_t AppendNewPack(Bytes& out, const NewPack& pack, const uint8_t* payload, size_t payloadLen);
Bytes MakeNewPack(const NewPack& pack, const Bytes& payload);

// An old-format video pack: 24-byte header, fixed-layout extension, payload.
struct OldVideoPack {
    FrameKind kind = kIFrame;  // kIFrame or kPFrame
    uint8_t channel = 0;       // written as channel + 0x30
    uint16_t layoutCode = 1087;
    uint16_t extLen = 144;     // bytes of extension area
    uint64_t ptsUs = 0;        // timestamp in microseconds
    DateTime time{};           // written at the layout's date offset when it fits
    uint16_t width = 0;        // layout 1087 only
    uint16_t height = 0;       // layout 1087 only
};

size_t AppendOldVideoPack(Bytes& out, const OldVideoPack& pack, const uint8_t* payload, size_t payloadLen);
Bytes MakeOldVideoPack(const OldVideoPack& pack, const Bytes& payload);

// An old-format audio pack: 8-byte header ("<chn+0x30><digit>wb", u16
// payload length), payload; no extension, no checksum.
size_t AppendOldAudioPack(Bytes& out, uint8_t channel, uint8_t digit, const uint8_t* payload,
                          size_t payloadLen);
Bytes MakeOldAudioPack(uint8_t channel, uint8_t digit, const Bytes& payload);

// Offset of the date within an old video extension for a layout code.
size_t OldLayoutDateOffset(uint16_t layoutCode);

// The recorder's payload checksum: the sum, modulo 256, of at most 128
// bytes sampled backwards from the last byte (step len/128 when len > 127).
uint8_t PayloadChecksum(const uint8_t* data, size_t len);

// A deterministic pseudo-random payload of `len` bytes for `seed`.
Bytes PatternPayload(size_t len, uint32_t seed);

}  // namespace packwriter

#endif  // MSSP_PACK_WRITER_H
