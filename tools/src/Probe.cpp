// Recording probe library: pack listings, issue lines and summaries of
// segment files and recording groups, for mssp-probe. Explains, per pack,
// why the player would drop it.
#include "Probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "RecGroup.h"
#include "RecIndex.h"

namespace probe {
namespace {

using recstore::PackHeader;
using recstore::ScanIssue;
using recstore::ScannedPack;

const char* TypeName(int type) {
    switch (type) {
        case recstore::kTypeI: return "I";
        case recstore::kTypeP: return "P";
        case recstore::kTypeAudio: return "audio";
        default: return "?";
    }
}

std::string Records(const PackHeader& h, recstore::PackFormat format) {
    if (format == recstore::PackFormat::kOld)
        return h.type == recstore::kTypeAudio ? "-" : "layout " + std::to_string(h.layoutCode);
    if (h.records.empty()) return "-";
    std::string text;
    for (const recstore::ExtRecord& r : h.records) {
        if (!text.empty()) text += ' ';
        text += std::to_string(r.kind) + "(" + std::to_string(r.length) + ")";
    }
    return text;
}

class Lister {
public:
    Lister(recstore::PackFormat format, const Options& options, FILE* out, FileStats* stats)
        : format_(format), options_(options), out_(out), s_(*stats), zero_(options.audioSegment) {}

    bool OnPack(const ScannedPack& p) {
        const PackHeader& h = p.header;
        std::string notes;
        auto note = [&](const std::string& text) {
            if (!notes.empty()) notes += "; ";
            notes += text;
        };
        bool stored = p.checksumOk != 0;
        if (!stored) note("dropped: payload checksum mismatch");
        if (h.type == recstore::kTypeAudio && !(h.hasFlag && h.flag)) {
            ++s_.audioWithoutFlag;
            stored = false;
            note("dropped: audio without the extension flag (kind 5)");
        }
        if (h.type == recstore::kTypeI && p.checksumOk != 0) seenI_ = true;
        if (h.type == recstore::kTypeP && !seenI_) {
            ++s_.leadingP;
            stored = false;
            note("dropped at a start: P-frame before the first I-frame");
        }
        switch (stored ? zero_.Take(h) : recstore::ZeroTimestampRule::kKept) {
            case recstore::ZeroTimestampRule::kZero:
                ++s_.zeroPts;
                note("dropped: timestamp 0 (none to the player)");
                break;
            case recstore::ZeroTimestampRule::kAfterZero:
                ++s_.afterZeroPts;
                note("dropped: after a timestamp 0, until a key frame");
                break;
            default: break;
        }

        if (h.type == recstore::kTypeI && h.hasVideo) {
            char text[48];
            std::snprintf(text, sizeof(text), "%ux%u", h.width, h.height);
            note(h.frameRate ? std::string(text) + " " + std::to_string(h.frameRate) + " fps" : text);
        }
        if (h.hasRef) note("ref type " + std::to_string(h.refType) + " position " + std::to_string(h.refIndex));
        if (!h.warning.empty()) note(h.warning);
        Track(h);
        if (options_.listPacks && (options_.limit == 0 || listed_ < options_.limit)) {
            ++listed_;
            char pts[24] = "-";
            if (h.hasPts) std::snprintf(pts, sizeof(pts), "%" PRIu64, h.ptsMs);
            const char* sum = p.checksumOk < 0 ? "-" : p.checksumOk ? "ok" : "BAD";
            char parts[40];
            std::snprintf(parts, sizeof(parts), "%u+%u+%u", h.headerLen, h.extLen, h.frameLen);
            std::fprintf(out_, "%12" PRIu64 "  %-5s %14s  %-19s  %9" PRIu64 " %-16s %-22s %-4s %s\n", p.offset,
                         TypeName(h.type), pts, h.hasTime ? recstore::FormatDateTime(h.time).c_str() : "-",
                         h.packLen, parts, Records(h, format_).c_str(), sum, notes.c_str());
        }
        return true;
    }

