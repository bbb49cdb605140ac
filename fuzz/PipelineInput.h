// Input layout of the whole-pipeline fuzz target, shared by the target and
// the seed corpus writer. A 28-byte header chooses how the recording is
// served and consumed; the rest of the input is the recording itself.
//
//  byte 0   mode bits: 0 old format (device group 3), 1 bConvert, 2 two
//           streams (both serve the recording), 3 trick play, 4 trick play
//           backward (with 3), 5 new-segment flag on the first read,
//           6 GetSegmentInfo fails, 7 GetFrame plays backward
//  byte 1   ring size: 3 * 65536 + 97 * byte
//  byte 2   frame nodes per stream: 1 + byte % 32
//  byte 3   filler: 512 * byte zero bytes served before the recording
//  byte 4   audio bit of segment s: bit s % 8
//  byte 5   read failure: the read (low 5 bits: read number + 1, 0 = none)
//           that fails; bits 5..6 how: 0, -1, more than asked (an I-frame
//           read: success with an empty buffer), -9 (an I-frame read:
//           success with a null pointer)
//  bytes 6..7   u16 new-segment mask: read k reports a new segment when bit
//               k % 16 is set
//  byte 8   channel number of both streams (low 5 bits)
//  byte 9   trick-play speed: 2, 8, 16, 32 by the low 2 bits
//  bytes 10..11 seed of the consumer's choices
//  bytes 12..27 eight u16 chunk sizes used in turn for reads and I-frame
//               reads (0 = 65536)
//  bytes 28..   the recording
#ifndef MSSP_FUZZ_PIPELINE_INPUT_H
#define MSSP_FUZZ_PIPELINE_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzpipe {

constexpr size_t kHeaderLen = 28;
constexpr int kChunkCount = 8;

enum ModeBit : uint8_t {
    kOldFormat = 1u << 0,
    kConvert = 1u << 1,
    kTwoStreams = 1u << 2,
    kTrick = 1u << 3,
    kTrickBackward = 1u << 4,
    kFlagFirstRead = 1u << 5,
    kSegInfoFails = 1u << 6,
    kBackward = 1u << 7,
};

enum FailKind { kFailZero = 0, kFailNegative = 1, kFailTooLong = 2, kFailNullData = 3 };

struct Header {
    uint8_t mode = 0;
    uint8_t ringExtra = 0;
    uint8_t nodes = 31;
    uint8_t filler = 0;
    uint8_t audioBits = 0;
    uint8_t failure = 0;
    uint16_t segMask = 0;
    uint8_t channel = 0;
    uint8_t speed = 0;
    uint16_t consumerSeed = 0;
    uint16_t chunks[kChunkCount] = {0, 0, 0, 0, 0, 0, 0, 0};
};

inline Header Decode(const uint8_t* d) {
    Header h;
    h.mode = d[0];
    h.ringExtra = d[1];
    h.nodes = d[2];
    h.filler = d[3];
    h.audioBits = d[4];
    h.failure = d[5];
    h.segMask = static_cast<uint16_t>(d[6] | (d[7] << 8));
    h.channel = d[8];
    h.speed = d[9];
    h.consumerSeed = static_cast<uint16_t>(d[10] | (d[11] << 8));
    for (int k = 0; k < kChunkCount; ++k) h.chunks[k] = static_cast<uint16_t>(d[12 + 2 * k] | (d[13 + 2 * k] << 8));
    return h;
}

inline std::vector<uint8_t> Encode(const Header& h, const std::vector<uint8_t>& recording) {
    std::vector<uint8_t> out = {h.mode,
                                h.ringExtra,
                                h.nodes,
                                h.filler,
                                h.audioBits,
                                h.failure,
                                static_cast<uint8_t>(h.segMask),
                                static_cast<uint8_t>(h.segMask >> 8),
                                h.channel,
                                h.speed,
                                static_cast<uint8_t>(h.consumerSeed),
                                static_cast<uint8_t>(h.consumerSeed >> 8)};
    for (uint16_t c : h.chunks) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.insert(out.end(), recording.begin(), recording.end());
    return out;
}

}  // namespace fuzzpipe

#endif  // MSSP_FUZZ_PIPELINE_INPUT_H
