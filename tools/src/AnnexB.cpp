// Recording tool library: H.264 Annex-B byte streams. Finds NAL units by
// their start codes, groups them into access units (the rules of the H.264
// standard for the first NAL unit of a new access unit), and reads the
// picture size from a sequence parameter set.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "PackTool.h"

namespace packtool {
namespace {

struct Nal {
    size_t start;    // first byte of its start code (the zero_byte of a 4-byte one included)
    size_t payload;  // first byte after the start code: the NAL header
    size_t end;      // one past its last byte
};

std::vector<Nal> FindNals(const uint8_t* d, size_t len) {
    std::vector<Nal> nals;
    size_t i = 0;
    while (i + 3 <= len) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            size_t start = i;
            if (start > 0 && d[start - 1] == 0) --start;  // 00 00 00 01
            if (!nals.empty()) {
                size_t end = start;
                while (end > nals.back().payload && d[end - 1] == 0) --end;  // trailing_zero_8bits
                nals.back().end = end;
            }
            nals.push_back(Nal{start, i + 3, len});
            i += 3;
        } else {
            ++i;
        }
    }
    return nals;
}

// Exp-Golomb bit reader over an RBSP (emulation prevention bytes removed).
class Bits {
public:
    explicit Bits(std::vector<uint8_t> rbsp) : b_(std::move(rbsp)) {}
    bool ok() const { return ok_; }
    uint32_t U(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
        return v;
    }
    uint32_t Ue() {
        int zeros = 0;
        while (ok_ && Bit() == 0) {
            if (++zeros > 31) {
                ok_ = false;
                return 0;
            }
        }
        return ((1u << zeros) - 1) + U(zeros);
    }
    int32_t Se() {
        const uint32_t k = Ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

private:
    uint32_t Bit() {
        if (pos_ >= b_.size() * 8) {
            ok_ = false;
            return 0;
        }
        const uint32_t v = (b_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        ++pos_;
        return v;
    }
    std::vector<uint8_t> b_;
    size_t pos_ = 0;
    bool ok_ = true;
};

std::vector<uint8_t> Rbsp(const uint8_t* d, size_t len) {
    std::vector<uint8_t> out;
    out.reserve(len);
    int zeros = 0;
    for (size_t i = 0; i < len; ++i) {
        if (zeros >= 2 && d[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = d[i] == 0 ? zeros + 1 : 0;
        out.push_back(d[i]);
    }
    return out;
}

void SkipScalingList(Bits& b, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && b.ok(); ++j) {
        if (next != 0) next = (last + b.Se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

// `sps` starts after the NAL header byte.
bool SpsSize(const uint8_t* sps, size_t len, uint16_t* width, uint16_t* height) {
    Bits b(Rbsp(sps, len));
    const uint32_t profile = b.U(8);
    b.U(16);  // constraint flags, level
    b.Ue();   // seq_parameter_set_id
    uint32_t chroma = 1;
    bool separateColour = false;
    static const uint32_t kHighProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), profile) != std::end(kHighProfiles)) {
        chroma = b.Ue();
        if (chroma == 3) separateColour = b.U(1);
        b.Ue();
        b.Ue();
        b.U(1);
        if (b.U(1)) {
            for (int i = 0; i < (chroma == 3 ? 12 : 8) && b.ok(); ++i) {
                if (b.U(1)) SkipScalingList(b, i < 6 ? 16 : 64);
            }
        }
    }
    b.Ue();  // log2_max_frame_num_minus4
    const uint32_t pocType = b.Ue();
    if (pocType == 0) {
        b.Ue();
    } else if (pocType == 1) {
        b.U(1);
        b.Se();
        b.Se();
        const uint32_t n = b.Ue();
        for (uint32_t i = 0; i < n && i < 256 && b.ok(); ++i) b.Se();
    }
    b.Ue();  // max_num_ref_frames
    b.U(1);
    const uint32_t wMbs = b.Ue() + 1;
    const uint32_t hUnits = b.Ue() + 1;
    const uint32_t frameMbsOnly = b.U(1);
    if (!frameMbsOnly) b.U(1);
    b.U(1);
    uint32_t cl = 0, cr = 0, ct = 0, cb = 0;
    if (b.U(1)) {
        cl = b.Ue();
        cr = b.Ue();
        ct = b.Ue();
        cb = b.Ue();
    }
    if (!b.ok()) return false;
    const uint32_t arrayType = separateColour ? 0 : chroma;
    const uint32_t cropX = arrayType == 0 ? 1 : (arrayType == 3 ? 1 : 2);
    const uint32_t cropY = (arrayType == 0 ? 1 : (arrayType == 1 ? 2 : 1)) * (2 - frameMbsOnly);
    const int64_t w = static_cast<int64_t>(wMbs) * 16 - static_cast<int64_t>(cropX) * (cl + cr);
    const int64_t h = static_cast<int64_t>(hUnits) * 16 * (2 - frameMbsOnly) - static_cast<int64_t>(cropY) * (ct + cb);
    if (w <= 0 || h <= 0 || w > 0xFFFF || h > 0xFFFF) return false;
    *width = static_cast<uint16_t>(w);
    *height = static_cast<uint16_t>(h);
    return true;
}

}  // namespace

std::vector<AccessUnit> SplitAccessUnits(const uint8_t* data, size_t len) {
    std::vector<AccessUnit> units;
    const std::vector<Nal> nals = FindNals(data, len);
    bool haveUnit = false;
    AccessUnit cur;
    for (const Nal& n : nals) {
        if (n.payload >= n.end) continue;  // empty NAL unit
        const int type = data[n.payload] & 0x1F;
        const bool vcl = type >= 1 && type <= 5;
        bool begins = false;
        if (!haveUnit) {
            begins = true;
        } else if (type == 9) {
            begins = true;
        } else if (cur.vcl && (type == 6 || type == 7 || type == 8 || (type >= 14 && type <= 18))) {
            begins = true;
        } else if (cur.vcl && (type == 1 || type == 5) && n.payload + 1 < n.end && (data[n.payload + 1] & 0x80)) {
            begins = true;  // first_mb_in_slice == 0: ue(v) coded as a single 1 bit
        }
        if (begins) {
            if (haveUnit) {
                cur.length = n.start - cur.offset;
                units.push_back(cur);
            }
            cur = AccessUnit{};
            cur.offset = units.empty() && !haveUnit ? 0 : n.start;
            haveUnit = true;
        }
        cur.vcl = cur.vcl || vcl;
        cur.idr = cur.idr || type == 5;
    }
    if (haveUnit) {
        cur.length = len - cur.offset;
        units.push_back(cur);
    }
    return units;
}

bool FindPictureSize(const uint8_t* data, size_t len, uint16_t* width, uint16_t* height) {
    for (const Nal& n : FindNals(data, len)) {
        if (n.payload < n.end && (data[n.payload] & 0x1F) == 7)
            return SpsSize(data + n.payload + 1, n.end - n.payload - 1, width, height);
    }
    return false;
}

}  // namespace packtool
