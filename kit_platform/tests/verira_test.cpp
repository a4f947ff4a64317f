// The kit platform's start: the first call alone counts, no API key starts nothing, a class that is
// not a kit is refused, and every kit is started once.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit_platform/Verira.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UUID.h"
#include "testing/FullDisk.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;
using platform::objc::Class;
using platform::objc::makeImp;
using platform::objc::Object;
using platform::objc::Runtime;
using platform::objc::sel;
using platform::objc::Selector;

std::atomic<int> countingKitStarts{0};
std::atomic<int> otherKitStarts{0};

Class* countingKit() {
    auto& rt = Runtime::shared();
    if (Class* existing = rt.lookUpClass("VeriraTestCountingKit")) return existing;
    platform::objc::ClassBuilder builder(rt, "VeriraTestCountingKit", rt.rootClass());
    builder.protocol(verira::kitProtocol()).classMethod(sel("initializeIfNeeded"), makeImp([](Object*, Selector) {
                                                            countingKitStarts.fetch_add(1);
                                                        }));
    return builder.registerClass();
}

Class* otherKit() {
    auto& rt = Runtime::shared();
    if (Class* existing = rt.lookUpClass("VeriraTestOtherKit")) return existing;
    platform::objc::ClassBuilder builder(rt, "VeriraTestOtherKit", rt.rootClass());
    builder.protocol(verira::kitProtocol()).classMethod(sel("initializeIfNeeded"), makeImp([](Object*, Selector) {
                                                            otherKitStarts.fetch_add(1);
                                                        }));
    return builder.registerClass();
}

Class* notAKit() {
    auto& rt = Runtime::shared();
    if (Class* existing = rt.lookUpClass("VeriraTestNotAKit")) return existing;
    platform::objc::ClassBuilder builder(rt, "VeriraTestNotAKit", rt.rootClass());
    builder.classMethod(sel("initializeIfNeeded"), makeImp([](Object*, Selector) { otherKitStarts.fetch_add(100); }));
    return builder.registerClass();
}

class VeriraStart : public ::testing::Test {
protected:
    void SetUp() override {
        tesmar_testing::resetProcessState();
        countingKitStarts = 0;
        otherKitStarts = 0;
        token_ = platform::DeviceEvents::addListener([this](const std::string& event, const Value& fields) {
            if (event != "console") return;
            std::lock_guard lock(consoleMutex_);
            console_.push_back(fields["text"].stringOr(""));
        });
    }
    void TearDown() override {
        token_ = {};
        tesmar_testing::resetProcessState();
    }

    // An Info.plist whose "Verira" section is `section` (absent when null).
    void writeInfo(const Value& section) {
        Value info = Value::dictionary({{"CFBundleIdentifier", "com.example.verira"}});
        if (!section.isNull()) info.set(verira::kInfoPlistKey, section);
        ASSERT_TRUE(platform::plist::writeFile(info, (bundle_ / "Info.plist").string()).ok());
        platform::Bundle::setMainBundlePath(bundle_.string());
    }

    int multipleCallMessages() const {
        int n = 0;
        std::lock_guard lock(consoleMutex_);
        for (const auto& line : console_) n += line == verira::kMultipleCallsMessage;
        return n;
    }

    tesmar_testing::TemporaryDeviceRoot device_{"verira-test", {"Bundle"}};
    fs::path bundle_ = fs::path(device_.path()) / "Bundle";
    platform::DeviceEvents::Token token_;
    mutable std::mutex consoleMutex_;  // the kits log from their queues
    std::vector<std::string> console_;
};

TEST_F(VeriraStart, OnlyTheFirstCallStartsKits) {
    writeInfo(Value::dictionary({{verira::kAPIKeyKey, "key-1"}}));
    auto sdk = verira::Verira::with({countingKit()});
    EXPECT_EQ(sdk, verira::Verira::sharedSDK());
    EXPECT_EQ(countingKitStarts.load(), 1);
    EXPECT_EQ(sdk->APIKey(), "key-1");
    EXPECT_EQ(multipleCallMessages(), 0);

    // A later call, even with another kit, starts nothing and says so each time.
    EXPECT_EQ(verira::Verira::with({otherKit(), countingKit()}), sdk);
    EXPECT_EQ(verira::Verira::with({}), sdk);
    EXPECT_EQ(countingKitStarts.load(), 1);
    EXPECT_EQ(otherKitStarts.load(), 0);
    EXPECT_EQ(multipleCallMessages(), 2);
    EXPECT_EQ(sdk->kits(), std::vector<Class*>{countingKit()});
}

