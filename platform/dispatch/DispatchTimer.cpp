#include "platform/dispatch/DispatchTimer.h"

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/dispatch/internal/TimerScheduler.h"

namespace platform::dispatch {

struct DispatchTimer::Shared {
    // Held while a handler runs so cancel() can wait out a handler on another thread.
    Mutex runMutex;
    std::function<void()> handler;
    std::atomic<int> fires{0};
    std::atomic<bool> cancelled{false};
};

DispatchTimer::DispatchTimer(DispatchQueue queue, std::function<void()> handler)
    : queue_(std::move(queue)), shared_(std::make_shared<Shared>()) {
    shared_->handler = std::move(handler);
}

DispatchTimer::~DispatchTimer() { cancel(); }

void DispatchTimer::schedule(double delaySeconds, double intervalSeconds) {
    MutexLock lock(mutex_);
    if (armed_) armed_->store(true);
    shared_->cancelled = false;
    armed_ = std::make_shared<std::atomic<bool>>(false);
    if (!(delaySeconds > 0)) delaySeconds = 0;
    if (!(intervalSeconds > 0)) intervalSeconds = 0;
    double start = Clock::shared()->now() + delaySeconds;

    auto shared = shared_;
    auto armed = armed_;
    auto tick = [shared, armed] {
        MutexLock run(shared->runMutex);
        if (armed->load()) return;
        ++shared->fires;
        detail::runGuarded("timer", shared->handler);
    };

    if (!queue_.isMain()) {
        detail::TimerScheduler::shared().schedule(start, queue_, tick, intervalSeconds, armed);
        return;
    }
    // Main queue: re-post from the loop so that MainLoop::advance fires every period in time order.
    struct Rearm {
        static void post(double at, double interval, std::shared_ptr<std::atomic<bool>> armed,
                         std::function<void()> tick) {
            MainLoop::shared().postAt(at, [at, interval, armed, tick] {
                if (armed->load()) return;
                tick();
                if (interval > 0 && !armed->load()) post(at + interval, interval, armed, tick);
            });
        }
    };
    Rearm::post(start, intervalSeconds, armed, tick);
}

void DispatchTimer::cancel() {
    std::shared_ptr<std::atomic<bool>> armed;
    {
        MutexLock lock(mutex_);
        armed = armed_;
        shared_->cancelled = true;
    }
    if (armed) armed->store(true);
    // Wait out a handler running elsewhere, unless we are that handler.
    if (!queue_.isCurrent()) {
        MutexLock run(shared_->runMutex);
    }
}

bool DispatchTimer::isCancelled() const { return shared_->cancelled.load(); }

int DispatchTimer::fireCount() const { return shared_->fires.load(); }

}  // namespace platform::dispatch
