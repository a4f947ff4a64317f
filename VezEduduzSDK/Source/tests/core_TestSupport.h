#pragma once
// Fixture for the push client's facade tests: a fresh device directory with an Info.plist, a manual
// clock reading like seconds since 1970, the push service stand-in as the client's server, a console
// recorder, a launched application whose delegate hands push-token answers to the facade, and clean
// facade statics.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzRequest.h"
#include "demo/PushServiceStandIn.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/objc/Runtime.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Classes.h"
#include "platform/urlsession/URLSession.h"
#include "platform/usernotifications/UserNotificationCenter.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestHttpServer.h"

namespace core_test {

using namespace platform;
using namespace vezeduduz;
using dispatch::MainLoop;

inline constexpr const char* kAppId = "a1b2c3d4-0000-4000-8000-00000000abcd";
inline constexpr const char* kOtherAppId = "a1b2c3d4-0000-4000-8000-00000000ef01";
inline constexpr double kStart = 1'700'000'000.0;

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        tesmar_testing::resetProcessState();
        PlatformConfig::update([&](PlatformSettings& s) {
            s.systemVersion = OperatingSystemVersion{17, 0, 0};
            s.notificationAuthorizationAnswer = "granted";
        });
        writeInfo(Value::dictionary());
        console_ = DeviceEvents::addListener([this](const std::string& name, const Value& fields) {
            if (name != "console") return;
            std::lock_guard lock(mutex_);
            lines_.push_back(fields["text"].stringOr(""));
        });
        VezEduduzRequest::setServerURL(service.serverURL());
        VezEduduz::setLogLevel(VELogLevel::verbose, VELogLevel::none);
    }
    void TearDown() override {
        // Nothing of this test may outlive it: a registration still on its way would otherwise answer
        // after the reset and leave its re-attempt (and the group's time-out) on the shared main loop,
        // on this test's clock, where they hold up the next test's delayed blocks. So would any other
        // request still out (an open report, say), failing once the stand-in service has gone.
        settleRegistration();
        MainLoop::shared().runUntil([] { return platform::URLSession::tasksInFlight() == 0; }, 10);
        tesmar_testing::resetProcessState();
        drainMainLoop();
        VezEduduzRequest::setServerURL("");
    }

    void setSystemVersion(int major, int minor = 0) {
        PlatformConfig::update([&](PlatformSettings& s) { s.systemVersion = OperatingSystemVersion{major, minor, 0}; });
    }

    // A new bundle directory each time: a bundle reads its Info.plist once.
    void writeInfo(Value info) {
        info.set(kCFBundleIdentifierKey, "com.tesmar.app");
        info.set(kCFBundleVersionKey, "42");
        auto dir = root_ / ("Bundle" + std::to_string(infoCount_++));
        std::filesystem::create_directories(dir);
        ASSERT_TRUE(plist::writeFile(info, (dir / "Info.plist").string()).ok());
        Bundle::setMainBundlePath(dir.string());
    }

    // Launches the application with a delegate that hands the push-token answers to the facade, as the
    // delegate hooks will.
    void launchApplication() {
        std::string name = "CorePushDelegate" + std::to_string(counter()++);
        objc::ClassBuilder b(objc::Runtime::shared(), name, uikit::responderClass());
        b.method(objc::sel("application:didRegisterForRemoteNotificationsWithDeviceToken:"),
                 objc::makeImp([](objc::Object*, objc::Selector, ObjectHandle, Bytes token) {
                     VezEduduz::didRegisterForRemoteNotifications(token);
                 }));
        b.method(objc::sel("application:didFailToRegisterForRemoteNotificationsWithError:"),
                 objc::makeImp([](objc::Object*, objc::Selector, ObjectHandle, Error error) {
                     VezEduduz::handleDidFailRegisterForRemoteNotification(error);
                 }));
        b.method(objc::sel("application:didRegisterUserNotificationSettings:"),
                 objc::makeImp([](objc::Object*, objc::Selector, ObjectHandle, uikit::UserNotificationSettings s) {
                     VezEduduz::updateNotificationTypes(static_cast<int32_t>(s.types));
                 }));
        b.registerClass();
        auto app = uikit::launchApplication("UIApplication", name.c_str());
        ASSERT_TRUE(app.ok()) << app.error().description();
        MainLoop::shared().runUntilIdle();
    }

    // A new "process" on the same device: the statics go, the stored state stays.
    void relaunch() {
        settleRegistration();
        tesmar_testing::resetProcessState({"vezeduduz.statics"});
        VezEduduz::setLogLevel(VELogLevel::verbose, VELogLevel::none);
    }

    // The device forgets the user's notification answer, as a device whose user was never asked.
    void forgetNotificationAnswer() {
        std::filesystem::remove(root_ / "Library/UserNotifications/authorization.plist");
        std::filesystem::remove(root_ / "Library/Device/UserNotificationSettings.plist");
    }

    // Lets a registration that is queued or on the network finish, moving the manual clock over its
    // re-attempts and time-out, so its answer is handled before the statics are replaced.
    void settleRegistration() {
        auto& loop = MainLoop::shared();
        loop.runUntilIdle();
        for (int round = 0; round < 20 && VezEduduz::registrationInFlight(); ++round) {
            loop.runUntil([&] { return !VezEduduz::registrationInFlight() || loop.nextDeadline().has_value(); }, 10);
            if (!VezEduduz::registrationInFlight()) break;
            if (auto deadline = loop.nextDeadline()) loop.advance(std::max(0.0, *deadline - clock->now()));
        }
        loop.runUntilIdle();
        EXPECT_FALSE(VezEduduz::registrationInFlight()) << "a registration never finished";
    }

    // Runs every delayed block still waiting; after the reset they belong to no one.
    void drainMainLoop() {
        auto& loop = MainLoop::shared();
        loop.runUntilIdle();
        for (int round = 0; round < 100; ++round) {
            auto deadline = loop.nextDeadline();
            if (!deadline) break;
            loop.advance(std::max(0.0, *deadline - clock->now()));
        }
        EXPECT_FALSE(loop.nextDeadline().has_value()) << "a delayed block keeps re-posting itself";
    }

    bool waitFor(const std::function<bool()>& predicate, double seconds = 10) {
        return MainLoop::shared().runUntil(predicate, seconds);
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    size_t linesContaining(const std::string& text) const {
        size_t n = 0;
        for (auto& l : lines())
            if (l.find(text) != std::string::npos) ++n;
        return n;
    }

    static Value bodyOf(const tesmar_testing::RecordedRequest& r) {
        auto v = json::read(r.body);
        return v.ok() ? v.value() : Value();
    }
    static std::shared_ptr<UserDefaults> store() { return UserDefaults::standard(); }

    tesmar_testing::TemporaryDeviceRoot device{"push-core-test", {}};
    std::shared_ptr<dispatch::ManualClock> clock = std::make_shared<dispatch::ManualClock>(kStart);
    dispatch::ScopedClock scopedClock{clock};
    tesmar_demo::PushServiceStandIn service;

private:
    static std::atomic<int>& counter() {
        static std::atomic<int> c{0};
        return c;
    }
    std::filesystem::path root_ = device.path();
    int infoCount_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    DeviceEvents::Token console_;
};

}  // namespace core_test
