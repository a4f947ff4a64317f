#include <stdexcept>
#include <thread>

#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "platform/uikit/AlertController.h"
#include "platform/uikit/Window.h"

namespace core_test {
namespace {

class StartupTest : public CoreTest {};

TEST_F(StartupTest, AppIdResolution) {
    struct Case {
        const char* name;
        Value argument;
        Value infoId;  // null: none in Info.plist
        std::optional<std::string> stored;
        bool ok;
        std::optional<std::string> resolved;
    };
    const Case cases[] = {
        {"argument", Value(kAppId), Value(), std::nullopt, true, kAppId},
        {"Info.plist", Value(), Value(kOtherAppId), std::nullopt, true, kOtherAppId},
        {"stored copy", Value(), Value(), kAppId, true, kAppId},
        {"JSON null argument", Value(nullptr), Value(), std::nullopt, false, std::nullopt},
        {"number argument", Value(42), Value(), std::nullopt, false, std::nullopt},
        {"non-string in Info.plist", Value(), Value(7), kAppId, true, kAppId},
        {"malformed", Value("not-a-uuid"), Value(), std::nullopt, false, "not-a-uuid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        relaunch();
        ASSERT_TRUE(store()->removeObjectForKey("VD_APP_ID").ok());
        if (c.stored) {
            ASSERT_TRUE(store()->setString(*c.stored, "VD_APP_ID").ok());
        }
        Value info = Value::dictionary();
        if (!c.infoId.isNull()) info.set("VezEduduz_APPID", c.infoId);
        writeInfo(info);
        EXPECT_EQ(VezEduduz::initAppId(c.argument, Value::dictionary()), c.ok);
        EXPECT_EQ(VezEduduz::app_id(), c.resolved);
    }
    EXPECT_GE(linesContaining("VezEduduz AppId never set!"), 1u);
    EXPECT_GE(linesContaining("VezEduduz AppId format is invalid."), 1u);
}

TEST_F(StartupTest, AnInfoPlistIdSendsNoParametersRequest) {
    writeInfo(Value::dictionary({{"VezEduduz_APPID", kAppId}}));
    VezEduduz::initWithLaunchOptions(Value(), Value(), nullptr, nullptr, Value::dictionary());
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(VezEduduz::app_id(), kAppId);
    EXPECT_EQ(store()->stringForKey("VD_APP_ID"), kAppId);
    EXPECT_TRUE(service.requestsTo("apps/" + std::string(kAppId) + "/ios_params.js").empty());
}

TEST_F(StartupTest, ANewAppIdDropsThePlayerInMemoryAndStored) {
    ASSERT_TRUE(store()->setString(kAppId, "VD_APP_ID").ok());
    ASSERT_TRUE(store()->setString("old-player", "VD_PLAYER_ID").ok());
    ASSERT_TRUE(VezEduduz::initAppId(Value(kAppId), Value::dictionary()));
    ASSERT_EQ(VezEduduz::mUserId(), "old-player");

    ASSERT_TRUE(VezEduduz::initAppId(Value(kOtherAppId), Value::dictionary()));
    EXPECT_FALSE(store()->stringForKey("VD_PLAYER_ID").has_value());
    EXPECT_FALSE(VezEduduz::mUserId().has_value());
    EXPECT_TRUE(VezEduduz::isHighPriorityCall());
    EXPECT_EQ(store()->stringForKey("VD_APP_ID"), kOtherAppId);

    // The parameters request of start-up goes out before the id is resolved: only the stored app's
    // own request names its player.
    struct Case {
        const char* appId;
        std::optional<std::string> playerId;
    };
    for (const Case& c : {Case{kOtherAppId, "old-player"}, Case{kAppId, std::nullopt}}) {
        SCOPED_TRACE(c.appId);
        relaunch();
        ASSERT_TRUE(store()->setString(kOtherAppId, "VD_APP_ID").ok());
        ASSERT_TRUE(store()->setString("old-player", "VD_PLAYER_ID").ok());
        VezEduduz::initWithLaunchOptions(Value(), Value(c.appId), nullptr, nullptr, Value::dictionary());
        std::string path = "apps/" + std::string(c.appId) + "/ios_params.js";
        ASSERT_TRUE(waitFor([&] { return service.requestsTo(path).size() == 1; }));
        EXPECT_EQ(service.requestsTo(path)[0].queryItem("player_id"), c.playerId);
    }
}

TEST_F(StartupTest, InFocusDisplayTypeFromSettingsAndSystemVersion) {
    struct Case {
        int major;
        Value settings;
        uint64_t expected;
    };
    const Case cases[] = {
        {17, Value::dictionary({{kOSSettingsKeyInFocusDisplayOption, 2}, {kOSSettingsKeyInAppAlerts, false}}), 2},
        {17, Value::dictionary({{kOSSettingsKeyInFocusDisplayOption, 3}, {kOSSettingsKeyInAppAlerts, false}}), 0},
        {17, Value::dictionary({{kOSSettingsKeyInFocusDisplayOption, "2"}}), 1},
        {9, Value::dictionary({{kOSSettingsKeyInFocusDisplayOption, 2}}), 1},
        {17, Value::dictionary(), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.description());
        relaunch();
        setSystemVersion(c.major);
        VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr, c.settings);
        EXPECT_EQ(static_cast<uint64_t>(VezEduduz::inFocusDisplayType()), c.expected);
        MainLoop::shared().runUntilIdle();
    }
}

TEST_F(StartupTest, SettingsAreAppliedKeyByKey) {
    setSystemVersion(11);
    VezEduduz::initWithLaunchOptions(
        Value::dictionary({{uikit::kLaunchOptionsRemoteNotificationKey, Value::dictionary()}}), Value(kAppId), nullptr,
        nullptr,
        Value::dictionary({{kOSSettingsKeyAutoPrompt, false},
                           {kOSSSettingsKeyPromptBeforeOpeningPushURL, true},
                           {kOSSettingsKeyProvidesAppNotificationSettings, true},
                           {kOSSettingsKeyInAppLaunchURL, "yes"}}));
    EXPECT_FALSE(VezEduduz::autoPrompt());
    EXPECT_TRUE(VezEduduz::promptBeforeOpeningPushURL());
    EXPECT_EQ(store()->objectForKey("PROMPT_BEFORE_OPENING_PUSH_URL"), Value(true));
    EXPECT_FALSE(VezEduduz::providesAppNotificationSettings()) << "honoured from 12 only";
    EXPECT_EQ(store()->objectForKey("VEZEDUDUZ_INAPP_LAUNCH_URL"), Value(true)) << "a string is ignored";
    EXPECT_TRUE(VezEduduz::coldStartFromTapOnNotification());
    EXPECT_FALSE(VezEduduz::coldStartFromTapOnNotification()) << "read and reset";
    MainLoop::shared().runUntilIdle();
}

TEST_F(StartupTest, ProvisionalParametersCountOnlyWithoutAutoPrompt) {
    service.setIosParams(R"({"uses_provisional_auth":true,"require_email_auth":true})");
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr,
                                     Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}));
    ASSERT_TRUE(waitFor([] { return VezEduduz::iosParamsReceived(); }));
    EXPECT_FALSE(store()->objectForKey("VEZEDUDUZ_USES_PROVISIONAL_PUSH_AUTHORIZATION").has_value());
    EXPECT_TRUE(VezEduduz::currentEmailSubscriptionState()->requiresEmailAuth());

    // A device whose user was never asked.
    relaunch();
    forgetNotificationAnswer();
    usernotifications::UserNotificationCenter::resetCurrent();
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr,
                                     Value::dictionary({{kOSSettingsKeyAutoPrompt, false}}));
    ASSERT_TRUE(waitFor([] { return VezEduduz::iosParamsReceived(); }));
    EXPECT_EQ(store()->objectForKey("VEZEDUDUZ_USES_PROVISIONAL_PUSH_AUTHORIZATION"), Value(1));
    ASSERT_TRUE(waitFor([] { return VezEduduz::currentPermissionState()->provisional(); }));
}

