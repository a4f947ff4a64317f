#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "platform/foundation/UUID.h"
#include "platform/urlsession/URLSession.h"

namespace core_test {
namespace {

const std::string kTokenHex = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";  // PlatformConfig's default token

class RegistrationTest : public CoreTest {
protected:
    Value autoPromptSettings() { return Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}); }

    // A device already registered as player "p1" of kAppId, last session long ago.
    void storeRegisteredDevice(double lastSessionAgo = 3600) {
        ASSERT_TRUE(store()->setString(kAppId, "VD_APP_ID").ok());
        ASSERT_TRUE(store()->setString("p1", "VD_PLAYER_ID").ok());
        ASSERT_TRUE(store()->setDouble(kStart - lastSessionAgo, "VD_LAST_CLOSED_TIME").ok());
        ASSERT_TRUE(VezEduduz::initAppId(Value(kAppId), Value::dictionary()));
    }
};

TEST_F(RegistrationTest, StartUpRegistersThenARelaunchOpensASession) {
    launchApplication();
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr, autoPromptSettings());

    ASSERT_TRUE(waitFor([&] { return store()->stringForKey("VD_PLAYER_ID").has_value(); }));
    auto created = service.createdPlayers();
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(*store()->stringForKey("VD_PLAYER_ID"), created[0]);
    EXPECT_EQ(VezEduduz::getPermissionSubscriptionState()->subscriptionStatus->userId(), created[0]);
    // The parameters request travels beside the registration and may land a little later.
    ASSERT_TRUE(waitFor([&] { return !service.requestsTo("apps/" + std::string(kAppId) + "/ios_params.js").empty(); }));
    EXPECT_EQ(service.requestsTo("apps/" + std::string(kAppId) + "/ios_params.js").size(), 1u);

    Value body = bodyOf(service.requestsTo("players").at(0));
    EXPECT_EQ(body["app_id"], Value(kAppId));
    EXPECT_EQ(body["identifier"], Value(kTokenHex));
    EXPECT_EQ(body["notification_types"], Value(15));
    EXPECT_EQ(body["device_type"], Value(0));
    EXPECT_EQ(body["sdk"], Value("020809"));
    EXPECT_EQ(body["sdk_type"], Value("native"));
    EXPECT_EQ(body["ios_bundle"], Value("com.tesmar.app"));
    EXPECT_EQ(body["game_version"], Value("42"));
    EXPECT_EQ(body["device_os"], Value("17.0"));
    EXPECT_FALSE(body.contains("rooted"));
    ASSERT_TRUE(body["ad_id"].isString());
    EXPECT_TRUE(UUID::fromString(*body["ad_id"].asString()));
    ASSERT_TRUE(waitFor([&] { return linesContaining("Device Registered with VezEduduz: " + created[0]) == 1; }));

    // The next launch, a minute later: the stored player opens a session once the token wait is over.
    relaunch();
    clock->advance(60);
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr, autoPromptSettings());
    ASSERT_TRUE(
        waitFor([&] { return service.requestsTo("apps/" + std::string(kAppId) + "/ios_params.js").size() >= 2; }));
    ASSERT_TRUE(waitFor([&] { return !VezEduduz::waitingForApnsResponse(); }));
    MainLoop::shared().advance(31);
    std::string sessionPath = "players/" + created[0] + "/on_session";
    ASSERT_TRUE(waitFor([&] { return service.requestsTo(sessionPath).size() == 1; }));
    Value session = bodyOf(service.requestsTo(sessionPath).at(0));
    EXPECT_FALSE(session.contains("sdk_type"));
    EXPECT_FALSE(session.contains("ios_bundle"));
    EXPECT_EQ(session["ad_id"], body["ad_id"]) << "the vendor identifier outlives the launch";
    EXPECT_EQ(service.createdPlayers().size(), 1u);
    EXPECT_EQ(service.requestsTo("apps/" + std::string(kAppId) + "/ios_params.js").size(), 2u) << "once per process";
}

