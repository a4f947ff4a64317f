#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/ThreadChecks.h"

#include <algorithm>
#include <chrono>

namespace platform::dispatch {

bool DispatchSemaphore::signal() {
    bool woke;
    {
        MutexLock lock(mutex_);
        ++value_;
        woke = waiters_ > 0;
        // Under the lock: the woken waiter may destroy the semaphore right away.
        cv_.notify_one();
    }
    return woke;
}

bool DispatchSemaphore::wait(std::optional<double> timeoutSeconds) {
    MutexLock lock(mutex_);
    auto available = [&]() REQUIRES(mutex_) { return value_ > 0; };
    ++waiters_;
    bool ok;
    if (!timeoutSeconds) {
        cv_.wait(mutex_, available);
        ok = true;
    } else {
        ok = cv_.wait_for(mutex_, std::chrono::duration<double>(std::max(0.0, *timeoutSeconds)), available);
    }
    --waiters_;
    if (ok) --value_;
    return ok;
}

}  // namespace platform::dispatch
