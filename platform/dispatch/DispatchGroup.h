#pragma once
// DispatchGroup: counts outstanding work; notify blocks run (once each) on their queue when the count
// returns to zero. Thread-safe; share it by shared_ptr or keep it alive until its work is done.
// wait() is bounded in real time. leave() without a matching enter() is ignored (logged), never
// driving the count negative.
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch {

class DispatchGroup {
public:
    void enter();
    void leave();
    // enter(), run block on queue, leave().
    void async(const DispatchQueue& queue, std::function<void()> block);
    // Runs block on queue once the group is empty (at once, asynchronously, if it already is).
    void notify(const DispatchQueue& queue, std::function<void()> block);
    // Blocks until the group is empty; nullopt waits forever. Returns false on timeout.
    bool wait(std::optional<double> timeoutSeconds = std::nullopt);
    int count() const;

private:
    mutable Mutex mutex_;
    ConditionVariable cv_;
    int count_ GUARDED_BY(mutex_) = 0;
    std::vector<std::pair<DispatchQueue, std::function<void()>>> notifies_ GUARDED_BY(mutex_);
};

}  // namespace platform::dispatch
