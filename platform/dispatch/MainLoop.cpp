#include "platform/dispatch/MainLoop.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PendingWrites.h"

namespace platform::dispatch {

namespace {
// Captured during static initialisation, i.e. on the process's initial thread.
const std::thread::id kInitialThread = std::this_thread::get_id();
}  // namespace

// Marks the calling thread as the driver for the length of a loop call.
class MainLoop::Driving {
public:
    explicit Driving(MainLoop& loop) : loop_(loop) {
        MutexLock lock(loop_.mutex_);
        auto self = std::this_thread::get_id();
        if (loop_.depth_ > 0 && loop_.driver_ != self)
            throw std::logic_error("MainLoop is already driven by another thread");
        loop_.driver_ = self;
        ++loop_.depth_;
        loop_.mainThread_.store(self);
    }
    ~Driving() {
        MutexLock lock(loop_.mutex_);
        --loop_.depth_;
    }

private:
    MainLoop& loop_;
};

MainLoop::MainLoop() : mainThread_(kInitialThread) {
    Clock::addAdvanceListener([this] { wake(); });
    // Device files whose write failed are tried again here, on the shared clock.
    PendingWrites::setDelayScheduler([this](double seconds, std::function<void()> block) {
        postAfter(seconds, std::move(block), "foundation.pending-writes");
    });
    // Files written soon rather than now go to disk on a worker, while the main thread goes on.
    PendingWrites::setWorker([](std::function<void()> job) {
        static const auto* queue = new DispatchQueue("foundation.pending-writes", DispatchQueue::Attributes::Serial,
                                                     QualityOfService::Background);
        queue->async(std::move(job));
    });
}

MainLoop& MainLoop::shared() {
    static MainLoop* loop = new MainLoop;  // never destroyed: other threads may post during exit
    return *loop;
}

bool MainLoop::isMainThread() { return shared().mainThread_.load() == std::this_thread::get_id(); }

#ifndef NDEBUG
void MainThread::assertOnThread() const {
    if (MainLoop::isMainThread()) return;
    std::fprintf(stderr, "thread check failed: main-loop state is touched off the main thread\n");
    std::abort();
}
#endif

void MainLoop::wake() {
    {
        MutexLock lock(mutex_);
        ++wakeGeneration_;
    }
    cv_.notify_all();
    wakeExternal();
}

void MainLoop::wakeExternal() {
    std::shared_ptr<ExternalEventLoop> external;
    {
        MutexLock lock(mutex_);
        external = external_;
    }
    if (external) external->wake();
}

void MainLoop::setExternalEventLoop(std::shared_ptr<ExternalEventLoop> loop) {
    mainThread.assertOnThread();
    {
        MutexLock lock(mutex_);
        external_ = std::move(loop);
        ++wakeGeneration_;
    }
    cv_.notify_all();
}

void MainLoop::drainExternal() {
    std::shared_ptr<ExternalEventLoop> external;
    {
        MutexLock lock(mutex_);
        external = external_;
    }
    if (!external) return;
    constexpr int kMaxEvents = 64;
    for (int i = 0; i < kMaxEvents && external->iterate(0, [] { return true; }); ++i) {
    }
}

void MainLoop::post(std::function<void()> block) {
    if (!block) return;
    std::shared_ptr<ExternalEventLoop> external;  // woken too: the main thread may wait in it
    {
        MutexLock lock(mutex_);
        ready_.push_back(std::move(block));
        ++wakeGeneration_;
        external = external_;
    }
    cv_.notify_all();
    if (external) external->wake();
}

void MainLoop::postAfter(double seconds, std::function<void()> block, std::string key) {
    if (!(seconds > 0)) seconds = 0;  // NaN and negatives mean "as soon as possible"
    postAt(Clock::shared()->now() + seconds, std::move(block), std::move(key));
}

void MainLoop::postAt(double clockTime, std::function<void()> block, std::string key) {
    if (!block) return;
    std::shared_ptr<ExternalEventLoop> external;
    const double now = Clock::shared()->now();
    {
        MutexLock lock(mutex_);
        timers_.emplace(TimerKey{clockTime, nextSeq_++}, Timer{std::move(block), std::move(key), now});
        ++wakeGeneration_;
        external = external_;
    }
    cv_.notify_all();
    if (external) external->wake();
}

size_t MainLoop::cancel(const std::string& key) {
    if (key.empty()) return 0;
    std::deque<std::function<void()>> dropped;  // destroyed outside the lock: captures may post
    {
        MutexLock lock(mutex_);
        for (auto it = timers_.begin(); it != timers_.end();) {
            if (it->second.key == key) {
                dropped.push_back(std::move(it->second.block));
                it = timers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    return dropped.size();
}

bool MainLoop::runOne() {
    std::function<void()> block;
    {
        MutexLock lock(mutex_);
        if (!ready_.empty()) {
            block = std::move(ready_.front());
            ready_.pop_front();
        } else if (!timers_.empty() && timers_.begin()->first.first <= Clock::shared()->now()) {
            block = std::move(timers_.begin()->second.block);
            timers_.erase(timers_.begin());
        } else {
            return false;
        }
    }
    detail::CurrentQueueScope scope(DispatchQueue::main());
    try {
        block();
    } catch (const std::exception& e) {
        std::cerr << "MainLoop: a block threw: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "MainLoop: a block threw a non-standard exception" << std::endl;
    }
    return true;
}

size_t MainLoop::runUntilIdle() {
    Driving driving(*this);
    size_t count = 0;
    drainExternal();
    while (runOne()) ++count;
    return count;
}

void MainLoop::waitForWork(std::optional<std::chrono::steady_clock::time_point> realDeadline, double maxWait,
                           bool forRun) {
    using namespace std::chrono;
    auto clock = Clock::shared();
    MutexLock lock(mutex_);
    if (!ready_.empty() || (forRun && stopRequested_) || waitsEnded_.load()) return;
    auto until = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(maxWait));
    if (realDeadline && *realDeadline < until) until = *realDeadline;
    if (!timers_.empty() && !clock->isManual()) {
        double wait = timers_.begin()->first.first - clock->now();
        if (wait <= 0) return;
        auto due = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(wait));
        if (due < until) until = due;
    }
    uint64_t generation = wakeGeneration_;
    if (auto external = external_) {
        lock.unlock();
        double seconds = std::max(0.0, duration<double>(until - steady_clock::now()).count());
        external->iterate(seconds, [this, generation]() EXCLUDES(mutex_) {
            MutexLock relock(mutex_);
            return wakeGeneration_ != generation;
        });
        return;
    }
    cv_.wait_until(mutex_, until, [&]() REQUIRES(mutex_) { return wakeGeneration_ != generation; });
}

bool MainLoop::runUntil(const std::function<bool()>& predicate, double realTimeoutSeconds) {
    using namespace std::chrono;
    Driving driving(*this);
    if (!(realTimeoutSeconds > 0)) realTimeoutSeconds = 0;
    auto deadline = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(realTimeoutSeconds));
    for (;;) {
        while (!waitsEnded_.load() && runOne()) {
            if (predicate()) return true;
        }
        if (predicate()) return true;
        if (waitsEnded_.load() || steady_clock::now() >= deadline) return false;
        // The predicate may turn on state other threads change without posting here; look again soon.
        waitForWork(deadline, 0.005, false);
    }
}

void MainLoop::run() {
    Driving driving(*this);
    for (;;) {
        while (runOne()) {
            MutexLock lock(mutex_);
            if (stopRequested_) break;
        }
        {
            MutexLock lock(mutex_);
            if (stopRequested_) {
                stopRequested_ = false;
                return;
            }
        }
        if (waitsEnded_.load()) return;
        waitForWork(std::nullopt, 3600, true);
    }
}

void MainLoop::stop() {
    std::shared_ptr<ExternalEventLoop> external;
    {
        MutexLock lock(mutex_);
        stopRequested_ = true;
        ++wakeGeneration_;
        external = external_;
    }
    cv_.notify_all();
    if (external) external->wake();
}

void MainLoop::endWaits() {
    {
        MutexLock lock(mutex_);
        waitsEnded_ = true;
        ++wakeGeneration_;  // a wait under way sees it at once
    }
    cv_.notify_all();
    wakeExternal();
}

void MainLoop::resumeWaits() { waitsEnded_ = false; }

void MainLoop::advance(double seconds) {
    auto manual = std::dynamic_pointer_cast<ManualClock>(Clock::shared());
    if (!manual) throw std::logic_error("MainLoop::advance needs a ManualClock as the shared clock");
    Driving driving(*this);
    double target = manual->now() + (seconds > 0 ? seconds : 0);
    runUntilIdle();
    for (;;) {
        auto next = nextDeadline();
        if (!next || *next > target) break;
        manual->setNow(*next);
        runUntilIdle();
    }
    manual->setNow(target);
    runUntilIdle();
}

size_t MainLoop::pendingCount() const {
    MutexLock lock(mutex_);
    return ready_.size() + timers_.size();
}

std::optional<double> MainLoop::nextDeadline() const {
    MutexLock lock(mutex_);
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first.first;
}

std::optional<double> MainLoop::nextDeadlineSetWithin(double seconds) const {
    MutexLock lock(mutex_);
    for (const auto& [key, timer] : timers_)
        if (key.first - timer.postedAt <= seconds) return key.first;
    return std::nullopt;
}

}  // namespace platform::dispatch