TEST_F(VeriraStart, WithoutAnAPIKeyNothingStarts) {
    struct Case {
        const char* label;
        Value section;
    } cases[] = {
        {"no Verira section", Value()},
        {"no APIKey", Value::dictionary({{"Other", "x"}})},
        {"an empty APIKey", Value::dictionary({{verira::kAPIKeyKey, ""}})},
        {"a number for APIKey", Value::dictionary({{verira::kAPIKeyKey, int64_t(42)}})},
        {"a section that is not a dictionary", Value("key")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tesmar_testing::resetProcessState({"verira"});
        countingKitStarts = 0;
        writeInfo(c.section);
        auto sdk = verira::Verira::with({countingKit()});
        EXPECT_EQ(countingKitStarts.load(), 0);
        EXPECT_FALSE(sdk->APIKey());
        EXPECT_TRUE(sdk->kits().empty());
    }
}

TEST_F(VeriraStart, AClassThatIsNotAKitRaisesAndNothingStarts) {
    writeInfo(Value::dictionary({{verira::kAPIKeyKey, "key-1"}}));
    EXPECT_THROW(verira::Verira::with({countingKit(), notAKit()}), verira::VRRException);
    EXPECT_EQ(countingKitStarts.load(), 0);
    EXPECT_EQ(otherKitStarts.load(), 0);

    tesmar_testing::resetProcessState({"verira"});
    EXPECT_THROW(verira::Verira::with({nullptr}), verira::VRRException);
    // A metaclass is not a kit either.
    tesmar_testing::resetProcessState({"verira"});
    EXPECT_THROW(verira::Verira::with({countingKit()->metaclass()}), verira::VRRException);
    EXPECT_EQ(countingKitStarts.load(), 0);
}

TEST_F(VeriraStart, EachKitStartsOnceEvenWhenNamedTwice) {
    writeInfo(Value::dictionary({{verira::kAPIKeyKey, "key-1"}}));
    auto sdk = verira::Verira::with({countingKit(), otherKit(), countingKit()});
    EXPECT_EQ(countingKitStarts.load(), 1);
    EXPECT_EQ(otherKitStarts.load(), 1);
    EXPECT_EQ(sdk->kits(), (std::vector<Class*>{countingKit(), otherKit()}));
}

TEST_F(VeriraStart, RacingFirstCallsStartTheKitOnce) {
    writeInfo(Value::dictionary({{verira::kAPIKeyKey, "key-1"}}));
    std::vector<std::thread> threads;
    Class* kit = countingKit();  // registered before the race: only the start is under test
    for (int i = 0; i < 8; ++i) threads.emplace_back([kit] { verira::Verira::with({kit}); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(countingKitStarts.load(), 1);
    EXPECT_EQ(multipleCallMessages(), 7);
}

TEST_F(VeriraStart, DataCollectionOffStartsNoKitAndAsksForNothing) {
    struct Case {
        const char* label;
        Value flag;  // null: absent
        bool enabled;
    } cases[] = {
        {"absent", Value(), true},
        {"true", Value(true), true},
        {"false", Value(false), false},
        {"a string that is not a boolean", Value("NO"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tesmar_testing::resetProcessState({"verira"});
        countingKitStarts = 0;
        Value section = Value::dictionary({{verira::kAPIKeyKey, "key-1"}});
        if (!c.flag.isNull()) section.set(verira::kDataCollectionKey, c.flag);
        writeInfo(section);
        auto sdk = verira::Verira::with({countingKit()});
        EXPECT_EQ(sdk->isDataCollectionEnabled(), c.enabled);
        EXPECT_EQ(countingKitStarts.load(), c.enabled ? 1 : 0);
        EXPECT_EQ(sdk->settingsController() != nullptr, c.enabled);
        EXPECT_FALSE(sdk->executionIdentifier().empty());
    }
}

TEST_F(VeriraStart, TheInstallationIdentifierOutlivesLaunchesTheExecutionIdentifierDoesNot) {
    tesmar_testing::TemporaryDeviceRoot device("verira-ids");
    writeInfo(Value::dictionary({{verira::kAPIKeyKey, "key-1"}, {verira::kDataCollectionKey, false}}));
    auto launch = [] {
        tesmar_testing::resetProcessState({"verira"});
        auto sdk = verira::Verira::with({countingKit()});
        platform::PendingWrites::flushAll();  // the launch ends: what it left to write goes now
        return std::make_pair(sdk->installationIdentifier(), sdk->executionIdentifier());
    };
    auto [install1, exec1] = launch();
    auto [install2, exec2] = launch();
    EXPECT_TRUE(platform::UUID::fromString(install1));
    EXPECT_TRUE(platform::UUID::fromString(exec1));
    EXPECT_EQ(install1, install2);
    EXPECT_NE(exec1, exec2);
    EXPECT_NE(install1, exec1);

    // A damaged file gives way to a new identifier, which is then kept.
    fs::path file = fs::path(device.path()) / "Library/Application Support/io.verira/installation-id";
    ASSERT_TRUE(fs::exists(file));
    std::ofstream(file) << "not an identifier";
    auto [install3, exec3] = launch();
    auto [install4, exec4] = launch();
    EXPECT_TRUE(platform::UUID::fromString(install3));
    EXPECT_NE(install3, install1);
    EXPECT_EQ(install4, install3);

    // On a full disk the new identifier is kept in memory, answered again in the same run, and written
    // once there is room, so the next launch has it too.
    fs::remove(file);
    std::string install5;
    {
        tesmar_testing::FullDisk full;
        install5 = launch().first;
        EXPECT_EQ(launch().first, install5);
        EXPECT_FALSE(fs::exists(file));
    }
    platform::PendingWrites::flushAll();
    std::string stored;
    std::ifstream(file) >> stored;
    EXPECT_EQ(stored, install5);
    EXPECT_NE(install5, install3);
    EXPECT_EQ(launch().first, install5);
    tesmar_testing::resetProcessState({"foundation.pending-writes"});
}

}  // namespace
