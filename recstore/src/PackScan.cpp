// Pack scanner: header decoding for both recorded formats and the walk over
// a segment file (pread through a bounded window, resynchronisation after
// garbage, truncation at the end). Runs on whichever thread asks; keeps no
// state between calls.
#include "PackScan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>

namespace recstore {
namespace {

constexpr size_t kWindowChunk = 1 << 20;  // bytes fetched per refill of the scan window
constexpr size_t kResyncSpan = 1 << 16;   // bytes searched for a chunk id at a time

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    return text;
}

void AddWarning(PackHeader* h, const std::string& text) {
    if (!h->warning.empty()) h->warning += "; ";
    h->warning += text;
}

// Walks the new-format extension records the way the playback library does
// (the first record is always handled, then records while fewer than the
// header's count are handled), but never reads outside the extension area.
Decode DecodeNewRecords(const uint8_t* ext, PackHeader* h, std::string* why) {
    uint32_t off = 0;
    unsigned handled = 0;
    while (off + 4 <= h->extLen && (handled == 0 || handled < h->recordCount)) {
        const uint8_t kind = ext[off];
        const uint32_t len = Le24(ext + off + 1);
        const uint8_t* rec = ext + off;
        const uint32_t room = h->extLen - off;  // bytes of the area from the record on
        h->records.push_back(ExtRecord{kind, len, off});
        switch (kind) {
            case 1:
                if (len != 8) {
                    *why = Format("kind-1 record of length %u (must be 8)", len);
                    return Decode::kInvalid;
                }
                if (room < 8) {
                    AddWarning(h, "kind-1 record cut off by the extension's end");
                    return Decode::kOk;
                }
                h->hasVideo = true;
                h->width = static_cast<uint16_t>(rec[4] | ((rec[5] & 0x0F) << 8));
                h->height = static_cast<uint16_t>((rec[5] >> 4) | (rec[6] << 4));
                h->frameRate = rec[7];
                break;
            case 2:
                if (room < 10) {
                    AddWarning(h, "date-time record cut off by the extension's end");
                    return Decode::kOk;
                }
                h->hasTime = true;
                h->time = DateTimeAt(rec + 4);
                break;
            case 3:
                if (len != 12) {
                    *why = Format("kind-3 record of length %u (must be 12)", len);
                    return Decode::kInvalid;
                }
                if (room < 12) {
                    AddWarning(h, "timestamp record cut off by the extension's end");
                    return Decode::kOk;
                }
                h->hasPts = true;
                h->ptsMs = Le64(rec + 4);
                break;
            case 5:
                if (room < 5) {
                    AddWarning(h, "flag record cut off by the extension's end");
                    return Decode::kOk;
                }
                h->hasFlag = true;
                h->flag = (rec[4] & 0x20) != 0;
                break;
            case 8: {
                if (room < 10) {
                    AddWarning(h, "reference record cut off by the extension's end");
                    return Decode::kOk;
                }
                const uint32_t w = Le32(rec + 4);
                const uint32_t v = Le16(rec + 8);
                const uint32_t p = (w >> 2) & 0xFF, q = (w >> 10) & 0xFF, r = (v >> 2) & 0xFF;
                if (p == 1 && q == 1) {
                    h->hasRef = true;
                    h->refType = 2;
                    h->refIndex = static_cast<uint8_t>(r);
                } else if (p == 2) {
                    h->hasRef = true;
                    h->refType = 5;
                    h->refIndex = static_cast<uint8_t>(r);
                }
                break;
            }
            default:
                break;
        }
        ++handled;
        if (len == 0) {
            // The library handles a zero-length record again until the count
            // is used up; doing so changes nothing more.
            AddWarning(h, "record of length 0");
            break;
        }
        off += len;
    }
    return Decode::kOk;
}

Decode DecodeNew(const uint8_t* p, size_t avail, PackHeader* h, std::string* why) {
    if (avail < kNewHeaderLen) return Decode::kNeedMore;
    h->headerLen = kNewHeaderLen;
    h->frameLen = Le24(p + 4);
    h->hasChecksum = true;
    h->checksum = p[7];
    h->extLen = Le24(p + 8);
    h->recordCount = p[11];
    h->packLen = static_cast<uint64_t>(kNewHeaderLen) + h->extLen + h->frameLen;
    if (h->extLen > kMaxExtLen || h->frameLen < kMinFrameLen || (h->recordCount != 0 && h->extLen == 0)) {
        *why = Format("extension length %u, payload length %u, %u records: rejected", h->extLen, h->frameLen,
                      h->recordCount);
        return Decode::kInvalid;
    }
    if (avail < kNewHeaderLen + h->extLen) return Decode::kNeedMore;
    h->refType = 1;
    return DecodeNewRecords(p + kNewHeaderLen, h, why);
}

Decode DecodeOld(const uint8_t* p, size_t avail, PackHeader* h, std::string* why) {
    h->hasFlag = true;  // the library marks every old-format frame with the extension flag
    h->flag = true;
    h->refType = 1;
    if (h->type == kTypeAudio) {
        if (avail < kOldAudioHeaderLen) return Decode::kNeedMore;
        h->headerLen = kOldAudioHeaderLen;
        h->frameLen = Le16(p + 4);
        h->packLen = kOldAudioHeaderLen + h->frameLen;
        if (h->frameLen < kMinFrameLen) {
            *why = Format("audio payload length %u: rejected", h->frameLen);
            return Decode::kInvalid;
        }
        return Decode::kOk;
    }
    if (avail < kOldVideoHeaderLen) return Decode::kNeedMore;
    h->headerLen = kOldVideoHeaderLen;
    h->frameLen = Le32(p + 8);
    h->extLen = Le16(p + 12);
    h->layoutCode = Le16(p + 14);
    h->hasPts = true;
    h->ptsMs = Le64(p + 16) / 1000;
    h->packLen = static_cast<uint64_t>(kOldVideoHeaderLen) + h->extLen + h->frameLen;
    if (h->extLen > kMaxExtLen || h->frameLen < kMinFrameLen) {
        *why = Format("extension length %u, payload length %u: rejected", h->extLen, h->frameLen);
        return Decode::kInvalid;
    }
    if (h->packLen > kMaxPackLen) {
        *why = Format("pack of %" PRIu64 " bytes: larger than any recorded frame", h->packLen);
        return Decode::kInvalid;
    }
    if (avail < kOldVideoHeaderLen + h->extLen) return Decode::kNeedMore;
    const uint8_t* ext = p + kOldVideoHeaderLen;
    const uint32_t dateAt = h->layoutCode == 1087 ? 88 : h->layoutCode == 35 ? 32 : 0;
    if (h->extLen >= dateAt + 8) {
        h->hasTime = true;
        h->time = DateTimeAt(ext + dateAt);
    }
    if (h->layoutCode == 1087) {
        if (h->extLen >= 144) {
            const uint32_t size = Le32(ext + 140);
            h->hasVideo = true;
            h->width = static_cast<uint16_t>(size & 0x1FFF);
            h->height = static_cast<uint16_t>((size >> 13) & 0x1FFF);
        } else {
            AddWarning(h, "layout 1087 with an extension shorter than 144 bytes: no picture size");
        }
    }
    return Decode::kOk;
}

// Bounded read window over a file: serves spans of the first `size` bytes
// through pread, never past them.
class Window {
public:
    Window(int fd, uint64_t size) : fd_(fd), size_(size) {}

