// Ends the test process when a threaded run does not end in time: a hang
// must fail the suite, not stall it.
#ifndef MSSP_TEST_WATCHDOG_H
#define MSSP_TEST_WATCHDOG_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

namespace msspt {

class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::string what)
        : thread_([limit, what, end = done_.get_future()] {
              if (end.wait_for(limit) == std::future_status::ready) return;
              std::fprintf(stderr, "%s: no progress within %d s, aborting\n", what.c_str(), static_cast<int>(limit.count()));
              std::abort();
          }) {}
    ~Watchdog() {
        done_.set_value();
        thread_.join();
    }

private:
    std::promise<void> done_;
    std::thread thread_;
};

}  // namespace msspt

#endif  // MSSP_TEST_WATCHDOG_H
