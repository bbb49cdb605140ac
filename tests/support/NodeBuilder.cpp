#include "NodeBuilder.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "TestAccess.h"

namespace msspt {
namespace {

using A = MsspTestAccess;

template <class T>
void PutField(MSSP_FrameNode_t& node, size_t at, T value) {
    std::memcpy(reinterpret_cast<uint8_t*>(&node) + at, &value, sizeof(T));
}

}  // namespace

packwriter::Bytes NewFormatPack(const FrameSpec& spec, uint8_t channel, size_t payloadLen) {
    packwriter::NewPack pack;
    pack.kind = static_cast<packwriter::FrameKind>(spec.frameType <= 2 ? spec.frameType : 1);
    pack.channel = channel;
    pack.video = packwriter::VideoInfo{spec.width, spec.height, spec.frameRate};
    pack.pts = spec.pts;
    pack.time = spec.time;
    if (spec.frameType == MSSP_FRAME_AUDIO) pack.flag = spec.extFlag;
    if (spec.refType == 2 || spec.refType == 5) pack.ref = packwriter::RefInfo{spec.refType, spec.refIndex};
    return packwriter::MakeNewPack(pack, packwriter::PatternPayload(payloadLen, static_cast<uint32_t>(spec.pts)));
}

packwriter::Bytes OldFormatPack(const FrameSpec& spec, uint8_t channel, size_t payloadLen) {
    const packwriter::Bytes payload = packwriter::PatternPayload(payloadLen, static_cast<uint32_t>(spec.pts));
    if (spec.frameType == MSSP_FRAME_AUDIO) return packwriter::MakeOldAudioPack(channel, 0, payload);
    packwriter::OldVideoPack pack;
    pack.kind = spec.frameType == MSSP_FRAME_I ? packwriter::kIFrame : packwriter::kPFrame;
    pack.channel = channel;
    pack.ptsUs = spec.pts * 1000;
    pack.time = spec.time;
    pack.width = spec.width;
    pack.height = spec.height;
    return packwriter::MakeOldVideoPack(pack, payload);
}

StreamFiller::StreamFiller(CMultiStreamSyncParser& parser, int index) : parser_(parser), index_(index) {}

MSSP_FrameNode_t& StreamFiller::Node(int n) { return A::Nodes(parser_, index_)[n]; }

int StreamFiller::Write(const FrameSpec& spec, const packwriter::Bytes& pack) {
    const uint32_t size = static_cast<uint32_t>(A::BufSize(parser_));
    unsigned char* ring = A::Ring(parser_, index_);
    const uint32_t len = static_cast<uint32_t>(pack.size());
    const uint32_t at = writePos_ % size;
    const uint32_t first = len <= size - at ? len : size - at;
    std::memcpy(ring + at, pack.data(), first);
    if (first < len) std::memcpy(ring, pack.data() + first, len - first);
    writePos_ = (at + len) % size;

    MSSP_NodeCursor_t* cursor = A::Cursor(parser_, index_);
    const int n = (cursor->lastIndex + 1) % A::FrameNum(parser_);
    MSSP_FrameNode_t& node = Node(n);
    std::memset(&node, 0, sizeof(node));
    node.flags = spec.flags;
    node.frameType = spec.frameType;
    std::memcpy(node.time, spec.time.data(), 6);
    PutField(node, offsetof(MSSP_FrameNode_t, pts), spec.pts);
    PutField(node, offsetof(MSSP_FrameNode_t, width), spec.width);
    PutField(node, offsetof(MSSP_FrameNode_t, height), spec.height);
    PutField(node, offsetof(MSSP_FrameNode_t, offset1), at);
    PutField(node, offsetof(MSSP_FrameNode_t, length1), first);
    PutField(node, offsetof(MSSP_FrameNode_t, offset2), uint32_t{0});
    PutField(node, offsetof(MSSP_FrameNode_t, length2), len - first);
    node.refType = spec.refType;
    node.refIndex = spec.refIndex;
    node.flags2 = static_cast<uint8_t>((spec.extFlag ? 1 : 0) | (spec.audioSegment ? 2 : 0));
    node.frameRate = static_cast<uint8_t>((spec.frameRate & 0x7F) | (spec.complete ? 0x80 : 0));
    return n;
}

int StreamFiller::WriteUnpublished(const FrameSpec& spec, const packwriter::Bytes& pack) { return Write(spec, pack); }

int StreamFiller::Push(const FrameSpec& spec, const packwriter::Bytes& pack) {
    const int n = Write(spec, pack);
    MSSP_NodeCursor_t* cursor = A::Cursor(parser_, index_);
    MSSP_StreamHead_t* head = A::Head(parser_, index_);
    // Publish as the reader thread does: the node, then lastIndex, then parseNum.
    std::atomic_ref<int32_t>(cursor->lastIndex).store(n, std::memory_order_release);
    std::atomic_ref<uint32_t>(head->parseNum).fetch_add(1, std::memory_order_release);
    return n;
}

void ResetStream(CMultiStreamSyncParser& parser, int index) {
    A::Head(parser, index)->parseNum = 0;
    A::Head(parser, index)->getNum = 0;
    A::Cursor(parser, index)->getIndex = 0;
    A::Cursor(parser, index)->lastIndex = -1;
}

}  // namespace msspt
