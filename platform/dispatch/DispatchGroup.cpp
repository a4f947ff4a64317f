#include "platform/dispatch/DispatchGroup.h"
#include "platform/dispatch/ThreadChecks.h"

#include <chrono>
#include <iostream>

namespace platform::dispatch {

void DispatchGroup::enter() {
    MutexLock lock(mutex_);
    ++count_;
}

void DispatchGroup::leave() {
    std::vector<std::pair<DispatchQueue, std::function<void()>>> ready;
    {
        MutexLock lock(mutex_);
        if (count_ == 0) {
            std::cerr << "DispatchGroup: leave() without enter() ignored" << std::endl;
            return;
        }
        if (--count_ > 0) return;
        ready.swap(notifies_);
        // Under the lock: a waiter may destroy the group as soon as it sees the count at zero.
        cv_.notify_all();
    }
    for (auto& [queue, block] : ready) queue.async(std::move(block));
}

void DispatchGroup::async(const DispatchQueue& queue, std::function<void()> block) {
    enter();
    queue.async([this, block = std::move(block)] {
        detail::runGuarded("group", block);
        leave();
    });
}

void DispatchGroup::notify(const DispatchQueue& queue, std::function<void()> block) {
    {
        MutexLock lock(mutex_);
        if (count_ > 0) {
            notifies_.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue.async(std::move(block));
}

bool DispatchGroup::wait(std::optional<double> timeoutSeconds) {
    MutexLock lock(mutex_);
    auto empty = [&]() REQUIRES(mutex_) { return count_ == 0; };
    if (!timeoutSeconds) {
        cv_.wait(mutex_, empty);
        return true;
    }
    return cv_.wait_for(mutex_, std::chrono::duration<double>(std::max(0.0, *timeoutSeconds)), empty);
}

int DispatchGroup::count() const {
    MutexLock lock(mutex_);
    return count_;
}

}  // namespace platform::dispatch
