// The service extension's handling, the badge count shared through the app group, and the analytics
// bridge's three events.
#include "VezEduduzSDK/Source/VENotification.h"
#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzServiceExtension.h"
#include "VezEduduzSDK/Source/VezEduduzTrackZidedovaAnalytics.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "platform/foundation/Date.h"

namespace {

using namespace core_test;
namespace un = platform::usernotifications;
using Analytics = VezEduduzTrackZidedovaAnalytics;

struct LoggedEvent {
    std::string name;
    Value parameters;
};
std::mutex loggedMutex;
std::vector<LoggedEvent>& logged() {
    static std::vector<LoggedEvent> events;
    return events;
}

// The analytics facade as the app would carry it: found by name, called by selector.
void installFacade() {
    auto& rt = objc::Runtime::shared();
    if (rt.lookUpClass("DOREdozadedo")) return;
    objc::ClassBuilder(rt, "DOREdozadedo", rt.rootClass())
        .classMethod(objc::sel("logEventWithName:parameters:"),
                     objc::makeImp([](objc::Object*, objc::Selector, std::string name, Value parameters) {
                         std::lock_guard lock(loggedMutex);
                         logged().push_back({name, parameters});
                     }))
        .registerClass();
}

class ExtensionAnalyticsTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        installFacade();
        {
            std::lock_guard lock(loggedMutex);
            logged().clear();
        }
        setWallClockSource([this] { return clock->now(); });
    }
    void TearDown() override {
        setWallClockSource(nullptr);
        CoreTest::TearDown();
    }
    std::vector<std::string> names() {
        std::lock_guard lock(loggedMutex);
        std::vector<std::string> out;
        for (auto& e : logged()) out.push_back(e.name);
        return out;
    }
    LoggedEvent last() {
        std::lock_guard lock(loggedMutex);
        return logged().back();
    }
    static UserDefaults suite() { return UserDefaults("group.com.tesmar.app.vezeduduz"); }
    static un::NotificationRequest request(Value message) {
        un::NotificationRequest r;
        r.identifier = "r1";
        r.content = un::NotificationContent::fromPayload(message);
        return r;
    }
    static Value message(const std::string& id, Value customExtra = Value::dictionary()) {
        Value custom = Value::dictionary({{"i", id}});
        for (auto& [k, v] : *customExtra.asDictionary()) custom.set(k, v);
        return Value::dictionary(
            {{"aps", Value::dictionary({{"alert", Value::dictionary({{"title", "Seventeen chars!!"}, {"body", "B"}})},
                                        {"mutable-content", 1}})},
             {"custom", custom},
             {"buttons", Value::array({Value::dictionary({{"i", "yes"}, {"n", "Yes"}})})}});
    }
};

TEST_F(ExtensionAnalyticsTest, AppGroupNameFromInfoPlistOrTheContainingAppsIdentifier) {
    EXPECT_EQ(VezEduduzExtensionBadgeHandler::appGroupName(), "group.com.tesmar.app.vezeduduz");
    writeInfo(Value::dictionary({{kAppGroupsInfoKey, "  group.custom \n"}}));
    EXPECT_EQ(VezEduduzExtensionBadgeHandler::appGroupName(), "group.custom");

    // Inside the extension's bundle, the containing application's identifier.
    std::string app = device.path() + "/Outer.app";
    std::string appex = app + "/PlugIns/Service.appex";
    std::filesystem::create_directories(appex);
    ASSERT_TRUE(plist::writeFile(Value::dictionary({{"CFBundleIdentifier", "com.outer"}}), app + "/Info.plist"));
    ASSERT_TRUE(
        plist::writeFile(Value::dictionary({{"CFBundleIdentifier", "com.outer.service"}}), appex + "/Info.plist"));
    Bundle::setMainBundlePath(appex);
    EXPECT_EQ(VezEduduzExtensionBadgeHandler::primaryBundleIdentifier(), "com.outer");
    EXPECT_EQ(VezEduduzExtensionBadgeHandler::appGroupName(), "group.com.outer.vezeduduz");
}

