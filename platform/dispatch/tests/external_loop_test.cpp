// The main loop sharing its thread with another event loop (a toolkit's): that loop's events run on
// the main thread while the main loop waits, and work posted from anywhere still wakes it at once.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

using namespace platform::dispatch;
using namespace std::chrono;

namespace {

// A toolkit loop of its own: events queued from any thread, handled inside iterate().
class FakeToolkitLoop : public ExternalEventLoop {
public:
    bool iterate(double maxSeconds, const std::function<bool()>& woken) override {
        std::unique_lock lock(mutex_);
        waits_.push_back(maxSeconds);
        if (events_.empty() && maxSeconds > 0 && !woken()) {
            auto until = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(maxSeconds));
            waiting_ = true;
            cv_.notify_all();
            cv_.wait_until(lock, until, [&] { return !events_.empty() || wakes_ > 0 || woken(); });
            waiting_ = false;
        }
        wakes_ = 0;
        if (events_.empty()) return false;
        auto event = std::move(events_.front());
        events_.pop_front();
        lock.unlock();
        event();
        return true;
    }
    void wake() override {
        std::lock_guard lock(mutex_);
        ++wakes_;
        cv_.notify_all();
    }
    void queue(std::function<void()> event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        cv_.notify_all();
    }
    // Blocks until the main thread waits inside iterate().
    void awaitWaiting() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return waiting_; });
    }
    std::vector<double> waits() {
        std::lock_guard lock(mutex_);
        return waits_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> events_;
    std::vector<double> waits_;
    int wakes_ = 0;
    bool waiting_ = false;
};

class ExternalLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        loop_.runUntilIdle();
        loop_.setExternalEventLoop(toolkit_);
    }
    void TearDown() override {
        loop_.setExternalEventLoop(nullptr);
        loop_.runUntilIdle();
    }
    MainLoop& loop_ = MainLoop::shared();
    std::shared_ptr<FakeToolkitLoop> toolkit_ = std::make_shared<FakeToolkitLoop>();
};

TEST_F(ExternalLoopTest, ToolkitEventsFromOtherThreadsRunOnTheMainThreadWhileTheLoopWaits) {
    std::thread::id ranOn;
    bool done = false;
    std::thread other([&] {
        toolkit_->queue([&] {
            ranOn = std::this_thread::get_id();
            done = true;
        });
    });
    EXPECT_TRUE(loop_.runUntil([&] { return done; }, 5));
    other.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(ExternalLoopTest, PostsAndStopsWakeALongToolkitWait) {
    // run() waits in the toolkit for up to an hour; a post from another thread must end that at once.
    auto started = steady_clock::now();
    std::thread other([&] {
        toolkit_->awaitWaiting();
        loop_.post([&] { loop_.stop(); });
    });
    loop_.run();
    other.join();
    EXPECT_LT(duration<double>(steady_clock::now() - started).count(), 5.0);
}

TEST_F(ExternalLoopTest, WorkPostedBeforeTheToolkitWaitsIsNotSleptThrough) {
    // The post lands between the loop's own check and the toolkit's wait: woken() must see it.
    bool ran = false;
    toolkit_->queue([&] { loop_.post([&] { ran = true; }); });
    auto started = steady_clock::now();
    EXPECT_TRUE(loop_.runUntil([&] { return ran; }, 10));
    EXPECT_LT(duration<double>(steady_clock::now() - started).count(), 5.0);
}

TEST_F(ExternalLoopTest, DelayedWorkBoundsTheToolkitWait) {
    bool fired = false;
    loop_.postAfter(0.05, [&] { fired = true; });
    EXPECT_TRUE(loop_.runUntil([&] { return fired; }, 5));
    auto waits = toolkit_->waits();
    ASSERT_FALSE(waits.empty());
    for (double wait : waits) EXPECT_LE(wait, 0.06);
}

TEST_F(ExternalLoopTest, RunUntilIdleHandlesWhatTheToolkitHasReadyWithoutWaiting) {
    int handled = 0;
    for (int i = 0; i < 3; ++i) toolkit_->queue([&] { ++handled; });
    toolkit_->queue([&] { loop_.post([&] { handled += 10; }); });
    loop_.runUntilIdle();
    EXPECT_EQ(handled, 13);
    for (double wait : toolkit_->waits()) EXPECT_EQ(wait, 0);
}

TEST_F(ExternalLoopTest, WithoutAToolkitTheLoopWaitsOnItsOwn) {
    loop_.setExternalEventLoop(nullptr);
    size_t before = toolkit_->waits().size();
    bool ran = false;
    std::thread other([&] { loop_.post([&] { ran = true; }); });
    EXPECT_TRUE(loop_.runUntil([&] { return ran; }, 5));
    other.join();
    EXPECT_EQ(toolkit_->waits().size(), before);
}

}  // namespace
