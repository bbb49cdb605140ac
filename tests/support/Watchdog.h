// Ends the test process when a threaded run does not finish in time: a hang
// must fail the suite, not stall it.
#ifndef MSSP_TEST_WATCHDOG_H
#define MSSP_TEST_WATCHDOG_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace msspt {

class Watchdog {
public:
    // `what` names the run in the message printed before the abort.
    Watchdog(std::chrono::seconds limit, std::string what)
        : what_(std::move(what)), thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mu_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "%s: no progress within %d s, aborting\n", what_.c_str(),
                               static_cast<int>(limit.count()));
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string what_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace msspt

#endif  // MSSP_TEST_WATCHDOG_H
