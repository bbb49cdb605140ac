// The reset gate: the hand-over between the control thread, which resets
// stream counters while the readers are parked (ClearBuffer, StopParse), and
// the playback thread, which keeps calling the delivery operations. Without
// it a frame handed out just before a reset could be overwritten by the
// readers' refill while the host still reads it, and a delivery call could
// read nodes while the reset rewrites the counters.
//
// Protocol (each side raises its own flag, then reads the other's, both
// sequentially consistent, so at least one of them sees the other):
//  * playback thread: raises m_bDelivering on entry to a delivery call and
//    backs out with -1 when a reset is under way; ReleaseFrame of a held
//    frame is let through, so that the reset's wait can end.
//  * control thread: raises m_bResetting, waits until no delivery call runs,
//    waits a bounded time for the held frames of the reset streams to be
//    released (the release that ends the wait wakes it: WakeWord.h), then
//    resets and lowers the flag.
// A frame still held when the wait runs out is written off: its stream's
// m_ResetCount moves on, and its later ReleaseFrame only drops the hold
// without touching the counters of the refilled stream.
#ifndef MSSP_RESET_GATE_H
#define MSSP_RESET_GATE_H

#include <unistd.h>

#include <chrono>

#include "DeliveryOrder.h"
#include "MsspInternal.h"
#include "WakeWord.h"

struct MsspGate {
    using P = CMultiStreamSyncParser;

    static constexpr std::chrono::microseconds kHoldWait{500000};  // how long a reset waits for held frames
    static constexpr useconds_t kDeliveryPollUs = 100;  // a delivery call lasts microseconds

    // Playback side: a delivery call in progress. Nested calls (delivery
    // operations calling each other) ride on the outermost scope.
    class Scope {
    public:
        // Raise ours, then look at the control side's flag. Found raised, it
        // is this thread's own (only this thread raises it): a nested call,
        // let through.
        Scope(P& p, int releaseIndex = -1) : p_(p), outer_(mssp::ExchangeSeqCst(p.m_bDelivering, 1)) {
            if (outer_ != 0) return;
            if (mssp::LoadSeqCst(p.m_bResetting) != 0 &&
                !(releaseIndex >= 0 && (p.m_HeldMask & (1u << releaseIndex)) != 0)) {
                // publish: this call touches nothing; the reset may go on
                mssp::StoreRelease(p.m_bDelivering, 0);
                entered_ = false;
            }
        }
        ~Scope() {
            // publish: everything this call read and wrote, before a reset
            // may begin. The flag goes back to what it was: 0 after the
            // outermost call (also after one that backed out), 1 inside
            // another call.
            mssp::StoreRelease(p_.m_bDelivering, outer_);
        }
        bool Entered() const { return entered_; }

    private:
        P& p_;
        const uint8_t outer_;  // the flag on entry: 1 inside another delivery call
        bool entered_ = true;
    };

    // Playback side: stream `index` handed out its read node.
    static void Hold(P& p, int index) {
        p.m_HeldReset[index] = mssp::LoadAcquire(p.m_ResetCount[index]);
        mssp::StoreSeqCst(p.m_HeldMask, p.m_HeldMask | (1u << index));
    }

    // Playback side, inside ReleaseFrame: true when the held frame of
    // `index` was written off by a reset (its counters are no longer ours).
    static bool WrittenOff(P& p, int index) {
        if ((p.m_HeldMask & (1u << index)) == 0) return false;
        return ResetSinceHold(p, index);
    }

    // A reset wrote off the frame of `index` delivered last (whether still
    // held or not).
    static bool ResetSinceHold(P& p, int index) {
        return mssp::LoadSeqCst(p.m_ResetCount[index]) != p.m_HeldReset[index];
    }

    static void Unhold(P& p, int index) {
        // publish: the frame's node and bytes are no longer in use
        mssp::StoreSeqCst(p.m_HeldMask, p.m_HeldMask & ~(1u << index));
        // A reset waiting for this frame goes on now. Only during a reset:
        // no system call per frame. (Held mask first, then the flag, both
        // sequentially consistent: a reset that this load misses sees the
        // mask cleared.)
        if (mssp::LoadSeqCst(p.m_bResetting) != 0) mssp::WakeAll(p.m_GateWake);
    }

    // Control side: no delivery call runs and the held frames of the
    // streams in `mask` are released (or written off) when this returns.
    static void Close(P& p, uint32_t mask) {
        mssp::StoreSeqCst(p.m_bResetting, 1);
        WaitNoDelivery(p);
        WaitHeldReleased(p, mask);
        const uint32_t held = mssp::LoadSeqCst(p.m_HeldMask) & mask;
        if (held != 0) {
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogError, "frames still held at reset, written off: mask=0x%08x\n", held);
            for (int i = 0; i < MSSP_MAX_STREAMS; ++i) {
                if (held & (1u << i)) mssp::StoreSeqCst(p.m_ResetCount[i], p.m_ResetCount[i] + 1);
            }
        }
        // A release of a held frame may have started meanwhile: let it end.
        WaitNoDelivery(p);
    }

    // Control side: the reset is done; delivery may go on, and looks at every
    // stream again.
    static void Open(P& p) {
        MsspOrder::NoteAll(p);
        // relaxed: published by the flag below; only the control side writes it
        mssp::StoreRelaxed(p.m_ResetRounds, p.m_ResetRounds + 1);
        // publish: the reset counters and cursors, before the next delivery call
        mssp::StoreRelease(p.m_bResetting, 0);
    }

    // Control side: `mask` of stream indexes 0..n-1.
    static uint32_t AllStreams(int n) { return n >= 32 ? 0xFFFFFFFFu : ((1u << n) - 1u); }

private:
    static void WaitNoDelivery(P& p) {
        // acquire: what the last delivery call did happens before the reset
        while (mssp::LoadSeqCst(p.m_bDelivering) != 0) usleep(kDeliveryPollUs);
    }

    // Until the held frames of `mask` are released, kHoldWait at most.
    static void WaitHeldReleased(P& p, uint32_t mask) {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + kHoldWait;
        for (;;) {
            const uint32_t seen = mssp::WakeSeq(p.m_GateWake);  // before the mask
            if ((mssp::LoadSeqCst(p.m_HeldMask) & mask) == 0) return;
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0) return;
            mssp::SleepOn(p.m_GateWake, seen, static_cast<uint32_t>(left.count()));
        }
    }
};

#endif  // MSSP_RESET_GATE_H