TEST_F(StartupTest, LogLevelsDecideConsoleAndDialog) {
    std::vector<std::string> titles;
    VezEduduz::setDialogPresenter([&](const std::string& title, const std::string&, const std::string&,
                                      const std::string& cancel,
                                      std::function<void(bool)>) { titles.push_back(title + "|" + cancel); });
    VezEduduz::setLogLevel(VELogLevel::error, VELogLevel::fatal);
    VezEduduz::vezeduduz_Log(VELogLevel::fatal, "f");
    VezEduduz::vezeduduz_Log(VELogLevel::warn, "w");
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(linesContaining("FATAL: f"), 1u);
    EXPECT_EQ(linesContaining("WARNING: w"), 0u);
    EXPECT_EQ(titles, std::vector<std::string>{"FATAL: |Close"});
}

// Start-up's own lines go through the dialogs as well: a bad app id is said once and shown.
TEST_F(StartupTest, VisualLevelShowsStartUpsOwnFatalLine) {
    launchApplication();
    auto window = std::make_shared<uikit::Window>();
    window->setRootViewController(std::make_shared<uikit::ViewController>());
    window->makeKeyAndVisible();
    VezEduduz::setLogLevel(VELogLevel::verbose, VELogLevel::fatal);
    VezEduduz::initWithLaunchOptions(Value(), Value("not-a-uuid"), nullptr, nullptr, Value::dictionary());
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(linesContaining("FATAL: "), 1u);
    auto alert = std::dynamic_pointer_cast<uikit::AlertController>(window->topPresentedViewController());
    ASSERT_TRUE(alert) << "no dialog";
    EXPECT_EQ(alert->alertTitle(), "FATAL: ");
    EXPECT_NE(alert->message().value_or("").find("VezEduduz AppId format is invalid."), std::string::npos);
    EXPECT_TRUE(alert->tapAction("Close"));
    MainLoop::shared().advance(0.25);
    EXPECT_EQ(window->topPresentedViewController(), window->rootViewController());
}

