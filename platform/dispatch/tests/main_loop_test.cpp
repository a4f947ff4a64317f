#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

using namespace platform::dispatch;

namespace {

class MainLoopTest : public ::testing::Test {
protected:
    void SetUp() override { MainLoop::shared().runUntilIdle(); }
    void TearDown() override { MainLoop::shared().runUntilIdle(); }
    std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>(100);
    ScopedClock scoped_{clock_};
    MainLoop& loop_ = MainLoop::shared();
};

TEST_F(MainLoopTest, DelayedWorkFiresInDeadlineOrderAtItsOwnTime) {
    std::vector<std::pair<std::string, double>> ran;
    auto record = [&](std::string name) { return [&ran, this, name] { ran.emplace_back(name, clock_->now()); }; };
    loop_.postAfter(3, record("c"));
    loop_.postAfter(1, [&, record] {
        record("a")();
        loop_.postAfter(0.5, record("a+0.5"));  // posted by delayed work, due inside the same advance
    });
    loop_.postAfter(2, record("b1"));
    loop_.postAfter(2, record("b2"));  // same deadline: posting order
    loop_.post(record("now"));

    EXPECT_EQ(loop_.runUntilIdle(), 1u);
    loop_.advance(0.5);
    EXPECT_EQ(ran.size(), 1u);
    loop_.advance(10);

    std::vector<std::pair<std::string, double>> expected = {{"now", 100}, {"a", 101},  {"a+0.5", 101.5},
                                                            {"b1", 102},  {"b2", 102}, {"c", 103}};
    EXPECT_EQ(ran, expected);
    EXPECT_DOUBLE_EQ(clock_->now(), 110.5);
    EXPECT_EQ(loop_.pendingCount(), 0u);
}

// A timer set a moment ahead is the next step of work going on, however near another one set long ago is.
TEST_F(MainLoopTest, TimersSetShortlyAheadAreToldApart) {
    loop_.postAfter(30, [] {});
    loop_.advance(29.5);
    EXPECT_EQ(loop_.nextDeadline(), 130);
    EXPECT_EQ(loop_.nextDeadlineSetWithin(1), std::nullopt);
    loop_.postAfter(0.75, [] {});
    EXPECT_EQ(loop_.nextDeadlineSetWithin(1), 130.25);
    loop_.advance(1);
    EXPECT_EQ(loop_.nextDeadlineSetWithin(1), std::nullopt);
}

TEST_F(MainLoopTest, CancelByKeyFromAnotherThread) {
    std::vector<std::string> ran;
    loop_.postAfter(
        1, [&] { ran.push_back("k1"); }, "k");
    loop_.postAfter(
        2, [&] { ran.push_back("k2"); }, "k");
    loop_.postAfter(
        1, [&] { ran.push_back("other"); }, "other");
    size_t cancelled = 0;
    std::thread([&] { cancelled = loop_.cancel("k"); }).join();
    EXPECT_EQ(cancelled, 2u);
    EXPECT_EQ(loop_.cancel(""), 0u);
    loop_.advance(5);
    EXPECT_EQ(ran, std::vector<std::string>{"other"});
}

TEST_F(MainLoopTest, RunUntilIdleRunsWorkPostedByWork) {
    std::vector<int> ran;
    loop_.post([&] {
        ran.push_back(1);
        loop_.post([&] {
            ran.push_back(2);
            loop_.postAfter(0, [&] { ran.push_back(3); });
        });
    });
    EXPECT_EQ(loop_.runUntilIdle(), 3u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST_F(MainLoopTest, RunUntilReturnsFalseOnRealTimeoutEvenWithManualClock) {
    bool ran = false;
    loop_.postAfter(0.01, [&] { ran = true; });  // manual time never moves: must not fire
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop_.runUntil([] { return false; }, 0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_FALSE(ran);
    loop_.advance(1);
    EXPECT_TRUE(ran);
}

TEST_F(MainLoopTest, RunUntilWakesForWorkFromOtherThreadsAndForClockAdvances) {
    std::atomic<bool> posted{false};
    std::thread poster([&] { DispatchQueue::main().async([&] { posted = true; }); });
    EXPECT_TRUE(loop_.runUntil([&] { return posted.load(); }, 10));
    poster.join();

    bool fired = false;
    loop_.postAfter(5, [&] { fired = true; });
    std::thread advancer([&] { clock_->advance(5); });
    EXPECT_TRUE(loop_.runUntil([&] { return fired; }, 10));
    advancer.join();
}

TEST_F(MainLoopTest, RealClockDelaysFireWithoutAdvance) {
    ScopedClock real(nullptr);
    bool fired = false;
    loop_.postAfter(0.01, [&] { fired = true; });
    EXPECT_TRUE(loop_.runUntil([&] { return fired; }, 10));
    EXPECT_THROW(loop_.advance(1), std::logic_error);
}

TEST_F(MainLoopTest, ThrowingBlocksDoNotStopTheLoop) {
    int after = 0;
    loop_.post([] { throw std::runtime_error("boom"); });
    loop_.post([] { throw 42; });
    loop_.postAfter(1, [] { throw std::runtime_error("late boom"); });
    loop_.post([&] { ++after; });
    loop_.postAfter(2, [&] { ++after; });
    loop_.advance(3);
    EXPECT_EQ(after, 2);
}

TEST_F(MainLoopTest, RunStopsWhenAnotherThreadCallsStop) {
    std::atomic<int> count{0};
    std::thread other([&] {
        DispatchQueue::main().async([&] { ++count; });
        DispatchQueue::main().async([&] { ++count; });
        MainLoop::shared().stop();
    });
    loop_.run();
    other.join();
    loop_.runUntilIdle();
    EXPECT_EQ(count.load(), 2);
}

// A stop made while only runUntil drives the loop waits for the next run(); meanwhile runUntil must
// still sleep between looks instead of spinning on it.
TEST_F(MainLoopTest, PendingStopNeitherEndsNorSpinsRunUntil) {
    loop_.stop();
    int looks = 0;
    EXPECT_FALSE(loop_.runUntil([&] { return ++looks < 0; }, 0.1));
    EXPECT_LT(looks, 200);
    bool ran = false;
    loop_.post([&] { ran = true; });
    EXPECT_TRUE(loop_.runUntil([&] { return ran; }, 5));
    loop_.run();  // the stop is still pending: this returns at once
}

// A process asked to end: another thread's endWaits ends the wait under way, later ones (run too) do not
// wait at all, and resumeWaits brings waiting back.
TEST_F(MainLoopTest, EndWaitsEndsEveryWaitUntilResumed) {
    const auto began = std::chrono::steady_clock::now();
    std::thread ender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loop_.endWaits();
    });
    EXPECT_FALSE(loop_.runUntil([] { return false; }, 60));
    ender.join();
    EXPECT_FALSE(loop_.runUntil([] { return false; }, 60));
    loop_.run();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
    loop_.resumeWaits();
    bool ran = false;
    loop_.post([&] { ran = true; });
    EXPECT_TRUE(loop_.runUntil([&] { return ran; }, 5));
}

TEST_F(MainLoopTest, MainThreadIdentityAndMainQueueSync) {
    loop_.runUntilIdle();
    EXPECT_TRUE(MainLoop::isMainThread());
    bool inlineRan = false;
    DispatchQueue::main().sync([&] { inlineRan = true; });  // from the main thread: inline
    EXPECT_TRUE(inlineRan);

    std::atomic<bool> workerIsMain{true};
    std::atomic<bool> syncedOnMain{false};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        workerIsMain = MainLoop::isMainThread();
        DispatchQueue::main().sync(
            [&] { syncedOnMain = MainLoop::isMainThread() && DispatchQueue::main().isCurrent(); });
        done = true;
    });
    EXPECT_TRUE(loop_.runUntil([&] { return done.load(); }, 10));
    worker.join();
    EXPECT_FALSE(workerIsMain);
    EXPECT_TRUE(syncedOnMain);
}

}  // namespace
