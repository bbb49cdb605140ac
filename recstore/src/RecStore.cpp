// Recording store: the nine stream operations over a group directory. Owns
// the handle table (locked; handles are used by one thread at a time) and
// the cache of segment indexes (locked; loaded lazily, rebuilt by a scan
// when an index is missing or inconsistent). Reads only with pread, never
// past the size a segment's index was checked against.
#include "RecStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace recstore {

namespace {

constexpr uint64_t kNoFile = UINT64_MAX;  // Loaded::size of a segment whose file is missing

// Stream type named by a bitmap: its lowest set bit, 0 for an empty one.
int StreamTypeOf(uint8_t bitmap) {
    for (int t = 0; t < 8; ++t) {
        if (bitmap & (1u << t)) return t;
    }
    return 0;
}

bool PreadAll(int fd, uint8_t* dst, size_t len, uint64_t at) {
    size_t have = 0;
    while (have < len) {
        const ssize_t r = pread(fd, dst + have, len - have, static_cast<off_t>(at + have));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        have += static_cast<size_t>(r);
    }
    return true;
}

int64_t MtimeNs(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

int StepCount(int stepCode) {
    switch (stepCode) {
        case 1: return 2;
        case 2: return 4;
        case 31: return 8;
        default: return 1;
    }
}

// A segment's state in the cache: its index when the file could be used,
// else the reason. Immutable once published.
struct RecStore::Loaded {
    bool ok = false;
    std::string why;
    SegmentIndex index;
    uint64_t size = kNoFile;  // file identity when loaded, to notice a replaced file
    int64_t mtimeNs = 0;
    uint64_t inode = 0;
    bool Readable() const { return ok && index.packCount > 0; }
    bool Positionable() const { return ok && !index.entries.empty(); }
};

// One open stream. Used by one thread at a time; the table holds it by
// shared pointer so that a close never frees a handle under a running call.
struct RecStore::Handle {
    int id = -1;
    size_t stream = 0;
    size_t seg = 0;        // current segment: of the bytes or I-frame handed out last
    LoadedPtr loaded;      // its index
    int fd = -1;           // its file
    uint64_t readOff = 0;  // next byte ReadStream returns
    bool announce = false;       // open flag: announce the segment positioned in
    bool newSegPending = false;  // the next bytes handed out begin a segment
    // Trick-play cursor: I-frame `cur`, already handed out or not.
    bool cursorValid = false;
    bool cursorStale = false;  // plain reads moved on since it was set
    Pos cur{0, 0};
    bool delivered = false;
    std::vector<uint8_t> trickBuf;

    ~Handle() {
        if (fd >= 0) close(fd);
    }
};

RecStore::RecStore(std::string dir, GroupDesc group) : dir_(std::move(dir)), group_(std::move(group)) {
    cache_.resize(group_.streams.size());
    for (size_t i = 0; i < group_.streams.size(); ++i) cache_[i].resize(group_.streams[i].segments.size());
}

RecStore::~RecStore() {
    std::lock_guard<std::mutex> lock(handleMutex_);
    handles_.clear();
}

std::unique_ptr<RecStore> RecStore::Open(const std::string& dir, std::string* error) {
    GroupDesc group;
    if (!LoadManifest(dir, &group, error)) return nullptr;
    return std::unique_ptr<RecStore>(new RecStore(dir, std::move(group)));
}

uint32_t RecStore::TakeFailedOpens() {
    std::lock_guard<std::mutex> lock(handleMutex_);
    return std::exchange(failedOpens_, 0u);
}

uint32_t RecStore::TakeOpened() {
    std::lock_guard<std::mutex> lock(handleMutex_);
    return std::exchange(openedOk_, 0u);
}

int RecStore::OpenHandleCount() const {
    std::lock_guard<std::mutex> lock(handleMutex_);
    return static_cast<int>(handles_.size());
}

std::shared_ptr<RecStore::Handle> RecStore::Find(int handle, const char* op) const {
    std::lock_guard<std::mutex> lock(handleMutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        Log("%s: no open stream with handle %d", op, handle);
        return nullptr;
    }
    return it->second;
}

int RecStore::FindStream(uint8_t channel, uint8_t streamType) const {
    for (size_t i = 0; i < group_.streams.size(); ++i) {
        if (group_.streams[i].channel == channel && group_.streams[i].streamType == streamType)
            return static_cast<int>(i);
    }
    return -1;
}

RecStore::LoadedPtr RecStore::Segment(size_t stream, size_t seg) {
    const StreamDesc& sd = group_.streams[stream];
    const SegmentDesc& d = sd.segments[seg];
    const std::string path = dir_ + "/" + d.file;
    struct stat st;
    std::string notRegular;
    const bool exists = RegularFileStat(path, &st, &notRegular);
    std::lock_guard<std::mutex> lock(cacheMutex_);
    LoadedPtr& slot = cache_[stream][seg];
    if (slot && exists && slot->ok && slot->size == static_cast<uint64_t>(st.st_size) &&
        slot->mtimeNs == MtimeNs(st) && slot->inode == static_cast<uint64_t>(st.st_ino))
        return slot;
    if (slot && !exists && slot->size == kNoFile && slot->why == "file " + notRegular) return slot;
    auto fresh = std::make_shared<Loaded>();
    if (!exists) {
        fresh->why = "file " + notRegular;  // "file X missing", "file X is not a regular file (a FIFO)"
    } else {
        fresh->size = static_cast<uint64_t>(st.st_size);
        fresh->mtimeNs = MtimeNs(st);
        fresh->inode = static_cast<uint64_t>(st.st_ino);
        bool rebuilt = false;
        fresh->ok = LoadSegmentIndex(path, d.format, d.start, &fresh->index, &rebuilt, &fresh->why);
    }
    if (!fresh->ok && (!slot || slot->why != fresh->why))
        Log("segment %u of channel %u stream type %u cannot be used: %s", d.number, sd.channel, sd.streamType,
            fresh->why.c_str());
    slot = fresh;
    return slot;
}

std::shared_ptr<const SegmentIndex> RecStore::Index(size_t stream, size_t seg, std::string* why) {
    if (stream >= group_.streams.size() || seg >= group_.streams[stream].segments.size()) {
        if (why) *why = "no such segment";
        return nullptr;
    }
    LoadedPtr l = Segment(stream, seg);
    if (!l->ok) {
        if (why) *why = l->why;
        return nullptr;
    }
    return std::shared_ptr<const SegmentIndex>(l, &l->index);
}

RecStore::LoadedPtr RecStore::UsableSegment(size_t stream, size_t seg) {
    LoadedPtr l = Segment(stream, seg);
    return l->Positionable() ? l : nullptr;
}

bool RecStore::StreamSpan(uint8_t channel, uint8_t streamType, DateTime* first, DateTime* last) {
    const int s = FindStream(channel, streamType);
    if (s < 0) return false;
    const size_t n = group_.streams[static_cast<size_t>(s)].segments.size();
    bool found = false;
    for (size_t i = 0; i < n; ++i) {
        LoadedPtr l = Segment(static_cast<size_t>(s), i);
        if (!l->Readable()) continue;
        if (!found && first) *first = l->index.firstTime;
        found = true;
        if (last) *last = l->index.lastTime;
    }
    return found;
}

bool RecStore::Locate(size_t stream, const DateTime& t, Pos* pos, std::string* why) {
    const std::vector<SegmentDesc>& segs = group_.streams[stream].segments;
    const int64_t target = DateTimeToSeconds(t);
    size_t cand = segs.size();
    for (size_t i = 0; i < segs.size(); ++i) {
        if (DateTimeToSeconds(segs[i].start) <= target) cand = i;
    }
    // Before the first segment, or in a segment that cannot be used: the
    // recording resumes at the next usable segment's first I-frame.
    auto firstFrom = [&](size_t from) {
        for (size_t i = from; i < segs.size(); ++i) {
            if (UsableSegment(stream, i)) {
                *pos = Pos{i, 0};
                return true;
            }
        }
        *why = "no recording at or after " + FormatDateTime(t);
        return false;
    };
    if (cand == segs.size()) return firstFrom(0);
    LoadedPtr l = UsableSegment(stream, cand);
    if (!l) {
        Log("segment %u of channel %u stream type %u holds no I-frame to start at; going on with the next one",
            segs[cand].number, group_.streams[stream].channel, group_.streams[stream].streamType);
        return firstFrom(cand + 1);
    }
    const std::vector<IndexEntry>& entries = l->index.entries;
    if (target > DateTimeToSeconds(l->index.lastTime)) {
        bool later = false;
        for (size_t i = cand + 1; i < segs.size() && !later; ++i) later = UsableSegment(stream, i) != nullptr;
        if (!later) {
            *why = FormatDateTime(t) + " is after the end of the recording (" + FormatDateTime(l->index.lastTime) +
                   ")";
            return false;
        }
        *pos = Pos{cand, entries.size() - 1};
        return true;
    }
    size_t k = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (DateTimeToSeconds(entries[i].time) <= target) k = i;
    }
    *pos = Pos{cand, k};
    return true;
}

bool RecStore::PositionOf(size_t stream, const DateTime& t, size_t* seg, size_t* entry) {
    Pos pos{0, 0};
    std::string why;
    if (stream >= group_.streams.size() || !ValidDateTime(t) || !Locate(stream, t, &pos, &why)) return false;
    *seg = pos.seg;
    *entry = pos.idx;
    return true;
}

// Where reading starts for the I-frame at `pos` of the handle's segment. A
// segment with audio must begin, for the player, with an audio frame: the
// read starts at the audio pack right before the I-frame (the entry's lead).
// An old-format audio pack carries no timestamp and takes the one of the
// pack read before it, which after a repositioning would be a pack of the
// old position: there the read starts at the last video pack before the
// audio (the player drops it, the audio takes its timestamp), or, when the
// segment has none, at the I-frame itself (the player drops it and starts
// at the audio after it).
uint64_t RecStore::ReadStart(const Handle& h, Pos pos) const {
    const SegmentIndex& index = h.loaded->index;
    const IndexEntry& e = index.entries[pos.idx];
    const SegmentDesc& d = group_.streams[h.stream].segments[pos.seg];
    if (!d.audio || e.lead == 0) return e.offset;
    if (d.format == PackFormat::kNew) return e.offset - e.lead;
    const uint64_t from = pos.idx > 0 ? index.entries[pos.idx - 1].offset : 0;
    uint64_t video = 0;
    return LastVideoPackBefore(h.fd, index.fileSize, d.format, from, e.offset - e.lead, &video) ? video : e.offset;
}

bool RecStore::Enter(Handle& h, size_t seg, LoadedPtr loaded) {
    if (h.fd >= 0 && h.seg == seg && h.loaded == loaded) return true;
    const SegmentDesc& d = group_.streams[h.stream].segments[seg];
    const std::string path = dir_ + "/" + d.file;
    std::string why;
    const int fd = OpenRegularFile(path, nullptr, &why);
    if (fd < 0) {
        Log("handle %d: %s", h.id, why.c_str());
        return false;
    }
    if (h.fd >= 0) close(h.fd);
    h.fd = fd;
    h.seg = seg;
    h.loaded = std::move(loaded);
    return true;
}

int RecStore::OpenStream(const MSSP_OpenParam_t* param, unsigned char openFlag) {
    const int handle = OpenAt(param, openFlag);
    if (param != nullptr && param->channel < 32) {
        std::lock_guard<std::mutex> lock(handleMutex_);
        (handle < 0 ? failedOpens_ : openedOk_) |= 1u << param->channel;
    }
    return handle;
}

int RecStore::OpenAt(const MSSP_OpenParam_t* param, unsigned char openFlag) {
    if (!param) {
        Log("OpenStream: no open request");
        return -1;
    }
    const int type = StreamTypeOf(param->streamTypeBmp);
    const DateTime t{param->year, param->month, param->day, param->hour, param->minute, param->second};
    if (param->tavuGrpId != group_.groupId) {
        Log("OpenStream: recording group %u asked, this store holds group %u", param->tavuGrpId, group_.groupId);
        return -1;
    }
    if (!ValidDateTime(t)) {
        Log("OpenStream: channel %u: invalid date and time %u-%u-%u %u:%u:%u", param->channel, t[0], t[1], t[2],
            t[3], t[4], t[5]);
        return -1;
    }
    const int stream = param->channel < kMaxChannels && type < kMaxStreamTypes
                           ? FindStream(param->channel, static_cast<uint8_t>(type))
                           : -1;
    if (stream < 0) {
        Log("OpenStream: no recording of channel %u stream type %d", param->channel, type);
        return -1;
    }
    Pos pos{0, 0};
    std::string why;
    if (!Locate(static_cast<size_t>(stream), t, &pos, &why)) {
        Log("OpenStream: channel %u stream type %d: %s", param->channel, type, why.c_str());
        return -1;
    }
    auto h = std::make_shared<Handle>();
    h->stream = static_cast<size_t>(stream);
    h->announce = openFlag != 0;
    LoadedPtr l = UsableSegment(h->stream, pos.seg);
    if (!l || pos.idx >= l->index.entries.size() || !Enter(*h, pos.seg, l)) return -1;
    h->readOff = ReadStart(*h, pos);
    h->cursorValid = true;
    h->cur = pos;
    h->newSegPending = h->announce;

    std::lock_guard<std::mutex> lock(handleMutex_);
    if (handles_.size() >= static_cast<size_t>(kMaxHandles)) {
        Log("OpenStream: %d streams already open", kMaxHandles);
        return -1;
    }
    while (handles_.count(nextHandle_)) nextHandle_ = nextHandle_ == INT_MAX ? 1 : nextHandle_ + 1;
    h->id = nextHandle_;
    nextHandle_ = nextHandle_ == INT_MAX ? 1 : nextHandle_ + 1;
    handles_[h->id] = h;
    return h->id;
}

int RecStore::GetStreamSegmentInfo(const tag_tavuSegmentId* segmentId, MSSP_SegmentInfo_t* info) {
    if (!segmentId || !info) {
        Log("GetStreamSegmentInfo: null argument");
        return kSegBadArgument;
    }
    const int stream = FindStream(segmentId->channel, segmentId->streamType);
    if (stream < 0) {
        Log("GetStreamSegmentInfo: no recording of channel %u stream type %u", segmentId->channel,
            segmentId->streamType);
        return kSegNoStream;
    }
    const std::vector<SegmentDesc>& segs = group_.streams[static_cast<size_t>(stream)].segments;
    for (size_t i = 0; i < segs.size(); ++i) {
        if (segs[i].number != segmentId->segment) continue;
        if (!UsableSegment(static_cast<size_t>(stream), i)) {
            Log("GetStreamSegmentInfo: segment %u of channel %u stream type %u cannot be played",
                segmentId->segment, segmentId->channel, segmentId->streamType);
            return kSegUnusable;
        }
        std::memset(info, 0, sizeof(*info));
        std::memcpy(&info->year, segs[i].start.data(), 6);
        info->channel = segmentId->channel;
        return 0;
    }
    Log("GetStreamSegmentInfo: channel %u stream type %u has no segment %u", segmentId->channel,
        segmentId->streamType, segmentId->segment);
    return kSegNoSegment;
}

int RecStore::GetSegmentInfo(int handle, MSSP_SegmentAttr_t* attr) {
    if (!attr) return -1;
    std::shared_ptr<Handle> h = Find(handle, "GetSegmentInfo");
    if (!h) return -1;
    const SegmentDesc& d = group_.streams[h->stream].segments[h->seg];
    // Bytes 0..5 carry the segment's start for hosts that want it; the
    // player reads only the audio bit.
    std::memcpy(attr->reserved0, d.start.data(), 6);
    if (d.audio) attr->attr |= MSSP_SEGATTR_AUDIO;
    return 0;
}

int RecStore::ReadStream(int handle, unsigned char* dst, int maxLen, unsigned char* newSegment) {
    if (newSegment) *newSegment = 0;
    if (!dst || maxLen <= 0 || !newSegment) {
        Log("ReadStream: handle %d: bad arguments", handle);
        return -1;
    }
    std::shared_ptr<Handle> h = Find(handle, "ReadStream");
    if (!h) return -1;
    const StreamDesc& sd = group_.streams[h->stream];
    for (;;) {
        const uint64_t end = h->loaded ? h->loaded->index.fileSize : 0;
        if (h->fd >= 0 && h->readOff < end) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(maxLen), end - h->readOff));
            ssize_t r;
            do {
                r = pread(h->fd, dst, want, static_cast<off_t>(h->readOff));
            } while (r < 0 && errno == EINTR);
            if (r < 0) {
                Log("ReadStream: handle %d: read error: %s", handle, std::strerror(errno));
                return -1;
            }
            if (r > 0) {
                h->readOff += static_cast<uint64_t>(r);
                *newSegment = h->newSegPending ? 1 : 0;
                h->newSegPending = false;
                h->cursorStale = true;
                return static_cast<int>(r);
            }
            Log("ReadStream: handle %d: segment %u ends early (file shrank)", handle, sd.segments[h->seg].number);
        }
        // The current segment is used up: on to the next one that can be read.
        size_t next = h->seg + 1;
        for (; next < sd.segments.size(); ++next) {
            LoadedPtr l = Segment(h->stream, next);
            if (!l->Readable()) {
                Log("ReadStream: handle %d: segment %u of channel %u stream type %u skipped: %s", handle,
                    sd.segments[next].number, sd.channel, sd.streamType,
                    l->ok ? "no valid pack" : l->why.c_str());
                continue;
            }
            if (Enter(*h, next, l)) break;
        }
        if (next >= sd.segments.size()) return 0;  // end of the recording
        h->readOff = 0;
        h->newSegPending = true;
        h->cursorStale = true;
    }
}

