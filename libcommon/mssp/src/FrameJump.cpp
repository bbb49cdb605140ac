// Frame-jump levels: the two exported mask tables, the per-frame show/skip
// test (CheckSend) that delivery applies to video frames, and the operations
// that set a stream's level and report the frame rate a level leaves.
// SetFrameJumpLevel runs on the host's control thread and writes only the
// one level byte; CheckSend runs on the playback thread. Nothing here
// releases frames or touches the reader side.
#include <cstdio>

#include "MsspInternal.h"

// Word L is level L. Bit 31 (0x80000000) stands for position 0 of the
// reference cycle, bit 31 - p for position p; positions 32..60 reuse the
// bits of 0..28. Level 14 shows everything and is never looked up.
const uint32_t REF_JUMP_MASK_4X_30fps_BIT[15] = {
    0x88888880, 0x88888880, 0x88888880, 0x88888888, 0x88A88A88,
    0x8A8A8A8A, 0xAA8AA8AA, 0xAAAAAAAA, 0xAAEAAEAA, 0xEAEAEAEA,
    0xEEAEEAEE, 0xEEEEEEEE, 0xFEEEFEEE, 0xFEFEFEFE, 0xFFFFFFFF,
};
const uint32_t REF_JUMP_MASK_2X_30fps_BIT[15] = {
    0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA,
    0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAEAAEAA, 0xEAEAEAEA,
    0xEEAEEAEE, 0xEEEEEEEE, 0xFEEEFEEE, 0xFEFEFEFE, 0xFFFFFFFF,
};

namespace {

constexpr unsigned kMaxLevel = 14;        // every frame shown
constexpr unsigned kMaxTableLevel = 13;   // highest level that consults a table
constexpr unsigned kMaxRefIndex = 60;     // positions above are always shown
constexpr unsigned kFoldedFrom = 32;      // positions 32..60 reuse bits 0..28
constexpr uint8_t kRefType2X = 2;
constexpr uint8_t kRefType4X = 5;
constexpr uint8_t kFrameRateBits = 0x7F;  // frameRate byte without the completion mark
constexpr int kUnknownRate = 255;

bool HasNoReferenceStructure(unsigned refType) { return refType == 0 || refType == 1; }

// h = (f - 1) / 2 and q = (f - 1) / 4, both 0 for f = 0.
int Half(int f) { return f > 0 ? (f - 1) / 2 : 0; }
int Quarter(int f) { return f > 0 ? (f - 1) / 4 : 0; }
int NotMultipleOf4(int f) { return f % 4 != 0 ? 1 : 0; }

// Rate left by the 2X/4X tables at levels 8..13 (both tables agree there),
// as GetFrameRateByLevel counts it.
int RateByLevelCommon(unsigned level, int f) {
    const int h = Half(f);
    switch (level) {
        case 8: return h + f / 10 + 1 - f / 20;
        case 9: return h + f / 8 + 2;
        case 10: return f - f / 4 - f / 12;
        case 11: return h + f / 4 + 1;
        case 12: return f % 4 + (3 * f) / 4 + f / 16;
        default: return f - f / 8;  // 13
    }
}

// The same levels as SetFrameJumpLevel counts them.
int SetLevelRateCommon(unsigned level, int f) {
    const int h = Half(f);
    switch (level) {
        case 8: return f / 10 + 1 + h;
        case 9: return f / 8 + 1 + h;
        case 10: return f / 4 - f / 10 + 1 + h;
        case 11: return f / 4 + 1 + h;
        case 12: return f - f / 4 + f / 16;
        default: return f - f / 8;  // 13
    }
}

// Levels 0..7 of the 4X table, as SetFrameJumpLevel counts them.
int SetLevelRate4XLow(unsigned level, int f) {
    const int h = Half(f);
    const int q = Quarter(f);
    switch (level) {
        case 0:
        case 1:
        case 2: return f > 28 ? 7 : q + 1;
        case 3: return q + 1;
        case 4: return f / 12 + 1 + q;
        case 5: return f / 8 + 1 + q;
        case 6: return h - f / 12 + 1;
        default: return h + 1;  // 7
    }
}

}  // namespace

int CheckSend(unsigned char level, unsigned char refType, unsigned char refIndex) {
    if (level > kMaxTableLevel || HasNoReferenceStructure(refType) || refIndex > kMaxRefIndex) return 1;
    const unsigned position = refIndex < kFoldedFrom ? refIndex : refIndex - kFoldedFrom;
    const uint32_t* table;
    if (refType == kRefType4X) {
        table = REF_JUMP_MASK_4X_30fps_BIT;
    } else if (refType == kRefType2X) {
        table = REF_JUMP_MASK_2X_30fps_BIT;
    } else {
        return 1;
    }
    return (table[level] & (0x80000000u >> position)) != 0 ? 1 : 0;
}

