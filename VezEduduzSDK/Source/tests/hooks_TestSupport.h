#pragma once
// Fixture for the hook and open tests: the push-client fixture with the application category loaded
// (undone afterwards), and helpers to make delegate classes and push-service messages.
#include <string>
#include <vector>

#include "VezEduduzSDK/Source/VENotification.h"
#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VezEduduzAppDelegate.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "VezEduduzSDK/Source/VezEduduzUNUserNotificationCenter.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/usernotifications/Delivery.h"

namespace hooks_test {

using namespace core_test;
namespace objc = platform::objc;
namespace un = platform::usernotifications;

class HooksTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        loadApplicationCategory();
        faultsAtStart_ = dispatch::onceHandlerFaultCount();
    }
    void TearDown() override {
        MainLoop::shared().runUntilIdle();
        EXPECT_EQ(dispatch::onceHandlerFaultCount(), faultsAtStart_) << "a completion was called twice or dropped";
        // The hooks go before the registration still on its way is settled.
        unloadHooks();
        tesmar_testing::resetProcessState({"vezeduduz.notification-helper"});
        CoreTest::TearDown();
    }

    // Undoes every exchange made by loadApplicationCategory() on the application and the notification
    // centre and forgets the hooked classes, so the next load starts afresh. Classes that received
    // injections keep them (tests use a new delegate class each time).
    static void unloadHooks() {
        tesmar_testing::resetProcessState(
            {"vezeduduz.app-hooks", "vezeduduz.center-hooks", "vezeduduz.notification-handling"});
    }

    static std::string uniqueName(const std::string& stem) {
        static std::atomic<int> n{0};
        return stem + std::to_string(++n);
    }

    // A class under UIResponder (or `super`) with the given methods, declaring both delegate protocols as
    // an application's delegate classes do.
    objc::Class* makeClass(const std::string& stem, std::vector<std::pair<const char*, objc::Imp>> methods,
                           objc::Class* super = nullptr) {
        objc::ClassBuilder b(objc::Runtime::shared(), uniqueName(stem), super ? super : uikit::responderClass());
        b.protocol(uikit::applicationDelegateProtocol()).protocol(un::userNotificationCenterDelegateProtocol());
        for (auto& [name, imp] : methods) b.method(objc::sel(name), imp);
        return b.registerClass();
    }

    // Launches with a delegate of `cls`, then starts the push client (display type 2, no auto prompt).
    void launchWith(objc::Class* cls) {
        auto app = uikit::launchApplication("UIApplication", cls->name().c_str());
        ASSERT_TRUE(app.ok()) << app.error().description();
        MainLoop::shared().runUntilIdle();
    }
    void startPushClient() {
        VezEduduz::initWithLaunchOptions(
            Value(), Value(kAppId), [this](std::shared_ptr<VENotification> n) { record("push-received " + idOf(*n)); },
            [this](std::shared_ptr<VENotificationOpenedResult> r) {
                std::lock_guard lock(eventsMutex_);
                opened.push_back(r);
                events.push_back("push-opened");
            },
            Value::dictionary({{kOSSettingsKeyAutoPrompt, false}}));
        VezEduduz::setInFocusDisplayType(2);
        MainLoop::shared().runUntilIdle();
    }

    static std::string idOf(const VENotification& n) { return n.payload()->notificationID().value_or("?"); }

    static Value message(const std::string& id, const std::string& alert = "Hello") {
        Value aps = Value::dictionary({{"badge", 3}});
        if (!alert.empty()) aps.set("alert", alert);
        return Value::dictionary(
            {{"aps", aps},
             {"custom", Value::dictionary({{"i", id},
                                           {"u", "https://example.com/news/" + id},
                                           {"a", Value::dictionary({{"targetUrl", "https://site/" + id}})}})}});
    }

    void record(const std::string& event) {
        std::lock_guard lock(eventsMutex_);
        events.push_back(event);
    }
    std::vector<std::string> takeEvents() {
        std::lock_guard lock(eventsMutex_);
        auto out = events;
        events.clear();
        return out;
    }

    std::mutex eventsMutex_;
    std::vector<std::string> events;
    std::vector<std::shared_ptr<VENotificationOpenedResult>> opened;

private:
    size_t faultsAtStart_ = 0;
};

}  // namespace hooks_test