    void OnIssue(const ScanIssue& i) {
        switch (i.kind) {
            case ScanIssue::kGarbage:
                std::fprintf(out_, "%12" PRIu64 "  !! %" PRIu64 " bytes of garbage skipped (no pack)\n", i.offset,
                             i.bytes);
                break;
            case ScanIssue::kInvalidHeader:
                std::fprintf(out_, "%12" PRIu64 "  !! invalid header, the player rejects it: %s\n", i.offset,
                             i.why.c_str());
                break;
            case ScanIssue::kTruncated:
                std::fprintf(out_, "%12" PRIu64 "  !! truncated: %s; the player never completes it\n", i.offset,
                             i.why.c_str());
                break;
            case ScanIssue::kReadError:
                std::fprintf(out_, "%12" PRIu64 "  !! %s\n", i.offset, i.why.c_str());
                break;
        }
    }

    void Finish() {
        if (videoPacks_ > 1) s_.videoPtsStepMean = static_cast<double>(stepSum_) / static_cast<double>(steps_);
        const uint32_t iFrames = s_.scan.byType[recstore::kTypeI];
        if (iFrames) s_.gopMean = static_cast<double>(videoPacks_) / iFrames;
    }

private:
    void Track(const PackHeader& h) {
        if (h.hasPts) {
            if (!s_.hasPts) s_.firstPts = h.ptsMs;
            s_.hasPts = true;
            s_.lastPts = h.ptsMs;
        }
        if (h.hasTime) {
            if (!s_.hasTime) s_.firstTime = h.time;
            s_.hasTime = true;
            s_.lastTime = h.time;
        }
        if (h.type != recstore::kTypeI && h.type != recstore::kTypeP) return;
        ++videoPacks_;
        if (h.hasPts) {
            if (haveLastVideoPts_) {
                const uint64_t step = h.ptsMs - lastVideoPts_;
                if (steps_ == 0 || step < s_.videoPtsStepMin) s_.videoPtsStepMin = step;
                if (steps_ == 0 || step > s_.videoPtsStepMax) s_.videoPtsStepMax = step;
                stepSum_ += step;
                ++steps_;
            }
            haveLastVideoPts_ = true;
            lastVideoPts_ = h.ptsMs;
        }
    }

