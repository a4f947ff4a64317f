// Listeners and their tokens across threads.
#include "platform/foundation/DeviceEvents.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

using platform::DeviceEvents;
using platform::Value;

namespace {

TEST(DeviceEvents, RemovingAListenerWaitsForItsCallOnAnotherThread) {
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, removing = false;
    std::atomic<bool> finished{false};
    std::optional<DeviceEvents::Token> token = DeviceEvents::addListener([&](const std::string& event, const Value&) {
        if (event != "slow") return;
        std::unique_lock lock(m);
        inside = true;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return removing; });
        // Still using what the listener captured after its remover started.
        cv.wait_for(lock, std::chrono::milliseconds(100), [] { return false; });
        finished = true;
    });
    std::thread poster([] { DeviceEvents::post("slow"); });
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return inside; }));
        removing = true;
        cv.notify_all();
    }
    token.reset();
    EXPECT_TRUE(finished) << "the token went while its listener still ran";
    poster.join();
}

TEST(DeviceEvents, AListenerMayRemoveItselfAndOthersWhileCalled) {
    int firstCalls = 0, secondCalls = 0;
    std::optional<DeviceEvents::Token> first, second;
    first = DeviceEvents::addListener([&](const std::string& event, const Value&) {
        if (event != "once") return;
        ++firstCalls;
        first.reset();   // itself: must not wait for its own call
        second.reset();  // a later one: not called for this event any more
    });
    second = DeviceEvents::addListener([&](const std::string& event, const Value&) { secondCalls += event == "once"; });
    DeviceEvents::post("once");
    DeviceEvents::post("once");
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(secondCalls, 0);
    EXPECT_FALSE(DeviceEvents::hasListeners());
}

}  // namespace
