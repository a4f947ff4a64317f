#include <gtest/gtest.h>

#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/systemconfiguration/Reachability.h"
#include "testing/TemporaryDeviceRoot.h"
#include "zidedova_core/utilities/ZUTNetwork.h"
#include "zidedova_core/utilities/ZUTReachabilityChecker.h"
#include "zidedova_core/utilities/tests/LogCapture.h"

namespace zidedova {
namespace {

namespace F = platform::sc::ReachabilityFlag;
using platform::dispatch::MainLoop;
using platform::sc::ReachabilityTestHooks;

struct RecordingDelegate : ZUTReachabilityDelegate {
    std::vector<ZUTReachabilityStatus> statuses;
    void reachabilityStatusChanged(ZUTReachabilityChecker&, ZUTReachabilityStatus status) override {
        statuses.push_back(status);
    }
};

struct CountingNetworkDelegate : ZUTNetworkReachabilityDelegate {
    int calls = 0;
    void reachabilityDidChange() override { ++calls; }
};

class ReachabilityTest : public ::testing::Test {
protected:
    void SetUp() override { ReachabilityTestHooks::reset(); }
    void TearDown() override {
        ReachabilityTestHooks::reset();
        MainLoop::shared().runUntilIdle();
    }
    tesmar_testing::TemporaryDeviceRoot device;
};

TEST_F(ReachabilityTest, StatusFromFlags) {
    struct Case {
        platform::sc::ReachabilityFlags flags;
        ZUTReachabilityStatus status;
    } cases[] = {
        {0, kZUTReachabilityNotReachable},
        {F::IsWWAN, kZUTReachabilityNotReachable},
        {F::Reachable, kZUTReachabilityViaWifi},
        {F::Reachable | F::IsWWAN, kZUTReachabilityViaCellular},
        {F::Reachable | F::ConnectionRequired, kZUTReachabilityNotReachable},
        {F::Reachable | F::ConnectionRequired | F::ConnectionOnTraffic, kZUTReachabilityViaWifi},
        {F::Reachable | F::ConnectionRequired | F::ConnectionOnDemand | F::IsWWAN,
         kZUTReachabilityViaCellular},
        {F::Reachable | F::ConnectionRequired | F::ConnectionOnTraffic | F::InterventionRequired,
         kZUTReachabilityNotReachable},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ZUTReachabilityChecker::statusForFlags(c.flags), c.status) << c.flags;
}

TEST_F(ReachabilityTest, OneDelegateCallPerChangeOfStatus) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto checker = ZUTReachabilityChecker::make(delegate, "example.test");
    ASSERT_TRUE(checker);
    checker->reachabilityFlagsChanged(F::Reachable);
    checker->reachabilityFlagsChanged(F::Reachable | F::IsDirect);  // same coarse status
    checker->reachabilityFlagsChanged(F::Reachable | F::IsWWAN);
    checker->reachabilityFlagsChanged(0);
    checker->reachabilityFlagsChanged(F::Reachable | F::ConnectionRequired);  // still not reachable
    EXPECT_EQ(delegate->statuses,
              (std::vector<ZUTReachabilityStatus>{kZUTReachabilityViaWifi, kZUTReachabilityViaCellular,
                                                  kZUTReachabilityNotReachable}));
}

TEST_F(ReachabilityTest, EmptyHostAndFailedStartAreRefused) {
    testing::LogCapture log;
    EXPECT_FALSE(ZUTReachabilityChecker::make({}, ""));
    EXPECT_TRUE(log.contains("[ZUTReachability][I-REA902001] Invalid host specified"));
    EXPECT_FALSE(ZUTNetwork::make(""));

    ReachabilityTestHooks hooks;
    hooks.schedulingFails = true;
    ReachabilityTestHooks::set(hooks);
    auto checker = ZUTReachabilityChecker::make({}, "example.test");
    EXPECT_FALSE(checker->start());
    EXPECT_FALSE(checker->isActive());
    EXPECT_TRUE(log.contains("[I-REA902002] Failed to start reachability handle"));
    EXPECT_FALSE(ZUTNetwork::make("example.test"));
}

TEST_F(ReachabilityTest, ApiTableChangesOnlyWhileStopped) {
    testing::LogCapture log;
    static const ZUTReachabilityApi kNoHandles = {
        [](const std::string&) { return ZUTReachabilityApi::Handle(); },
        [](const ZUTReachabilityApi::Handle&, platform::sc::NetworkReachability::Callback) { return true; },
        [](const ZUTReachabilityApi::Handle&) { return true; },
        [](const ZUTReachabilityApi::Handle&) { return true; },
        [](ZUTReachabilityApi::Handle& h) { h.reset(); },
    };
    auto checker = ZUTReachabilityChecker::make({}, "example.test");
    ASSERT_TRUE(checker->start());
    checker->setReachabilityApi(&kNoHandles);
    EXPECT_EQ(checker->reachabilityApi(), ZUTReachabilityApi::defaultApi());
    EXPECT_TRUE(log.contains("[I-REA902000] Cannot change reachability API while reachability is running."));
    checker->stop();
    checker->setReachabilityApi(&kNoHandles);
    EXPECT_EQ(checker->reachabilityApi(), &kNoHandles);
    EXPECT_FALSE(checker->start());  // no handle: stays stopped, without a log line
}

TEST_F(ReachabilityTest, NetworkFollowsThePlatformOnTheMainLoop) {
    auto network = ZUTNetwork::make("example.test");
    ASSERT_TRUE(network);
    auto delegate = std::make_shared<CountingNetworkDelegate>();
    network->setReachabilityDelegate(delegate);
    EXPECT_FALSE(network->isNetworkConnected());
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return network->isNetworkConnected(); }, 10));
    EXPECT_EQ(delegate->calls, 1);

    struct Step {
        platform::sc::ReachabilityFlags flags;
        bool connected;
    } steps[] = {{0, false}, {F::Reachable | F::IsWWAN, true}, {F::Reachable | F::ConnectionRequired, false}};
    int expectedCalls = 1;
    for (const auto& s : steps) {
        ReachabilityTestHooks hooks;
        hooks.flagsOverride = s.flags;
        ReachabilityTestHooks::set(hooks);
        ++expectedCalls;
        ASSERT_TRUE(MainLoop::shared().runUntil([&] { return delegate->calls == expectedCalls; }, 10))
            << s.flags;
        EXPECT_EQ(network->isNetworkConnected(), s.connected);
    }
}

TEST_F(ReachabilityTest, ChangesAfterTheNetworkIsGoneAreDropped) {
    const int before = platform::sc::NetworkReachability::liveCount();
    auto network = ZUTNetwork::make("example.test");
    ASSERT_TRUE(network);
    network.reset();  // a first report may still be queued on the main loop
    ReachabilityTestHooks hooks;
    hooks.flagsOverride = 0;
    ReachabilityTestHooks::set(hooks);
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(platform::sc::NetworkReachability::liveCount(), before);
}

}  // namespace
}  // namespace zidedova
