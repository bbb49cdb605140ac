// A stream's parser record and frame-info record, set up as StartParse sets
// them up, for driving the header functions directly; the bytes are handed
// over as two separately heap-allocated pieces of exact size, so that a
// sanitizer build catches a read past the end of either piece.
#ifndef MSSP_HEADER_HARNESS_H
#define MSSP_HEADER_HARNESS_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "MultiStreamSyncParser.h"

namespace msspt {

using Bytes = std::vector<uint8_t>;

// A heap copy of `n` bytes with nothing around it; null when empty.
class HeapBytes {
public:
    HeapBytes(const uint8_t* p, size_t n) : size_(static_cast<unsigned>(n)) {
        if (n == 0) return;
        data_.reset(new uint8_t[n]);
        std::memcpy(data_.get(), p, n);
    }
    uint8_t* data() { return data_.get(); }
    unsigned size() const { return size_; }

private:
    unsigned size_;
    std::unique_ptr<uint8_t[]> data_;
};

enum class Fmt { kNew, kOld };

struct HeaderHarness {
    MSSP_FrameNode_t info{};
    tag_pbParserData parser{};

    HeaderHarness() {
        parser.pFrameInfo = &info;
        parser.pTempBuf = static_cast<unsigned char*>(std::malloc(4096));
    }
    ~HeaderHarness() { std::free(parser.pTempBuf); }
    HeaderHarness(const HeaderHarness&) = delete;
    HeaderHarness& operator=(const HeaderHarness&) = delete;

    int Decode(Fmt fmt, const uint8_t* a, size_t la, const uint8_t* b, size_t lb) {
        HeapBytes pa(a, la), pb(b, lb);
        return fmt == Fmt::kNew
                   ? GetFrameHeader(pa.data(), pa.size(), pb.data(), pb.size(), &parser)
                   : GetFrameHeaderOldVersion(pa.data(), pa.size(), pb.data(), pb.size(), &parser);
    }
    // `bytes` split in two pieces at `split` (the whole in piece 1 by default).
    int Decode(Fmt fmt, const Bytes& bytes, size_t split) {
        return Decode(fmt, bytes.data(), split, bytes.data() + split, bytes.size() - split);
    }
    int Decode(Fmt fmt, const Bytes& bytes) { return Decode(fmt, bytes, bytes.size()); }
};

}  // namespace msspt

#endif  // MSSP_HEADER_HARNESS_H
