// mssp-top's reading side: finding an engine's shared segment through its
// key file, attaching it read-only, working out its geometry from the
// segment alone, decoding every stream's header, cursor and nodes into a
// snapshot (values that cannot be are marked, never trusted), and telling
// which process runs reader threads on it from the key file's pid and lock.
#ifndef MSSP_TOP_SEGMENT_H
#define MSSP_TOP_SEGMENT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "MultiStreamSyncParser.h"

namespace msstop {

// The engine's smallest data ring (three reads of 64 KiB); the test suite
// ties it to the engine's own constant.
constexpr uint32_t kMinRingSize = 3 * 65536;
constexpr size_t kHeadSize = sizeof(MSSP_StreamHead_t);
constexpr size_t kCursorSize = sizeof(MSSP_NodeCursor_t);
constexpr size_t kNodeSize = sizeof(MSSP_FrameNode_t);
constexpr uint8_t kCompletionMark = 0x80;  // bit 7 of a node's frameRate byte

// Where the key files live: MSSP_KEY_DIR, else /tmp.
std::string KeyDir();
// "<dir>/.<name><group, two digits at least>".
std::string KeyPath(const std::string& name, int group);
// Every key file in KeyDir() whose key has a segment.
std::vector<std::string> FindKeyFiles();

// The layout's unknowns, worked out from the segment's size and records.
struct Geometry {
    int streams = 0;     // N
    bool sized = false;  // nodes and ring known (a stored frame decided them)
    uint32_t nodes = 0;  // F, nodes per stream
    uint32_t ring = 0;   // bytes per data ring
};
// The stream count from the size and the heads; the node and ring sizes
// when stored frames decide them. False, with the reason, when the segment
// cannot be an engine's.
bool DetectGeometry(const uint8_t* mem, size_t size, Geometry* g, std::string* why);

// The process whose reader threads fill the segment, from the key file.
struct Owner {
    long pid = -1;       // -1: the key file holds no pid
    bool locked = false; // a live process holds the key file's lock
};
Owner ReadOwner(const std::string& keyPath);

// One stream as the segment shows it. Flags say which values could not be
// (shown as "?"); counters are kept raw for the rates.
struct StreamView {
    int index = 0;
    int32_t channel = -1;
    uint8_t state = 0, playStatus = 0;
    uint32_t parseNum = 0, getNum = 0;
    uint32_t getIndex = 0;
    int32_t lastIndex = -1;
    bool badChannel = false, badState = false, badPlay = false, badCounts = false, badCursor = false;
    int32_t waiting = 0;
    bool fillKnown = false, badFill = false;
    uint64_t fillBytes = 0;
    bool lastKnown = false, badLast = false;  // last delivered frame
    uint64_t lastPts = 0;
    bool timeKnown = false, badTime = false;
    int64_t lastTime = 0;  // recorded time of the last delivered frame, seconds since 1970 (UTC fields)
};

struct Snapshot {
    Geometry geometry;
    size_t size = 0;
    int attachments = 0;  // besides this monitor
    bool removed = false;
    Owner owner;
    std::vector<StreamView> streams;
    int impossible = 0;  // values shown as "?"
};

// One watched segment: the key file, its segment attached read-only.
class Segment {
public:
    Segment() = default;
    ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
    Segment(Segment&& other) noexcept;
    Segment& operator=(Segment&& other) noexcept;
    // Attaches the segment of `keyPath`. 2: none (no key file, no segment);
    // 3: not an engine's segment (why says so); 0: attached.
    int Attach(const std::string& keyPath, std::string* why);
    // Reads the segment now. False once the segment is removed.
    bool Read(Snapshot* s);
    const std::string& key() const { return key_; }
    // The base name and group taken from the key file's name.
    std::string name() const;
    int group() const;

private:
    std::string key_;
    int id_ = -1;
    const uint8_t* mem_ = nullptr;
    size_t size_ = 0;
    Geometry geometry_;
};

// Decodes one stream of a segment laid out as `g` (exposed for tests).
StreamView DecodeStream(const uint8_t* mem, const Geometry& g, int index);

}  // namespace msstop

#endif  // MSSP_TOP_SEGMENT_H
