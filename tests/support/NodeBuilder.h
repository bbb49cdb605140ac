// Fills a stream's node ring and data ring directly, as the reader thread
// would, for tests of the consumer side (delivery, queries, control) that
// run without reader threads. Packs come from the pack writer, so that the
// bytes the consumer reads (channel byte, date and time) are real packs.
// Test thread only; the filler does not check the ring's free space.
#ifndef MSSP_NODE_BUILDER_H
#define MSSP_NODE_BUILDER_H

#include <array>
#include <cstdint>

#include "MultiStreamSyncParser.h"
#include "PackWriter.h"

namespace msspt {

// What the frame parser would put into a node.
struct FrameSpec {
    uint8_t frameType = MSSP_FRAME_I;
    uint64_t pts = 0;
    std::array<uint8_t, 6> time{};  // year (from 2000), month, day, hour, minute, second
    uint8_t flags = 0;              // bit 0 new segment, bit 1 last before one
    bool audioSegment = false;      // flags2 bit 1
    bool extFlag = true;            // flags2 bit 0
    uint8_t refType = 0;
    uint8_t refIndex = 0;
    uint8_t frameRate = 25;         // bits 0..6
    bool complete = true;           // completion mark, bit 7 of frameRate
    uint16_t width = 352;
    uint16_t height = 288;
};

// A new-format pack for `spec`: records kind 1, 3 and 2 (so that its time
// of day sits at pack bytes 39..41), kind 5 for audio and kind 8 when
// refType is 2 or 5, then `payloadLen` bytes.
packwriter::Bytes NewFormatPack(const FrameSpec& spec, uint8_t channel, size_t payloadLen = 64);

// An old-format pack: a video pack with layout 1087 (time at pack bytes
// 115..117) for types 0 and 1, an 8-byte audio pack for type 2.
packwriter::Bytes OldFormatPack(const FrameSpec& spec, uint8_t channel, size_t payloadLen = 64);

class StreamFiller {
public:
    StreamFiller(CMultiStreamSyncParser& parser, int index);

    // Copies `pack` into the data ring at the write position (wrapping to
    // offset 0 at the ring's end: two pieces), fills node lastIndex + 1 from
    // `spec` and publishes it: lastIndex, then parseNum. Returns the node.
    int Push(const FrameSpec& spec, const packwriter::Bytes& pack);
    // The same without the publishing step: the node is written, parseNum
    // and lastIndex stay (a frame the reader is still filling).
    int WriteUnpublished(const FrameSpec& spec, const packwriter::Bytes& pack);

    // Where the next pack goes in the data ring.
    void SetWritePos(uint32_t pos) { writePos_ = pos; }
    uint32_t WritePos() const { return writePos_; }

    MSSP_FrameNode_t& Node(int n);

private:
    int Write(const FrameSpec& spec, const packwriter::Bytes& pack);

    CMultiStreamSyncParser& parser_;
    int index_;
    uint32_t writePos_ = 0;
};

// Empties a stream as a buffer reset does: counts 0, getIndex 0, lastIndex -1.
void ResetStream(CMultiStreamSyncParser& parser, int index);

}  // namespace msspt

#endif  // MSSP_NODE_BUILDER_H
