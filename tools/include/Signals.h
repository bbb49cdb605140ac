// Ending a tool cleanly on a signal: SIGINT and SIGTERM (and SIGHUP where
// asked) set the tool's stop flag, which its loop polls, instead of killing
// it with its shared memory or partial output left behind; SIGPIPE is
// ignored, so a closed pipe is a write error the tool reports.
#ifndef MSSP_SIGNALS_H
#define MSSP_SIGNALS_H

#include <csignal>

namespace tooling {

void StopOnSignals(volatile sig_atomic_t* stop, bool hangup = false);

}  // namespace tooling

#endif  // MSSP_SIGNALS_H