int CMultiStreamSyncParser::GetFrameRateByLevel(unsigned char level, unsigned char refType,
                                                unsigned char frameRate) {
    const int f = frameRate;
    if (level >= kMaxLevel || HasNoReferenceStructure(refType)) return f;
    if (refType != kRefType2X && refType != kRefType4X) return f;
    if (level >= 8) return RateByLevelCommon(level, f);
    if (refType == kRefType2X) return Half(f) + 1;
    switch (level) {
        case 0:
        case 1:
        case 2: return f > 28 ? 7 : Quarter(f) + 1;
        case 3: return f / 4 + NotMultipleOf4(f);
        case 4: return f / 4 + f / 12 + NotMultipleOf4(f);
        case 5: return f / 4 + f / 8 + NotMultipleOf4(f);
        case 6: return Half(f) - f / 12 + 1;
        default: return Half(f) + 1;  // 7
    }
}

int CMultiStreamSyncParser::SetFrameJumpLevel(unsigned char index, unsigned char level) {
    if (index >= m_StreamNum || level > kMaxLevel) {
        mssp::Log(this, mssp::kLogError,
                  "CMultiStreamSyncParser::SetFrameJumpLevel error, because index=%d max=%d level=%d max=%d\n", index,
                  m_StreamNum, level, static_cast<int>(kMaxLevel));
        return kUnknownRate;
    }
    // The playback thread reads the level per frame; a single byte, no order needed.
    mssp::StoreRelaxed(m_JumpLevel[index], level);

    // Acquire parseNum: the nodes it counts are complete. This runs beside the
    // playback thread, so the waiting frames are a snapshot; the answer is
    // advisory and the nodes read stay inside the node array.
    const int32_t waiting = mssp::WaitingCount(m_pStreamHead[index]);
    if (waiting <= 0) return kUnknownRate;
    const uint32_t start = mssp::LoadAcquire(m_pNodeCursor[index]->getIndex) % static_cast<uint32_t>(m_FrameNum);
    // Only waiting nodes are looked at: the node after the last waiting one
    // may be half-written by the reader thread.
    const int limit = waiting < m_FrameNum ? waiting : m_FrameNum;

    // The playback thread may release these nodes meanwhile and the reader
    // refill them: their bytes are read atomically, and a node caught in a
    // refill only makes the answer that of a neighbouring frame.
    auto type = [&](uint32_t n) { return mssp::LoadRelaxed(m_pFrameNode[index][n].frameType); };
    uint32_t node = start;
    for (int steps = 1; type(node) > MSSP_FRAME_P && steps < limit; ++steps) {
        if (++node == static_cast<uint32_t>(m_FrameNum)) {
            node = 0;
            mssp::Log(this, mssp::kLogDebug,
                      "CMultiStreamSyncParser::SetFrameJumpLevel index %d circling, firt=%d next=%d max=%d\n", index,
                      static_cast<int>(start), steps, m_FrameNum);
        }
    }
    MSSP_FrameNode_t& frame = m_pFrameNode[index][node];
    if (type(node) > MSSP_FRAME_P) {
        mssp::LogPuts(this, mssp::kLogError,
                      "CMultiStreamSyncParser::SetFrameJumpLevel failed, because frame is not video");
        return kUnknownRate;
    }

    const unsigned refType = mssp::LoadRelaxed(frame.refType);
    const int f = mssp::LoadRelaxed(frame.frameRate) & kFrameRateBits;
    mssp::Log(this, mssp::kLogInfo, "CMultiStreamSyncParser::SetFrameJumpLevel index=%d ref=%d level=%d realFr=%d\n",
              index, static_cast<int>(refType), level, f);
    if (level == kMaxLevel || HasNoReferenceStructure(refType)) return f;
    if (refType != kRefType2X && refType != kRefType4X) {
        mssp::Log(this, mssp::kLogError, "CMultiStreamSyncParser::SetFrameJumpLevel unknown ref type %d\n",
                  static_cast<int>(refType));
        return kUnknownRate;
    }
    if (level >= 8) return SetLevelRateCommon(level, f);
    if (refType == kRefType2X) return Half(f) + 1;
    return SetLevelRate4XLow(level, f);
}
