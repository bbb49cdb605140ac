// The playback thread's order of the streams' next frames. Each stream's read
// node is sorted into a class (nothing to wait for, a live stream with nothing
// buffered, a frame to throw away, a frame without a timestamp, a candidate
// with its timestamp) and the candidates' timestamps feed a winner tree, so
// that GetFrame finds the next frame without looking at every stream on every
// call. Owned by the playback thread; the reader threads and the control
// thread only mark the streams they change (Note), and delivery looks again
// at just those. It reads nothing of the shared segment itself (delivery does,
// in FrameDelivery.cpp) and holds no frame data.
#ifndef MSSP_DELIVERY_ORDER_H
#define MSSP_DELIVERY_ORDER_H

#include <atomic>
#include <cstdint>

#include "MsspInternal.h"

struct MsspOrder {
    using P = CMultiStreamSyncParser;

    // The key of a leaf that is no candidate. A candidate may have the same
    // key (a timestamp of 2^64 - 1 playing forward, 0 backward): on equal
    // keys the candidate wins (Better), and Winner asks the candidate mask.
    static constexpr uint64_t kNoKey = UINT64_MAX;

    // Written by any thread.
    // Streams changed since delivery last looked, by a reader, the control
    // thread or delivery itself: raised with release after the change (by
    // delivery, relaxed), taken with acquire.
    std::atomic<uint32_t> changed{0};
    // 1 while this object's own reader threads are the streams' producers
    // (StartParse to StopParse): every change then comes with a Note, and
    // StartParse notes every stream before it sets the flag. At any other
    // time the streams may be written from outside (another object on the
    // same segment, a test), so every call looks at every stream.
    std::atomic<uint8_t> ownProducers{0};
    // Streams whose reader sleeps for room in its rings, and the release
    // count (getNum) at which it wants to be woken: raised by the reader
    // before it sleeps, taken by the release that reaches the count.
    std::atomic<uint32_t> roomWanted{0};
    std::atomic<uint32_t> roomAt[MSSP_MAX_STREAMS] = {};

    // Playback thread only.
    uint32_t all = 0;         // bits of stream indexes 0..m_StreamNum-1
    uint32_t candidate = 0;   // a frame waits and has a timestamp: it takes part in the choice
    // The pass stops at the stream: live with nothing waiting, a non-key
    // frame while the stream waits for a key frame, or a frame without a
    // timestamp (0). Streams in neither mask are over and empty: passed over.
    uint32_t stops = 0;
    uint32_t incomplete = 0;  // read node without the completion mark (converted mode times it)
    uint32_t endsWait = 0;    // a key frame at the read position while the stream waits for one
    uint32_t attention = 0;   // stops | endsWait: streams the usual choice cannot pass over
    // Each stream's class as one byte of the bits below, mirrored in the masks.
    static constexpr uint8_t kCandidate = 1, kStop = 2, kIncomplete = 4, kEndsWait = 8, kEmpty = 16;
    uint8_t cls[MSSP_MAX_STREAMS] = {};
    int keyedFor = 0;         // direction the keys are encoded for (1 or -1); 0: not built
    uint64_t flip = 0;        // key = pts ^ flip: 0 playing forward, all ones backward
    uint32_t leaves = 1;      // a power of two, at least the stream count
    MSSP_FrameNode_t* readNode[MSSP_MAX_STREAMS] = {};  // the read node each class was taken from
    uint64_t pts[MSSP_MAX_STREAMS] = {};        // a candidate's timestamp
    // Tree keys: pts playing forward, ~pts playing backward, so that the
    // smallest key always wins; kNoKey for a stream that is no candidate.
    uint64_t key[MSSP_MAX_STREAMS] = {};
    // Winner tree: win[1] is the root, win[j] the winner of win[2j] and
    // win[2j + 1], win[leaves + i] = i. The left child holds the lower stream
    // indexes, so a tie goes to the lower index.
    uint8_t win[2 * MSSP_MAX_STREAMS] = {};

    void Reset(int streams) {
        all = streams >= 32 ? 0xFFFFFFFFu : ((1u << streams) - 1u);
        leaves = 1;
        while (leaves < static_cast<uint32_t>(streams)) leaves <<= 1;
        changed.store(all, std::memory_order_relaxed);
        keyedFor = 0;
    }

    // Encodes every key for `direction` and builds the tree.
    void Rekey(int direction) {
        keyedFor = direction;
        flip = direction > 0 ? 0 : ~uint64_t{0};
        for (uint32_t i = 0; i < leaves; ++i) {
            key[i] = (candidate >> i) & 1u ? pts[i] ^ flip : kNoKey;
            win[leaves + i] = static_cast<uint8_t>(i);
        }
        for (uint32_t j = leaves - 1; j >= 1; --j) win[j] = Better(win[2 * j], win[2 * j + 1]);
    }

    // Stream i becomes a candidate at `time`, or stops being one: its leaf
    // and the winners on its way to the root.
    void SetLeaf(uint32_t i, uint64_t time, bool isCandidate) {
        pts[i] = time;
        if (keyedFor == 0) return;  // built from pts at the next choice
        const uint64_t k = isCandidate ? time ^ flip : kNoKey;
        // A new frame behind the same read node; kNoKey may also be a
        // candidate's key, so that leaf's path is always walked again.
        if (k == key[i] && k != kNoKey) return;
        key[i] = k;
        for (uint32_t j = (leaves + i) >> 1; j != 0; j >>= 1) win[j] = Better(win[2 * j], win[2 * j + 1]);
    }

    // Stream i's class becomes `c`.
    void SetClass(uint32_t i, uint8_t c) {
        if (c == cls[i]) return;
        cls[i] = c;
        const uint32_t bit = 1u << i;
        candidate = (candidate & ~bit) | ((c & kCandidate) ? bit : 0);
        stops = (stops & ~bit) | ((c & kStop) ? bit : 0);
        incomplete = (incomplete & ~bit) | ((c & kIncomplete) ? bit : 0);
        endsWait = (endsWait & ~bit) | ((c & kEndsWait) ? bit : 0);
        attention = stops | endsWait;
    }

    // The stream whose frame comes first, or -1 when no stream is a candidate.
    int Winner() const { return (candidate >> win[1]) & 1u ? win[1] : -1; }

    // Any thread: the streams of `mask` (stream indexes below m_StreamNum)
    // changed: a frame published, a state written, a reset.
    static void Note(P& p, uint32_t mask);
    static void NoteAll(P& p);

private:
    // The right child wins with a smaller key, or with the same key when the
    // left one is no candidate (the only way a candidate's key can tie kNoKey).
    uint8_t Better(uint8_t left, uint8_t right) const {
        if (key[right] != key[left]) return key[right] < key[left] ? right : left;
        return (candidate >> left) & 1u ? left : right;
    }
};

inline void MsspOrder::Note(P& p, uint32_t mask) {
    // publish: the change to the streams of `mask`, before delivery looks at them again
    p.m_pOrder->changed.fetch_or(mask, std::memory_order_release);
}

inline void MsspOrder::NoteAll(P& p) { Note(p, p.m_pOrder->all); }

#endif  // MSSP_DELIVERY_ORDER_H
