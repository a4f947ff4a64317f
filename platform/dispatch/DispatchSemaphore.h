#pragma once
// DispatchSemaphore: a counting semaphore. wait() takes one unit, blocking up to a real-time bound.
#include <optional>

#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch {

class DispatchSemaphore {
public:
    explicit DispatchSemaphore(long value = 0) : value_(value) {}
    // Returns true when a waiter was woken.
    bool signal();
    // nullopt waits forever. Returns false on timeout (the unit is then not taken).
    bool wait(std::optional<double> timeoutSeconds = std::nullopt);

private:
    Mutex mutex_;
    ConditionVariable cv_;
    long value_ GUARDED_BY(mutex_);
    long waiters_ GUARDED_BY(mutex_) = 0;
};

}  // namespace platform::dispatch
