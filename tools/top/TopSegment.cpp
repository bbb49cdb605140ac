// mssp-top's reading side: the key files, the read-only attachment, the
// segment's geometry worked out from its size and records, each stream
// decoded with every value checked, and the owner from the key file.
// Nothing here writes to the segment or the key file.
#include "TopSegment.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace msstop {

namespace {

constexpr size_t kStreamFixed = kHeadSize + kCursorSize;  // head and cursor of one stream
constexpr int kCursorTries = 3;       // re-reads of a counter pair that a writer moved meanwhile
constexpr uint32_t kTimeScan = 512;   // released nodes looked through for the last key frame
constexpr uint32_t kProbeNodes = 4;   // waiting nodes per stream that vote on the geometry
// The largest node ring looked for (40 MiB of nodes per stream): bounds the
// search on a segment of one huge stream.
constexpr uint32_t kMaxNodes = 1u << 20;

// The engine's writers change these fields while we read them: single
// relaxed loads (acquire on parseNum, which publishes the nodes it counts).
// The segment is mapped read-only; a load never writes.
template <class T>
T Load(const uint8_t* p, std::memory_order order = std::memory_order_relaxed) {
    return std::atomic_ref<T>(*const_cast<T*>(reinterpret_cast<const T*>(p))).load(order);
}

// Packed node fields: copied byte-wise, as the engine writes them.
uint32_t U32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
uint32_t U24(const uint8_t* p) { return p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16); }

bool HeadLooksRight(const uint8_t* head) { return head[13] == 1 && head[15] == 0; }

size_t NodesOffset(const Geometry& g, int index) {
    return kStreamFixed * g.streams + static_cast<size_t>(kNodeSize) * g.nodes * index;
}
size_t RingOffset(const Geometry& g, int index) {
    return (kStreamFixed + static_cast<size_t>(kNodeSize) * g.nodes) * g.streams + static_cast<size_t>(g.ring) * index;
}

// A node's pieces lie in a ring of `ring` bytes.
bool PiecesFit(const MSSP_FrameNode_t& n, uint32_t ring) {
    return n.offset1 < ring && n.length1 <= ring - n.offset1 && n.offset2 == 0 && n.length2 < ring;
}

// The node is complete and a pack header of its length begins where it
// points: the stored frame agrees with the geometry that placed it.
bool NodeMatchesRing(const MSSP_FrameNode_t& n, const uint8_t* ring, uint32_t ringSize) {
    if ((n.frameRate & kCompletionMark) == 0 || n.frameType > MSSP_FRAME_AUDIO) return false;
    if (!PiecesFit(n, ringSize) || n.length1 == 0) return false;
    uint8_t h[24];
    if (n.offset1 + sizeof(h) <= ringSize) {
        std::memcpy(h, ring + n.offset1, sizeof(h));
    } else {
        for (uint32_t k = 0; k < sizeof(h); ++k) h[k] = ring[(n.offset1 + k) % ringSize];
    }
    const uint64_t packLen = static_cast<uint64_t>(n.length1) + n.length2;
    if (h[2] == 'd' && h[3] == 'c' && h[1] >= '2' && h[1] <= '4') return 12u + U24(h + 8) + U24(h + 4) == packLen;
    if (h[2] == 'd' && h[3] == 'c' && (h[1] == '0' || h[1] == '1'))
        return 24u + (h[12] | (h[13] << 8)) + static_cast<uint64_t>(U32(h + 8)) == packLen;
    if (h[2] == 'w' && h[3] == 'b' && h[1] >= '0' && h[1] <= '9') return 8u + (h[4] | (h[5] << 8)) == packLen;
    return false;
}

MSSP_FrameNode_t NodeAt(const uint8_t* mem, const Geometry& g, int stream, uint32_t index) {
    MSSP_FrameNode_t n;
    std::memcpy(&n, mem + NodesOffset(g, stream) + kNodeSize * index, sizeof(n));
    return n;
}