    // Up to `want` bytes at `pos` (fewer at the end); null with *got 0 past
    // the end or on a read error (then error() is set).
    const uint8_t* Get(uint64_t pos, size_t want, size_t* got) {
        *got = 0;
        if (pos >= size_) return nullptr;
        const uint64_t end = std::min<uint64_t>(size_, pos + want);
        if (pos >= start_ && end <= start_ + len_) {
            *got = static_cast<size_t>(end - pos);
            return buf_.data() + (pos - start_);
        }
        const size_t fill = static_cast<size_t>(std::min<uint64_t>(size_ - pos, std::max(want, kWindowChunk)));
        if (buf_.size() < fill) buf_.resize(fill);
        size_t have = 0;
        while (have < fill) {
            const ssize_t r = pread(fd_, buf_.data() + have, fill - have, static_cast<off_t>(pos + have));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                error_ = errno;
                break;
            }
            if (r == 0) break;  // the file shrank under us: serve what there is
            have += static_cast<size_t>(r);
        }
        start_ = pos;
        len_ = have;
        *got = static_cast<size_t>(std::min<uint64_t>(have, end - pos));
        return *got ? buf_.data() : nullptr;
    }
    int error() const { return error_; }

private:
    int fd_;
    uint64_t size_;
    std::vector<uint8_t> buf_;
    uint64_t start_ = 0;
    size_t len_ = 0;
    int error_ = 0;
};

}  // namespace

