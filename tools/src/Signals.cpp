// The tools' signal handling (Signals.h).
#include "Signals.h"

#include <cstring>

namespace tooling {
namespace {

volatile sig_atomic_t* g_stop = nullptr;

void OnSignal(int) {
    if (g_stop) *g_stop = 1;
}

}  // namespace

void StopOnSignals(volatile sig_atomic_t* stop, bool hangup) {
    g_stop = stop;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (hangup) sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace tooling