bool RecStore::NextPos(size_t stream, Pos p, Pos* out) {
    LoadedPtr l = Segment(stream, p.seg);
    if (l->Positionable() && p.idx + 1 < l->index.entries.size()) {
        *out = Pos{p.seg, p.idx + 1};
        return true;
    }
    for (size_t s = p.seg + 1; s < group_.streams[stream].segments.size(); ++s) {
        if (UsableSegment(stream, s)) {
            *out = Pos{s, 0};
            return true;
        }
    }
    return false;
}

bool RecStore::PrevPos(size_t stream, Pos p, Pos* out) {
    LoadedPtr l = Segment(stream, p.seg);
    if (l->Positionable() && p.idx > 0) {
        *out = Pos{p.seg, std::min(p.idx, l->index.entries.size()) - 1};
        return true;
    }
    for (size_t s = p.seg; s-- > 0;) {
        if (LoadedPtr u = UsableSegment(stream, s)) {
            *out = Pos{s, u->index.entries.size() - 1};
            return true;
        }
    }
    return false;
}

// Puts the trick-play cursor where plain reads left the handle, facing
// `forward`: on the first I-frame not yet read (forward), or on the last
// one whose bytes were read (backward), not yet handed out. False when
// there is none in that direction.
bool RecStore::TrickCursor(Handle& h, bool forward) {
    if (h.cursorValid && !h.cursorStale) return true;
    LoadedPtr l = Segment(h.stream, h.seg);
    const size_t n = l->Positionable() ? l->index.entries.size() : 0;
    Pos p{h.seg, 0};
    bool found = false;
    if (forward) {
        for (size_t i = 0; i < n && !found; ++i) {
            if (l->index.entries[i].offset >= h.readOff) p.idx = i, found = true;
        }
        if (!found) found = NextPos(h.stream, Pos{h.seg, n ? n - 1 : 0}, &p);  // a later segment
    } else {
        for (size_t i = 0; i < n && l->index.entries[i].offset < h.readOff; ++i) p.idx = i, found = true;
        if (!found) found = PrevPos(h.stream, Pos{h.seg, 0}, &p);  // an earlier segment
    }
    if (!found) return false;
    h.cur = p;
    h.delivered = false;
    h.cursorValid = true;
    h.cursorStale = false;
    return true;
}

