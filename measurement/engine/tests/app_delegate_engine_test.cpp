#include <gtest/gtest.h>

#include "measurement/engine/MSRAnalytics.h"
#include "measurement/engine/MSRAppDelegateInterceptor.h"
#include "measurement/engine/internal/MSRAnalyticsIdle.h"
#include "measurement/engine/internal/MSRAppDelegateInterceptorInstance.h"
#include "measurement/reporting/MSRScreenViewReporter.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Classes.h"
#include "testing/ProcessReset.h"
#include "zidedova_core/DOREdozadedo.h"
#include "zidedova_core/ZDVConfiguration.h"
#include "zidedova_core/tests/CoreFixture.h"
#include "zidedova_core/utilities/ZUTAppDelegateSwizzler.h"

namespace measurement {
namespace {

namespace objc = platform::objc;
namespace uikit = platform::uikit;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;
using platform::URL;
using platform::Value;
using zidedova::DOREdozadedo;
using zidedova::ZDVAnalyticsEvent;
using zidedova::ZODOzi;

// The application's own delegate: answers universal links itself and has no openURL:options:.
objc::Class* appDelegateClass(std::vector<std::string>* heard) {
    static int n = 0;
    auto& rt = objc::Runtime::shared();
    return objc::ClassBuilder(rt, "EngineTestDelegate" + std::to_string(n++), uikit::responderClass())
        .protocol(uikit::applicationDelegateProtocol())
        .method(sel("application:continueUserActivity:restorationHandler:"),
                objc::makeImp([heard](Object*, Selector, ObjectHandle, std::shared_ptr<uikit::UserActivity>,
                                      uikit::RestorationHandler) {
                    heard->push_back("delegate activity");
                    return true;
                }))
        .registerClass();
}

class EngineDelegateTest : public zidedova::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        registerClasses();
        zidedova::registerClasses();
        tesmar_testing::resetProcessState({"measurement.analytics", "measurement.monitor"});
        listener = DOREdozadedo::addLogEventListener([this](const std::vector<ZDVAnalyticsEvent>& events) {
            std::lock_guard lock(mutex);
            for (const auto& e : events) logged.push_back(e.name);
        });
    }
    void TearDown() override {
        MSRAnalyticsWaitForIdle();
        platform::dispatch::MainLoop::shared().runUntilIdle();
        CoreTest::TearDown();
    }
    void configure() {
        writeInfo({});
        writeOptions(validOptions());
        ZODOzi::configure();
    }
    std::vector<std::string> events() {
        EXPECT_TRUE(MSRAnalyticsWaitForIdle());
        std::lock_guard lock(mutex);
        return logged;
    }

    std::mutex mutex;
    std::vector<std::string> logged;
    zidedova::ZDVLogEventListenerHandle listener;
};

TEST_F(EngineDelegateTest, StartUpProxiesTheDelegateSoURLsAndActivitiesReachTheEngine) {
    platform::ProcessInfo::processInfo().setArguments(std::vector<std::string>{"Tesmar", "-MSRAnalyticsDebugEnabled"});
    zidedova::ZUTLoggerForceDebug();
    std::vector<std::string> heard;
    auto app = uikit::launchApplication(nullptr, appDelegateClass(&heard)->name().c_str()).value();
    std::vector<std::string> opened;
    DOREdozadedo::setOpenURLListener([&opened](const std::string& url) { opened.push_back(url); });
    configure();
    ASSERT_TRUE(MSRAppDelegateInterceptor());
    EXPECT_EQ(zidedova::ZUTAppDelegateSwizzler::proxiedDelegate(), app->delegate());

    // No openURL:options: on the delegate: the platform falls back to the source-application callback
    // the proxy added, and the engine hears it.
    EXPECT_FALSE(app->openURLInApp(URL::string("tesmar://promo?utm_campaign=winter").value(),
                                   Value::dictionary({{uikit::kOpenURLOptionsSourceApplicationKey, "com.mail"}})));
    EXPECT_EQ(opened, std::vector<std::string>{"tesmar://promo?utm_campaign=winter"});

    auto activity = std::make_shared<uikit::UserActivity>();
    activity->activityType = uikit::kUserActivityTypeBrowsingWeb;
    activity->webpageURL = URL::string("https://intranet.example/page");
    EXPECT_TRUE(app->continueUserActivity(activity));  // the delegate's own answer still counts
    auto bare = std::make_shared<uikit::UserActivity>();
    bare->activityType = "com.example.handoff";
    EXPECT_TRUE(app->continueUserActivity(bare));
    MSRAnalyticsWaitForIdle();
    EXPECT_EQ(heard, (std::vector<std::string>{"delegate activity", "delegate activity"}));
    EXPECT_EQ(logs.count("[I-ACS023011] Handling user activity, https://intranet.example/page"), 1u);
    EXPECT_EQ(logs.count("I-ACS023011"), 1u);  // the activity without a page URL is ignored
    EXPECT_TRUE(logs.contains("[I-ACS023010] Handling open URL, tesmar://promo?utm_campaign=winter"));
}

