#include <gtest/gtest.h>

#include <condition_variable>

#include "measurement/engine/MSRAnalytics.h"
#include "measurement/engine/MSRMeasurement.h"
#include "measurement/engine/internal/MSRAnalyticsIdle.h"
#include "measurement/reporting/MSRScreenViewReporter.h"
#include "platform/dispatch/MainLoop.h"
#include "testing/ProcessReset.h"
#include "zidedova_core/DOREdozadedo.h"
#include "zidedova_core/DOREdozadedoConnector.h"
#include "zidedova_core/ZDVConfiguration.h"
#include "zidedova_core/tests/CoreFixture.h"

namespace measurement {
namespace {

using platform::Value;
using zidedova::DOREdozadedo;
using zidedova::ZDVAnalyticsEvent;
using zidedova::ZODOzi;

class FacadeTest : public zidedova::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        registerClasses();
        zidedova::registerClasses();
        // Registration may have touched the engine: start from its first state all the same.
        tesmar_testing::resetProcessState({"measurement.analytics", "measurement.monitor"});
        listener = DOREdozadedo::addLogEventListener([this](const std::vector<ZDVAnalyticsEvent>& events) {
            std::lock_guard lock(mutex);
            logged.insert(logged.end(), events.begin(), events.end());
        });
    }
    void TearDown() override {
        MSRAnalyticsWaitForIdle();
        CoreTest::TearDown();
    }
    void configure() {
        writeInfo({});
        writeOptions(validOptions());
        ZODOzi::configure();
    }
    std::vector<ZDVAnalyticsEvent> events() {
        EXPECT_TRUE(MSRAnalyticsWaitForIdle());
        std::lock_guard lock(mutex);
        return logged;
    }
    std::shared_ptr<zidedova::DOREdozadedoConnector> connector() {
        auto app = ZODOzi::defaultApp();
        auto instance =
            app->container().instanceForProtocol(zidedova::protocolNamed(zidedova::kDOREdozadedoInteropProtocol));
        return std::dynamic_pointer_cast<zidedova::DOREdozadedoConnector>(instance);
    }

    std::mutex mutex;
    std::vector<ZDVAnalyticsEvent> logged;
    zidedova::ZDVLogEventListenerHandle listener;
};

TEST_F(FacadeTest, GateWarnsBeforeConfigureAndForwardsAfter) {
    DOREdozadedo::logEventWithName("_vs", Value::dictionary());
    DOREdozadedo::setUserPropertyString(Value("x"), "favorite");
    EXPECT_EQ(logs.count("[I-ACS025018] Event not logged. Call +[ZODOzi configure], _vs"), 1u);
    EXPECT_TRUE(logs.contains("[I-ACS025019] User property not set. Call +[ZODOzi configure], favorite"));

    configure();
    EXPECT_TRUE(MSRAnalytics::isStarted());
    DOREdozadedo::logEventWithName("level_up", Value::dictionary({{"level", 3}}));
    DOREdozadedo::logEventWithName("first_open", Value::dictionary());  // reserved: reported as "_err"
    auto seen = events();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].name, "level_up");
    EXPECT_EQ(seen[0].origin, "app");
    EXPECT_TRUE(seen[0].isPublic);
    EXPECT_EQ(seen[0].parameters, Value::dictionary({{"level", 3}}));
    EXPECT_EQ(seen[1].name, "_err");
    EXPECT_EQ(seen[1].parameters, Value::dictionary({{"_err", 13}, {"_ev", "first_open"}}));
}