int RecStore::ReadIFrame(int handle, unsigned char** data, int* length, unsigned char* newSegment, int step,
                         bool forward) {
    const char* op = forward ? "ReadNextIFrame" : "ReadPrevIFrame";
    if (!data || !length || !newSegment) {
        Log("%s: handle %d: null out pointer", op, handle);
        return -1;
    }
    *data = nullptr;
    *length = 0;
    *newSegment = 0;
    std::shared_ptr<Handle> h = Find(handle, op);
    if (!h) return -1;
    if (!TrickCursor(*h, forward)) return 0;  // no I-frame in that direction
    // The cursor's own I-frame first; then `step` I-frames on from the last
    // one handed out, stopping at the first or last there is.
    Pos target = h->cur;
    if (h->delivered) {
        if (!(forward ? NextPos(h->stream, h->cur, &target) : PrevPos(h->stream, h->cur, &target)))
            return 0;  // no I-frame left in that direction
        for (int i = 1; i < StepCount(step); ++i) {
            Pos p;
            if (!(forward ? NextPos(h->stream, target, &p) : PrevPos(h->stream, target, &p))) break;
            target = p;
        }
    }
    // Only a pack that validates whole is handed out: the engine would
    // reject any other and ask for the same one again. A damaged one is
    // passed over in the direction of play.
    const size_t before = h->seg;
    for (;;) {
        LoadedPtr l = UsableSegment(h->stream, target.seg);
        if (!l || target.idx >= l->index.entries.size()) {
            Log("%s: handle %d: segment changed under the cursor", op, handle);
            return -1;
        }
        const IndexEntry& e = l->index.entries[target.idx];
        if (!Enter(*h, target.seg, l)) return -1;
        h->trickBuf.resize(e.packLen);
        PackHeader header;
        std::string why = "cannot be read";
        if (PreadAll(h->fd, h->trickBuf.data(), e.packLen, e.offset) &&
            CheckWholePack(l->index.format, h->trickBuf.data(), e.packLen, &header, &why)) {
            if (header.type == kTypeI) break;
            why = "not an I-frame";
        }
        Log("%s: handle %d: the I-frame at offset %llu of segment %u is passed over: %s", op, handle,
            static_cast<unsigned long long>(e.offset), group_.streams[h->stream].segments[target.seg].number,
            why.c_str());
        Pos next;
        if (!(forward ? NextPos(h->stream, target, &next) : PrevPos(h->stream, target, &next))) return 0;
        target = next;
    }
    const IndexEntry& e = h->loaded->index.entries[target.idx];  // Enter made it the handle's
    const bool segmentChanged = target.seg != before;
    *newSegment = (segmentChanged || h->newSegPending) ? 1 : 0;
    h->newSegPending = false;
    h->readOff = e.offset;
    h->cur = target;
    h->delivered = true;
    h->cursorValid = true;
    h->cursorStale = false;
    *data = h->trickBuf.data();
    *length = static_cast<int>(e.packLen);
    return *length;
}