TEST_F(ExtensionAnalyticsTest, BadgeIncrementsAndExplicitBadgesInTheSharedCount) {
    constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
    constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
    constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
    struct Case {
        int64_t stored;
        Value aps;
        Value custom;
        int64_t expectStored;
        std::optional<int64_t> expectShown;  // nullopt: the content's badge as delivered
        Value top = Value::dictionary();
    };
    const std::vector<Case> cases = {
        {0, Value::dictionary(), Value::dictionary({{"badge_inc", 1}}), 1, 1},
        {3, Value::dictionary(), Value::dictionary({{"badge_inc", -5}}), 0, 0},
        {2, Value::dictionary({{"badge", 4}}), Value::dictionary(), 4, 4},
        {2, Value::dictionary({{"badge", 0}}), Value::dictionary(), 0, 0},  // an explicit 0 is stored
        {2, Value::dictionary(), Value::dictionary(), 2, std::nullopt},
        {2, Value::dictionary(), Value::dictionary({{"badge_inc", "2"}}), 4, 4},
        // "b" is the badge of a message shown without an "aps" alert, not of this one.
        {6, Value::dictionary({{"alert", "Hi"}}), Value::dictionary(), 6, std::nullopt, Value::dictionary({{"b", 0}})},
        // Sums are clamped as a message's own badge is, and never wrap at the 64-bit ends.
        {5, Value::dictionary(), Value::dictionary({{"badge_inc", kInt64Max}}), kInt32Max, kInt32Max},
        {0, Value::dictionary(), Value::dictionary({{"badge_inc", int64_t(3000000000)}}), kInt32Max, kInt32Max},
        {kInt64Max, Value::dictionary(), Value::dictionary({{"badge_inc", -5}}), kInt32Max, kInt32Max},
        {-5, Value::dictionary(), Value::dictionary({{"badge_inc", kInt64Min}}), 0, 0},
    };
    for (const auto& c : cases) {
        VezEduduzExtensionBadgeHandler::updateCachedBadgeValue(c.stored);
        Value m = c.top;
        m.set("aps", c.aps);
        Value custom = c.custom;
        custom.set("i", "b");
        m.set("custom", custom);
        auto r = request(m);
        auto content = VezEduduz::didReceiveNotificationExtensionRequest(r, nullptr);
        EXPECT_EQ(VezEduduzExtensionBadgeHandler::currentCachedBadgeValue(), c.expectStored);
        EXPECT_EQ(content.badge, c.expectShown ? c.expectShown : r.content.badge);
    }
}

TEST_F(ExtensionAnalyticsTest, ExtensionAddsButtonsUnlessACategoryCameAndExpiryOnlyAddsButtons) {
    Analytics::updateFromDownloadParams(Value::dictionary({{"fba", true}}));
    auto r = request(message("n1", Value::dictionary({{"badge_inc", 1}})));
    auto expired = VezEduduz::serviceExtensionTimeWillExpireRequest(r, nullptr);
    EXPECT_EQ(expired.categoryIdentifier, kDynamicCategoryIdentifier);
    EXPECT_EQ(VezEduduzExtensionBadgeHandler::currentCachedBadgeValue(), 0);
    EXPECT_TRUE(names().empty());

    auto content = VezEduduz::didReceiveNotificationExtensionRequest(r, nullptr);
    EXPECT_EQ(content.categoryIdentifier, kDynamicCategoryIdentifier);
    EXPECT_EQ(content.badge, 1);
    EXPECT_EQ(names(), std::vector<std::string>{"ve_notification_received"});

    Value withCategory = message("n2");
    Value aps = withCategory["aps"];
    aps.set("category", "app");
    withCategory.set("aps", aps);
    auto kept = VezEduduz::didReceiveNotificationExtensionRequest(request(withCategory), nullptr);
    EXPECT_EQ(kept.categoryIdentifier, "app");
}

TEST_F(ExtensionAnalyticsTest, TheSwitchIsOnForAnyFbaValueAndReadFromTheSuiteInAnotherProcess) {
    for (auto [fba, on] : std::vector<std::pair<std::optional<Value>, bool>>{{Value(true), true},
                                                                             {Value(1), true},
                                                                             {Value("true"), true},
                                                                             {std::nullopt, false},
                                                                             {Value(false), true}}) {
        Value params = Value::dictionary();
        if (fba) params.set("fba", *fba);
        Analytics::updateFromDownloadParams(params);
        EXPECT_EQ(Analytics::trackingEnabled(), on);
        EXPECT_EQ(suite().boolForKey(kEnableAnalyticsKey).value_or(false), on);
        if (!on) {
            EXPECT_FALSE(suite().objectForKey(kEnableAnalyticsKey));
        }
    }
    // The extension never ran start-up: its first use reads the suite.
    ASSERT_TRUE(suite().setBool(true, kEnableAnalyticsKey));
    tesmar_testing::resetProcessState({"vezeduduz.analytics-bridge"});
    EXPECT_TRUE(Analytics::trackingEnabled());
}

