// The app-delegate proxy beside the push client's own hooks on the same delegate: whichever is
// installed first, every callback reaches the push client, the proxy's interceptors and the app's own
// implementation exactly once.
#include <gtest/gtest.h>

#include <filesystem>

#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzAppDelegate.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Classes.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"
#include "zidedova_core/utilities/ZUTAppDelegateSwizzler.h"

namespace {

namespace objc = platform::objc;
namespace uikit = platform::uikit;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;
using platform::Value;
using zidedova::ZUTAppDelegateSwizzler;
using Log = std::vector<std::string>;

constexpr const char* kSource = "application:openURL:sourceApplication:annotation:";
constexpr const char* kToken = "application:didRegisterForRemoteNotificationsWithDeviceToken:";

class ProxyBesidePushTest : public ::testing::Test {
protected:
    void SetUp() override {
        tesmar_testing::resetProcessState();
        ASSERT_TRUE(platform::plist::writeFile(Value::dictionary({{"CFBundleIdentifier", "com.example.tesmar"}}),
                                               root + "/Bundle/Info.plist")
                        .ok());
        platform::PlatformConfig::update([](platform::PlatformSettings& s) { s.deviceToken = platform::Bytes(32, 7); });
        uikit::registerClasses();
        vezeduduz::VezEduduz::setLogLevel(vezeduduz::VELogLevel::verbose, vezeduduz::VELogLevel::none);
        listener_ = platform::DeviceEvents::addListener([this](const std::string& name, const Value& fields) {
            const std::string text = fields["text"].stringOr("");
            if (name != "console") return;
            if (text.find("vezEduduzApplicationDidBecomeActive") != std::string::npos) log.push_back("push active");
            if (text.find("vezEduduzDidRegisterForRemoteNotifications") != std::string::npos)
                log.push_back("push token");
        });
    }
    void TearDown() override {
        platform::dispatch::MainLoop::shared().runUntilIdle();
        listener_ = platform::DeviceEvents::Token();
        tesmar_testing::resetProcessState();
    }

    tesmar_testing::TemporaryDeviceRoot device{"proxy-push-device", {"Bundle"}};
    const std::string root = device.path();

    objc::Class* delegateClass() {
        static int n = 0;
        auto& rt = objc::Runtime::shared();
        return objc::ClassBuilder(rt, "BesidePushDelegate" + std::to_string(n++), uikit::responderClass())
            .protocol(uikit::applicationDelegateProtocol())
            .method(sel("applicationDidBecomeActive:"),
                    objc::makeImp([this](Object*, Selector, ObjectHandle) { log.push_back("app active"); }))
            .method(sel(kToken), objc::makeImp([this](Object*, Selector, ObjectHandle, platform::Bytes) {
                        log.push_back("app token");
                    }))
            .method(sel(kSource), objc::makeImp([this](Object*, Selector, ObjectHandle, platform::URL,
                                                       std::optional<std::string>, Value) {
                        log.push_back("app url");
                        return false;
                    }))
            .registerClass();
    }
    ObjectHandle interceptor() {
        static int n = 0;
        auto& rt = objc::Runtime::shared();
        objc::Class* cls =
            objc::ClassBuilder(rt, "BesidePushInterceptor" + std::to_string(n++), rt.rootClass())
                .protocol(uikit::applicationDelegateProtocol())
                .method(sel(kSource), objc::makeImp([this](Object*, Selector, ObjectHandle, platform::URL,
                                                           std::optional<std::string>, Value) {
                            log.push_back("interceptor url");
                            return true;
                        }))
                .registerClass();
        return std::make_shared<Object>(cls);
    }

    Log log;
    platform::DeviceEvents::Token listener_;
};

TEST_F(ProxyBesidePushTest, BothHooksHoldInEitherOrder) {
    for (bool pushFirst : {true, false}) {
        SCOPED_TRACE(pushFirst ? "push client first" : "proxy first");
        tesmar_testing::resetProcessState({"zidedova.app-delegate-proxy", "vezeduduz.app-hooks"});
        uikit::Application::resetShared();
        auto keep = interceptor();
        ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(keep);
        objc::Class* cls = delegateClass();

        if (pushFirst) vezeduduz::loadApplicationCategory();
        auto app = uikit::launchApplication(nullptr, cls->name().c_str()).value();
        ObjectHandle delegate = app->delegate();
        std::string description = objc::send<std::string>(delegate, sel("description"));
        ZUTAppDelegateSwizzler::proxyOriginalDelegate();
        if (!pushFirst) {
            vezeduduz::loadApplicationCategory();
            app->setDelegate(delegate);  // the push client hooks the delegate the app sets
        }
        ASSERT_NE(vezeduduz::VezEduduzAppDelegate::delegateClass(), nullptr);
        EXPECT_EQ(ZUTAppDelegateSwizzler::proxiedDelegate(), delegate);
        EXPECT_EQ(objc::send<std::string>(delegate, sel("description")), description);
        platform::dispatch::MainLoop::shared().runUntilIdle();

        log.clear();
        EXPECT_TRUE(app->openURLInApp(platform::URL::string("tesmar://x").value(), Value::dictionary()));
        app->enterBackground();
        app->enterForeground();
        app->registerForRemoteNotifications();
        platform::dispatch::MainLoop::shared().runUntilIdle();
        EXPECT_EQ(log, (Log{"interceptor url", "app url", "push active", "app active", "push token", "app token"}));
        uikit::Application::resetShared();
    }
}

}  // namespace
