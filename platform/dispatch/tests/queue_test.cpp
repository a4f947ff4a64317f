#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/dispatch/internal/ThreadPool.h"

using namespace platform::dispatch;

namespace {

constexpr double kWait = 10;  // real seconds; only reached when something is broken

// Tracks how many blocks run at once.
struct Concurrency {
    std::atomic<int> now{0};
    std::atomic<int> peak{0};
    void enter() {
        int n = ++now;
        int p = peak.load();
        while (n > p && !peak.compare_exchange_weak(p, n)) {
        }
    }
    void leave() { --now; }
};

TEST(DispatchQueueTest, SerialQueueRunsInOrderOneAtATime) {
    DispatchQueue queue("com.tesmar.test.serial");
    EXPECT_TRUE(queue.isSerial());
    std::vector<int> order;  // unguarded on purpose: the queue is the guard (TSan checks it)
    Concurrency c;
    DispatchGroup group;
    for (int i = 0; i < 500; ++i) {
        group.async(queue, [&, i] {
            c.enter();
            order.push_back(i);
            c.leave();
        });
    }
    ASSERT_TRUE(group.wait(kWait));
    ASSERT_EQ(order.size(), 500u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(c.peak.load(), 1);
}

// A worker goes on with a serial queue's backlog itself; blocks the running ones add, and callers
// waiting in sync between them, still come in order and one at a time.
TEST(DispatchQueueTest, ABacklogRunByOneWorkerKeepsOrderAndLetsSyncCallersIn) {
    DispatchQueue queue("com.tesmar.test.backlog");
    std::vector<int> order;  // the queue is the guard
    Concurrency c;
    DispatchGroup group;
    DispatchSemaphore gate;
    group.async(queue, [&] { gate.wait(kWait); });  // the backlog builds up behind this one
    for (int i = 0; i < 100; ++i) {
        group.async(queue, [&, i] {
            c.enter();
            order.push_back(i);
            // Some blocks add one behind everything queued so far.
            if (i % 10 == 0) group.async(queue, [&, i] { order.push_back(1000 + i); });
            c.leave();
        });
    }
    gate.signal();
    std::vector<size_t> seenBySync;
    for (int k = 0; k < 5; ++k) queue.sync([&] { seenBySync.push_back(order.size()); });
    ASSERT_TRUE(group.wait(kWait));
    EXPECT_EQ(c.peak.load(), 1);
    std::vector<int> expected;
    for (int i = 0; i < 100; ++i) expected.push_back(i);
    for (int i = 0; i < 100; i += 10) expected.push_back(1000 + i);
    EXPECT_EQ(order, expected);
    ASSERT_EQ(seenBySync.size(), 5u);
    EXPECT_TRUE(std::is_sorted(seenBySync.begin(), seenBySync.end()));
    EXPECT_GE(seenBySync.front(), 100u) << "a sync caller waits for the blocks queued before it";
}

TEST(DispatchQueueTest, LabelsAndCurrentQueue) {
    DispatchQueue queue("com.tesmar.test.labelled");
    EXPECT_EQ(queue.label(), "com.tesmar.test.labelled");
    EXPECT_EQ(DispatchQueue::currentLabel(), "");
    EXPECT_FALSE(DispatchQueue::current().has_value());
    std::string inside;
    bool isCurrent = false;
    queue.sync([&] {
        inside = DispatchQueue::currentLabel();
        isCurrent = queue.isCurrent() && DispatchQueue::current() == queue;
    });
    EXPECT_EQ(inside, "com.tesmar.test.labelled");
    EXPECT_TRUE(isCurrent);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_FALSE(DispatchQueue::global(QualityOfService::Utility) ==
                 DispatchQueue::global(QualityOfService::Background));
    EXPECT_TRUE(DispatchQueue::global() == DispatchQueue::global(QualityOfService::Unspecified));
}

TEST(DispatchQueueTest, SyncOntoTheRunningQueueRunsInline) {
    DispatchQueue a("com.tesmar.test.a");
    DispatchQueue b("com.tesmar.test.b");
    DispatchSemaphore done;
    std::vector<std::string> steps;
    a.async([&] {
        a.sync([&] { steps.push_back("a in a"); });
        b.sync([&] {
            steps.push_back("b in a");
            a.sync([&] { steps.push_back("a in b in a"); });  // a is held by this thread: inline
        });
        done.signal();
    });
    ASSERT_TRUE(done.wait(kWait));
    EXPECT_EQ(steps, (std::vector<std::string>{"a in a", "b in a", "a in b in a"}));
}

TEST(DispatchQueueTest, SyncWaitsForEarlierWorkReturnsValuesAndRethrows) {
    DispatchQueue queue("com.tesmar.test.sync");
    std::atomic<bool> release{false};
    int value = 0;
    queue.async([&] {
        while (!release.load()) std::this_thread::yield();
        value = 1;
    });
    std::thread releaser([&] { release = true; });
    int seen = queue.syncResult([&] { return value; });  // must queue behind the spinning block
    releaser.join();
    EXPECT_EQ(seen, 1);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("sync boom"); }), std::runtime_error);
    EXPECT_EQ(queue.syncResult([] { return 7; }), 7);  // the queue survived the throw
}

