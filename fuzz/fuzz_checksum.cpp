// Fuzz target: CalculateCheckSum over random piece layouts. Every part of
// every piece is heap-allocated with its exact size, so that the address
// sanitizer catches a read outside any of them. Input: byte 0, the piece
// count - 1 (modulo 20); bytes 1..2, a u16 taken modulo the data's length
// + 1, the checksum length; then two u16 part lengths per piece; the rest
// is the data, dealt to the parts in order. The result must equal the pack
// writer's checksum over the last `len` bytes of the joined data, and the
// general walk's over the same pieces (CalculateCheckSum sums in place when
// one part holds every sample).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "FrameFormat.h"
#include "MultiStreamSyncParser.h"
#include "PackWriter.h"

namespace {

constexpr uint32_t kMaxPieces = 20;  // FrameData_t::Pack

uint32_t U16(const uint8_t* p) { return p[0] | (static_cast<uint32_t>(p[1]) << 8); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint32_t pieces = 1 + data[0] % kMaxPieces;
    const uint32_t rawLen = U16(data + 1);
    const size_t layoutEnd = 3 + 4 * static_cast<size_t>(pieces);
    if (size < layoutEnd) return 0;

    const uint8_t* payload = data + layoutEnd;
    size_t left = size - layoutEnd;
    std::vector<std::unique_ptr<uint8_t[]>> parts;
    std::vector<uint8_t> joined;
    FrameData_t fd{};
    fd.PackNum = pieces;
    for (uint32_t i = 0; i < 2 * pieces; ++i) {
        size_t n = U16(data + 3 + 2 * i);
        if (n > left) n = left;
        std::unique_ptr<uint8_t[]> part(n ? new uint8_t[n] : nullptr);
        for (size_t k = 0; k < n; ++k) part[k] = payload[k];
        joined.insert(joined.end(), payload, payload + n);
        payload += n;
        left -= n;
        FramePiece_t& piece = fd.Pack[i / 2];
        if (i % 2 == 0) {
            piece.pData = part.get();
            piece.Len = static_cast<uint32_t>(n);
        } else {
            piece.pDataEx = part.get();
            piece.LenEx = static_cast<uint32_t>(n);
        }
        parts.push_back(std::move(part));
    }

    const size_t len = rawLen % (joined.size() + 1);
    const int sum = CalculateCheckSum(&fd, static_cast<int>(len));
    const uint8_t* tail = joined.data() + (joined.size() - len);
    if (sum != packwriter::PayloadChecksum(tail, len)) std::abort();
    if (sum != mssp::CheckSumWalk(&fd, static_cast<int>(len))) std::abort();
    return 0;
}
