#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"

using namespace platform::dispatch;

namespace {

constexpr double kWait = 10;

struct Peak {
    std::atomic<int> now{0};
    std::atomic<int> peak{0};
    void enter() {
        int n = ++now;
        int p = peak.load();
        while (n > p && !peak.compare_exchange_weak(p, n)) {
        }
    }
};

TEST(OperationQueueTest, SuspendedSerialQueueRunsEverythingInOrderOnceResumed) {
    OperationQueue queue;
    queue.setName("com.tesmar.test.ops");
    queue.setMaxConcurrentOperationCount(1);
    queue.setSuspended(true);
    queue.setQualityOfService(QualityOfService::Utility);

    std::vector<int> order;  // guarded by max 1 concurrency alone
    Peak peak;
    for (int i = 0; i < 50; ++i) {
        queue.addOperation([&, i] {
            peak.enter();
            order.push_back(i);
            --peak.now;
        });
    }
    EXPECT_EQ(queue.operationCount(), 50u);
    EXPECT_FALSE(queue.waitUntilAllOperationsAreFinished(0.02));
    EXPECT_TRUE(queue.isSuspended());

    queue.setSuspended(false);
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));
    EXPECT_EQ(queue.operationCount(), 0u);
    ASSERT_EQ(order.size(), 50u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(peak.peak.load(), 1);
}

TEST(OperationQueueTest, ConcurrencyLimitIsRespected) {
    for (int limit : {1, 2, 4}) {
        OperationQueue queue;
        queue.setMaxConcurrentOperationCount(limit);
        Peak peak;
        for (int i = 0; i < 40; ++i) {
            queue.addOperation([&] {
                peak.enter();
                std::this_thread::yield();
                --peak.now;
            });
        }
        ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));
        EXPECT_LE(peak.peak.load(), limit) << limit;
    }
}

TEST(OperationQueueTest, CancelAllDropsWaitingOperations) {
    OperationQueue queue;
    queue.setSuspended(true);
    std::atomic<int> ran{0};
    std::vector<std::shared_ptr<Operation>> ops;
    for (int i = 0; i < 5; ++i) ops.push_back(queue.addOperation([&] { ++ran; }));
    queue.cancelAllOperations();
    EXPECT_EQ(queue.operationCount(), 0u);
    queue.setSuspended(false);
    auto after = queue.addOperation([&] { ++ran; });
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));
    EXPECT_EQ(ran.load(), 1);
    for (auto& op : ops) EXPECT_TRUE(op->isCancelled() && op->isFinished());
    EXPECT_TRUE(after->isFinished());
    EXPECT_FALSE(after->isCancelled());
}

TEST(OperationQueueTest, ThrowingOperationDoesNotStopTheQueueAndIsLoggedWithTheQueueName) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.setName("com.tesmar.test.throwing");
    std::atomic<bool> later{false};
    testing::internal::CaptureStderr();
    queue.addOperation([] { throw std::runtime_error("op boom"); });
    queue.addOperation([&] { later = true; });
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(later.load());
    EXPECT_NE(logged.find("\"com.tesmar.test.throwing\" threw: op boom"), std::string::npos) << logged;
}

TEST(OperationQueueTest, UnderlyingQueueAndCurrentQueue) {
    OperationQueue queue;
    DispatchQueue underlying("com.tesmar.test.underlying");
    queue.setUnderlyingQueue(underlying);
    std::string label;
    bool current = false;
    queue.addOperation([&] {
        label = DispatchQueue::currentLabel();
        current = OperationQueue::currentQueue() == queue;
    });
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));
    EXPECT_EQ(label, "com.tesmar.test.underlying");
    EXPECT_TRUE(current);
}

TEST(OperationQueueTest, MainOperationQueueRunsOnTheMainLoop) {
    MainLoop::shared().runUntilIdle();
    bool onMain = false;
    bool current = false;
    OperationQueue::main().addOperation([&] {
        onMain = MainLoop::isMainThread() && DispatchQueue::main().isCurrent();
        current = OperationQueue::currentQueue() == OperationQueue::main();
    });
    EXPECT_EQ(OperationQueue::main().operationCount(), 1u);
    MainLoop::shared().runUntilIdle();
    EXPECT_TRUE(onMain);
    EXPECT_TRUE(current);
    EXPECT_EQ(OperationQueue::main().operationCount(), 0u);
}

}  // namespace

namespace {

TEST(OperationQueueTest, CancelAllMarksTheRunningOperationAndAddingTwiceRunsOnce) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    DispatchSemaphore started;
    DispatchSemaphore release;
    std::atomic<bool> sawCancel{false};
    std::shared_ptr<Operation> running;
    running = queue.addOperation([&] {
        started.signal();
        release.wait(kWait);
        sawCancel = running->isCancelled();
    });
    ASSERT_TRUE(started.wait(kWait));
    EXPECT_TRUE(running->isExecuting());
    queue.cancelAllOperations();
    release.signal();
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));
    EXPECT_TRUE(sawCancel.load());

    std::atomic<int> runs{0};
    auto op = std::make_shared<Operation>([&] { ++runs; });
    queue.addOperation(op);
    queue.addOperation(op);
    OperationQueue().addOperation(op);
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));
    EXPECT_EQ(runs.load(), 1);
}

}  // namespace

namespace {

// A serial queue's worker goes on with the next ready operation itself; it must still stop where
// the queue's settings say so: a suspension made by a running operation, or a new underlying queue.
TEST(OperationQueueTest, AWorkerGoingOnWithTheNextOperationHonoursSuspensionAndANewUnderlyingQueue) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    std::atomic<int> ran{0};
    queue.addOperation([&] {
        ++ran;
        queue.setSuspended(true);
    });
    for (int i = 0; i < 5; ++i) queue.addOperation([&] { ++ran; });
    EXPECT_FALSE(queue.waitUntilAllOperationsAreFinished(0.05));
    EXPECT_EQ(ran.load(), 1);
    queue.setSuspended(false);
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));
    EXPECT_EQ(ran.load(), 6);

    DispatchQueue underlying("com.tesmar.test.later-underlying");
    std::vector<std::string> labels;  // one operation at a time
    queue.addOperation([&] {
        labels.push_back(DispatchQueue::currentLabel());
        queue.setUnderlyingQueue(underlying);
    });
    for (int i = 0; i < 3; ++i) queue.addOperation([&] { labels.push_back(DispatchQueue::currentLabel()); });
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));
    ASSERT_EQ(labels.size(), 4u);
    EXPECT_NE(labels[0], "com.tesmar.test.later-underlying");
    for (size_t i = 1; i < labels.size(); ++i) EXPECT_EQ(labels[i], "com.tesmar.test.later-underlying") << i;
}

}  // namespace