    recstore::PackFormat format_;
    const Options& options_;
    FILE* out_;
    FileStats& s_;
    recstore::ZeroTimestampRule zero_;
    uint64_t listed_ = 0;
    bool seenI_ = false;
    uint64_t videoPacks_ = 0;
    bool haveLastVideoPts_ = false;
    uint64_t lastVideoPts_ = 0;
    uint64_t stepSum_ = 0;
    uint64_t steps_ = 0;
};

void PrintSummary(FILE* out, const FileStats& s) {
    const recstore::ScanSummary& c = s.scan;
    std::fprintf(out,
                 "summary: %u packs (%u I, %u P, %u audio); %u checksum mismatches; %u invalid headers; "
                 "%u garbage runs (%" PRIu64 " bytes); %" PRIu64 " bytes of an incomplete last pack\n",
                 c.packs, c.byType[0], c.byType[1], c.byType[2], c.badChecksum, c.invalidHeaders, c.garbageRuns,
                 c.garbageBytes, c.truncatedBytes);
    if (s.hasPts)
        std::fprintf(out, "  timestamps %" PRIu64 " .. %" PRIu64 " ms", s.firstPts, s.lastPts);
    else
        std::fprintf(out, "  no timestamps");
    if (s.videoPtsStepMean > 0)
        std::fprintf(out, "; video step %.1f ms (min %" PRIu64 ", max %" PRIu64 ")", s.videoPtsStepMean,
                     s.videoPtsStepMin, s.videoPtsStepMax);
    if (s.gopMean > 0) std::fprintf(out, "; %.1f video packs per I-frame", s.gopMean);
    std::fprintf(out, "\n");
    if (s.hasTime)
        std::fprintf(out, "  date-time %s .. %s\n", recstore::FormatDateTime(s.firstTime).c_str(),
                     recstore::FormatDateTime(s.lastTime).c_str());
    std::fprintf(out,
                 "  the player drops: %u for their checksum, %u audio packs without the flag, "
                 "%u P-frames before the first I-frame (at a start), %u for timestamp 0 and %u after those "
                 "until a key frame\n",
                 c.badChecksum, s.audioWithoutFlag, s.leadingP, s.zeroPts, s.afterZeroPts);
}

}  // namespace

bool ProbeFile(const std::string& path, const recstore::PackFormat* format, const Options& options, FILE* out,
               FileStats* stats, std::string* error) {
    FileStats local;
    FileStats& s = stats ? *stats : local;
    s = FileStats{};
    // A FIFO or a device is never opened: the open (or the reads) could block.
    struct stat st;
    const int fd = recstore::OpenRegularFile(path, &st, error);
    if (fd < 0) return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    recstore::PackFormat fmt = recstore::PackFormat::kNew;
    std::string how = "given";
    if (format) {
        fmt = *format;
    } else {
        const recstore::FormatGuess g = recstore::GuessFormat(fd, size);
        fmt = g.format;
        s.formatCertain = g.certain;
        if (!g.found) {
            how = "assumed: no pack of either format found";
        } else if (g.certain) {
            how = "detected";
        } else {
            how = "uncertain: " + std::to_string(g.packs[0]) + " whole pack(s) of the new format and " +
                  std::to_string(g.packs[1]) + " of the old in the first MiB; give --format";
        }
    }
    std::fprintf(out, "file %s: %" PRIu64 " bytes, %s format (%s)\n", path.c_str(), size,
                 recstore::FormatName(fmt), how.c_str());
    if (options.listPacks)
        std::fprintf(out, "%12s  %-5s %14s  %-19s  %9s %-16s %-22s %-4s %s\n", "offset", "type", "pts(ms)",
                     "date-time", "pack", "hdr+ext+data", "ext records", "sum", "notes");
    Lister lister(fmt, options, out, &s);
    recstore::ScanVisitor visitor;
    visitor.onPack = [&](const ScannedPack& p) { return lister.OnPack(p); };
    visitor.onIssue = [&](const ScanIssue& i) { lister.OnIssue(i); };
    const bool ok = recstore::ScanFile(fd, size, fmt, visitor, &s.scan);
    close(fd);
    lister.Finish();
    PrintSummary(out, s);
    if (!ok && error) *error = "read error in " + path;
    return ok;
}

bool ProbeGroup(const std::string& dir, const Options& options, FILE* out, std::string* error) {
    recstore::GroupDesc group;
    if (!recstore::LoadManifest(dir, &group, error)) return false;
    std::fprintf(out, "group %s: id %u, %zu streams\n", dir.c_str(), group.groupId, group.streams.size());
    bool ok = true;
    for (const recstore::StreamDesc& stream : group.streams) {
        if ((options.channel >= 0 && stream.channel != options.channel) ||
            (options.streamType >= 0 && stream.streamType != options.streamType))
            continue;
        std::fprintf(out, "\nchannel %u stream type %u: %zu segments\n", stream.channel, stream.streamType,
                     stream.segments.size());
        for (const recstore::SegmentDesc& seg : stream.segments) {
            if (options.segment >= 0 && seg.number != options.segment) continue;
            const std::string path = dir + "/" + seg.file;
            std::fprintf(out, "\nsegment %u: start %s, audio %s, %s format, %s\n", seg.number,
                         recstore::FormatDateTime(seg.start).c_str(), seg.audio ? "yes" : "no",
                         recstore::FormatName(seg.format), seg.file.c_str());
            struct stat st;
            std::string why;
            const int fd = recstore::OpenRegularFile(path, &st, &why);
            if (fd < 0) {
                std::fprintf(out, "  !! segment file cannot be read: %s\n", why.c_str());
                ok = false;
                continue;
            }
            recstore::SegmentIndex index;
            const recstore::IndexRead r = recstore::ReadIndexFile(recstore::IndexPathFor(path), seg.format, fd,
                                                                  static_cast<uint64_t>(st.st_size), &index, &why);
            close(fd);
            if (r == recstore::IndexRead::kOk)
                std::fprintf(out, "  index: valid, %zu I-frames, %s .. %s\n", index.entries.size(),
                             recstore::FormatDateTime(index.firstTime).c_str(),
                             recstore::FormatDateTime(index.lastTime).c_str());
            else
                std::fprintf(out, "  index: %s (%s); the store rebuilds it by a scan\n",
                             r == recstore::IndexRead::kMissing ? "missing" : "inconsistent", why.c_str());
            std::string fileError;
            Options segment = options;
            segment.audioSegment = seg.audio;
            if (!ProbeFile(path, &seg.format, segment, out, nullptr, &fileError)) {
                std::fprintf(out, "  !! %s\n", fileError.c_str());
                ok = false;
            }
        }
    }
    if (!ok && error) *error = "some segments could not be read";
    return ok;
}

}  // namespace probe
