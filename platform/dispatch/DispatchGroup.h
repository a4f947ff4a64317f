#pragma once
// DispatchGroup: counts outstanding work; notify blocks run (once each) on their queue when the count
// returns to zero. Thread-safe; share it by shared_ptr or keep it alive until its work is done.
// wait() is bounded in real time. leave() without a matching enter() is ignored (logged), never
// driving the count negative.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"

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
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
    std::vector<std::pair<DispatchQueue, std::function<void()>>> notifies_;
};

}  // namespace platform::dispatch