TEST(DispatchQueueTest, ThrowingBlocksDoNotKillQueues) {
    for (auto queue : {DispatchQueue("com.tesmar.test.throw"), DispatchQueue::global(),
                       DispatchQueue("com.tesmar.test.throwc", DispatchQueue::Attributes::Concurrent)}) {
        DispatchSemaphore done;
        queue.async([] { throw std::runtime_error("boom"); });
        queue.async([] { throw 1; });
        queue.async([&] { done.signal(); });
        EXPECT_TRUE(done.wait(kWait)) << queue.label();
    }
}

TEST(DispatchQueueTest, BarrierRunsAloneBetweenEarlierAndLaterWork) {
    DispatchQueue queue("com.tesmar.test.concurrent", DispatchQueue::Attributes::Concurrent);
    std::atomic<int> before{0};
    std::atomic<int> after{0};
    std::atomic<bool> barrierSawAll{false};
    std::atomic<bool> laterSawBarrier{true};
    std::atomic<bool> barrierDone{false};
    Concurrency c;
    DispatchGroup group;
    for (int i = 0; i < 20; ++i) group.async(queue, [&] { ++before; });
    group.enter();
    queue.asyncBarrier([&] {
        c.enter();
        barrierSawAll = before.load() == 20;
        barrierDone = true;
        c.leave();
        group.leave();
    });
    for (int i = 0; i < 20; ++i) {
        group.async(queue, [&] {
            c.enter();
            if (!barrierDone.load()) laterSawBarrier = false;
            ++after;
            c.leave();
        });
    }
    ASSERT_TRUE(group.wait(kWait));
    EXPECT_TRUE(barrierSawAll);
    EXPECT_TRUE(laterSawBarrier);
    EXPECT_EQ(after.load(), 20);
}