int RecStore::ReadNextIFrame(int handle, unsigned char** data, int* length, unsigned char* newSegment, int step) {
    return ReadIFrame(handle, data, length, newSegment, step, true);
}

int RecStore::ReadPrevIFrame(int handle, unsigned char** data, int* length, unsigned char* newSegment, int step) {
    return ReadIFrame(handle, data, length, newSegment, step, false);
}

int RecStore::SeekStream(int handle, const MSSP_SeekTime_t* time) {
    if (!time) {
        Log("SeekStream: handle %d: no time", handle);
        return -1;
    }
    std::shared_ptr<Handle> h = Find(handle, "SeekStream");
    if (!h) return -1;
    const DateTime t{time->year, time->month, time->day, time->hour, time->minute, time->second};
    if (!ValidDateTime(t)) {
        Log("SeekStream: handle %d: invalid date and time %u-%u-%u %u:%u:%u", handle, t[0], t[1], t[2], t[3], t[4],
            t[5]);
        return -1;
    }
    Pos pos{0, 0};
    std::string why;
    if (!Locate(h->stream, t, &pos, &why)) {
        Log("SeekStream: handle %d: %s", handle, why.c_str());
        return -1;
    }
    LoadedPtr l = UsableSegment(h->stream, pos.seg);
    const size_t before = h->seg;
    if (!l || pos.idx >= l->index.entries.size() || !Enter(*h, pos.seg, l)) return -1;
    h->readOff = ReadStart(*h, pos);
    h->newSegPending = h->announce || pos.seg != before;
    h->cur = pos;
    h->delivered = false;
    h->cursorValid = true;
    h->cursorStale = false;
    return 0;
}

