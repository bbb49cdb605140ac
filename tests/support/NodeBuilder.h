// Fills a stream's node ring and data ring directly, as the reader thread
// would, for tests of the consumer side (delivery, queries, resets) that run
// without reader threads. Packs come from the pack writer, so that the bytes
// the consumer reads (channel byte, date and time) are real packs. Test
// thread only; the filler does not check the ring's free space.
#ifndef MSSP_NODE_BUILDER_H
#define MSSP_NODE_BUILDER_H

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// A new-format pack for `spec` (records 1, 3, 2: the time of day at pack
// bytes 39..41; 5 for audio; 8 when refType is 2 or 5), then `payloadLen` bytes.
packwriter::Bytes NewFormatPack(const FrameSpec& spec, uint8_t channel, size_t payloadLen = 64);
// An old-format pack: video with layout 1087 (time at pack bytes 115..117), or audio.
packwriter::Bytes OldFormatPack(const FrameSpec& spec, uint8_t channel, size_t payloadLen = 64);

class StreamFiller {
public:
    StreamFiller(CMultiStreamSyncParser& parser, int index) : parser_(parser), index_(index) {}
    // Copies `pack` into the data ring at the write position (in two pieces
    // at the ring's end), fills node lastIndex + 1 from `spec` and, when
    // `publish`, publishes it as the reader does: lastIndex, then parseNum.
    // Unpublished, it is a frame the reader is still filling.
    int Push(const FrameSpec& spec, const packwriter::Bytes& pack, bool publish = true);
    void SetWritePos(uint32_t pos) { writePos_ = pos; }

private:
    CMultiStreamSyncParser& parser_;
    int index_;
    uint32_t writePos_ = 0;
};

// Empties a stream as a buffer reset does: counts 0, getIndex 0, lastIndex -1.
void ResetStream(CMultiStreamSyncParser& parser, int index);

// What GetFrame handed out.
struct Delivered {
    int rc = -9;
    unsigned char *data1 = nullptr, *data2 = nullptr;
    int len1 = -1, len2 = -1, type = -1, channel = -9;
    unsigned long long pts = 0;
    unsigned int flag = 0xFFFF;
};

// A parser of `streams` streams on channels 0..n-1 (or `channels`), all
// playing, filled without reader threads; its key file is removed with it.
// Packs are old-format ones on an old device (g_DeviceGroup 3).
class TestParser {
public:
    TestParser(const char* tag, int streams, int bufSize = 3 * 65536, int frameNum = 16, std::vector<int> channels = {});
    ~TestParser();
    TestParser(const TestParser&) = delete;
    CMultiStreamSyncParser& operator*() { return *p_; }
    CMultiStreamSyncParser* operator->() { return p_.get(); }

    // A frame of stream i: `pack`, or a real pack for `spec` on the stream's channel.
    int Push(int i, const FrameSpec& spec, size_t payload = 64, packwriter::Bytes pack = {}, bool publish = true);
    StreamFiller& Filler(int i) { return fill_[static_cast<size_t>(i)]; }
    MSSP_FrameNode_t& Node(int i, int n);
    int Waiting(int i);
    Delivered Get(int direction = 1, unsigned char convert = 0);

private:
    std::string name_;
    std::unique_ptr<CMultiStreamSyncParser> p_;
    std::vector<StreamFiller> fill_;
};

// What `fn` printed on standard output.
std::string Printed(const std::function<void()>& fn);

}  // namespace msspt

#endif  // MSSP_NODE_BUILDER_H
