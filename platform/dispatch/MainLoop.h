#pragma once
// MainLoop: the main thread's run loop. Everything documented as "main thread" or "main queue" runs here,
// one block at a time, on whichever thread drives the loop (run, runUntil, runUntilIdle, advance); that
// thread is the main thread. Before any loop call, the main thread is the process's initial thread.
//
// Any thread may post, postAfter and cancel. Delayed work reads the shared Clock (Clock.h): with a manual
// clock it becomes due only when the clock is advanced. A block that throws is caught and logged to
// stderr; the loop goes on. Blocks may drive the loop again (nested runUntil / runUntilIdle) from the
// main thread; driving it from a second thread while one is already driving it is a logic error.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch {

// A second event loop that shares the main thread (a toolkit's, say). While one is installed, the main
// loop waits for work by letting it run, so its events are handled on the main thread between blocks,
// and posts from any thread wake it. Implementations live with the toolkit; nothing here knows it.
class ExternalEventLoop {
public:
    virtual ~ExternalEventLoop() = default;
    // Main thread. Handles the external loop's pending events, waiting at most maxSeconds for one
    // (0: never waits). Returns early once woken() answers true (checked before it waits) or wake()
    // was called. Answers whether it handled anything.
    virtual bool iterate(double maxSeconds, const std::function<bool()>& woken) = 0;
    // Any thread: ends a wait in iterate() soon.
    virtual void wake() = 0;
};

// The main loop's thread as a capability: state confined to the main loop is GUARDED_BY(mainThread), and
// code that runs there says so with mainThread.assertOnThread() or is REQUIRES(mainThread). Unlike a
// ThreadChecker it binds to no thread: the main thread is whichever drives the loop, so the check asks
// MainLoop::isMainThread(). It aborts off that thread in builds without NDEBUG and compiles away with it.
class CAPABILITY("thread") MainThread {
public:
#ifdef NDEBUG
    void assertOnThread() const ASSERT_CAPABILITY(this) {}
#else
    void assertOnThread() const ASSERT_CAPABILITY(this);
#endif
};
inline constexpr MainThread mainThread;

class MainLoop {
public:
    static MainLoop& shared();
    // True on the thread that drives (or last drove) the loop.
    static bool isMainThread();

    void post(std::function<void()> block);
    // Runs the block once the shared clock reaches now + seconds. A non-empty key lets cancel() find it;
    // several blocks may share a key.
    void postAfter(double seconds, std::function<void()> block, std::string key = "");
    // Same with an absolute time on the shared clock.
    void postAt(double clockTime, std::function<void()> block, std::string key = "");
    // Drops every delayed block with this key that has not started; returns how many. Any thread.
    size_t cancel(const std::string& key);

    // Runs every block that is ready now, including blocks those blocks post and delayed blocks that are
    // due on the clock, until nothing is ready. Returns how many ran. Never waits.
    size_t runUntilIdle();
    // Runs the loop until predicate() is true (checked on this thread between blocks) or realTimeout
    // seconds of real time pass (or endWaits); for waiting on real events (network, worker threads).
    // Returns the predicate's final answer. stop() does not end it, and a stop pending for the next run()
    // does not make it spin.
    bool runUntil(const std::function<bool()>& predicate, double realTimeoutSeconds);
    // Runs until stop() (from any thread, or from a block). A stop() made while no run() is active ends
    // the next run() once it has run one ready block at most, so a stop racing a run is never lost.
    void run();
    void stop();
    // For a process asked to end: from this call until resumeWaits(), no call of the loop waits. runUntil
    // returns at once with its predicate's answer (running no more blocks) and run() returns, so whatever
    // waits on the loop gives up, whoever wrote the wait; a caller that loops on its wait asks
    // waitsEnded() to stop. runUntilIdle and advance, which never wait, run as before. Any thread.
    void endWaits();
    void resumeWaits();
    bool waitsEnded() const { return waitsEnded_.load(); }
    // Manual clocks only (throws std::logic_error otherwise): moves the clock forward by seconds, firing
    // due delayed blocks in time order, each with the clock set to its own deadline.
    void advance(double seconds);

    // Installs (or, with null, removes) the event loop that shares the main thread. Main thread only,
    // outside any block of the loop's own waiting.
    void setExternalEventLoop(std::shared_ptr<ExternalEventLoop> loop);

    size_t pendingCount() const;                 // ready plus delayed blocks
    std::optional<double> nextDeadline() const;  // earliest delayed block, on the shared clock
    // The earliest deadline of a delayed block that was posted at most `seconds` ahead of its time: the
    // next step of work going on, not a timer left for later.
    std::optional<double> nextDeadlineSetWithin(double seconds) const;

private:
    MainLoop();
    struct Timer {
        std::function<void()> block;
        std::string key;
        double postedAt = 0;  // the shared clock's time when it was posted
    };
    using TimerKey = std::pair<double, uint64_t>;  // deadline, then posting order

    class Driving;
    bool runOne();
    // A pending stop ends the wait only for run(), the one call that answers it.
    void waitForWork(std::optional<std::chrono::steady_clock::time_point> realDeadline, double maxWait, bool forRun);
    void wake();
    void wakeExternal();
    // Lets the external loop handle what it has ready, without waiting (bounded, so a busy toolkit
    // cannot hold the loop).
    void drainExternal();

    mutable Mutex mutex_;
    ConditionVariable cv_;
    std::deque<std::function<void()>> ready_ GUARDED_BY(mutex_);
    std::map<TimerKey, Timer> timers_ GUARDED_BY(mutex_);
    uint64_t nextSeq_ GUARDED_BY(mutex_) = 0;
    uint64_t wakeGeneration_ GUARDED_BY(mutex_) = 0;
    bool stopRequested_ GUARDED_BY(mutex_) = false;
    int depth_ GUARDED_BY(mutex_) = 0;
    std::thread::id driver_ GUARDED_BY(mutex_);
    std::atomic<std::thread::id> mainThread_;
    std::atomic<bool> waitsEnded_{false};
    std::shared_ptr<ExternalEventLoop> external_ GUARDED_BY(mutex_);
};

}  // namespace platform::dispatch
