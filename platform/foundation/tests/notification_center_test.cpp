#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/foundation/NotificationCenter.h"

namespace platform {
namespace {

using Token = NotificationCenter::ObserverToken;

TEST(NotificationCenterTest, DeliversInRegistrationOrderWithNameAndObjectFilters) {
    NotificationCenter center;
    int senderA = 0, senderB = 0;
    std::vector<std::string> calls;
    auto t1 = center.addObserver("ping", nullptr, [&](const Notification& n) { calls.push_back("any-sender"); });
    auto t2 =
        center.addObserver(std::nullopt, nullptr, [&](const Notification& n) { calls.push_back("all:" + n.name); });
    auto t3 = center.addObserver("ping", &senderA, [&](const Notification& n) { calls.push_back("from-A"); });
    auto t4 = center.addObserver("pong", nullptr, [&](const Notification& n) { calls.push_back("pong"); });

    center.postNotificationName("ping", &senderA, Value::dictionary({{"k", 1}}));
    EXPECT_EQ(calls, (std::vector<std::string>{"any-sender", "all:ping", "from-A"}));
    calls.clear();
    center.postNotificationName("ping", &senderB);
    EXPECT_EQ(calls, (std::vector<std::string>{"any-sender", "all:ping"}));
    calls.clear();
    center.postNotificationName("other");
    EXPECT_EQ(calls, (std::vector<std::string>{"all:other"}));

    Value seen;
    auto t5 = center.addObserver("info", nullptr, [&](const Notification& n) { seen = n.userInfo; });
    center.postNotificationName("info", nullptr, Value::dictionary({{"k", "v"}}));
    EXPECT_EQ(seen["k"].stringOr(""), "v");
}

TEST(NotificationCenterTest, RemovalDuringPostIsHonoured) {
    NotificationCenter center;
    std::vector<int> calls;
    Token second;
    Token self;
    auto first = center.addObserver("n", nullptr, [&](const Notification&) {
        calls.push_back(1);
        second.remove();  // removed before its turn: must not be called
    });
    second = center.addObserver("n", nullptr, [&](const Notification&) { calls.push_back(2); });
    self = center.addObserver("n", nullptr, [&](const Notification&) {
        calls.push_back(3);
        self.remove();  // removing itself while running is safe
    });
    center.postNotificationName("n");
    center.postNotificationName("n");
    EXPECT_EQ(calls, (std::vector<int>{1, 3, 1}));
    EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenterTest, PostingAndAddingFromInsideAnObserver) {
    NotificationCenter center;
    std::vector<std::string> calls;
    Token late;
    auto outer = center.addObserver("outer", nullptr, [&](const Notification&) {
        calls.push_back("outer");
        center.postNotificationName("inner");
        // Added during a post: not part of that post.
        if (!late.active())
            late = center.addObserver("outer", nullptr, [&](const Notification&) { calls.push_back("late"); });
    });
    auto inner = center.addObserver("inner", nullptr, [&](const Notification&) { calls.push_back("inner"); });
    center.postNotificationName("outer");
    EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner"}));
    calls.clear();
    center.postNotificationName("outer");
    EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner", "late"}));
}

TEST(NotificationCenterTest, TokensRemoveOnDestructionAndMayOutliveTheCenter) {
    int calls = 0;
    NotificationCenter& center = NotificationCenter::defaultCenter();
    {
        auto token = center.addObserver("scoped-test", nullptr, [&](const Notification&) { ++calls; });
        center.postNotificationName("scoped-test");
        Token moved = std::move(token);
        EXPECT_FALSE(token.active());
        center.postNotificationName("scoped-test");
    }
    center.postNotificationName("scoped-test");
    EXPECT_EQ(calls, 2);

    Token orphan;
    {
        NotificationCenter shortLived;
        orphan = shortLived.addObserver("x", nullptr, [](const Notification&) {});
    }
    orphan.remove();  // the center is gone: harmless
    EXPECT_FALSE(orphan.active());
}

TEST(NotificationCenterTest, ConcurrentPostsAddsAndRemoves) {
    NotificationCenter center;
    std::atomic<int> delivered{0};
    auto steady = center.addObserver("tick", nullptr, [&](const Notification&) { delivered++; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto temp = center.addObserver("tick", nullptr, [](const Notification&) {});
                center.postNotificationName("tick");
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(delivered.load(), 800);
    EXPECT_EQ(center.observerCount(), 1u);
}

}  // namespace
}  // namespace platform