int RecStore::CloseStream(int handle, int /*reserved*/) {
    std::lock_guard<std::mutex> lock(handleMutex_);
    if (handles_.erase(handle) == 0) {
        Log("CloseStream: no open stream with handle %d", handle);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The table: each slot hands the call to the store that is the user pointer.

namespace {

RecStore* StoreOf(void* user) { return static_cast<RecStore*>(user); }

int OpOpenStream(void* user, MSSP_OpenParam_t* param, unsigned char openFlag) {
    return user ? StoreOf(user)->OpenStream(param, openFlag) : -1;
}
int OpGetStreamSegmentInfo(void* user, tag_tavuSegmentId* segmentId, MSSP_SegmentInfo_t* info) {
    return user ? StoreOf(user)->GetStreamSegmentInfo(segmentId, info) : kSegBadArgument;
}
int OpGetSegmentInfo(void* user, int handle, MSSP_SegmentAttr_t* attr) {
    return user ? StoreOf(user)->GetSegmentInfo(handle, attr) : -1;
}
int OpReadStream(void* user, int handle, unsigned char* dst, int maxLen, unsigned char* newSegment) {
    return user ? StoreOf(user)->ReadStream(handle, dst, maxLen, newSegment) : -1;
}
int OpReadNextIFrame(void* user, int handle, unsigned char** data, int* length, unsigned char* newSegment,
                     int step) {
    return user ? StoreOf(user)->ReadNextIFrame(handle, data, length, newSegment, step) : -1;
}
int OpReadPrevIFrame(void* user, int handle, unsigned char** data, int* length, unsigned char* newSegment,
                     int step) {
    return user ? StoreOf(user)->ReadPrevIFrame(handle, data, length, newSegment, step) : -1;
}
int OpSeekStream(void* user, int handle, MSSP_SeekTime_t* time) {
    return user ? StoreOf(user)->SeekStream(handle, time) : -1;
}
int OpCloseStream(void* user, int handle, int reserved) {
    return user ? StoreOf(user)->CloseStream(handle, reserved) : -1;
}

}  // namespace

MSSP_StreamOperation_t RecStore::Operations() {
    MSSP_StreamOperation_t ops{};
    ops.OpenStream = OpOpenStream;
    ops.Reserved = nullptr;
    ops.GetStreamSegmentInfo = OpGetStreamSegmentInfo;
    ops.GetSegmentInfo = OpGetSegmentInfo;
    ops.ReadStream = OpReadStream;
    ops.ReadNextIFrame = OpReadNextIFrame;
    ops.ReadPrevIFrame = OpReadPrevIFrame;
    ops.SeekStream = OpSeekStream;
    ops.CloseStream = OpCloseStream;
    return ops;
}

}  // namespace recstore