TEST_F(RegistrationTest, SessionThrottleAndItsBypass) {
    struct Case {
        const char* name;
        double lastSessionAgo;
        bool highPriority;
        bool expectSession;
    };
    const Case cases[] = {
        {"return within 30 s", 20, false, false},
        {"return after 31 s", 31, false, true},
        {"high priority within 30 s", 20, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        relaunch();
        storeRegisteredDevice(c.lastSessionAgo);
        size_t before = service.requestsTo("players/p1/on_session").size();
        VezEduduz::setNextRegistrationHighPriority(c.highPriority);
        VezEduduz::registerUser();
        if (c.expectSession) {
            ASSERT_TRUE(waitFor([&] { return !VezEduduz::registrationInFlight(); }));
            EXPECT_EQ(service.requestsTo("players/p1/on_session").size(), before + 1);
            EXPECT_FALSE(VezEduduz::isHighPriorityCall());
        } else {
            MainLoop::shared().runUntilIdle();
            EXPECT_FALSE(VezEduduz::registrationInFlight());
            EXPECT_EQ(service.requestsTo("players/p1/on_session").size(), before);
        }
    }
}

TEST_F(RegistrationTest, ASecondTriggerWhileInFlightIsDropped) {
    storeRegisteredDevice();
    VezEduduz::registerUser();
    EXPECT_TRUE(VezEduduz::registrationInFlight());
    VezEduduz::setNextRegistrationHighPriority(true);
    VezEduduz::registerUser();
    ASSERT_TRUE(waitFor([&] { return !VezEduduz::registrationInFlight(); }));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(service.requestsTo("players/p1/on_session").size(), 1u);
}

TEST_F(RegistrationTest, PushTokenFailuresAreSentAsNotificationTypes) {
    struct Case {
        int64_t code;
        const char* description;
        int32_t status;
        const char* line;
    };
    const Case cases[] = {
        {3000, "no valid 'aps-environment' entitlement string found for application", -13, "capability not turned on"},
        {3000, "something else", -17, "Unknown 3000 error"},
        {3010, "simulator", -15, "Simulator does not support push"},
        {7, "other", -16, "Error registering for Apple push notifications"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        relaunch();
        ASSERT_TRUE(store()->removeObjectsForKeys({"VD_PLAYER_ID", "VD_APP_ID", "VD_LAST_CLOSED_TIME"}).ok());
        ASSERT_TRUE(VezEduduz::initAppId(Value(kAppId), Value::dictionary()));
        size_t before = service.requestsTo("players").size();
        VezEduduz::handleDidFailRegisterForRemoteNotification(
            Error::withDescription("RemoteNotificationRegistration", c.code, c.description));
        ASSERT_TRUE(waitFor([&] { return service.requestsTo("players").size() == before + 1; }));
        EXPECT_EQ(bodyOf(service.requestsTo("players").back())["notification_types"], Value(c.status));
        EXPECT_EQ(VezEduduz::mSubscriptionStatus(), c.status);
        EXPECT_FALSE(VezEduduz::getUsableDeviceToken().has_value());
        EXPECT_GE(linesContaining(c.line), 1u);
        EXPECT_FALSE(VezEduduz::registerForAPNsToken()) << "an unrecoverable status blocks the token request";
        ASSERT_TRUE(waitFor([&] { return !VezEduduz::registrationInFlight(); }));
    }
}

TEST_F(RegistrationTest, ServerErrorsAreReattemptedOnTheClockThenMakeTheNextCallHighPriority) {
    storeRegisteredDevice();
    service.script("POST players/:id/on_session", {tesmar_testing::Reply::withStatus(503)});
    VezEduduz::registerUser();
    ASSERT_TRUE(waitFor([&] { return service.requestsTo("players/p1/on_session").size() == 1; }));
    for (size_t attempt = 2; attempt <= 3; ++attempt) {
        // The re-attempt is due 30 s on (the group's own time-out is further out).
        ASSERT_TRUE(waitFor([&] {
            auto next = MainLoop::shared().nextDeadline();
            return next && *next <= clock->now() + 30;
        }));
        MainLoop::shared().advance(30);
        ASSERT_TRUE(waitFor([&] { return service.requestsTo("players/p1/on_session").size() == attempt; }));
    }
    ASSERT_TRUE(waitFor([&] { return !VezEduduz::registrationInFlight(); }));
    EXPECT_EQ(linesContaining("Encountered error during push registration with VezEduduz"), 1u);
    EXPECT_TRUE(VezEduduz::isHighPriorityCall());
    EXPECT_EQ(store()->stringForKey("VD_PLAYER_ID"), "p1");
}

TEST_F(RegistrationTest, AGroupThatNeverAnswersTimesOutAndFrees) {
    storeRegisteredDevice();
    auto gate = std::make_shared<tesmar_testing::Gate>();
    tesmar_testing::Reply held = tesmar_testing::Reply::json(R"({"success":true,"id":"p1"})");
    held.hold = gate;
    service.script("POST players/:id/on_session", {held});
    VezEduduz::registerUser();
    ASSERT_TRUE(waitFor([&] { return service.requestsTo("players/p1/on_session").size() == 1; }));
    ASSERT_TRUE(waitFor([] { return MainLoop::shared().nextDeadline().has_value(); }));
    EXPECT_TRUE(VezEduduz::registrationInFlight());
    MainLoop::shared().advance(451);
    ASSERT_TRUE(waitFor([&] { return !VezEduduz::registrationInFlight(); }));
    EXPECT_EQ(linesContaining("Encountered error during push registration"), 1u);
    EXPECT_TRUE(VezEduduz::isHighPriorityCall());
    gate->open();
}

TEST_F(RegistrationTest, DeferredRegistrationCoalescesIntoOneCallAfterTheLast) {
    storeRegisteredDevice();
    VezEduduz::setWaitingForApnsResponse(true);
    VezEduduz::initWithLaunchOptions(Value(), Value(), nullptr, nullptr,
                                     Value::dictionary({{kOSSettingsKeyAutoPrompt, false}}));
    MainLoop::shared().runUntilIdle();
    MainLoop::shared().advance(10);
    VezEduduz::registerUser();  // token still pending: deferred
    MainLoop::shared().advance(5);
    VezEduduz::registerUser();
    MainLoop::shared().runUntilIdle();
    MainLoop::shared().advance(29);
    EXPECT_TRUE(service.requestsTo("players/p1/on_session").empty());
    EXPECT_FALSE(VezEduduz::registrationInFlight());
    // Past the token wait, the one pending call registers.
    // The local stand-in may answer before advance() returns, so the sent request is what is checked.
    MainLoop::shared().advance(1);
    ASSERT_TRUE(waitFor([&] { return service.requestsTo("players/p1/on_session").size() == 1; }));
    ASSERT_TRUE(waitFor([&] { return !VezEduduz::registrationInFlight(); }));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(service.requestsTo("players/p1/on_session").size(), 1u);
}

TEST_F(RegistrationTest, TokenUpdatesWithAPlayer) {
    storeRegisteredDevice();
    ASSERT_TRUE(store()->setString("aa", "VD_DEVICE_TOKEN").ok());
    int successes = 0;
    VezEduduz::updateDeviceToken(
        "aa", [&](const Value& r) { successes += r.isNull() ? 1 : 100; }, nullptr);
    EXPECT_EQ(successes, 1) << "same token: success at once, nothing sent";
    MainLoop::shared().runUntilIdle();
    EXPECT_TRUE(service.requestsTo("players/p1").empty());

    VezEduduz::updateDeviceToken(
        "bb", [&](const Value&) { ++successes; }, nullptr);
    ASSERT_TRUE(waitFor([&] { return successes == 2; }));
    ASSERT_EQ(service.requestsTo("players/p1").size(), 1u);
    EXPECT_EQ(bodyOf(service.requestsTo("players/p1")[0])["identifier"], Value("bb"));
    EXPECT_EQ(store()->stringForKey("VD_DEVICE_TOKEN"), "bb");
    EXPECT_TRUE(VezEduduz::isHighPriorityCall());
}

// The token reaches the service once, whichever request was out when it came: a create that went without
// it is followed by an update to the new player; a session that was out leaves it to its own update.
TEST_F(RegistrationTest, ATokenArrivingWhileARegistrationIsOutReachesTheServiceOnce) {
    ASSERT_TRUE(VezEduduz::initAppId(Value(kAppId), Value::dictionary()));
    service.script("POST players",
                   {tesmar_testing::Reply::withStatus(503), tesmar_testing::Reply::json(R"({"id":"p9"})")});
    VezEduduz::registerUser();
    // The token comes during the wait before the create is sent again.
    ASSERT_TRUE(waitFor([&] {
        auto next = MainLoop::shared().nextDeadline();
        return next && *next <= clock->now() + 30;
    }));
    VezEduduz::didRegisterForRemoteNotifications({0xaa, 0x01});
    MainLoop::shared().runUntilIdle();
    MainLoop::shared().advance(30);
    ASSERT_TRUE(waitFor([&] { return linesContaining("Device Registered with VezEduduz: p9") == 1; }));
    for (const auto& create : service.requestsTo("players")) EXPECT_FALSE(bodyOf(create).contains("identifier"));
    auto puts = service.requestsTo("players/p9");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].method, "PUT");
    EXPECT_EQ(bodyOf(puts[0])["identifier"], Value("aa01"));

    // A new token while the player's session is out: one update, not a second one after the session.
    ASSERT_TRUE(store()->setDouble(kStart - 3600, "VD_LAST_CLOSED_TIME").ok());
    VezEduduz::registerUser();
    ASSERT_TRUE(VezEduduz::registrationInFlight());
    VezEduduz::didRegisterForRemoteNotifications({0xbb, 0x02});
    ASSERT_TRUE(waitFor([&] { return !VezEduduz::registrationInFlight(); }));
    ASSERT_TRUE(waitFor([&] { return service.requestsTo("players/p9").size() == 2; }));
    ASSERT_TRUE(waitFor([] { return URLSession::tasksInFlight() == 0; }));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(linesContaining("Encountered error"), 0u);
    EXPECT_EQ(service.requestsTo("players/p9/on_session").size(), 1u);
    puts = service.requestsTo("players/p9");
    ASSERT_EQ(puts.size(), 2u);
    EXPECT_EQ(bodyOf(puts[1])["identifier"], Value("bb02"));
}

