// I-frame index of a segment: building it from packs in file order, its
// file form (write, read and validate against the segment), and loading
// with a rebuild by scan. Called by the store under its segment-cache lock
// and by the writer; keeps no state of its own.
#include "RecIndex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace recstore {
namespace {

constexpr char kIndexMagic[4] = {'M', 'S', 'I', 'X'};
constexpr uint16_t kIndexVersion = 1;
constexpr uint32_t kChecksumAt = 20;
// The smallest pack (old audio header + the smallest payload) bounds how
// many entries an index of a file can honestly hold.
constexpr uint64_t kSmallestPack = kOldAudioHeaderLen + kMinFrameLen;

uint32_t Fnv1a(const uint8_t* data, size_t len, uint32_t h = 2166136261u) {
    for (size_t i = 0; i < len; ++i) {
        h ^= data[i];
        h *= 16777619u;
    }
    return h;
}

uint32_t IndexChecksum(const std::vector<uint8_t>& bytes) {
    static const uint8_t kZero[4] = {0, 0, 0, 0};
    uint32_t h = Fnv1a(bytes.data(), kChecksumAt);
    h = Fnv1a(kZero, 4, h);
    return Fnv1a(bytes.data() + kChecksumAt + 4, bytes.size() - kChecksumAt - 4, h);
}

bool ReadAll(int fd, uint8_t* dst, size_t len, uint64_t at) {
    size_t have = 0;
    while (have < len) {
        const ssize_t r = pread(fd, dst + have, len - have, static_cast<off_t>(at + have));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        have += static_cast<size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* src, size_t len) {
    size_t done = 0;
    while (done < len) {
        const ssize_t r = write(fd, src + done, len - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

std::vector<uint8_t> Serialise(const SegmentIndex& idx) {
    std::vector<uint8_t> out(kIndexHeadLen + idx.entries.size() * kIndexEntryLen, 0);
    uint8_t* h = out.data();
    std::memcpy(h, kIndexMagic, 4);
    PutLe16(h + 4, kIndexVersion);
    h[6] = static_cast<uint8_t>(idx.format);
    PutLe64(h + 8, idx.fileSize);
    PutLe32(h + 16, static_cast<uint32_t>(idx.entries.size()));
    PutLe32(h + 24, idx.packCount);
    PutLe32(h + 28, idx.audioCount);
    PutLe64(h + 32, idx.firstPts);
    PutLe64(h + 40, idx.lastPts);
    std::memcpy(h + 48, idx.firstTime.data(), 6);
    std::memcpy(h + 54, idx.lastTime.data(), 6);
    h[60] = idx.hasPts ? 1 : 0;
    uint8_t* e = h + kIndexHeadLen;
    for (const IndexEntry& entry : idx.entries) {
        PutLe64(e, entry.offset);
        PutLe32(e + 8, entry.packLen);
        PutLe32(e + 12, entry.lead);
        PutLe64(e + 16, entry.ptsMs);
        std::memcpy(e + 24, entry.time.data(), 6);
        e += kIndexEntryLen;
    }
    PutLe32(h + kChecksumAt, IndexChecksum(out));
    return out;
}

IndexRead Inconsistent(std::string* why, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
IndexRead Inconsistent(std::string* why, const char* fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    if (why) *why = text;
    return IndexRead::kInconsistent;
}

// Checks that a whole valid pack (header, extension and, in the new format,
// payload checksum) of `type` and `packLen` bytes starts at `offset`, and
// that its own timestamp and date-time, where it carries them, are those of
// `entry`: an index with a valid checksum can still lie (written for other
// bytes, or forged), and the store would serve what it names.
bool PackMatches(int fd, uint64_t packSize, PackFormat format, uint64_t offset, uint64_t packLen, int type,
                 const IndexEntry* entry, std::vector<uint8_t>* buf, std::string* why) {
    if (packLen > kMaxPackLen || packLen > packSize - offset) {
        *why = "larger than any pack";
        return false;
    }
    buf->resize(static_cast<size_t>(packLen));
    if (!ReadAll(fd, buf->data(), buf->size(), offset)) {
        *why = "cannot be read";
        return false;
    }
    PackHeader h;
    if (!CheckWholePack(format, buf->data(), buf->size(), &h, why)) return false;
    if (h.type != type) {
        *why = "a pack of another type";
        return false;
    }
    if (type == kTypeAudio && !(h.hasFlag && h.flag)) {
        *why = "an audio pack without the flag";
        return false;
    }
    if (entry && h.hasPts && h.ptsMs != entry->ptsMs) {
        *why = "the pack's timestamp is " + std::to_string(h.ptsMs);
        return false;
    }
    if (entry && h.hasTime && ValidDateTime(h.time) && h.time != entry->time) {
        *why = "the pack's date-time is " + FormatDateTime(h.time);
        return false;
    }
    return true;
}

}  // namespace

IndexBuilder::IndexBuilder(PackFormat format, const DateTime& segmentStart)
    : startSec_(ValidDateTime(segmentStart) ? DateTimeToSeconds(segmentStart) : 0), lastSec_(startSec_) {
    index_.format = format;
}

void IndexBuilder::Add(uint64_t offset, const PackHeader& h, int checksumOk) {
    int64_t sec = lastSec_;
    if (h.hasTime && ValidDateTime(h.time)) {
        sec = DateTimeToSeconds(h.time);
        if (h.hasPts) {
            haveRef_ = true;
            refSec_ = sec;
            refPts_ = h.ptsMs;
        }
    } else if (h.hasPts && haveRef_) {
        sec = refSec_ + (static_cast<int64_t>(h.ptsMs - refPts_)) / 1000;
    } else if (h.hasPts) {
        if (!haveFirstPts_) {
            haveFirstPts_ = true;
            firstPts_ = h.ptsMs;
        }
        sec = startSec_ + static_cast<int64_t>(h.ptsMs - firstPts_) / 1000;
    }
    const DateTime time = SecondsToDateTime(sec);
    if (index_.packCount == 0) index_.firstTime = time;
    index_.lastTime = time;
    lastSec_ = sec;
    if (h.hasPts) {
        if (!index_.hasPts) index_.firstPts = h.ptsMs;
        index_.hasPts = true;
        index_.lastPts = h.ptsMs;
        lastPts_ = h.ptsMs;
    }
    ++index_.packCount;
    if (h.type == kTypeAudio) ++index_.audioCount;
    if (h.type == kTypeI && checksumOk != 0) {
        const uint32_t lead = audioEnd_ != 0 && audioEnd_ == offset ? audioLen_ : 0;
        index_.entries.push_back(
            IndexEntry{offset, static_cast<uint32_t>(h.packLen), h.hasPts ? h.ptsMs : lastPts_, time, lead});
    }
    const bool flaggedAudio = h.type == kTypeAudio && h.hasFlag && h.flag;
    audioEnd_ = flaggedAudio ? offset + h.packLen : 0;
    audioLen_ = flaggedAudio ? static_cast<uint32_t>(h.packLen) : 0;
}

SegmentIndex IndexBuilder::Finish(uint64_t fileSize) const {
    SegmentIndex out = index_;
    out.fileSize = fileSize;
    return out;
}

std::string IndexPathFor(const std::string& packPath) {
    const std::string ext = ".pack";
    if (packPath.size() > ext.size() && packPath.compare(packPath.size() - ext.size(), ext.size(), ext) == 0)
        return packPath.substr(0, packPath.size() - ext.size()) + ".idx";
    return packPath + ".idx";
}

bool WriteIndexFile(const std::string& path, const SegmentIndex& index, std::string* error) {
    const std::vector<uint8_t> bytes = Serialise(index);
    const std::string tmp = path + ".tmp" + std::to_string(static_cast<long>(getpid()));
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = "cannot create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = WriteAll(fd, bytes.data(), bytes.size());
    const int saved = errno;
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        if (error) *error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

IndexRead ReadIndexFile(const std::string& path, PackFormat format, int packFd, uint64_t packSize,
                        SegmentIndex* index, std::string* why) {
    struct stat st;
    std::string reason;
    const int fd = OpenRegularFile(path, &st, &reason);
    if (fd < 0) {
        const bool missing = errno == ENOENT;
        if (why) *why = missing ? std::string("no index file: ") + std::strerror(ENOENT) : reason;
        return missing ? IndexRead::kMissing : IndexRead::kInconsistent;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size < kIndexHeadLen || (size - kIndexHeadLen) % kIndexEntryLen != 0 ||
        (size - kIndexHeadLen) / kIndexEntryLen > packSize / kSmallestPack) {
        close(fd);
        return Inconsistent(why, "index size %" PRIu64 " does not fit a segment of %" PRIu64 " bytes", size,
                            packSize);
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    const bool read = ReadAll(fd, bytes.data(), bytes.size(), 0);
    close(fd);
    if (!read) return Inconsistent(why, "cannot read the index");
    const uint8_t* h = bytes.data();
    if (std::memcmp(h, kIndexMagic, 4) != 0 || Le16(h + 4) != kIndexVersion)
        return Inconsistent(why, "not an index file of version %u", kIndexVersion);
    if (h[6] != static_cast<uint8_t>(format)) return Inconsistent(why, "index of the other pack format");
    if (Le64(h + 8) != packSize)
        return Inconsistent(why, "index describes %" PRIu64 " bytes, the segment has %" PRIu64, Le64(h + 8),
                            packSize);
    const uint32_t count = Le32(h + 16);
    if (static_cast<uint64_t>(count) * kIndexEntryLen + kIndexHeadLen != size)
        return Inconsistent(why, "entry count %u does not match the index size", count);
    if (Le32(h + kChecksumAt) != IndexChecksum(bytes)) return Inconsistent(why, "index checksum mismatch");

    SegmentIndex idx;
    idx.format = format;
    idx.fileSize = packSize;
    idx.packCount = Le32(h + 24);
    idx.audioCount = Le32(h + 28);
    idx.firstPts = Le64(h + 32);
    idx.lastPts = Le64(h + 40);
    idx.firstTime = DateTimeAt(h + 48);
    idx.lastTime = DateTimeAt(h + 54);
    idx.hasPts = (h[60] & 1) != 0;
    if (idx.packCount && (!ValidDateTime(idx.firstTime) || !ValidDateTime(idx.lastTime)))
        return Inconsistent(why, "invalid segment date-time in the index");
    if (idx.packCount < count || idx.audioCount > idx.packCount)
        return Inconsistent(why, "%u packs, %u of them audio, cannot hold %u I-frames", idx.packCount, idx.audioCount,
                            count);
    idx.entries.reserve(count);
    uint64_t nextFree = 0;
    std::vector<uint8_t> pack;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = h + kIndexHeadLen + static_cast<size_t>(i) * kIndexEntryLen;
        IndexEntry entry{Le64(e), Le32(e + 8), Le64(e + 16), DateTimeAt(e + 24), Le32(e + 12)};
        if (entry.offset < nextFree || entry.packLen < kNewHeaderLen + kMinFrameLen ||
            entry.offset > packSize || entry.packLen > packSize - entry.offset || entry.lead > entry.offset ||
            entry.offset - entry.lead < nextFree)
            return Inconsistent(why, "entry %u (offset %" PRIu64 ", %u bytes) out of order or out of the file", i,
                                entry.offset, entry.packLen);
        if (!ValidDateTime(entry.time)) return Inconsistent(why, "entry %u has an invalid date-time", i);
        if (!PackMatches(packFd, packSize, format, entry.offset, entry.packLen, kTypeI, &entry, &pack, &reason))
            return Inconsistent(why, "entry %u: no I-frame of %u bytes at offset %" PRIu64 " (%s)", i, entry.packLen,
                                entry.offset, reason.c_str());
        if (entry.lead &&
            !PackMatches(packFd, packSize, format, entry.offset - entry.lead, entry.lead, kTypeAudio, nullptr, &pack,
                         &reason))
            return Inconsistent(why, "entry %u: no audio pack of %u bytes before its I-frame (%s)", i, entry.lead,
                                reason.c_str());
        nextFree = entry.offset + entry.packLen;
        idx.entries.push_back(entry);
    }
    *index = std::move(idx);
    return IndexRead::kOk;
}

bool ScanSegment(int fd, uint64_t size, PackFormat format, const DateTime& segmentStart, SegmentIndex* index,
                 ScanSummary* summary) {
    IndexBuilder builder(format, segmentStart);
    ScanVisitor visitor;
    visitor.onPack = [&](const ScannedPack& p) {
        builder.Add(p.offset, p.header, p.checksumOk);
        return true;
    };
    if (!ScanFile(fd, size, format, visitor, summary)) return false;
    *index = builder.Finish(size);
    return true;
}

bool LoadSegmentIndex(const std::string& packPath, PackFormat format, const DateTime& segmentStart,
                      SegmentIndex* index, bool* rebuilt, std::string* why) {
    if (rebuilt) *rebuilt = false;
    struct stat st;
    const int fd = OpenRegularFile(packPath, &st, why);
    if (fd < 0) return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const std::string idxPath = IndexPathFor(packPath);
    std::string reason;
    const IndexRead r = ReadIndexFile(idxPath, format, fd, size, index, &reason);
    if (r == IndexRead::kOk) {
        close(fd);
        return true;
    }
    Log("index %s %s (%s): rebuilding it by a scan", idxPath.c_str(),
        r == IndexRead::kMissing ? "missing" : "inconsistent", reason.c_str());
    ScanSummary summary;
    const bool scanned = ScanSegment(fd, size, format, segmentStart, index, &summary);
    close(fd);
    if (!scanned) {
        if (why) *why = "read error while scanning " + packPath;
        return false;
    }
    if (rebuilt) *rebuilt = true;
    Log("scanned %s: %u packs, %zu I-frames indexed, %" PRIu64 " garbage bytes, %u invalid headers, "
        "%u checksum mismatches, %" PRIu64 " bytes of an incomplete last pack",
        packPath.c_str(), summary.packs, index->entries.size(), summary.garbageBytes, summary.invalidHeaders,
        summary.badChecksum, summary.truncatedBytes);
    std::string error;
    if (!WriteIndexFile(idxPath, *index, &error)) Log("index kept in memory only: %s", error.c_str());
    return true;
}

}  // namespace recstore