TEST_F(EngineDelegateTest, BackgroundSessionCompletionRunsOnceWhenNobodyOwnsTheSession) {
    std::vector<std::string> heard;
    auto app = uikit::launchApplication(nullptr, appDelegateClass(&heard)->name().c_str()).value();
    configure();
    int calls = 0;
    EXPECT_TRUE(app->handleEventsForBackgroundURLSession("com.example.other", [&calls] { ++calls; }));
    platform::dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(calls, 1);
}

TEST_F(EngineDelegateTest, CollectionSwitchedOffAtRunTimeLogsNothingMore) {
    configure();
    auto config = zidedova::DOREdozadedoConfiguration::sharedInstance();
    DOREdozadedo::logEventWithName("before", Value::dictionary());
    config->setAnalyticsCollectionEnabled(false);
    EXPECT_FALSE(MSRAnalytics::isMeasurementEnabled());
    DOREdozadedo::logEventWithName("while_off", Value::dictionary());
    DOREdozadedo::logInternalEventWithOrigin("auto", "_internal_off", Value::dictionary());
    config->setAnalyticsCollectionEnabled(true, false);
    DOREdozadedo::logEventWithName("after", Value::dictionary());
    EXPECT_EQ(events(), (std::vector<std::string>{"before", "after"}));

    config->setMinimumSessionInterval(20);
    config->setSessionTimeoutInterval(900);
    EXPECT_EQ(MSRAnalytics::minimumSessionInterval(), 20);
    EXPECT_EQ(MSRAnalytics::sessionTimeoutInterval(), 900);
}

TEST_F(EngineDelegateTest, TheStoredSwitchDecidesAtTheNextStart) {
    struct Case {
        std::optional<int64_t> stored;
        std::optional<bool> plistEnabled;
        bool enabled;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, true}, {2, std::nullopt, false}, {1, false, true},
        {std::nullopt, false, false},       {2, true, false},
    };
    for (const auto& c : cases) {
        tesmar_testing::resetProcessState({"measurement.analytics", "zidedova.apps", "zidedova.options"});
        auto defaults = platform::UserDefaults::standard();
        if (c.stored)
            (void)defaults->setInteger(*c.stored, zidedova::kMeasurementEnabledStateKey);
        else
            (void)defaults->removeObjectForKey(zidedova::kMeasurementEnabledStateKey);
        platform::ValueDictionary options = validOptions();
        if (c.plistEnabled) options["ZIDEDOVA_ANALYTICS_COLLECTION_ENABLED"] = *c.plistEnabled;
        writeInfo({});
        writeOptions(options);
        ZODOzi::configure();
        EXPECT_EQ(MSRAnalytics::isMeasurementEnabled(), c.enabled)
            << "stored " << c.stored.value_or(0) << " plist " << c.plistEnabled.value_or(true);
    }
}

TEST_F(EngineDelegateTest, MeasurementShimReadsUserAttributes) {
    configure();
    DOREdozadedo::setUserPropertyString(Value("blue"), "favorite");
    std::mutex m;
    std::condition_variable cv;
    std::vector<Value> answers;
    auto record = [&](const Value& v) {
        std::lock_guard lock(m);
        answers.push_back(v);
        cv.notify_all();
    };
    zidedova::ZDVAMeasurement::userAttributeWithName("favorite", record);
    zidedova::ZDVAMeasurement::userAttributeWithName("missing", record);
    zidedova::ZDVAMeasurement::userAttributeWithName("favorite", nullptr);
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return answers.size() == 2; }));
    EXPECT_EQ(answers[0]["value"], Value("blue"));
    EXPECT_EQ(answers[0]["origin"], Value("app"));
    EXPECT_TRUE(answers[1].isNull());
    lock.unlock();
    EXPECT_TRUE(logs.contains("I-ACS023088"));
}

}  // namespace
}  // namespace measurement
