// The crash reporter as a kit: what it tells the kit platform about itself, and a start that
// happens once however often and from wherever it is asked for.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crash_reporter/Dodoredized.h"
#include "kit_platform/Verira.h"
#include "kit_platform/Vizized.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PropertyList.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

using platform::Value;
using platform::objc::Object;
using platform::objc::sel;

TEST(Dodoredized, IsAKitThatNamesItsVersions) {
    auto* cls = dodoredized::runtimeClass();
    ASSERT_NE(cls, nullptr);
    EXPECT_EQ(cls->name(), "Dodoredized");
    EXPECT_TRUE(verira::isKit(cls));
    auto* object = static_cast<Object*>(cls);
    EXPECT_EQ(platform::objc::send<std::string>(object, sel("bundleIdentifier")), dodoredized::kBundleIdentifier);
    EXPECT_FALSE(dodoredized::Dodoredized::bundleIdentifier().empty());
    EXPECT_EQ(platform::objc::send<std::string>(object, sel("kitDisplayVersion")), "3.11.0");
    EXPECT_EQ(platform::objc::send<std::string>(object, sel("kitBuildVersion")), "133");
    // Registering again keeps the one class.
    dodoredized::registerClasses();
    EXPECT_EQ(dodoredized::runtimeClass(), cls);
}

// The shared instance starts once per process: through the kit platform, again through the class,
// and from several threads at once. One "kit.start" event tells the device.
void startsOnce() {
    namespace fs = std::filesystem;
    tesmar_testing::TemporaryDeviceRoot device("dodoredized-test", {"Bundle"});
    fs::path bundle = fs::path(device.path()) / "Bundle";
    Value info = Value::dictionary({{"CFBundleIdentifier", "com.example.crash"},
                                    {verira::kInfoPlistKey, Value::dictionary({{verira::kAPIKeyKey, "k"}})}});
    ASSERT_TRUE(platform::plist::writeFile(info, (bundle / "Info.plist").string()).ok());
    platform::Bundle::setMainBundlePath(bundle.string());

    std::vector<Value> starts;
    int eventKitStarts = 0;
    std::mutex mutex;
    auto token = platform::DeviceEvents::addListener([&](const std::string& event, const Value& fields) {
        std::lock_guard lock(mutex);
        if (event == "kit.start" && fields["kit"] == Value("Dodoredized")) starts.push_back(fields);
        if (event == "kit.start" && fields["kit"] == Value("Vizized")) ++eventKitStarts;
    });
    auto instance = dodoredized::Dodoredized::sharedInstance();
    EXPECT_EQ(dodoredized::Dodoredized::sharedInstance(), instance);
    EXPECT_FALSE(instance->isStarted());

    tesmar_testing::resetProcessState({"verira"});
    auto sdk = verira::Verira::with({dodoredized::runtimeClass()});
    EXPECT_TRUE(instance->isStarted());
    // The crash reporter brings the event kit, which starts once on its own queue whoever asks.
    EXPECT_EQ(sdk->kits(), (std::vector<platform::objc::Class*>{dodoredized::runtimeClass(), vizized::runtimeClass()}));
    EXPECT_FALSE(vizized::Vizized::startWithBetaToken("token"));
    platform::objc::send<void>(static_cast<Object*>(vizized::runtimeClass()), sel("startWithBetaToken:"), Value("t"));
    vizized::Vizized::eventQueue().sync([] {});
    EXPECT_TRUE(vizized::Vizized::isStarted());
    EXPECT_EQ(vizized::Vizized::betaToken(), std::nullopt);
    EXPECT_EQ(vizized::Vizized::eventQueue().label(), "io.vizized.EventQueue");

    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([] { dodoredized::Dodoredized::initializeIfNeeded(); });
    for (auto& t : threads) t.join();
    platform::objc::send<void>(static_cast<Object*>(dodoredized::runtimeClass()), sel("initializeIfNeeded"));
    EXPECT_FALSE(instance->start());

    EXPECT_EQ(instance->startCount(), 1);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(eventKitStarts, 1);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0]["kit"], Value("Dodoredized"));
        EXPECT_EQ(starts[0]["version"], Value("3.11.0"));
        EXPECT_EQ(starts[0]["build"], Value("133"));
    }
    token = {};
    tesmar_testing::resetProcessState();
}

// In a process of its own: once started, the shared instance (and the crash capture it installs) stays
// for the life of the process, as it would in the app.
TEST(Dodoredized, SharedInstanceStartsOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            startsOnce();
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
