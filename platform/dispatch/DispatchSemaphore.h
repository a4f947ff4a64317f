#pragma once
// DispatchSemaphore: a counting semaphore. wait() takes one unit, blocking up to a real-time bound.
#include <condition_variable>
#include <mutex>
#include <optional>

namespace platform::dispatch {

class DispatchSemaphore {
public:
    explicit DispatchSemaphore(long value = 0) : value_(value) {}
    // Returns true when a waiter was woken.
    bool signal();
    // nullopt waits forever. Returns false on timeout (the unit is then not taken).
    bool wait(std::optional<double> timeoutSeconds = std::nullopt);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    long value_;
    long waiters_ = 0;
};

}  // namespace platform::dispatch