TEST_F(ExtensionAnalyticsTest, ReceiptsAreCreditedOnceInsideTheWindowAndNeverForAnOpenedNotification) {
    Analytics::updateFromDownloadParams(Value::dictionary({{"fba", true}}));
    // Not the push service's, or without an id: nothing.
    Analytics::trackReceivedEvent(VENotificationPayload(Value::dictionary({{"aps", Value::dictionary()}})));
    EXPECT_TRUE(names().empty());

    Value m = message("n1", Value::dictionary({{"ti", "T7"}, {"tn", "Spring"}}));
    Analytics::trackReceivedEvent(VENotificationPayload(m));
    ASSERT_EQ(names().size(), 1u);
    EXPECT_EQ(last().parameters, Value::dictionary({{"source", "VezEduduz"},
                                                    {"medium", "notification"},
                                                    {"notification_id", "n1"},
                                                    {"campaign", "Spring - T7"}}));
    clock->advance(60);
    Analytics::trackInfluenceOpenEvent();
    Analytics::trackInfluenceOpenEvent();  // the same receipt credits one open
    EXPECT_EQ(names(), (std::vector<std::string>{"ve_notification_received", "ve_notification_influence_open"}));
    EXPECT_EQ(last().parameters["campaign"], Value("Spring - T7"));

    // Past the window: nothing.
    Analytics::trackReceivedEvent(VENotificationPayload(message("n2")));
    EXPECT_EQ(last().parameters["campaign"], Value("Seventeen "));
    clock->advance(121);
    Analytics::trackInfluenceOpenEvent();
    EXPECT_EQ(names().size(), 3u);

    // Opened, then registrations 10 s and 35 s later: only the open.
    Analytics::trackReceivedEvent(VENotificationPayload(message("n3")));
    auto notification = std::make_shared<VENotification>(VENotificationPayload::parseWithApns(message("n3")),
                                                         VEInFocusDisplayType::notification);
    Analytics::trackOpenEvent(VENotificationOpenedResult(notification, nullptr));
    for (double later : {10, 25}) {
        clock->advance(later);
        Analytics::trackInfluenceOpenEvent();
    }
    EXPECT_EQ(names().back(), "ve_notification_opened");
    EXPECT_EQ(names().size(), 5u);
}

TEST_F(ExtensionAnalyticsTest, CampaignsAreCutByCharactersAndAReceiptNeverPairsTwoNotifications) {
    auto titled = [](const std::string& id, const std::string& title) {
        Value m = message(id);
        m.set("aps", Value::dictionary({{"alert", Value::dictionary({{"title", title}, {"body", "B"}})}}));
        return VENotificationPayload(m);
    };
    for (auto [title, campaign] : std::vector<std::pair<std::string, std::string>>{
             {"Обновление сервиса", "Обновление"},
             {"Abcdefghié and more", "Abcdefghié"},  // ten bytes would end inside the é
             {"📢 Big news today", "📢 Big news"},
             {"Short", "Short"},
         }) {
        EXPECT_EQ(Analytics::getCampaignNameFromPayload(titled("x", title)), campaign) << title;
    }

    Analytics::updateFromDownloadParams(Value::dictionary({{"fba", true}}));
    Analytics::trackReceivedEvent(titled("n1", "Обновление сервиса"));
    Analytics::trackReceivedEvent(titled("n2", "Abcdefghié and more"));
    EXPECT_EQ(suite().stringForKey(kLastReceivedIdKey), "n2");
    EXPECT_EQ(suite().stringForKey(kLastReceivedCampaignKey), "Abcdefghié");
    clock->advance(30);
    Analytics::trackInfluenceOpenEvent();
    EXPECT_EQ(last().name, "ve_notification_influence_open");
    EXPECT_EQ(last().parameters["notification_id"], Value("n2"));
    EXPECT_EQ(last().parameters["campaign"], Value("Abcdefghié"));

    // A title that is not UTF-8 makes a campaign the store refuses: then no receipt is kept at all, rather
    // than this id beside the previous notification's campaign.
    Analytics::trackReceivedEvent(titled("n1", "Обновление сервиса"));
    Analytics::trackReceivedEvent(titled("n3", "Broken \xff title"));
    EXPECT_EQ(last().parameters["notification_id"], Value("n3"));  // the event itself is still logged
    EXPECT_FALSE(suite().objectForKey(kLastReceivedIdKey));
    EXPECT_FALSE(suite().objectForKey(kLastReceivedCampaignKey));
    EXPECT_FALSE(suite().objectForKey(kLastReceivedTimeKey));
    clock->advance(30);
    Analytics::trackInfluenceOpenEvent();
    EXPECT_EQ(last().name, "ve_notification_received");
}

}  // namespace
