// The control gate: the operations that open, close or reposition host
// streams (Seek, SwitchStream, SwitchPlaybackChannels, SetStatus and the
// trick-play entries) work only while playback runs, and never beside
// StartParse or StopParse; ClearBuffer passes it too, so that it never
// parks the reader threads beside another operation or StopParse. Without
// it such an operation made before StartParse, after StopParse or while
// StopParse runs opens handles that no reader thread is left to close, or
// repositions a handle that an ending reader thread is closing.
//
// Protocol: one word, changed only by atomic read-modify-write, holds two
// flags, so that an operation and StopParse can never both go on:
//  * StartParse and a control operation take the gate (set kBusy) unless
//    kStopping is set; a control operation then goes on only while the run
//    flag is set, and StartParse only while it is clear. An operation that
//    finds the gate taken waits for it (a host that calls control operations
//    from two threads at once is served one after the other).
//  * StopParse sets kStopping, waits until kBusy is clear, stops the reader
//    threads, then clears kStopping: by then the run flag is clear and every
//    later operation is refused.
// The waits sleep on m_ControlWake, which every release of the gate bumps.
#ifndef MSSP_CONTROL_GATE_H
#define MSSP_CONTROL_GATE_H

#include <atomic>
#include <cstdint>

#include "MsspInternal.h"
#include "WakeWord.h"

struct MsspControlGate {
    using P = CMultiStreamSyncParser;

    static constexpr uint32_t kBusy = 1;
    static constexpr uint32_t kStopping = 2;
    static constexpr uint32_t kLookUs = 10000;  // longest sleep between two looks at the gate

    // Holds the gate for one operation; Taken() is false when StopParse is
    // stopping (the operation must then do nothing).
    class Scope {
    public:
        explicit Scope(P& p) : p_(p), taken_(Take(p)) {}
        ~Scope() {
            if (taken_) Give(p_);
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        bool Taken() const { return taken_; }

    private:
        P& p_;
        bool taken_;
    };

    // StopParse: no operation holds the gate and none can take it when this
    // returns.
    static void BeginStop(P& p) {
        Word(p).fetch_or(kStopping, std::memory_order_acq_rel);
        for (;;) {
            const uint32_t seen = mssp::WakeSeq(p.m_ControlWake);  // before the gate
            // acquire: the last operation's changes to handles and streams
            if ((Word(p).load(std::memory_order_acquire) & kBusy) == 0) return;
            mssp::SleepOn(p.m_ControlWake, seen, kLookUs);
        }
    }

    static void EndStop(P& p) {
        // release: the stopped object, before an operation may take the gate
        Word(p).fetch_and(~kStopping, std::memory_order_release);
        mssp::WakeAll(p.m_ControlWake);
    }

private:
    static std::atomic_ref<uint32_t> Word(P& p) { return std::atomic_ref<uint32_t>(p.m_ControlGate); }

    static bool Take(P& p) {
        for (;;) {
            const uint32_t seen = mssp::WakeSeq(p.m_ControlWake);  // before the gate
            uint32_t v = Word(p).load(std::memory_order_acquire);
            if (v & kStopping) return false;
            if (v & kBusy) {
                mssp::SleepOn(p.m_ControlWake, seen, kLookUs);
                continue;
            }
            // acquire: what the previous holder did to handles and streams
            if (Word(p).compare_exchange_weak(v, v | kBusy, std::memory_order_acquire)) return true;
        }
    }

    static void Give(P& p) {
        // release: this operation's changes, before the next holder or StopParse goes on
        Word(p).fetch_and(~kBusy, std::memory_order_release);
        mssp::WakeAll(p.m_ControlWake);
    }
};

#endif  // MSSP_CONTROL_GATE_H
