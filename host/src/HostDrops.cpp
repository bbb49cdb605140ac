// Host layer: frames the engine throws away under its zero-timestamp rule,
// counted from the recording, since the engine reports them nowhere. Runs
// on the playback thread beside Take; reads segment files through the
// store's indexes and never changes them.
#include <unistd.h>

#include <algorithm>

#include "MsspHost.h"
#include "RecStore.h"

namespace mssphost {

// The I-frame is found in its channel's segments by its own timestamp (and
// date-time), then the packs before it are walked from the last point the
// rule cannot reach across: the I-frame before it with a timestamp other
// than 0 (the rule keeps that one and stops waiting there), or the segment's
// start, or, right after a positioning, the I-frame the store positioned at.
uint64_t Session::ZeroTimestampDrops(const Frame& frame, bool firstSincePositioning) {
    if (!started_ || frame.type != MSSP_FRAME_I || frame.index < 0 || frame.index >= MSSP_MAX_STREAMS) return 0;
    uint8_t head[recstore::kMaxHeaderSpan];
    const size_t have = std::min(frame.pack.Size(), sizeof(head));
    frame.pack.Copy(0, have, head);
    recstore::PackHeader h;
    if (recstore::DecodeHeader(format_, head, have, &h, nullptr) != recstore::Decode::kOk || !h.hasPts) return 0;
    const int stream = store_->StreamIndex(static_cast<uint8_t>(frame.channel),
                                           static_cast<uint8_t>(streamType_[frame.index]));
    if (stream < 0) return 0;
    const recstore::StreamDesc& d = store_->Group().streams[static_cast<size_t>(stream)];
    for (size_t k = 0; k < d.segments.size(); ++k) {
        const std::shared_ptr<const recstore::SegmentIndex> idx =
            store_->Index(static_cast<size_t>(stream), k, nullptr);
        if (!idx || d.segments[k].format != format_) continue;
        const std::vector<recstore::IndexEntry>& e = idx->entries;
        size_t j = 0;
        while (j < e.size() && !(e[j].ptsMs == h.ptsMs && (!h.hasTime || e[j].time == h.time))) ++j;
        if (j == e.size()) continue;
        uint64_t from = 0;
        for (size_t i = j; i-- > 0;) {
            if (e[i].ptsMs != 0) {
                from = e[i].offset;
                break;
            }
        }
        if (firstSincePositioning) {
            size_t seg = 0, entry = 0;
            if (!store_->PositionOf(static_cast<size_t>(stream), position_, &seg, &entry) || seg != k || entry >= j)
                return 0;  // the engine began at the I-frame itself, or elsewhere
            from = std::max(from, e[entry].offset);
        }
        return CountZeroRun(store_->Dir() + "/" + d.segments[k].file, from, e[j].offset, d.segments[k].audio);
    }
    return 0;
}

// Video packs in the run that the rule drops right before `to`.
uint64_t Session::CountZeroRun(const std::string& path, uint64_t from, uint64_t to, bool audioSegment) const {
    const int fd = recstore::OpenRegularFile(path, nullptr, nullptr);
    if (fd < 0) return 0;
    recstore::ZeroTimestampRule rule(audioSegment);
    uint64_t run = 0;
    recstore::ScanVisitor visitor;
    visitor.onPack = [&](const recstore::ScannedPack& p) {
        const recstore::PackHeader& ph = p.header;
        // Packs the engine rejects for other reasons never reach the rule.
        if (p.checksumOk == 0 || (ph.type == recstore::kTypeAudio && !(ph.hasFlag && ph.flag))) return true;
        if (rule.Take(ph) == recstore::ZeroTimestampRule::kKept)
            run = 0;
        else if (ph.type == recstore::kTypeI || ph.type == recstore::kTypeP)
            ++run;
        return true;
    };
    recstore::ScanFile(fd, to, format_, visitor, nullptr, from);
    close(fd);
    return run;
}

}  // namespace mssphost
