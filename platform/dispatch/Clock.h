#pragma once
// Clock: the one source of time for every delay and timer in the platform layer.
//
// Times are seconds (double) on a monotonic scale whose origin is the clock's own; only differences and
// comparisons between readings of the same clock mean anything. The process-wide clock is real by
// default; tests install a ManualClock so that delayed work fires only when they advance it.
//
// Switch the shared clock only while no delayed work is pending (test set-up / tear-down): deadlines
// already scheduled were read from the previous clock.
//
// Blocking waits with a timeout (semaphores, groups, sync, runUntil) are bounded in real time, not by
// this clock: a thread blocked in a wait cannot advance a manual clock.
#include <functional>
#include <memory>

#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch {

class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
    // A manual clock moves only when told; waiters then sleep until woken instead of until a deadline.
    virtual bool isManual() const { return false; }

    // The process-wide clock (never null). Thread-safe.
    static std::shared_ptr<Clock> shared();
    // nullptr restores the real clock. Wakes every waiter so it re-reads the time.
    static void setShared(std::shared_ptr<Clock> clock);

    // Called (on the advancing thread) whenever the shared clock's time jumps or the clock is replaced.
    // Returns an id for removal. Listeners must not block.
    static int addAdvanceListener(std::function<void()> listener);
    static void notifyAdvanced();
};

// Monotonic real time (std::chrono::steady_clock).
class RealClock final : public Clock {
public:
    double now() const override;
};

// Time that moves only by advance()/setNow(); starts at 0 unless given.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 0) : now_(start) {}
    double now() const override;
    bool isManual() const override { return true; }
    // Moves time forward (negative steps are ignored) and wakes waiters. Work scheduled off the main loop
    // (asyncAfter on other queues, timers) that became due is handed to its queue before this returns.
    // To run main-loop work in time order use MainLoop::advance instead.
    void advance(double seconds);
    void setNow(double t);  // never moves backwards

private:
    mutable Mutex mutex_;
    double now_ GUARDED_BY(mutex_);
};

// Installs a clock as the shared one for a scope (tests), restoring the previous one after.
class ScopedClock {
public:
    explicit ScopedClock(std::shared_ptr<Clock> clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    std::shared_ptr<Clock> previous_;
};

}  // namespace platform::dispatch
