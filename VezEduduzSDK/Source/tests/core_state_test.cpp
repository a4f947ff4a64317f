#include "VezEduduzSDK/Source/VezEduduzNotificationSettings.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"

namespace core_test {
namespace {

struct CountingPermissionObserver : VEPermissionStateObserver {
    int calls = 0;
    void onChanged(const VEPermissionState&) override { ++calls; }
};
struct CountingSubscriptionObserver : VESubscriptionStateObserver {
    int calls = 0;
    void onChanged(const VESubscriptionState&) override { ++calls; }
};
struct CountingEmailObserver : VEEmailSubscriptionStateObserver {
    int calls = 0;
    void onChanged(const VEEmailSubscriptionState&) override { ++calls; }
};
struct AppPermissionObserver : VEPermissionObserver {
    std::vector<std::shared_ptr<VEPermissionStateChanges>> seen;
    void onOSPermissionChanged(std::shared_ptr<VEPermissionStateChanges> c) override { seen.push_back(c); }
};

class StateTest : public CoreTest {};

TEST_F(StateTest, PermissionSettersNotifyOnlyWhenTheAnswerChanges) {
    struct Case {
        const char* name;
        std::function<void(VEPermissionState&)> before;
        std::function<void(VEPermissionState&)> change;
        bool notifies;
    };
    const Case cases[] = {
        {"prompted", {}, [](auto& s) { s.setHasPrompted(true); }, true},
        {"prompted again", [](auto& s) { s.setHasPrompted(true); }, [](auto& s) { s.setHasPrompted(true); }, false},
        {"prompted when already answered", [](auto& s) { s.setAnsweredPrompt(true); },
         [](auto& s) { s.setHasPrompted(true); }, false},
        {"answered", {}, [](auto& s) { s.setAnsweredPrompt(true); }, true},
        {"answered when accepted", [](auto& s) { s.setAccepted(true); }, [](auto& s) { s.setAnsweredPrompt(true); },
         false},
        {"accepted", {}, [](auto& s) { s.setAccepted(true); }, true},
        {"accepted unchanged", {}, [](auto& s) { s.setAccepted(false); }, false},
        {"provisional", {}, [](auto& s) { s.setProvisional(true); }, true},
        {"types", {}, [](auto& s) { s.setNotificationTypes(15); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VEPermissionState state;
        if (c.before) c.before(state);
        auto counter = std::make_shared<CountingPermissionObserver>();
        state.observable().addObserver(counter);
        c.change(state);
        EXPECT_EQ(counter->calls, c.notifies ? 1 : 0);
    }
}

TEST_F(StateTest, PermissionStatusAndComparison) {
    VEPermissionState all;
    all.setAccepted(true);
    all.setAnsweredPrompt(true);
    all.setProvisional(true);
    EXPECT_EQ(all.status(), VEPermissionStatus::Authorized);
    VEPermissionState denied;
    denied.setAnsweredPrompt(true);
    EXPECT_EQ(denied.statusAsString(), "Denied");
    VEPermissionState quiet;
    quiet.setProvisional(true);
    EXPECT_EQ(quiet.status(), VEPermissionStatus::Provisional);
    VEPermissionState none;
    EXPECT_EQ(none.status(), VEPermissionStatus::NotDetermined);
    EXPECT_FALSE(quiet.compare(none)) << "provisional is not compared";
    EXPECT_TRUE(denied.compare(none));
    EXPECT_EQ(store()->objectForKey("VEZEDUDUZ_PROVISIONAL_AUTHORIZATION"), Value(true));
}

TEST_F(StateTest, SubscriptionStateRestoresAndPersistsItsKeys) {
    ASSERT_TRUE(store()->setString("p9", "VD_PLAYER_ID").ok());
    ASSERT_TRUE(store()->setString("no", "VEZEDUDUZ_SUBSCRIPTION").ok());
    VESubscriptionState state;
    state.initAsToWithPermision(true);
    EXPECT_EQ(state.userId(), "p9");
    EXPECT_FALSE(state.pushToken().has_value());
    EXPECT_FALSE(state.userSubscriptionSetting());
    EXPECT_EQ(state.toDictionary()["pushToken"], Value());

    auto counter = std::make_shared<CountingSubscriptionObserver>();
    state.observable().addObserver(counter);
    state.setPushToken("t1");
    state.setPushToken("t1");
    EXPECT_EQ(counter->calls, 1) << "the same token text is no change";
    EXPECT_EQ(store()->stringForKey("VD_DEVICE_TOKEN"), "t1");

    state.persistAsFrom();
    VESubscriptionState last;
    last.initAsFrom();
    EXPECT_FALSE(last.compare(state));
    EXPECT_EQ(store()->stringForKey("VEZEDUDUZ_SUBSCRIPTION_LAST"), "no");
}

TEST_F(StateTest, SubscriptionAcceptedNotifiesOnlyWhenSubscribedFlipsAndWaitsWhileHeld) {
    VESubscriptionState state;
    auto counter = std::make_shared<CountingSubscriptionObserver>();
    state.observable().addObserver(counter);
    state.setAccepted(true);
    EXPECT_TRUE(state.accpeted());
    EXPECT_EQ(counter->calls, 0) << "no player id: still not subscribed";

    state.setUserId("p1");
    state.setPushToken("t");
    state.setAccepted(false);
    state.setAccepted(true);
    EXPECT_EQ(counter->calls, 4);  // id, token, two flips
}

TEST_F(StateTest, EmailPlayerIdIsComparedByValue) {
    ASSERT_TRUE(store()->setString("e1", "VD_EMAIL_PLAYER_ID").ok());
    VEEmailSubscriptionState state;
    auto counter = std::make_shared<CountingEmailObserver>();
    state.observable().addObserver(counter);
    state.setEmailUserId(std::string("e") + "1");
    EXPECT_EQ(counter->calls, 0);
    state.setEmailUserId(std::nullopt);
    EXPECT_EQ(counter->calls, 1) << "unlinking is a change";
}

TEST_F(StateTest, AChangeNoObserverSawIsReportedLaterFromTheSameLastState) {
    auto current = VezEduduz::currentPermissionState();
    MainLoop::shared().runUntilIdle();
    current->setAnsweredPrompt(true);
    EXPECT_FALSE(store()->objectForKey("VE_NOTIFICATION_PROMPT_ANSWERED_LAST").has_value() &&
                 store()->boolForKey("VE_NOTIFICATION_PROMPT_ANSWERED_LAST") == true);

    auto observer = std::make_shared<AppPermissionObserver>();
    VezEduduz::addPermissionObserver(observer);
    MainLoop::shared().runUntilIdle();
    ASSERT_EQ(observer->seen.size(), 1u);
    EXPECT_FALSE(observer->seen[0]->from->answeredPrompt());
    EXPECT_TRUE(observer->seen[0]->to->answeredPrompt());
    EXPECT_EQ(store()->boolForKey("VE_NOTIFICATION_PROMPT_ANSWERED_LAST"), true);

    // Delivered once: adding another observer now reports nothing.
    auto second = std::make_shared<AppPermissionObserver>();
    VezEduduz::addPermissionObserver(second);
    MainLoop::shared().runUntilIdle();
    EXPECT_TRUE(second->seen.empty());
}

TEST_F(StateTest, ApplicationObserversAreHeldWeakly) {
    auto observer = std::make_shared<AppPermissionObserver>();
    VezEduduz::addPermissionObserver(observer);
    MainLoop::shared().runUntilIdle();
    observer.reset();
    VezEduduz::currentPermissionState()->setAccepted(true);
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(VezEduduz::permissionStateChangesObserver().count(), 0u);
}

// ---- the permission back end per system version ----

TEST_F(StateTest, BackEndIsChosenBySystemVersion) {
    struct Case {
        int major, minor;
        const char* expected;
    };
    const Case cases[] = {{7, 1, "7"}, {8, 0, "8"}, {9, 3, "8"}, {10, 0, "10"}, {12, 0, "10"}, {17, 0, "10"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
        relaunch();
        setSystemVersion(c.major, c.minor);
        auto backEnd = VezEduduz::veNotificationSettings();
        std::string kind = dynamic_cast<VezEduduzNotificationSettingsIOS10*>(backEnd.get())  ? "10"
                           : dynamic_cast<VezEduduzNotificationSettingsIOS8*>(backEnd.get()) ? "8"
                           : dynamic_cast<VezEduduzNotificationSettingsIOS7*>(backEnd.get()) ? "7"
                                                                                             : "?";
        EXPECT_EQ(kind, c.expected);
    }
}

TEST_F(StateTest, PromptAnswersPerSystemVersion) {
    struct Case {
        int major;
        const char* answer;
        bool accepted;
        int32_t types;
    };
    const Case cases[] = {
        {17, "granted", true, 15},
        {10, "denied", false, 0},
        {9, "granted", true, 7},
        {8, "denied", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + " " + c.answer);
        relaunch();
        forgetNotificationAnswer();
        uikit::Application::resetShared();
        usernotifications::UserNotificationCenter::resetCurrent();
        setSystemVersion(c.major);
        PlatformConfig::update([&](PlatformSettings& s) { s.notificationAuthorizationAnswer = c.answer; });
        launchApplication();
        std::optional<bool> answer;
        VezEduduz::promptForPushNotificationsWithUserResponse([&](bool accepted) { answer = accepted; });
        ASSERT_TRUE(waitFor([&] { return answer.has_value(); }));
        auto state = VezEduduz::currentPermissionState();
        EXPECT_EQ(*answer, c.accepted);
        EXPECT_EQ(state->accepted(), c.accepted);
        EXPECT_TRUE(state->answeredPrompt());
        EXPECT_TRUE(state->hasPrompted());
        EXPECT_EQ(VezEduduz::veNotificationSettings()->getNotificationTypes(), c.types);
        MainLoop::shared().runUntilIdle();
    }
}

TEST_F(StateTest, OldestSystemsAskForRemoteTypesAndAnswerWithTheToken) {
    setSystemVersion(7);
    launchApplication();
    ASSERT_TRUE(VezEduduz::initAppId(Value(kAppId), Value::dictionary()));
    std::optional<bool> answer;
    VezEduduz::promptForPushNotificationsWithUserResponse([&](bool accepted) { answer = accepted; });
    EXPECT_TRUE(VezEduduz::waitingForApnsResponse());
    EXPECT_EQ(store()->objectForKey("VD_REGISTERED_WITH_APPLE"), Value(true));
    ASSERT_TRUE(waitFor([&] { return answer.has_value(); }));
    EXPECT_TRUE(*answer);
    EXPECT_EQ(VezEduduz::veNotificationSettings()->getNotificationTypes(), 7);
    EXPECT_FALSE(VezEduduz::registerForAPNsToken()) << "below 8 the trigger is the prompt itself";
}

TEST_F(StateTest, ProvisionalAuthorizationFrom12) {
    setSystemVersion(12);
    std::optional<bool> answer;
    VezEduduz::registerForProvisionalAuthorization([&](bool granted) { answer = granted; });
    ASSERT_TRUE(waitFor([&] { return answer.has_value(); }));
    EXPECT_TRUE(*answer);
    auto state = VezEduduz::veNotificationSettings()->getNotificationPermissionState();
    EXPECT_TRUE(state->provisional());
    EXPECT_FALSE(state->accepted());
    EXPECT_FALSE(state->answeredPrompt());
    EXPECT_EQ(state->notificationTypes(), 64);

    // Already decided: completes at once with YES.
    std::optional<bool> again;
    VezEduduz::registerForProvisionalAuthorization([&](bool granted) { again = granted; });
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(again, true);
}

TEST_F(StateTest, ProvisionalAuthorizationBelow12NeverCompletes) {
    setSystemVersion(11);
    bool called = false;
    VezEduduz::registerForProvisionalAuthorization([&](bool) { called = true; });
    MainLoop::shared().runUntilIdle();
    EXPECT_FALSE(called);
    EXPECT_EQ(linesContaining("registerForProvisionalAuthorization is only available in iOS 12+."), 1u);
}

}  // namespace
}  // namespace core_test