TEST(DispatchQueueTest, AsyncAfterWaitsForTheClock) {
    auto clock = std::make_shared<ManualClock>();
    ScopedClock scoped(clock);
    DispatchQueue queue("com.tesmar.test.after");
    DispatchSemaphore fired;
    std::vector<int> order;
    queue.asyncAfter(2, [&] {
        order.push_back(2);
        fired.signal();
    });
    queue.asyncAfter(1, [&] {
        order.push_back(1);
        fired.signal();
    });
    EXPECT_FALSE(fired.wait(0.02));
    clock->advance(1.5);
    ASSERT_TRUE(fired.wait(kWait));
    EXPECT_FALSE(fired.wait(0.02));
    clock->advance(1);
    ASSERT_TRUE(fired.wait(kWait));
    queue.sync([] {});
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// What the host waits for after a command: blocks given to queues until they have run, and a one-shot
// asyncAfter from when it is set until its queue has it (a repeating timer is nobody's pending work).
TEST(DispatchQueueTest, WorkSetOffCountsUntilItHasRun) {
    auto clock = std::make_shared<ManualClock>();
    ScopedClock scoped(clock);
    const size_t before = queuedBlockCount();
    DispatchQueue queue("com.tesmar.test.set-off");
    DispatchSemaphore started, release;
    queue.async([&] {
        started.signal();
        release.wait(kWait);
    });
    queue.async([] {});
    ASSERT_TRUE(started.wait(kWait));
    EXPECT_EQ(queuedBlockCount(), before + 2);
    release.signal();
    queue.sync([] {});
    EXPECT_EQ(queuedBlockCount(), before);

    DispatchTimer repeating(queue, [] {});
    repeating.schedule(1, 1);
    EXPECT_EQ(nextQueuedBlockDeadline(), std::nullopt);
    const double now = clock->now();
    queue.asyncAfter(2, [] {});
    EXPECT_EQ(nextQueuedBlockDeadline(), now + 2);
    EXPECT_EQ(nextQueuedBlockDeadline(1), std::nullopt);
    queue.asyncAfter(1, [] {});
    EXPECT_EQ(nextQueuedBlockDeadline(1), now + 1);
    repeating.cancel();
    clock->advance(2);
    EXPECT_EQ(nextQueuedBlockDeadline(), std::nullopt);
    queue.sync([] {});
    EXPECT_EQ(queuedBlockCount(), before);
}

TEST(DispatchQueueTest, ManyQueuesShareABoundedPool) {
    std::vector<DispatchQueue> queues;
    for (int i = 0; i < 300; ++i) queues.emplace_back("com.tesmar.test.many." + std::to_string(i));
    DispatchGroup group;
    std::atomic<int> ran{0};
    for (auto& q : queues) group.async(q, [&] { ++ran; });
    ASSERT_TRUE(group.wait(kWait));
    EXPECT_EQ(ran.load(), 300);
    EXPECT_LE(detail::ThreadPool::shared().threadCount(), detail::ThreadPool::kMaxThreads);
}

// A thread that could not be started is not counted as on its way: later work still wakes or starts one,
// even while the only worker is busy. The pool outlives the test: its starter and blocks own what they touch.
TEST(DispatchQueueTest, AFailedThreadStartLeavesThePoolAbleToStartWork) {
    auto starts = std::make_shared<std::atomic<int>>(0);
    auto& pool = detail::ThreadPool::make([starts](std::function<void()> run) {
        if ((*starts)++ == 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        std::thread(std::move(run)).detach();
    });
    struct Signals {
        DispatchSemaphore first, second, holding, gate, meanwhile, released;
    };
    auto s = std::make_shared<Signals>();
    pool.submit([s] { s->first.signal(); });
    EXPECT_EQ(pool.threadCount(), 0);
    pool.submit([s] { s->second.signal(); });  // this start takes the one left waiting too
    ASSERT_TRUE(s->first.wait(kWait));
    ASSERT_TRUE(s->second.wait(kWait));

    pool.submit([s] {
        s->holding.signal();
        s->gate.wait(kWait);
        s->released.signal();
    });
    ASSERT_TRUE(s->holding.wait(kWait));
    pool.submit([s] { s->meanwhile.signal(); });
    EXPECT_TRUE(s->meanwhile.wait(kWait));
    s->gate.signal();
    EXPECT_TRUE(s->released.wait(kWait));
}

// A worker started from a named thread (a session's engine, say) must not pass for it in a profile.
TEST(DispatchQueueTest, AWorkerDoesNotTakeItsStartersName) {
    std::string workerName;
    std::thread starter([&] {
        pthread_setname_np(pthread_self(), "starter-thread");
        DispatchGroup group;
        group.async(DispatchQueue("test.names"), [&] {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            workerName = name;
        });
        EXPECT_TRUE(group.wait(kWait));
    });
    starter.join();
    EXPECT_EQ(workerName, "dispatch-worker");
}

TEST(DispatchGroupTest, NotifyRunsOnceAfterAllLeaveAndWaitTimesOut) {
    DispatchGroup group;
    DispatchQueue serial("com.tesmar.test.notify");
    std::atomic<int> work{0};
    std::atomic<int> seenByNotify{-1};
    DispatchSemaphore notified;
    group.enter();  // held until the notify is registered, so it cannot fire early
    for (int i = 0; i < 10; ++i) group.async(DispatchQueue::global(), [&] { ++work; });
    group.notify(serial, [&] {
        seenByNotify = work.load();
        notified.signal();
    });
    EXPECT_FALSE(notified.wait(0.02));
    EXPECT_FALSE(group.wait(0.01));
    group.leave();
    ASSERT_TRUE(notified.wait(kWait));
    EXPECT_EQ(seenByNotify.load(), 10);
    EXPECT_TRUE(group.wait(0));
    group.leave();  // unbalanced: ignored
    EXPECT_EQ(group.count(), 0);
    EXPECT_FALSE(notified.wait(0.02));  // the notify ran exactly once

    group.notify(serial, [&] { notified.signal(); });  // already empty: runs right away
    EXPECT_TRUE(notified.wait(kWait));
}

TEST(DispatchSemaphoreTest, WaitTimesOutSignalReleases) {
    DispatchSemaphore none(0);
    EXPECT_FALSE(none.wait(0));
    EXPECT_FALSE(none.wait(0.01));
    EXPECT_FALSE(none.signal());  // nobody waiting
    EXPECT_TRUE(none.wait(0));
    EXPECT_FALSE(none.wait(0));

    DispatchSemaphore two(2);
    EXPECT_TRUE(two.wait(0));
    EXPECT_TRUE(two.wait(0));
    EXPECT_FALSE(two.wait(0));

    DispatchSemaphore crossThread;
    std::thread t([&] { crossThread.signal(); });
    EXPECT_TRUE(crossThread.wait(kWait));
    t.join();
}

TEST(DispatchOnceTest, RunsOnceAcrossThreads) {
    DispatchOnce once;
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&] { once([&] { ++calls; }); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(calls.load(), 1);
}

TEST(DispatchTimerTest, RepeatingTimerFollowsTheManualClockAndStopsOnCancel) {
    auto clock = std::make_shared<ManualClock>();
    ScopedClock scoped(clock);
    DispatchQueue queue("com.tesmar.test.timer");
    DispatchSemaphore fired;
    DispatchTimer timer(queue, [&] { fired.signal(); });
    timer.schedule(1, 1);
    clock->advance(3.5);  // deadlines 1, 2, 3
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(fired.wait(kWait));
    EXPECT_FALSE(fired.wait(0.02));
    EXPECT_EQ(timer.fireCount(), 3);
    timer.cancel();
    clock->advance(5);
    queue.sync([] {});
    EXPECT_FALSE(fired.wait(0.02));
    EXPECT_TRUE(timer.isCancelled());
}

TEST(DispatchTimerTest, MainQueueTimerFiresInOrderWithOneShot) {
    auto clock = std::make_shared<ManualClock>();
    ScopedClock scoped(clock);
    std::vector<std::string> order;
    DispatchTimer repeating(DispatchQueue::main(), [&] { order.push_back("r@" + std::to_string(int(clock->now()))); });
    DispatchTimer once(DispatchQueue::main(), [&] { order.push_back("o@" + std::to_string(int(clock->now()))); });
    repeating.schedule(1, 2);
    once.schedule(2);
    MainLoop::shared().advance(5);
    repeating.cancel();
    MainLoop::shared().advance(5);
    EXPECT_EQ(order, (std::vector<std::string>{"r@1", "o@2", "r@3", "r@5"}));
}

// The main thread is whichever thread drives the loop, not the first to check; a serial queue's state is
// checked against the queue's own blocks, whichever worker runs them (builds without NDEBUG).
TEST(ThreadChecksTest, TheMainThreadIsTheLoopsDriverAndAQueueIsItsBlocks) {
    mainThread.assertOnThread();
    DispatchQueue queue("com.tesmar.test.owner");
    for (int i = 0; i < 3; ++i) queue.async([&] { queue.assertCurrent(); });
    queue.sync([&] { queue.assertCurrent(); });
#ifndef NDEBUG
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(std::thread([] { mainThread.assertOnThread(); }).join(), "off the main thread");
    EXPECT_DEATH(queue.assertCurrent(), "queue \"com.tesmar.test.owner\" is touched off the queue");
    DispatchQueue other("com.tesmar.test.other");
    EXPECT_DEATH(other.sync([&] { queue.assertCurrent(); }), "off the queue");
    std::thread([] {
        MainLoop::shared().runUntilIdle();  // this thread drives the loop now: it is the main thread
        mainThread.assertOnThread();
    }).join();
    EXPECT_DEATH(mainThread.assertOnThread(), "off the main thread");
    MainLoop::shared().runUntilIdle();
#endif
    mainThread.assertOnThread();
}

// A checked owner binds to the first thread that asserts and refuses every other (builds without NDEBUG),
// and a condition variable over the annotated mutex wakes its waiter with the mutex held again.
TEST(ThreadChecksTest, AnOwnerThreadIsCheckedAndAWaitHandsTheMutexBack) {
    ThreadChecker owner("the test's state");
    owner.assertOnThread();
    owner.assertOnThread();
#ifndef NDEBUG
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(std::thread([&] { owner.assertOnThread(); }).join(), "the test's state is touched off its thread");
    owner.detach();
    std::thread([&] { owner.assertOnThread(); }).join();  // rebinds to that thread
    EXPECT_DEATH(owner.assertOnThread(), "off its thread");
#endif

    Mutex mutex;
    ConditionVariable changed;
    bool ready = false;
    std::thread setter([&] {
        MutexLock lock(mutex);
        ready = true;
        changed.notify_all();
    });
    {
        MutexLock lock(mutex);
        EXPECT_TRUE(changed.wait_for(mutex, std::chrono::seconds(30), [&] { return ready; }));
    }
    if (mutex.try_lock())
        mutex.unlock();
    else
        ADD_FAILURE() << "the wait kept the mutex";
    setter.join();
}

}  // namespace
