#include <gtest/gtest.h>

#include <thread>

#include "testing/TemporaryDeviceRoot.h"
#include "zidedova_core/utilities/ZUTAppEnvironmentUtil.h"
#include "zidedova_core/utilities/ZUTMutableDictionary.h"

namespace zidedova {
namespace {

using platform::Value;

TEST(MutableDictionaryTest, WritesAreSeenInOrderAndSnapshotsStayPut) {
    ZUTMutableDictionary d;
    d.setObject(Value("v1"), "k");
    EXPECT_EQ(d.objectForKey("k"), Value("v1"));
    auto snapshot = d.dictionary();
    d.setObject(std::nullopt, "k");
    EXPECT_FALSE(d.objectForKey("k"));
    EXPECT_EQ(snapshot.at("k"), Value("v1"));
    d.setObject(Value(1), "a");
    d.setObject(Value(2), "b");
    d.removeObjectForKey("a");
    EXPECT_EQ(d.count(), 1u);
    d.removeAllObjects();
    EXPECT_EQ(d.count(), 0u);
}

TEST(MutableDictionaryTest, ConditionalRemovalKeepsAnEntryWrittenSince) {
    ZUTMutableDictionary d;
    d.setObject(Value("old"), "k");
    auto snapshot = d.dictionary();
    d.setObject(Value("new"), "k");
    d.removeObjectForKey("k", snapshot.at("k"));
    EXPECT_EQ(d.objectForKey("k"), Value("new"));
    d.removeObjectForKey("k", Value("new"));
    EXPECT_EQ(d.objectForKey("k"), std::nullopt);
}

TEST(MutableDictionaryTest, PendingWritesOutliveTheDictionary) {
    for (int i = 0; i < 50; ++i) {
        auto d = std::make_unique<ZUTMutableDictionary>();
        for (int k = 0; k < 20; ++k) d->setObject(Value(k), std::to_string(k));
        d.reset();  // writes may still be queued
    }
}

TEST(MutableDictionaryTest, ConcurrentWritersAndReaders) {
    ZUTMutableDictionary d;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                d.setObject(Value(i), "t" + std::to_string(t) + "-" + std::to_string(i));
                (void)d.objectForKey("t0-0");
                (void)d.count();
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(d.count(), 400u);
}

class EnvironmentTest : public ::testing::Test {
protected:
    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {}};
    const std::string root = device.path();
};

TEST_F(EnvironmentTest, AppStoreInstallTable) {
    struct Case {
        const char* model;
        bool scInfo;
        bool appStore;
    } cases[] = {
        {"iPhone10,3", false, false},  // development build
        {"iPhone10,3", true, true},
        {"x86_64", true, false},  // simulator, whatever the bundle holds
        {"i386", true, false},
    };
    for (const auto& c : cases) {
        platform::PlatformConfig::update([&](platform::PlatformSettings& s) { s.deviceModel = c.model; });
        std::filesystem::remove_all(root + "/Bundle/SC_Info");
        if (c.scInfo) std::filesystem::create_directories(root + "/Bundle/SC_Info");
        EXPECT_EQ(ZUTAppEnvironmentUtil::isFromAppStore(), c.appStore) << c.model << " " << c.scInfo;
        EXPECT_EQ(ZUTAppEnvironmentUtil::isSimulator(),
                  std::string(c.model) == "x86_64" || std::string(c.model) == "i386");
    }
    EXPECT_FALSE(ZUTAppEnvironmentUtil::isAppExtension());
    EXPECT_FALSE(ZUTAppEnvironmentUtil::isAppStoreReceiptSandbox());
    EXPECT_EQ(ZUTAppEnvironmentUtil::systemVersion(), platform::PlatformConfig::systemVersion().string());
}

}  // namespace
}  // namespace zidedova
