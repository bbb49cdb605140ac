// Test harness for driving the producer side without threads (see header).
#include "ParserHarness.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "MsspInternal.h"

namespace msspt {

using A = MsspTestAccess;

ParserHarness::ParserHarness(const char* tag, int streams, int bufSize, int frameNum, int grp)
    : ops(ScriptedHost::Table()), name(UniqueName(tag)), group(grp) {
    parser = std::make_unique<CMultiStreamSyncParser>(group, streams, name.data(), bufSize, frameNum, &ops,
                                                      &host, 5);
}

ParserHarness::~ParserHarness() {
    parser.reset();
    RemoveKeyFile(name, group);
}

int ParserHarness::Prime(int i, int channel, int type, DateTime at) {
    MSSP_OpenParam_t req{};
    req.channel = static_cast<uint8_t>(channel);
    req.streamTypeBmp = static_cast<uint8_t>(1u << type);
    std::memcpy(&req.year, at.data(), 6);  // year .. second
    const int fd = ScriptedHost::OpenStream(&host, &req, 0);
    CMultiStreamSyncParser& p = *parser;
    A::StreamFd(p, type, i) = fd;
    A::CurStreamType(p, i) = type;
    A::ChnMask(p) |= 1u << channel;
    A::Status(p) = MSSP_STATUS_PLAY;
    tag_pbParserData& pd = A::Parser(p, i);
    if (pd.pFrameInfo == nullptr) pd.pFrameInfo = static_cast<MSSP_FrameNode_t*>(std::calloc(1, 40));
    if (pd.pTempBuf == nullptr) pd.pTempBuf = static_cast<unsigned char*>(std::calloc(1, 4096));
    A::Head(p, i)->channel = channel;
    A::Head(p, i)->state = fd >= 0 ? MSSP_STATUS_PLAY : MSSP_STATUS_STOP;
    return fd;
}

int ParserHarness::Waiting(int i) { return mssp::WaitingCount(A::Head(*parser, i)); }

Delivered ParserHarness::Node(int i, int k) {
    Delivered d;
    std::memcpy(&d.node, &A::Nodes(*parser, i)[k], sizeof(d.node));
    const unsigned char* ring = A::Ring(*parser, i);
    const uint32_t o1 = d.node.offset1, l1 = d.node.length1, o2 = d.node.offset2, l2 = d.node.length2;
    const uint32_t size = static_cast<uint32_t>(A::BufSize(*parser));
    // Never read outside the ring, whatever the node says.
    if (o1 <= size && l1 <= size - o1) d.bytes.assign(ring + o1, ring + o1 + l1);
    if (o2 <= size && l2 <= size - o2) d.bytes.insert(d.bytes.end(), ring + o2, ring + o2 + l2);
    return d;
}

Delivered ParserHarness::Oldest(int i) {
    return Node(i, static_cast<int>(A::Cursor(*parser, i)->getIndex));
}

void ParserHarness::Release(int i, int n) {
    MSSP_StreamHead_t* head = A::Head(*parser, i);
    MSSP_NodeCursor_t* cursor = A::Cursor(*parser, i);
    for (int k = 0; k < n; ++k) {
        mssp::StoreRelease(head->getNum, head->getNum + 1);
        mssp::StoreRelease(cursor->getIndex, (cursor->getIndex + 1) % static_cast<uint32_t>(A::FrameNum(*parser)));
    }
}

int ParserHarness::ParseUntilWaiting(int i, int waiting, int maxCalls) {
    int r = 0;
    for (int c = 0; c < maxCalls; ++c) {
        if (Waiting(i) >= waiting || Head(i)->state > MSSP_STATUS_FAST_BACKWARD) break;
        r = parser->ParseFrame(i);
    }
    return r;
}

std::vector<Delivered> ParserHarness::DrainAll(int i, int maxIdle, int maxCalls) {
    std::vector<Delivered> out;
    for (int c = 0, idle = 0; c < maxCalls && idle < maxIdle && Head(i)->state <= MSSP_STATUS_FAST_BACKWARD; ++c) {
        for (; Waiting(i) > 0; Release(i)) out.push_back(Oldest(i));
        const int r = parser->ParseFrame(i);
        idle = (r > 0 || Waiting(i) > 0) ? 0 : idle + 1;
    }
    for (; Waiting(i) > 0; Release(i)) out.push_back(Oldest(i));
    return out;
}

std::vector<PackInfo> PacksOfTypes(const std::vector<PackInfo>& packs, std::vector<int> types) {
    std::vector<PackInfo> out;
    for (const PackInfo& p : packs)
        if (std::find(types.begin(), types.end(), p.type) != types.end()) out.push_back(p);
    return out;
}

}  // namespace msspt
