#include "platform/dispatch/DispatchSemaphore.h"

#include <algorithm>
#include <chrono>

namespace platform::dispatch {

bool DispatchSemaphore::signal() {
    bool woke;
    {
        std::lock_guard lock(mutex_);
        ++value_;
        woke = waiters_ > 0;
        // Under the lock: the woken waiter may destroy the semaphore right away.
        cv_.notify_one();
    }
    return woke;
}

bool DispatchSemaphore::wait(std::optional<double> timeoutSeconds) {
    std::unique_lock lock(mutex_);
    auto available = [&] { return value_ > 0; };
    ++waiters_;
    bool ok;
    if (!timeoutSeconds) {
        cv_.wait(lock, available);
        ok = true;
    } else {
        ok = cv_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, *timeoutSeconds)), available);
    }
    --waiters_;
    if (ok) --value_;
    return ok;
}

}  // namespace platform::dispatch