// Stored frames vote for the node count: with the right one, a stream's
// waiting nodes point at pack headers of their length in its ring.
void SizeRings(const uint8_t* mem, size_t size, Geometry* g) {
    const size_t perStream = size / g->streams;
    if (perStream < kStreamFixed + kNodeSize + kMinRingSize) return;
    const uint32_t maxNodes =
        static_cast<uint32_t>(std::min<size_t>((perStream - kStreamFixed - kMinRingSize) / kNodeSize, kMaxNodes));
    uint32_t minNodes = 1;
    bool anyStored = false;
    for (int i = 0; i < g->streams; ++i) {
        const uint8_t* c = mem + kHeadSize * g->streams + kCursorSize * i;
        const uint32_t get = Load<uint32_t>(c);
        const int32_t last = Load<int32_t>(c + 4);
        if (last < -1 || get >= maxNodes || last >= static_cast<int64_t>(maxNodes)) continue;  // shown as "?"
        minNodes = std::max({minNodes, get + 1, static_cast<uint32_t>(last + 1)});
        anyStored |= last >= 0;
    }
    if (!anyStored) return;
    uint32_t best = 0;
    int bestVotes = 0;
    bool tie = false;
    for (uint32_t f = minNodes; f <= maxNodes; ++f) {
        Geometry t = *g;
        t.nodes = f;
        t.ring = static_cast<uint32_t>(perStream - kStreamFixed - kNodeSize * f);
        int votes = 0;
        for (int i = 0; i < t.streams; ++i) {
            const uint8_t* c = mem + kHeadSize * t.streams + kCursorSize * i;
            const uint32_t get = Load<uint32_t>(c);
            const int32_t last = Load<int32_t>(c + 4);
            if (last < 0 || get >= f || last >= static_cast<int64_t>(f)) continue;
            const uint8_t* ring = mem + RingOffset(t, i);
            if (NodeMatchesRing(NodeAt(mem, t, i, static_cast<uint32_t>(last)), ring, t.ring)) ++votes;
            for (uint32_t k = 0, n = get; k < kProbeNodes && n != static_cast<uint32_t>(last); ++k, n = (n + 1) % f)
                if (NodeMatchesRing(NodeAt(mem, t, i, n), ring, t.ring)) ++votes;
        }
        if (votes > bestVotes) {
            best = f, bestVotes = votes, tie = false;
        } else if (votes == bestVotes && votes > 0) {
            tie = true;
        }
    }
    if (bestVotes == 0 || tie) return;
    g->nodes = best;
    g->ring = static_cast<uint32_t>(perStream - kStreamFixed - kNodeSize * best);
    g->sized = true;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

std::string KeyDir() {
    const char* dir = std::getenv("MSSP_KEY_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

std::string KeyPath(const std::string& name, int group) {
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%02d", group);
    return KeyDir() + "/." + name + digits;
}

std::vector<std::string> FindKeyFiles() {
    std::vector<std::string> keys;
    const std::string dir = KeyDir();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return keys;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] != '.' || !std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const key_t key = ftok(path.c_str(), 'k');
        if (key != static_cast<key_t>(-1) && shmget(key, 0, 0) >= 0) keys.push_back(path);
    }
    closedir(d);
    std::sort(keys.begin(), keys.end());
    return keys;
}

bool DetectGeometry(const uint8_t* mem, size_t size, Geometry* g, std::string* why) {
    const size_t smallest = kStreamFixed + kNodeSize + kMinRingSize;
    if (size < smallest) {
        *why = "its " + std::to_string(size) + " bytes are fewer than one stream of the engine's layout needs (" +
               std::to_string(smallest) + ")";
        return false;
    }
    // The largest stream count whose heads carry the engine's reserved
    // bytes (1 and 0): a larger count would take cursors or nodes for heads.
    for (int n = MSSP_MAX_STREAMS; n >= 1; --n) {
        if (size % n != 0 || size / n < smallest) continue;
        bool heads = true;
        for (int i = 0; i < n && heads; ++i) heads = HeadLooksRight(mem + kHeadSize * i);
        if (!heads) continue;
        *g = Geometry{};
        g->streams = n;
        SizeRings(mem, size, g);
        return true;
    }
    char text[160];
    std::snprintf(text, sizeof(text),
                  "no stream count 1..%d fits: the first stream head holds %u and %u in its reserved bytes 13 "
                  "and 15, the engine writes 1 and 0",
                  MSSP_MAX_STREAMS, mem[13], mem[15]);
    *why = text;
    return false;
}

Owner ReadOwner(const std::string& keyPath) {
    Owner o;
    const int fd = open(keyPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return o;
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    if (n > 0) {
        char* end = nullptr;
        errno = 0;
        const long pid = std::strtol(text, &end, 10);
        if (errno == 0 && end != text && (*end == '\n' || *end == '\0') && pid > 0 && text[0] != '-' &&
            text[0] != '+' && text[0] != ' ')
            o.pid = pid;
    }
    // The engine holds a write lock on the whole key file (an open-file-
    // description lock) while its reader threads run.
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (fcntl(fd, F_OFD_GETLK, &fl) == 0) o.locked = fl.l_type != F_UNLCK;
    close(fd);
    return o;
}

StreamView DecodeStream(const uint8_t* mem, const Geometry& g, int index) {
    StreamView v;
    v.index = index;
    const uint8_t* head = mem + kHeadSize * index;
    const uint8_t* cursor = mem + kHeadSize * g.streams + kCursorSize * index;
    v.channel = Load<int32_t>(head);
    v.state = Load<uint8_t>(head + 12);
    v.playStatus = Load<uint8_t>(head + 14);
    v.badChannel = v.channel < -1 || v.channel >= MSSP_MAX_STREAMS;
    v.badState = v.state > MSSP_STATUS_STOP;
    v.badPlay = v.playStatus > MSSP_STATUS_STOP;

    // getNum before parseNum: a pair read in this order never shows more
    // released than stored; a reset or a release between the reads is
    // caught by reading again.
    for (int attempt = 0; attempt < kCursorTries; ++attempt) {
        v.getNum = Load<uint32_t>(head + 8);
        v.parseNum = Load<uint32_t>(head + 4, std::memory_order_acquire);
        v.getIndex = Load<uint32_t>(cursor);
        v.lastIndex = Load<int32_t>(cursor + 4);
        v.waiting = static_cast<int32_t>(v.parseNum - v.getNum);
        v.badCounts = v.waiting < 0 || (g.sized && static_cast<uint32_t>(v.waiting) > g.nodes);
        v.badCursor = v.lastIndex < -1 || (g.sized && (v.getIndex >= g.nodes || v.lastIndex >= static_cast<int64_t>(g.nodes)));
        if (!v.badCounts && !v.badCursor) break;
    }
    if (!g.sized || v.badCounts || v.badCursor) return v;

    const uint32_t f = g.nodes;
    if (v.waiting == 0) {
        v.fillKnown = true;
    } else if (v.lastIndex >= 0) {
        const MSSP_FrameNode_t first = NodeAt(mem, g, index, v.getIndex);
        const MSSP_FrameNode_t last = NodeAt(mem, g, index, static_cast<uint32_t>(v.lastIndex));
        if (!PiecesFit(first, g.ring) || !PiecesFit(last, g.ring)) {
            v.badFill = true;
        } else {
            const uint64_t end = last.length2 != 0 ? last.length2 : (static_cast<uint64_t>(last.offset1) + last.length1) % g.ring;
            const uint64_t fill = (end + g.ring - first.offset1) % g.ring;
            v.fillBytes = fill == 0 ? g.ring : fill;
            v.fillKnown = true;
        }
    }

    // The last delivered frame: the node before the read node, released but
    // not yet refilled while fewer than all nodes wait.
    if (v.getNum == 0 || static_cast<uint32_t>(v.waiting) + 1 >= f) return v;
    const uint32_t prev = (v.getIndex + f - 1) % f;
    const MSSP_FrameNode_t n = NodeAt(mem, g, index, prev);
    if (n.frameType > MSSP_FRAME_OTHER) {
        v.badLast = true;
        return v;
    }
    if ((n.frameRate & kCompletionMark) == 0) return v;
    v.lastKnown = true;
    v.lastPts = n.pts;

    // Its recorded time: a key frame's date and time (the frames that carry
    // one) moved on by the timestamps between the two frames. The last
    // delivered key frame, else, when the reader has refilled those nodes,
    // the next waiting one; never across the start of a recorded segment,
    // after which timestamps and times stand in another relation.
    enum class Key { kNone, kUsed, kStop };
    auto useKey = [&](const MSSP_FrameNode_t& key) {
        const bool keyFrame = key.frameType == MSSP_FRAME_I || (key.frameType == MSSP_FRAME_AUDIO && (key.flags2 & 2));
        if ((key.frameRate & kCompletionMark) == 0 || !keyFrame) return Key::kNone;
        const uint8_t* t = key.time;
        if (t[0] == 0 && t[1] == 0 && t[2] == 0 && t[3] == 0 && t[4] == 0 && t[5] == 0) return Key::kStop;
        if (t[1] < 1 || t[1] > 12 || t[2] < 1 || t[2] > 31 || t[3] > 23 || t[4] > 59 || t[5] > 59) {
            v.badTime = true;
            return Key::kStop;
        }
        const int64_t at = DaysFromCivil(2000 + t[0], t[1], t[2]) * 86400 + t[3] * 3600 + t[4] * 60 + t[5];
        const int64_t ms = static_cast<int64_t>(n.pts - key.pts);  // negative from a later key frame
        v.lastTime = at + (ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
        v.timeKnown = true;
        return Key::kUsed;
    };
    const uint32_t released = f - static_cast<uint32_t>(v.waiting) - 1;  // one may be being refilled
    for (uint32_t k = 0, i = prev; k < std::min(released, kTimeScan); ++k, i = (i + f - 1) % f) {
        const MSSP_FrameNode_t key = NodeAt(mem, g, index, i);
        const Key used = useKey(key);
        if (used != Key::kNone) return v;
        if (key.flags & 1) break;  // the delivered frame's segment begins here
    }
    if (n.flags & 1) return v;
    const uint32_t ahead = std::min(static_cast<uint32_t>(v.waiting), kTimeScan);
    for (uint32_t k = 0, i = v.getIndex; k < ahead; ++k, i = (i + 1) % f) {
        const MSSP_FrameNode_t key = NodeAt(mem, g, index, i);
        if (key.flags & 1) break;  // another segment begins
        if (useKey(key) != Key::kNone) break;
    }
    return v;
}

Segment::~Segment() {
    if (mem_ != nullptr) shmdt(mem_);
}

Segment::Segment(Segment&& other) noexcept
    : key_(std::move(other.key_)), id_(other.id_), mem_(other.mem_), size_(other.size_), geometry_(other.geometry_) {
    other.mem_ = nullptr;
}

Segment& Segment::operator=(Segment&& other) noexcept {
    if (this != &other) {
        if (mem_ != nullptr) shmdt(mem_);
        key_ = std::move(other.key_);
        id_ = other.id_;
        mem_ = other.mem_;
        size_ = other.size_;
        geometry_ = other.geometry_;
        other.mem_ = nullptr;
    }
    return *this;
}

int Segment::Attach(const std::string& keyPath, std::string* why) {
    key_ = keyPath;
    struct stat st;
    if (stat(keyPath.c_str(), &st) != 0) {
        *why = "no engine segment: key file " + keyPath + " not found";
        return 2;
    }
    const key_t key = ftok(keyPath.c_str(), 'k');
    id_ = key == static_cast<key_t>(-1) ? -1 : shmget(key, 0, 0);
    if (id_ < 0 && errno == EACCES) {
        *why = "the segment of key file " + keyPath + " is not readable by this user (uid " +
               std::to_string(geteuid()) + ")";
        return 2;
    }
    if (id_ < 0) {
        *why = "no engine segment for key file " + keyPath + " (" + std::strerror(errno) + ")";
        return 2;
    }
    struct shmid_ds ds;
    if (shmctl(id_, IPC_STAT, &ds) != 0) {
        *why = "segment of key file " + keyPath + " cannot be read: " + std::strerror(errno);
        return 2;
    }
    void* mem = shmat(id_, nullptr, SHM_RDONLY);
    if (mem == reinterpret_cast<void*>(-1)) {
        *why = "segment of key file " + keyPath + " cannot be attached: " + std::strerror(errno);
        return 2;
    }
    mem_ = static_cast<const uint8_t*>(mem);
    size_ = ds.shm_segsz;
    std::string reason;
    if (!DetectGeometry(mem_, size_, &geometry_, &reason)) {
        *why = "segment of key file " + keyPath + " refused, not the engine's layout: " + reason;
        shmdt(mem_);
        mem_ = nullptr;
        return 3;
    }
    return 0;
}

bool Segment::Read(Snapshot* s) {
    *s = Snapshot{};
    s->size = size_;
    struct shmid_ds ds;
    // A removed segment stays mapped here until we detach; the system
    // marks it for destruction.
    if (shmctl(id_, IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & SHM_DEST) != 0) {
        s->removed = true;
        return false;
    }
    s->attachments = static_cast<int>(ds.shm_nattch) - 1;
    if (!geometry_.sized) {
        Geometry g;
        std::string why;
        if (DetectGeometry(mem_, size_, &g, &why) && g.streams == geometry_.streams) geometry_ = g;
    }
    s->geometry = geometry_;
    s->owner = ReadOwner(key_);
    for (int i = 0; i < geometry_.streams; ++i) {
        StreamView v = DecodeStream(mem_, geometry_, i);
        s->impossible += v.badChannel + v.badState + v.badPlay + v.badCounts + v.badCursor + v.badFill + v.badLast +
                         v.badTime;
        s->streams.push_back(v);
    }
    return true;
}

std::string Segment::name() const {
    std::string base = key_.substr(key_.find_last_of('/') + 1);
    if (!base.empty() && base[0] == '.') base.erase(0, 1);
    if (base.size() >= 2 && isdigit(static_cast<unsigned char>(base[base.size() - 1])) &&
        isdigit(static_cast<unsigned char>(base[base.size() - 2])))
        base.resize(base.size() - 2);
    return base;
}

int Segment::group() const {
    const std::string base = key_.substr(key_.find_last_of('/') + 1);
    if (base.size() < 2 || !isdigit(static_cast<unsigned char>(base[base.size() - 1])) ||
        !isdigit(static_cast<unsigned char>(base[base.size() - 2])))
        return -1;
    return (base[base.size() - 2] - '0') * 10 + (base[base.size() - 1] - '0');
}

}  // namespace msstop
