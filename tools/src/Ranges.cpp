// Recorded ranges of a group (see Ranges.h).
#include "Ranges.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>

#include "PackScan.h"
#include "RecGroup.h"
#include "RecIndex.h"

namespace ranges {
namespace {

// The segment's first and last recorded second; false when it holds none.
bool SegmentSpan(const std::string& path, const recstore::SegmentDesc& seg, Span* span, std::string* why) {
    struct stat st;
    const int fd = recstore::OpenRegularFile(path, &st, why);
    if (fd < 0) return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    recstore::SegmentIndex index;
    bool ok = recstore::ReadIndexFile(recstore::IndexPathFor(path), seg.format, fd, size, &index, why) ==
              recstore::IndexRead::kOk;
    if (!ok) {
        recstore::ScanSummary summary;
        ok = recstore::ScanSegment(fd, size, seg.format, seg.start, &index, &summary);
        if (!ok) *why = "read error";
    }
    close(fd);
    if (!ok) return false;
    if (index.packCount == 0 || !recstore::ValidDateTime(index.firstTime) || !recstore::ValidDateTime(index.lastTime)) {
        *why = "no usable pack";
        return false;
    }
    span->first = recstore::DateTimeToSeconds(index.firstTime);
    span->last = std::max(span->first, recstore::DateTimeToSeconds(index.lastTime));
    return true;
}

}  // namespace

bool LoadRanges(const std::string& dir, int streamType, std::vector<ChannelRanges>* out,
                std::vector<std::string>* notes, std::string* error) {
    recstore::GroupDesc group;
    if (!recstore::LoadManifest(dir, &group, error)) return false;
    out->clear();
    for (const recstore::StreamDesc& stream : group.streams) {
        if (streamType >= 0 && stream.streamType != streamType) continue;
        ChannelRanges r;
        r.channel = stream.channel;
        r.streamType = stream.streamType;
        std::vector<Span> spans;
        for (const recstore::SegmentDesc& seg : stream.segments) {
            Span s;
            std::string why;
            if (!SegmentSpan(dir + "/" + seg.file, seg, &s, &why)) {
                notes->push_back("channel " + std::to_string(stream.channel) + " segment " +
                                 std::to_string(seg.number) + " left out: " + why);
                continue;
            }
            spans.push_back(s);
        }
        std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
        for (const Span& s : spans) {
            if (!r.spans.empty() && s.first <= r.spans.back().last + kJoinSec)
                r.spans.back().last = std::max(r.spans.back().last, s.last);
            else
                r.spans.push_back(s);
        }
        out->push_back(std::move(r));
    }
    std::sort(out->begin(), out->end(), [](const ChannelRanges& a, const ChannelRanges& b) {
        return a.channel != b.channel ? a.channel < b.channel : a.streamType < b.streamType;
    });
    return true;
}

bool Overlaps(const ChannelRanges& r, int64_t from, int64_t to) {
    for (const Span& s : r.spans)
        if (s.first < to && s.last >= from) return true;
    return false;
}

void PrintRanges(FILE* out, const std::vector<ChannelRanges>& all) {
    for (const ChannelRanges& r : all) {
        std::fprintf(out, "channel %d stream type %d: %zu range(s)\n", r.channel, r.streamType, r.spans.size());
        for (size_t i = 0; i < r.spans.size(); ++i) {
            const Span& s = r.spans[i];
            if (i > 0) {
                const int64_t pause = s.first - r.spans[i - 1].last - 1;  // whole seconds without a recording
                std::fprintf(out, "  pause    %s .. %s  (%" PRId64 " s)\n",
                             recstore::FormatDateTime(recstore::SecondsToDateTime(r.spans[i - 1].last)).c_str(),
                             recstore::FormatDateTime(recstore::SecondsToDateTime(s.first)).c_str(), pause);
            }
            std::fprintf(out, "  recorded %s .. %s  (%" PRId64 " s)\n",
                         recstore::FormatDateTime(recstore::SecondsToDateTime(s.first)).c_str(),
                         recstore::FormatDateTime(recstore::SecondsToDateTime(s.last)).c_str(), s.last - s.first + 1);
        }
    }
}

}  // namespace ranges
