#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Preferences.h"
#include "platform/foundation/UserDefaults.h"
#include "testing/TemporaryDeviceRoot.h"
#include "zidedova_core/utilities/ZUTUserDefaults.h"
#include "zidedova_core/utilities/tests/LogCapture.h"

namespace zidedova {
namespace {

using platform::Value;
using platform::dispatch::MainLoop;

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override { MainLoop::shared().runUntilIdle(); }
    void TearDown() override { MainLoop::shared().runUntilIdle(); }

    size_t flushes() const { return platform::CFPreferencesAppSynchronizeCallCount() - flushesAtStart; }

    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {"tmp", "Library/Preferences"}};
    platform::dispatch::ScopedClock clock{std::make_shared<platform::dispatch::ManualClock>()};
    size_t flushesAtStart = platform::CFPreferencesAppSynchronizeCallCount();
};

TEST_F(UserDefaultsTest, ABurstOfWritesIsFlushedOnceASecondAfterTheLast) {
    ZUTUserDefaults store("com.example.burst");
    for (int i = 0; i < 10; ++i) {
        store.setInteger(i, "k" + std::to_string(i));
        MainLoop::shared().advance(0.05);
    }
    EXPECT_EQ(store.integerForKey("k9"), 9);  // visible before the flush
    MainLoop::shared().advance(0.9);
    EXPECT_EQ(flushes(), 0u);
    MainLoop::shared().advance(0.2);
    EXPECT_EQ(flushes(), 1u);
    MainLoop::shared().advance(5);
    EXPECT_EQ(flushes(), 1u);
    // What was flushed is in the domain file.
    platform::UserDefaults check("com.example.burst");
    EXPECT_EQ(check.integerForKey("k3"), 3);
}

TEST_F(UserDefaultsTest, WritesFromAQueueThreadFlushOnTheMainLoop) {
    ZUTUserDefaults store("com.example.queue");
    platform::dispatch::DispatchQueue worker("worker");
    worker.sync([&] {
        store.setBool(true, "a");
        store.removeObjectForKey("b");
    });
    MainLoop::shared().advance(1.0);
    EXPECT_EQ(flushes(), 1u);
}

TEST_F(UserDefaultsTest, ReleasingAStoreWithAFlushPendingFlushesAtOnce) {
    {
        ZUTUserDefaults store("com.example.release");
        store.setDouble(2.5, "d");
    }
    EXPECT_EQ(flushes(), 1u);
    MainLoop::shared().advance(2);
    EXPECT_EQ(flushes(), 1u);
}

TEST_F(UserDefaultsTest, TypedReadsAnswerOnlyTheirOwnType) {
    ZUTUserDefaults store;
    store.setObject(Value("text"), "string");
    store.setObject(Value(42), "number");
    store.setObject(Value(true), "flag");
    store.setObject(Value::array({1, "two"}), "array");
    store.setObject(Value::dictionary({{"k", "v"}}), "dict");

    EXPECT_EQ(store.stringForKey("string"), "text");
    EXPECT_FALSE(store.stringForKey("number"));
    EXPECT_FALSE(store.arrayForKey("dict"));
    EXPECT_FALSE(store.dictionaryForKey("array"));
    EXPECT_EQ(store.arrayForKey("array")->size(), 2u);
    EXPECT_EQ(store.dictionaryForKey("dict")->at("k"), Value("v"));
    EXPECT_EQ(store.integerForKey("number"), 42);
    EXPECT_EQ(store.integerForKey("string"), 0);
    EXPECT_DOUBLE_EQ(store.doubleForKey("number"), 42.0);
    EXPECT_EQ(store.floatForKey("array"), 0.0f);
    EXPECT_TRUE(store.boolForKey("flag"));
    EXPECT_TRUE(store.boolForKey("number"));
    EXPECT_FALSE(store.boolForKey("string"));
    EXPECT_FALSE(store.boolForKey("absent"));
    EXPECT_EQ(store.integerForKey("absent"), 0);
}

TEST_F(UserDefaultsTest, RefusalsAreLoggedWithTheirCodesAndChangeNothing) {
    testing::LogCapture log;
    ZUTUserDefaults store("com.example.refusals");
    store.setObject(Value("kept"), "key");
    const size_t pending = MainLoop::shared().pendingCount();

    EXPECT_FALSE(store.objectForKey(""));
    EXPECT_TRUE(
        log.contains("<VodezuUtilities>[I-ZUT000001] Cannot get object for invalid user default key."));
    EXPECT_FALSE(store.setObject(Value("x"), ""));
    EXPECT_TRUE(log.contains(
        "[VodezuUtilities/UserDefaults][I-ZUT000002] Cannot set object for invalid user default key."));

    struct Case {
        const char* name;
        Value value;
    } invalid[] = {
        {"null inside an array", Value::array({1, Value()})},
        {"null deep in a dictionary",
         Value::dictionary({{"a", Value::dictionary({{"b", Value::array({Value()})}})}})},
    };
    for (const auto& c : invalid) {
        SCOPED_TRACE(c.name);
        log.clear();
        EXPECT_FALSE(store.setObject(c.value, "key"));
        EXPECT_TRUE(log.contains("[I-ZUT000003] Cannot set invalid object to user defaults."));
        EXPECT_EQ(store.stringForKey("key"), "kept");
    }
    EXPECT_EQ(MainLoop::shared().pendingCount(), pending);  // no flush scheduled by a refusal

    // The domain stays writable: a refused value never reached it.
    EXPECT_TRUE(store.setObject(Value::array({1, 2}), "other"));
    MainLoop::shared().advance(1.0);
    EXPECT_EQ(platform::UserDefaults("com.example.refusals").arrayForKey("other")->size(), 2u);
}

TEST_F(UserDefaultsTest, SuitesAreSeparateAndAnEmptySuiteIsTheAppDomain) {
    ZUTUserDefaults a("com.example.a");
    ZUTUserDefaults b("com.example.b");
    ZUTUserDefaults app("");
    a.setObject(Value("in a"), "shared");
    b.setObject(Value("in b"), "shared");
    app.setObject(Value("in app"), "shared");
    EXPECT_EQ(a.stringForKey("shared"), "in a");
    EXPECT_EQ(b.stringForKey("shared"), "in b");
    EXPECT_EQ(ZUTUserDefaults::standardUserDefaults().stringForKey("shared"), "in app");
    EXPECT_EQ(app.appNameRef(), platform::kCFPreferencesCurrentApplication);
    EXPECT_EQ(a.appNameRef(), "com.example.a");

    a.setObject(std::nullopt, "shared");
    EXPECT_FALSE(a.objectForKey("shared"));
    EXPECT_EQ(b.stringForKey("shared"), "in b");
}

TEST_F(UserDefaultsTest, ClearAllDataRemovesEveryKeyAndSkipsAnEmptyDomain) {
    ZUTUserDefaults store("com.example.clear");
    store.clearAllData();
    MainLoop::shared().advance(2);
    EXPECT_EQ(flushes(), 0u);

    store.setInteger(1, "a");
    store.setInteger(2, "b");
    store.clearAllData();
    EXPECT_EQ(platform::CFPreferencesCopyKeyList("com.example.clear").size(), 0u);
    MainLoop::shared().advance(1.0);
    EXPECT_EQ(flushes(), 1u);
}

}  // namespace
}  // namespace zidedova