const char* FormatName(PackFormat format) { return format == PackFormat::kOld ? "old" : "new"; }

bool ParseFormatName(const std::string& name, PackFormat* format) {
    if (name == "new") {
        *format = PackFormat::kNew;
    } else if (name == "old") {
        *format = PackFormat::kOld;
    } else {
        return false;
    }
    return true;
}

int ChunkType(PackFormat format, const uint8_t* p) {
    if (format == PackFormat::kNew) {
        if (p[2] != 'd' || p[3] != 'c') return kTypeOther;
        switch (p[1]) {
            case '2': return kTypeI;
            case '3': return kTypeP;
            case '4': return kTypeAudio;
            default: return kTypeOther;
        }
    }
    if (p[2] == 'd' && p[3] == 'c') return p[1] == '0' ? kTypeI : p[1] == '1' ? kTypeP : kTypeOther;
    if (p[1] >= '0' && p[1] <= '9' && p[2] == 'w' && p[3] == 'b') return kTypeAudio;
    return kTypeOther;
}

size_t FindChunkId(PackFormat format, const uint8_t* data, size_t len) {
    for (size_t i = 0; i + 4 <= len; ++i) {
        if (ChunkType(format, data + i) != kTypeOther) return i;
    }
    return len;
}

Decode DecodeHeader(PackFormat format, const uint8_t* data, size_t avail, PackHeader* out, std::string* why) {
    *out = PackHeader{};
    if (avail < 4) return Decode::kNotHeader;
    out->type = ChunkType(format, data);
    if (out->type == kTypeOther) return Decode::kNotHeader;
    out->channelByte = data[0];
    std::string reason;
    const Decode d = format == PackFormat::kNew ? DecodeNew(data, avail, out, &reason)
                                                : DecodeOld(data, avail, out, &reason);
    if (why) *why = reason;
    return d;
}

bool CheckWholePack(PackFormat format, const uint8_t* data, size_t len, PackHeader* out, std::string* why) {
    std::string reason;
    switch (DecodeHeader(format, data, len, out, &reason)) {
        case Decode::kOk: break;
        case Decode::kInvalid:
            if (why) *why = "invalid header: " + reason;
            return false;
        default:
            if (why) *why = len < 4 || out->type == kTypeOther ? "no pack header" : "header or extension cut short";
            return false;
    }
    if (out->packLen != len) {
        if (why) *why = Format("a pack of %" PRIu64 " bytes, not %zu", out->packLen, len);
        return false;
    }
    const uint8_t* payload = data + out->headerLen + out->extLen;
    if (out->hasChecksum && PayloadChecksum(payload, out->frameLen) != out->checksum) {
        if (why) *why = "payload checksum mismatch";
        return false;
    }
    return true;
}

