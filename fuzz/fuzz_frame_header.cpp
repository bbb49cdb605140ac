// Fuzz target: the header search and decoding of both recorded formats over
// two pieces, each heap-allocated with its exact size so that the address
// sanitizer catches a read past either one (pTempBuf too: exactly 4096).
// Input: byte 0 bit 0 chooses the format (0 new, 1 old); bytes 1..2, a u16
// taken modulo the rest's length + 1, the split point; the rest is the
// stream. Beyond the sanitizers, every result must keep the functions'
// contract, equal the result for the same bytes in one piece, and equal the
// general path's (search and decode without the in-place fast path) on the
// same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FrameFormat.h"
#include "MultiStreamSyncParser.h"

namespace {

constexpr size_t kTempBufSize = 4096;
constexpr uint8_t kInfoFill = 0x5C;  // a previous frame's frame-info bytes
constexpr uint8_t kFrameRate = 0x3A; // a previous kind-1 record's frame rate

struct Outcome {
    int rc;
    uint64_t at;  // Offset + OffsetEx: where the search stopped
    tag_pbParserData pd;
    MSSP_FrameNode_t fi;
};

std::unique_ptr<uint8_t[]> HeapCopy(const uint8_t* p, size_t n) {
    if (n == 0) return nullptr;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
    std::memcpy(copy.get(), p, n);
    return copy;
}

// `general`: the general path alone, as the exported functions take it
// when the fast one does not apply.
Outcome Run(bool old, const uint8_t* a, size_t la, const uint8_t* b, size_t lb, bool general = false) {
    std::unique_ptr<uint8_t[]> pa = HeapCopy(a, la), pb = HeapCopy(b, lb);
    Outcome o{};
    std::memset(&o.fi, kInfoFill, sizeof(o.fi));
    o.pd.pFrameInfo = &o.fi;
    o.pd.pTempBuf = static_cast<unsigned char*>(std::malloc(kTempBufSize));
    o.pd.u8FrameRate = kFrameRate;
    const auto ua = static_cast<unsigned>(la), ub = static_cast<unsigned>(lb);
    if (general) o.rc = mssp::ParseHeaderGeneral(old, pa.get(), ua, pb.get(), ub, &o.pd);
    else o.rc = old ? GetFrameHeaderOldVersion(pa.get(), ua, pb.get(), ub, &o.pd)
                    : GetFrameHeader(pa.get(), ua, pb.get(), ub, &o.pd);
    std::free(o.pd.pTempBuf);
    o.pd.pTempBuf = nullptr;
    o.pd.pFrameInfo = nullptr;
    o.at = static_cast<uint64_t>(o.pd.Offset) + o.pd.OffsetEx;
    return o;
}

void Require(bool ok) {
    if (!ok) std::abort();
}

void CheckContract(const Outcome& o, bool old, size_t la, size_t lb) {
    Require(o.rc == 0 || o.rc == -1 || o.rc == -2);
    Require(o.pd.Offset <= la && o.pd.OffsetEx <= lb);
    Require(o.pd.Offset == la || o.pd.OffsetEx == 0);
    if (o.rc != 0) return;
    Require(o.fi.frameType <= 2);
    const uint32_t headLen = !old ? 12 : (o.fi.frameType == 2 ? 8 : 24);
    Require(o.pd.ExtLen <= 4096 && o.pd.FrameLen >= 16);
    Require(static_cast<uint64_t>(o.pd.PackLen) ==
            static_cast<uint64_t>(headLen) + o.pd.ExtLen + o.pd.FrameLen);
    Require(o.at + headLen + o.pd.ExtLen <= static_cast<uint64_t>(la) + lb);
    Require(!old || o.pd.CheckSum == 0);
    Require((o.fi.frameRate & 0x7F) == (o.pd.u8FrameRate & 0x7F));
    Require(!old || o.pd.u8FrameRate == kFrameRate);  // only kind-1 records change it
    Require((o.fi.frameRate & 0x80) == (kInfoFill & 0x80));
}

// The same bytes through both paths: everything they leave is the same.
void CheckSameAsGeneral(const Outcome& fast, const Outcome& general) {
    Require(fast.rc == general.rc && fast.at == general.at);
    Require(fast.pd.Offset == general.pd.Offset && fast.pd.OffsetEx == general.pd.OffsetEx);
    Require(std::memcmp(&fast.fi, &general.fi, sizeof(fast.fi)) == 0);
    Require(fast.pd.FrameLen == general.pd.FrameLen && fast.pd.PackLen == general.pd.PackLen);
    Require(fast.pd.ExtLen == general.pd.ExtLen && fast.pd.CheckSum == general.pd.CheckSum);
    Require(fast.pd.u8FrameRate == general.pd.u8FrameRate);
}

// With piece 2 empty or at least 3 bytes long the split is invisible; with
// 1 or 2 bytes a chunk id across the joint waits, so only a found header
// must agree.
void CheckSameAsOnePiece(const Outcome& split, const Outcome& whole, size_t lb) {
    if ((lb == 1 || lb == 2) && split.rc == -1) return;
    Require(split.rc == whole.rc && split.at == whole.at);
    Require(std::memcmp(&split.fi, &whole.fi, sizeof(split.fi)) == 0);
    Require(split.pd.FrameLen == whole.pd.FrameLen && split.pd.PackLen == whole.pd.PackLen);
    Require(split.pd.ExtLen == whole.pd.ExtLen && split.pd.CheckSum == whole.pd.CheckSum);
    Require(split.pd.u8FrameRate == whole.pd.u8FrameRate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const bool old = (data[0] & 1) != 0;
    const size_t len = size - 3;
    const size_t split = (data[1] | (static_cast<size_t>(data[2]) << 8)) % (len + 1);
    const uint8_t* bytes = data + 3;

    const Outcome cut = Run(old, bytes, split, bytes + split, len - split);
    CheckContract(cut, old, split, len - split);
    const Outcome whole = Run(old, bytes, len, nullptr, 0);
    CheckContract(whole, old, len, 0);
    CheckSameAsOnePiece(cut, whole, len - split);
    CheckSameAsGeneral(cut, Run(old, bytes, split, bytes + split, len - split, true));
    CheckSameAsGeneral(whole, Run(old, bytes, len, nullptr, 0, true));
    return 0;
}