TEST_F(FacadeTest, ListenersWaitForStartUpAndInterceptorRewrites) {
    DOREdozadedo::setLogEventInterceptor([](ZDVAnalyticsEvent e) -> std::optional<ZDVAnalyticsEvent> {
        if (e.name == "drop_me") return std::nullopt;
        e.parameters.set("seen", true);
        return e;
    });
    DOREdozadedo::logInternalEventWithOrigin("auto", "_s", Value::dictionary());
    EXPECT_TRUE(events().empty());  // the operation queue is suspended until start-up ends
    configure();
    DOREdozadedo::logInternalEventWithOrigin("auto", "drop_me", Value());
    DOREdozadedo::logEventWithOrigin("app", false, "raw", Value::dictionary(), 1.5e9, false, true);
    auto seen = events();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].name, "_s");
    EXPECT_EQ(seen[0].parameters["seen"], Value(true));
    EXPECT_EQ(seen[1].name, "raw");
    EXPECT_EQ(seen[1].timestamp, 1.5e9);
    EXPECT_FALSE(seen[1].parameters.contains("seen"));
    DOREdozadedo::removeLogEventListener(nullptr);
    EXPECT_TRUE(logs.contains("[I-ACS025013] Attempted removal of nil log event."));
}

TEST_F(FacadeTest, StartOptions) {
    writeInfo({});
    writeOptions(
        {{"VODEZU_APP_ID", zidedova::testing::kValidAppID}, {"ANALYTICS_SAFELISTED_EVENTS", Value::array({"a", "b"})}});
    auto options = zidedova::VIVUzorivu::defaultOptions();
    Value withoutConfig = DOREdozadedo::startOptions(nullptr, *options);
    EXPECT_FALSE(withoutConfig.contains("ZIDEDOVA_ANALYTICS_CONFIGURATION"));
    EXPECT_EQ(withoutConfig["app_measurement_log_tag"], Value("[Zidedova/Analytics]"));
    EXPECT_EQ(withoutConfig["safelisted_events"], Value::array({"a", "b"}));
    EXPECT_EQ(withoutConfig["ZIDEDOVA_ANALYTICS_COLLECTION_DEACTIVATED"], Value(false));
    auto config = zidedova::DOREdozadedoConfiguration::sharedInstance();
    EXPECT_TRUE(DOREdozadedo::startOptions(config, *options).contains("ZIDEDOVA_ANALYTICS_CONFIGURATION"));
}

TEST_F(FacadeTest, ConnectorEventFilterTable) {
    configure();
    auto c = connector();
    ASSERT_TRUE(c);
    EXPECT_NE(connector(), c);  // not cached
    struct Case {
        const char* origin;
        const char* name;
        Value parameters;
        std::optional<Value> logged;  // the parameters that reach the engine, or nothing
    } cases[] = {
        {"app", "promo", Value(), std::nullopt},
        {"auto", "promo", Value(), std::nullopt},
        {"am", "promo", Value(), std::nullopt},
        {"vcm", "promo", Value(), Value::dictionary()},
        {"vcm", "", Value(), std::nullopt},
        {"vcm", "app_open", Value(), std::nullopt},
        {"vcm", "_e", Value(), std::nullopt},
        {"vcm", "promo", Value::dictionary({{"_dbg", false}}), std::nullopt},
        {"vcm", "promo", Value::dictionary({{"_r", 0}}), std::nullopt},
        {"vdl", "_cmp", Value(), Value::dictionary({{"_cis", "vdl_integration"}})},
        {"viam", "_cmp", Value::dictionary({{"x", 1}}), Value::dictionary({{"x", 1}, {"_cis", "viam_integration"}})},
        {"other", "_cmp", Value::dictionary({{"x", 1}}), Value::dictionary({{"x", 1}})},
    };
    for (const auto& k : cases) {
        {
            std::lock_guard lock(mutex);
            logged.clear();
        }
        c->logEventWithOrigin(k.origin, k.name, k.parameters);
        auto seen = events();
        if (!k.logged) {
            EXPECT_TRUE(seen.empty()) << k.origin << " " << k.name;
            continue;
        }
        ASSERT_EQ(seen.size(), 1u) << k.origin << " " << k.name;
        EXPECT_FALSE(seen[0].isPublic);
        EXPECT_EQ(seen[0].origin, k.origin);
        EXPECT_EQ(seen[0].parameters, *k.logged) << k.origin << " " << k.name;
    }
    EXPECT_EQ(c->maxUserProperties("vcm"), -1);
    EXPECT_FALSE(c->conditionalUserProperties("vcm", "p"));
    // Callers that hold the connector as a runtime object reach every operation by selector.
    using platform::objc::send, platform::objc::sel;
    EXPECT_EQ((send<int64_t, std::string>(c.get(), sel("maxUserProperties:"), "vcm")), -1);
    EXPECT_FALSE((send<std::optional<platform::ValueArray>, std::string, std::string>(
        c.get(), sel("conditionalUserProperties:propertyNamePrefix:"), "vcm", "p")));
    send<void, Value>(c.get(), sel("setConditionalUserProperty:"), Value::dictionary({{"name", "p"}}));
    send<void, std::string, std::string, Value>(
        c.get(), sel("clearConditionalUserProperty:clearEventName:clearEventParameters:"), "p", "e", Value());
}