uint8_t PayloadChecksum(const uint8_t* data, size_t len) {
    if (len == 0) return 0;
    const size_t n = len > 127 ? 128 : len;
    const size_t step = len > 127 ? len / 128 : 1;
    unsigned sum = 0;
    size_t pos = len - 1;
    for (size_t i = 0; i < n; ++i, pos -= step) sum += data[pos];
    return static_cast<uint8_t>(sum & 0xFF);
}

bool LastVideoPackBefore(int fd, uint64_t size, PackFormat format, uint64_t from, uint64_t to, uint64_t* offset) {
    if (to > size) return false;
    std::vector<uint8_t> head(kMaxHeaderSpan);
    bool found = false;
    for (uint64_t pos = from; pos < to;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kMaxHeaderSpan, to - pos));
        ssize_t got;
        do {
            got = pread(fd, head.data(), want, static_cast<off_t>(pos));
        } while (got < 0 && errno == EINTR);
        PackHeader h;
        if (got <= 0 || DecodeHeader(format, head.data(), static_cast<size_t>(got), &h, nullptr) != Decode::kOk ||
            h.packLen > to - pos)
            return false;
        if (h.type == kTypeI || h.type == kTypeP) {
            *offset = pos;
            found = true;
        }
        pos += h.packLen;
    }
    return found;
}

ZeroTimestampRule::Verdict ZeroTimestampRule::Take(const PackHeader& h) {
    if (h.hasPts) pts_ = h.ptsMs;
    const bool audio = h.type == kTypeAudio;
    const bool video = h.type == kTypeI || h.type == kTypeP;
    if ((video || (audio && audioSegment_)) && pts_ == 0) {
        waiting_ = true;
        return kZero;
    }
    if (!waiting_) return kKept;
    if (h.type == kTypeI || (audio && audioSegment_)) {
        waiting_ = false;
        return kKept;
    }
    return kAfterZero;
}

