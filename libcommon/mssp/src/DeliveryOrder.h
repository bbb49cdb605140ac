// The playback thread's order of the streams' next frames. Each stream's read
// node is sorted into a class (nothing to wait for, a live stream with nothing
// buffered, a frame to throw away, a frame without a timestamp, a candidate
// with its timestamp) and the candidates' timestamps feed a loser tree, so
// that GetFrame finds the next frame without looking at every stream on every
// call. Owned by the playback thread; the reader threads and the control
// thread only mark the streams they change (Note), and delivery looks again
// at just those. It reads nothing of the shared segment itself (delivery does,
// in FrameDelivery.cpp) and holds no frame data.
#ifndef MSSP_DELIVERY_ORDER_H
#define MSSP_DELIVERY_ORDER_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "MsspInternal.h"

struct MsspOrder {
    using P = CMultiStreamSyncParser;

    // The key of a leaf that is no candidate. A candidate may have the same
    // key (a timestamp of 2^64 - 1 playing forward): the tree orders keys
    // alone, and Winner asks the candidate mask when the best key is this one.
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
    // The direction argument the keys were last encoded or checked for
    // (only its sign matters to them); kUnbuilt: the tree is to be built.
    // Never 0, so that a call with direction 0 never matches it.
    static constexpr int64_t kUnbuilt = INT64_MIN;
    int64_t keyedFor = kUnbuilt;
    uint64_t flip = 0;        // key = pts ^ flip: 0 playing forward, all ones backward
    uint32_t leaves = 1;      // a power of two, at least the stream count
    MSSP_FrameNode_t* readNode[MSSP_MAX_STREAMS] = {};  // the read node each class was taken from
    uint64_t pts[MSSP_MAX_STREAMS] = {};        // a candidate's timestamp
    // Tree keys: pts playing forward, ~pts playing backward, so that the
    // smallest key always wins; kNoKey for a stream that is no candidate.
    uint64_t key[MSSP_MAX_STREAMS] = {};
    // Loser tree over the leaves 0..leaves-1 (leaf i is stream i): node j
    // (1 <= j < leaves; children 2j and 2j + 1, leaf i at leaves + i) holds
    // in los[j] the loser of the match between its children's winners, and
    // `top` is the winner of the root. A match goes to the smaller key, on
    // equal keys to the lower stream index, so `top` is the lowest index
    // among the smallest keys. When `top` changes its key, the losers on its
    // way up are exactly the winners it meets again: one comparison a level.
    uint8_t los[MSSP_MAX_STREAMS] = {};
    uint8_t top = 0;
    uint8_t height = 0;       // levels of matches: leaves = 1 << height

    void Reset(int streams) {
        all = streams >= 32 ? 0xFFFFFFFFu : ((1u << streams) - 1u);
        leaves = 1;
        height = 0;
        while (leaves < static_cast<uint32_t>(streams)) {
            leaves <<= 1;
            ++height;
        }
        changed.store(all, std::memory_order_relaxed);
        keyedFor = kUnbuilt;
    }

    // The keys for a `direction` (not 0) other than keyedFor: encoded and
    // the tree built again when the tree is to be built or the sign differs.
    [[gnu::noinline]] void KeyFor(int direction) {
        if (keyedFor != kUnbuilt && (keyedFor > 0) == (direction > 0)) {
            keyedFor = direction;
            return;
        }
        keyedFor = direction;
        flip = direction > 0 ? 0 : ~uint64_t{0};
        uint8_t win[2 * MSSP_MAX_STREAMS];  // each node's winner, while building
        for (uint32_t i = 0; i < leaves; ++i) {
            key[i] = (candidate >> i) & 1u ? pts[i] ^ flip : kNoKey;
            win[leaves + i] = static_cast<uint8_t>(i);
        }
        for (uint32_t j = leaves - 1; j >= 1; --j) {
            const uint8_t left = win[2 * j], right = win[2 * j + 1];
            const bool rightWins = key[right] < key[left];  // on a tie the left, lower index
            win[j] = rightWins ? right : left;
            los[j] = rightWins ? left : right;
        }
        top = win[1];
    }

    // Stream i becomes a candidate at `time`, or stops being one: its leaf
    // and the matches on its way to the root.
    void SetLeaf(uint32_t i, uint64_t time, bool isCandidate) {
        pts[i] = time;
        if (keyedFor == kUnbuilt) return;  // built from pts at the next choice
        const uint64_t k = isCandidate ? time ^ flip : kNoKey;
        if (k == key[i]) return;  // the tree orders keys only: nothing moves
        key[i] = k;
        if (i != top) Uncover(i);
        // The matches on the way up, played again (a size_t node index
        // spares its widening at each level on 64-bit targets).
        uint8_t w = static_cast<uint8_t>(i);
        uint64_t kw = k;
        for (size_t j = (leaves + i) >> 1; j != 0; j >>= 1) {
            const uint8_t l = los[j];
            const uint64_t kl = key[l];
            if (kl <= kw && (kl < kw || l < w)) {
                los[j] = w;
                w = l;
                kw = kl;
            }
        }
        top = w;
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
    // Every leaf that is no candidate holds kNoKey, so a smaller best key is
    // a candidate's; when the best key is kNoKey, every candidate has it
    // too, and the lowest index among them comes first.
    int Winner() const {
        const int w = top;
        if (key[w] != kNoKey) return w;
        return candidate != 0 ? __builtin_ctz(candidate) : -1;
    }

    // Any thread: the streams of `mask` (stream indexes below m_StreamNum)
    // changed: a frame published, a state written, a reset.
    static void Note(P& p, uint32_t mask);
    static void NoteAll(P& p);

private:
    // Leaf i, which is not `top`, is about to be played again: from the root
    // down, each node on its way gets the winner of the other child's
    // subtree in place of its loser, as if leaf i had won every match so
    // far. The winner of a node came from the child whose subtree holds its
    // leaf; the loser is the other child's winner.
    [[gnu::noinline]] void Uncover(uint32_t i) {
        uint32_t x = top;  // the winner of the node at hand
        for (uint32_t h = height; h-- > 0;) {
            if (((x ^ i) >> h) == 0) continue;  // x came from leaf i's side: los is the other's winner
            const uint32_t j = (leaves + i) >> (h + 1);
            const uint32_t l = los[j];  // the winner on leaf i's side
            los[j] = static_cast<uint8_t>(x);
            x = l;
        }
    }
};

inline void MsspOrder::Note(P& p, uint32_t mask) {
    // publish: the change to the streams of `mask`, before delivery looks at them again
    p.m_pOrder->changed.fetch_or(mask, std::memory_order_release);
}

inline void MsspOrder::NoteAll(P& p) { Note(p, p.m_pOrder->all); }

#endif  // MSSP_DELIVERY_ORDER_H
