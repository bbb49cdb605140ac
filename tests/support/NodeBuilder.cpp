#include "NodeBuilder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "MsspInternal.h"
#include "TestAccess.h"

namespace msspt {

using A = MsspTestAccess;

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
    const auto kind = spec.frameType == MSSP_FRAME_I ? packwriter::kIFrame : packwriter::kPFrame;
    return packwriter::MakeOldVideoPack({kind, channel, 1087, 144, spec.pts * 1000, spec.time, spec.width, spec.height},
                                        payload);
}

int StreamFiller::Push(const FrameSpec& spec, const packwriter::Bytes& pack, bool publish) {
    const auto size = static_cast<uint32_t>(A::BufSize(parser_));
    const auto len = static_cast<uint32_t>(pack.size());
    const uint32_t at = writePos_ % size;
    const uint32_t first = len <= size - at ? len : size - at;
    std::memcpy(A::Ring(parser_, index_) + at, pack.data(), first);
    std::memcpy(A::Ring(parser_, index_), pack.data() + first, len - first);
    writePos_ = (at + len) % size;

    MSSP_NodeCursor_t* cursor = A::Cursor(parser_, index_);
    const int n = (cursor->lastIndex + 1) % A::FrameNum(parser_);
    MSSP_FrameNode_t& node = A::Nodes(parser_, index_)[n];
    node = MSSP_FrameNode_t{};
    node.flags = spec.flags;
    node.frameType = spec.frameType;
    std::memcpy(node.time, spec.time.data(), 6);
    node.pts = spec.pts;
    node.width = spec.width;
    node.height = spec.height;
    node.offset1 = at;
    node.length1 = first;
    node.length2 = len - first;
    node.refType = spec.refType;
    node.refIndex = spec.refIndex;
    node.flags2 = static_cast<uint8_t>((spec.extFlag ? 1 : 0) | (spec.audioSegment ? 2 : 0));
    node.frameRate = static_cast<uint8_t>((spec.frameRate & 0x7F) | (spec.complete ? 0x80 : 0));
    if (publish) {  // as the reader thread does: the node, then lastIndex, then parseNum
        std::atomic_ref<int32_t>(cursor->lastIndex).store(n, std::memory_order_release);
        std::atomic_ref<uint32_t>(A::Head(parser_, index_)->parseNum).fetch_add(1, std::memory_order_release);
    }
    return n;
}

void ResetStream(CMultiStreamSyncParser& parser, int index) {
    A::Head(parser, index)->parseNum = A::Head(parser, index)->getNum = 0;
    A::Cursor(parser, index)->getIndex = 0;
    A::Cursor(parser, index)->lastIndex = -1;
}

TestParser::TestParser(const char* tag, int streams, int bufSize, int frameNum, std::vector<int> channels)
    : name_(UniqueName(tag)) {
    p_ = std::make_unique<CMultiStreamSyncParser>(1, streams, name_.data(), bufSize, frameNum, nullptr, nullptr, 0);
    for (int i = 0; i < streams; ++i) {
        A::Head(*p_, i)->channel = channels.empty() ? i : channels[static_cast<size_t>(i)];
        A::Head(*p_, i)->state = A::Head(*p_, i)->playStatus = MSSP_STATUS_PLAY;
        A::ChnMask(*p_) |= 1u << i;
        fill_.emplace_back(*p_, i);
    }
}

TestParser::~TestParser() {
    p_.reset();
    RemoveKeyFile(name_, 1);
}

int TestParser::Push(int i, const FrameSpec& spec, size_t payload, packwriter::Bytes pack, bool publish) {
    const auto chn = static_cast<uint8_t>(A::Head(*p_, i)->channel);
    if (pack.empty()) pack = g_DeviceGroup == 3 ? OldFormatPack(spec, chn, payload) : NewFormatPack(spec, chn, payload);
    return Filler(i).Push(spec, pack, publish);
}

MSSP_FrameNode_t& TestParser::Node(int i, int n) { return A::Nodes(*p_, i)[n]; }

int TestParser::Waiting(int i) { return static_cast<int>(A::Head(*p_, i)->parseNum - A::Head(*p_, i)->getNum); }

Delivered TestParser::Get(int direction, unsigned char convert) {
    Delivered d;
    d.rc = p_->GetFrame(&d.data1, &d.len1, &d.data2, &d.len2, &d.type, &d.pts, &d.flag, &d.channel, direction, convert);
    return d;
}

std::string Printed(const std::function<void()>& fn) {
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace msspt