TEST_F(FacadeTest, ConnectorUserPropertyTable) {
    configure();
    auto c = connector();
    struct Case {
        const char* origin;
        const char* name;
        bool stored;
    } cases[] = {
        {"viam", "_ln", true},  {"vcm", "_ln", true},       {"vdl", "_ln", false},     {"app", "prop", false},
        {"vdl", "_fot", false}, {"vdl", "_ltv_USD", false}, {"vdl", "_ltv_usd", true}, {"vdl", "_cc1", false},
        {"vdl", "_cc5", false}, {"vdl", "_cc6", true},      {"vdl", "", false},        {"vdl", "plain", true},
    };
    auto measurement = MSRMeasurement::sharedInstance();
    for (const auto& k : cases) {
        measurement->removeAllUserAttributes();
        c->setUserPropertyWithOrigin(k.origin, k.name, Value("v"));
        MSRAnalyticsWaitForIdle();
        auto attributes = measurement->userAttributes();
        EXPECT_EQ(attributes.count(k.name), k.stored ? 1u : 0u) << k.origin << " " << k.name;
        if (k.stored) {
            EXPECT_EQ(attributes[k.name].origin, k.origin);
        }
    }
}

TEST_F(FacadeTest, UserPropertiesAndUserID) {
    configure();
    DOREdozadedo::setUserPropertyString(Value(7), "favorite");
    EXPECT_TRUE(logs.contains("[I-ACS025003] User property must be NSString. Value, 7"));
    DOREdozadedo::setUserPropertyString(Value("blue"), "favorite");
    DOREdozadedo::setUserID(Value("u1"));
    DOREdozadedo::setUserID(Value(1));
    EXPECT_TRUE(logs.contains("[I-ACS025004] User ID must be NSString. User ID, 1"));
    std::mutex m;
    std::condition_variable cv;
    std::optional<platform::ValueDictionary> got;
    DOREdozadedo::userPropertiesIncludingInternal(true, platform::dispatch::DispatchQueue("test.callback"),
                                                  [&](const platform::ValueDictionary& d) {
                                                      std::lock_guard lock(m);
                                                      got = d;
                                                      cv.notify_all();
                                                  });
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return got.has_value(); }));
    EXPECT_EQ((*got)["favorite"]["value"], Value("blue"));
    EXPECT_EQ((*got)["_id"]["value"], Value("u1"));
    EXPECT_EQ((*got)["_id"]["origin"], Value("app"));
}

TEST_F(FacadeTest, ScreenNameOnlyFromTheMainThread) {
    configure();
    std::thread([] { DOREdozadedo::setScreenName("Home", "HomeView"); }).join();
    EXPECT_TRUE(logs.contains("[I-ACS025025] setScreenName:screenClass: must be called from the main thread"));
    platform::dispatch::MainLoop::shared().post([] { DOREdozadedo::setScreenName("Home", "HomeView"); });
    platform::dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(MSRScreenViewReporter::sharedInstance()->currentScreenName(), "Home");
    auto seen = events();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().name, "_vs");
    EXPECT_EQ(seen.back().parameters["_sn"], Value("Home"));
}

}  // namespace
}  // namespace measurement
