#pragma once
// DispatchTimer: a one-shot or repeating timer whose handler runs on a queue. Deadlines read the shared
// Clock; a repeating timer keeps its phase (start + n * interval). Cancel from any thread: no handler
// starts after cancel() returns (one already running finishes). Destroying the timer cancels it.
#include <atomic>
#include <functional>
#include <memory>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch {

class DispatchTimer {
public:
    // Not started until schedule(); interval 0 means one-shot.
    DispatchTimer(DispatchQueue queue, std::function<void()> handler);
    ~DispatchTimer();
    DispatchTimer(const DispatchTimer&) = delete;
    DispatchTimer& operator=(const DispatchTimer&) = delete;

    // (Re)starts the timer: first fire after delaySeconds, then every intervalSeconds if > 0.
    void schedule(double delaySeconds, double intervalSeconds = 0);
    void cancel();
    bool isCancelled() const;
    int fireCount() const;

private:
    struct Shared;
    DispatchQueue queue_;
    std::shared_ptr<Shared> shared_;
    Mutex mutex_;
    std::shared_ptr<std::atomic<bool>> armed_ GUARDED_BY(mutex_);  // the current schedule's cancel flag
};

}  // namespace platform::dispatch