TEST_F(StartupTest, SnapshotAndIdsCallbackFromAnotherThread) {
    ASSERT_TRUE(store()->setString("p7", "VD_PLAYER_ID").ok());
    ASSERT_TRUE(store()->setString(kAppId, "VD_APP_ID").ok());
    std::shared_ptr<VEPermissionSubscriptionState> snapshot;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        snapshot = VezEduduz::getPermissionSubscriptionState();
        done = true;
    });
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(snapshot->subscriptionStatus->userId(), "p7");

    std::vector<std::optional<std::string>> tokens;
    VezEduduz::IdsAvailable([&](const auto& userId, const auto& token) {
        EXPECT_EQ(userId, "p7");
        tokens.push_back(token);
    });
    MainLoop::shared().runUntilIdle();
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_FALSE(tokens[0].has_value()) << "no usable token yet: called, and kept";
    VezEduduz::currentPermissionState()->setAccepted(true);
    VezEduduz::currentSubscriptionState()->setPushToken("tok");
    VezEduduz::fireIdsAvailableCallback();
    VezEduduz::fireIdsAvailableCallback();
    MainLoop::shared().runUntilIdle();
    ASSERT_EQ(tokens.size(), 2u) << "released once it had a token";
    EXPECT_EQ(tokens[1], "tok");
}

// Settings, accessors and calls from several threads at once: each lands on the main loop, a thread
// reads back what it set, and the launch's notification tap is handed to one reader only.
TEST_F(StartupTest, FacadeCallsFromSeveralThreads) {
    ASSERT_TRUE(store()->setString("p7", "VD_PLAYER_ID").ok());
    ASSERT_TRUE(store()->setString(kAppId, "VD_APP_ID").ok());
    VezEduduz::initWithLaunchOptions(
        Value::dictionary({{uikit::kLaunchOptionsRemoteNotificationKey, Value::dictionary()}}), Value(kAppId), nullptr,
        nullptr, Value::dictionary({{kOSSettingsKeyAutoPrompt, false}}));
    constexpr int kThreads = 4;
    std::atomic<int> finished{0}, taps{0}, misreads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            if (VezEduduz::coldStartFromTapOnNotification()) ++taps;
            for (int i = 0; i < 20; ++i) {
                VezEduduz::setDelayIntervals(25.0 + t, 30.0);
                VezEduduz::setMSDKType(t % 2 ? "native" : "unity");
                VezEduduz::setWaitingForApnsResponse(i % 2 == 0);
                VezEduduz::setLocationShared(i % 2 == 0);
                VezEduduz::sendTags(Value::dictionary({{"t" + std::to_string(t), i}}));
                if (VezEduduz::app_id() != kAppId || VezEduduz::mUserId() != "p7") ++misreads;
                auto snapshot = VezEduduz::getPermissionSubscriptionState();
                if (snapshot->subscriptionStatus->userId() != "p7") ++misreads;
                (void)VezEduduz::getNotificationTypes();
                (void)VezEduduz::isHighPriorityCall();
            }
            ++finished;
        });
    }
    ASSERT_TRUE(waitFor([&] { return finished == kThreads; }));
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(taps, 1);
    EXPECT_EQ(misreads, 0);

    std::atomic<int> seen{-1};
    std::thread worker([&] {
        VezEduduz::setInFocusDisplayType(0);
        seen = static_cast<int>(VezEduduz::inFocusDisplayType());
    });
    ASSERT_TRUE(waitFor([&] { return seen >= 0; }));
    worker.join();
    EXPECT_EQ(seen, 0) << "a thread reads back what it set";

    // What a main-loop answer throws reaches the thread that asked, which goes on.
    std::atomic<int> caught{0};
    std::thread asker([&] {
        try {
            (void)answerOnMainLoop([]() -> int { throw std::runtime_error("no answer"); });
        } catch (const std::runtime_error&) {
            caught = 1;
        }
        if (!caught) caught = -1;
    });
    ASSERT_TRUE(waitFor([&] { return caught != 0; }));
    asker.join();
    EXPECT_EQ(caught, 1);
}

}  // namespace
}  // namespace core_test