bool ScanFile(int fd, uint64_t size, PackFormat format, const ScanVisitor& visitor, ScanSummary* summary,
              uint64_t from) {
    ScanSummary local;
    ScanSummary& s = summary ? *summary : local;
    s = ScanSummary{};
    s.fileSize = size;
    Window win(fd, size);
    uint64_t pos = std::min(from, size);
    bool inGarbage = false;
    uint64_t garbageStart = 0;
    bool haveCandidate = false;  // a header whose pack runs past the end
    uint64_t candidate = 0;
    std::string candidateWhy;

    auto issue = [&](ScanIssue::Kind kind, uint64_t at, uint64_t bytes, const std::string& why) {
        if (visitor.onIssue) visitor.onIssue(ScanIssue{kind, at, bytes, why});
    };
    auto flushGarbage = [&](uint64_t end) {
        if (inGarbage && end > garbageStart) {
            ++s.garbageRuns;
            s.garbageBytes += end - garbageStart;
            issue(ScanIssue::kGarbage, garbageStart, end - garbageStart, "no pack");
        }
        inGarbage = false;
    };
    auto readError = [&](uint64_t at) {
        s.readError = true;
        issue(ScanIssue::kReadError, at, 0, Format("read error: errno %d", win.error()));
        return false;
    };
    auto beginGarbage = [&](uint64_t at) {
        if (!inGarbage) {
            inGarbage = true;
            garbageStart = at;
        }
    };
    // Moves pos to the next chunk id at or after `from` (or to the end).
    auto resync = [&](uint64_t from) -> bool {
        pos = from;
        while (pos < size) {
            size_t got = 0;
            const uint8_t* p = win.Get(pos, kResyncSpan, &got);
            if (!p) return win.error() ? readError(pos) : (pos = size, true);
            const size_t at = FindChunkId(format, p, got);
            if (at < got) {
                pos += at;
                return true;
            }
            if (pos + got >= size) {
                pos = size;
                return true;
            }
            pos += got > 3 ? got - 3 : 1;
        }
        return true;
    };

    while (pos < size) {
        size_t avail = 0;
        const uint8_t* p = win.Get(pos, kMaxHeaderSpan, &avail);
        if (!p) {
            if (win.error()) return readError(pos);
            break;  // the file shrank: stop at what there is
        }
        ScannedPack pack;
        pack.offset = pos;
        std::string why;
        const Decode d = DecodeHeader(format, p, avail, &pack.header, &why);
        if (d == Decode::kOk && pack.header.packLen <= size - pos) {
            flushGarbage(pos);
            haveCandidate = false;
            const PackHeader& h = pack.header;
            if (h.hasChecksum) {
                size_t got = 0;
                const uint8_t* payload = win.Get(pos + h.headerLen + h.extLen, h.frameLen, &got);
                if (got != h.frameLen) {
                    if (win.error()) return readError(pos);
                    break;  // shrank under us
                }
                pack.checksumOk = PayloadChecksum(payload, h.frameLen) == h.checksum ? 1 : 0;
                if (!pack.checksumOk) ++s.badChecksum;
            }
            ++s.packs;
            ++s.byType[h.type & 3];
            if (visitor.onPack && !visitor.onPack(pack)) return true;
            pos += h.packLen;
            continue;
        }
        if (d == Decode::kOk || d == Decode::kNeedMore) {
            // The pack (or its header) runs past the end of the file: an
            // incomplete last pack, or a false header inside garbage.
            if (!haveCandidate) {
                haveCandidate = true;
                candidate = pos;
                candidateWhy = Format("incomplete %s pack: %" PRIu64 " of %" PRIu64 " bytes",
                                      pack.header.type == kTypeI ? "I" : pack.header.type == kTypeP ? "P" : "audio",
                                      size - pos, pack.header.packLen);
                if (d == Decode::kNeedMore && pack.header.packLen == 0) candidateWhy = "incomplete header";
            }
            beginGarbage(pos);
            if (!resync(pos + 1)) return false;
            continue;
        }
        if (d == Decode::kInvalid) {
            ++s.invalidHeaders;
            issue(ScanIssue::kInvalidHeader, pos, 0, why);
        }
        beginGarbage(pos);
        if (!resync(d == Decode::kInvalid ? pos + 1 : pos)) return false;
    }
    if (haveCandidate && inGarbage && candidate >= garbageStart) {
        flushGarbage(candidate);
        s.truncatedBytes = size - candidate;
        issue(ScanIssue::kTruncated, candidate, size - candidate, candidateWhy);
    } else {
        flushGarbage(size);
    }
    return true;
}

FormatGuess GuessFormat(int fd, uint64_t size) {
    FormatGuess g;
    Window win(fd, size);
    size_t got = 0;
    const uint8_t* p = win.Get(0, kWindowChunk, &got);
    if (!p) return g;
    for (int f = 0; f < 2; ++f) {
        const PackFormat fmt = f ? PackFormat::kOld : PackFormat::kNew;
        for (size_t i = 0; i + 4 <= got;) {
            PackHeader h;
            if (ChunkType(fmt, p + i) != kTypeOther && DecodeHeader(fmt, p + i, got - i, &h, nullptr) == Decode::kOk &&
                h.packLen <= got - i &&
                (!h.hasChecksum || PayloadChecksum(p + i + h.headerLen + h.extLen, h.frameLen) == h.checksum)) {
                ++g.packs[f];
                i += static_cast<size_t>(h.packLen);
            } else {
                ++i;
            }
        }
    }
    const uint32_t won = std::max(g.packs[0], g.packs[1]), lost = std::min(g.packs[0], g.packs[1]);
    g.found = won > 0;
    g.format = g.packs[1] > g.packs[0] ? PackFormat::kOld : PackFormat::kNew;
    g.certain = won >= kSurePacks && lost * 4 <= won;
    return g;
}

}  // namespace recstore