TEST_F(RegistrationTest, ConsentParksStartUpAndReplaysItOnce) {
    writeInfo(Value::dictionary({{"VezEduduz_require_privacy_consent", true}}));
    launchApplication();
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr, autoPromptSettings());
    ASSERT_TRUE(waitFor([&] { return VezEduduz::iosParamsReceived(); })) << "parameters are fetched while parked";
    MainLoop::shared().runUntilIdle();
    EXPECT_FALSE(VezEduduz::app_id().has_value());
    EXPECT_TRUE(service.requestsTo("players").empty());
    EXPECT_EQ(linesContaining("Delayed initialization of the VezEduduz SDK"), 1u);

    VezEduduz::consentGranted(false);
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(store()->objectForKey("GDPR_CONSENT_GRANTED"), Value(false));
    EXPECT_FALSE(VezEduduz::app_id().has_value());

    VezEduduz::consentGranted(true);
    VezEduduz::consentGranted(true);
    ASSERT_TRUE(waitFor([&] { return store()->stringForKey("VD_PLAYER_ID").has_value(); }));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(VezEduduz::app_id(), kAppId);
    EXPECT_EQ(linesContaining("Called init with app ID"), 2u) << "parked once, replayed once";
    EXPECT_EQ(service.createdPlayers().size(), 1u);
    // The parameters request travels beside the registration and may land a little later.
    ASSERT_TRUE(waitFor([&] { return !service.requestsTo("apps/" + std::string(kAppId) + "/ios_params.js").empty(); }));
    EXPECT_EQ(service.requestsTo("apps/" + std::string(kAppId) + "/ios_params.js").size(), 1u);
}

TEST_F(RegistrationTest, DeviceTokenIsHexOfItsBytes) {
    EXPECT_EQ(VezEduduz::hexDeviceToken({0x00, 0x01, 0xab, 0xff, 0x3c, 0x20}), "0001abff3c20");
    EXPECT_EQ(VezEduduz::hexDeviceToken({}), "");
}

}  // namespace
}  // namespace core_test
