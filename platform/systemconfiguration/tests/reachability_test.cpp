#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/systemconfiguration/Reachability.h"

using namespace platform;
using namespace platform::sc;
using platform::dispatch::DispatchQueue;
using platform::dispatch::DispatchSemaphore;
using platform::dispatch::MainLoop;

namespace {

constexpr double kWait = 10;

sockaddr_in ipv4(const char* text) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

class ReachabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ReachabilityTestHooks::reset();
        PlatformConfig::setNetworkUp(true);
    }
    void TearDown() override {
        ReachabilityTestHooks::reset();
        PlatformConfig::setNetworkUp(true);
        MainLoop::shared().runUntilIdle();
    }
};

TEST_F(ReachabilityTest, FlagsFollowTheNetworkSwitch) {
    auto zero = ipv4("0.0.0.0");
    auto loop = ipv4("127.0.0.1");
    sockaddr_in6 loop6;
    std::memset(&loop6, 0, sizeof loop6);
    loop6.sin6_family = AF_INET6;
    loop6.sin6_addr = in6addr_loopback;

    struct Case {
        const char* name;
        std::shared_ptr<NetworkReachability> target;
        ReachabilityFlags up;
    };
    const ReachabilityFlags local =
        ReachabilityFlag::Reachable | ReachabilityFlag::IsLocalAddress | ReachabilityFlag::IsDirect;
    std::vector<Case> cases = {
        {"zero address", NetworkReachability::createWithAddress(reinterpret_cast<sockaddr*>(&zero)), 2},
        {"loopback", NetworkReachability::createWithAddress(reinterpret_cast<sockaddr*>(&loop)), local},
        {"loopback v6", NetworkReachability::createWithAddress(reinterpret_cast<sockaddr*>(&loop6)), local},
        {"host name", NetworkReachability::createWithName("intranet.example.com"), 2},
        {"localhost", NetworkReachability::createWithName("localhost"), local},
    };
    for (auto& c : cases) {
        ASSERT_TRUE(c.target) << c.name;
        EXPECT_EQ(c.target->getFlags(), c.up) << c.name;
    }
    PlatformConfig::setNetworkUp(false);
    for (auto& c : cases) EXPECT_EQ(c.target->getFlags(), 0u) << c.name;
}

TEST_F(ReachabilityTest, BadTargetsAndTestHooks) {
    EXPECT_EQ(NetworkReachability::createWithAddress(nullptr), nullptr);
    EXPECT_EQ(NetworkReachability::createWithName(""), nullptr);
    sockaddr unixAddress{};
    unixAddress.sa_family = AF_UNIX;
    EXPECT_EQ(NetworkReachability::createWithAddress(&unixAddress), nullptr);

    int before = NetworkReachability::liveCount();
    {
        auto zero = ipv4("0.0.0.0");
        auto a = NetworkReachability::createWithAddress(reinterpret_cast<sockaddr*>(&zero));
        auto b = NetworkReachability::createWithAddress(reinterpret_cast<sockaddr*>(&zero));
        EXPECT_EQ(NetworkReachability::liveCount(), before + 2);

        ReachabilityTestHooks hooks;
        hooks.flagsOverride = ReachabilityFlag::Reachable | ReachabilityFlag::IsWWAN;
        ReachabilityTestHooks::set(hooks);
        EXPECT_EQ(a->getFlags(), ReachabilityFlag::Reachable | ReachabilityFlag::IsWWAN);
        hooks.flagsUnreadable = true;
        hooks.schedulingFails = true;
        hooks.creationFails = true;
        ReachabilityTestHooks::set(hooks);
        EXPECT_EQ(a->getFlags(), std::nullopt);
        EXPECT_FALSE(a->scheduleWithMainLoop());
        EXPECT_FALSE(a->isScheduled());
        EXPECT_EQ(NetworkReachability::createWithName("x"), nullptr);
    }
    EXPECT_EQ(NetworkReachability::liveCount(), before);
}

TEST_F(ReachabilityTest, CallbackRunsOnTheGivenQueueForBothDirections) {
    DispatchQueue queue("com.tesmar.test.reachability");
    auto zero = ipv4("0.0.0.0");
    auto target = NetworkReachability::createWithAddress(reinterpret_cast<sockaddr*>(&zero));
    std::mutex mutex;
    std::vector<std::pair<ReachabilityFlags, std::string>> seen;
    DispatchSemaphore called;
    target->setCallback([&](NetworkReachability& t, ReachabilityFlags flags) {
        std::lock_guard lock(mutex);
        seen.emplace_back(flags, DispatchQueue::currentLabel());
        called.signal();
    });
    ASSERT_TRUE(target->setDispatchQueue(queue));
    EXPECT_FALSE(called.wait(0.02));  // address targets report changes only

    PlatformConfig::setNetworkUp(false);
    ASSERT_TRUE(called.wait(kWait));
    PlatformConfig::setNetworkUp(true);
    ASSERT_TRUE(called.wait(kWait));
    {
        std::lock_guard lock(mutex);
        std::vector<std::pair<ReachabilityFlags, std::string>> expected = {{0, "com.tesmar.test.reachability"},
                                                                           {2, "com.tesmar.test.reachability"}};
        EXPECT_EQ(seen, expected);
    }

    ASSERT_TRUE(target->setDispatchQueue(std::nullopt));
    PlatformConfig::setNetworkUp(false);
    queue.sync([] {});
    EXPECT_FALSE(called.wait(0.02));
}

TEST_F(ReachabilityTest, MainLoopScheduleReportsNamesAtOnceAndStopsOnRelease) {
    auto target = NetworkReachability::createWithName("push.example.com");
    std::vector<ReachabilityFlags> seen;
    target->setCallback([&](NetworkReachability&, ReachabilityFlags flags) {
        EXPECT_TRUE(MainLoop::isMainThread());
        seen.push_back(flags);
    });
    ASSERT_TRUE(target->scheduleWithMainLoop());
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(seen, std::vector<ReachabilityFlags>{2});

    PlatformConfig::setNetworkUp(false);
    MainLoop::shared().runUntilIdle();
    ReachabilityTestHooks hooks;
    hooks.flagsOverride = ReachabilityFlag::Reachable | ReachabilityFlag::ConnectionRequired;
    ReachabilityTestHooks::set(hooks);  // a flag change without a network switch
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(seen, (std::vector<ReachabilityFlags>{2, 0, 6}));

    ReachabilityTestHooks::reset();  // back to 0: the network is still down
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(seen, (std::vector<ReachabilityFlags>{2, 0, 6, 0}));

    PlatformConfig::setNetworkUp(true);  // queued, then the target goes away before the loop runs
    target.reset();
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(seen.size(), 4u);
}

}  // namespace
