// Sleeps that another thread can end at once: the reader threads' parked and
// no-progress sleeps, the control thread's waits for the readers' answers and
// the reset gate's wait for a held frame. Each sleeper waits on a 32-bit
// sequence word with the kernel's futex; the word is process-local (never in
// the shared segment: another process attached to it sees no difference),
// and the futex is private. Any thread may wake; no lock is ever taken.
//
// Protocol (a wake-up that races with the start of a sleep is never lost):
//  * waker: publish the flags, then WakeAll(word): it bumps the word
//    (release) and wakes every sleeper on it.
//  * sleeper: seen = WakeSeq(word) BEFORE it reads the flags; decide from the
//    flags; SleepOn(word, seen, timeout). The kernel compares the word with
//    `seen` under its own lock: a bump after `seen` was read makes the sleep
//    return at once, a bump after the sleep began wakes it.
// Every sleep is bounded by its timeout and may also end early for no
// reason (another waker, a signal): callers look at their flags again.
#ifndef MSSP_WAKE_WORD_H
#define MSSP_WAKE_WORD_H

#include <cstdint>

#include "MsspInternal.h"

namespace mssp {

// The word's value before the sleeper reads its flags.
inline uint32_t WakeSeq(uint32_t& word) {
    // acquire: a waker's flags published before its bump
    return LoadAcquire(word);
}

// Bumps `word` and wakes every thread sleeping on it: one system call.
void WakeAll(uint32_t& word);

// Sleeps at most `timeoutUs` unless `word` has moved from `seen`, or until a
// WakeAll on it.
void SleepOn(uint32_t& word, uint32_t seen, uint32_t timeoutUs);

}  // namespace mssp

#endif  // MSSP_WAKE_WORD_H
