// The futex calls behind WakeWord.h. Called from the reader threads, the
// control thread and the playback thread; a call touches only the word.
#include "WakeWord.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>

namespace {

// The timeout record the futex call reads. SYS_futex takes the kernel's
// native timespec, two `long`s (32-bit on armhf whatever the C library's
// time_t is); where only the 64-bit time call exists, two 64-bit values.
#if defined(SYS_futex)
constexpr long kFutexCall = SYS_futex;
struct KernelTimespec {
    long tv_sec;
    long tv_nsec;
};
#else
constexpr long kFutexCall = SYS_futex_time64;
struct KernelTimespec {
    int64_t tv_sec;
    int64_t tv_nsec;
};
#endif

constexpr uint32_t kUsPerSecond = 1000000;
constexpr long kNsPerUs = 1000;

}  // namespace

namespace mssp {

void WakeAll(uint32_t& word) {
    // release: the flags published before this bump, for a sleeper that reads it
    std::atomic_ref<uint32_t>(word).fetch_add(1, std::memory_order_release);
    // Uses only the address (a private futex is keyed by it): nothing of the
    // word's owner is read after the bump.
    syscall(kFutexCall, &word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void SleepOn(uint32_t& word, uint32_t seen, uint32_t timeoutUs) {
    KernelTimespec timeout;
    timeout.tv_sec = timeoutUs / kUsPerSecond;
    timeout.tv_nsec = static_cast<long>(timeoutUs % kUsPerSecond) * kNsPerUs;
    // Returns at once (EAGAIN) when the word is no longer `seen`; a timeout,
    // a wake-up and a signal (EINTR) all end the sleep alike.
    syscall(kFutexCall, &word, FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
}

}  // namespace mssp
