// The location reporter over the platform's location manager: when it starts and what it asks for, what
// it sends and when, across focus changes, and the fixes it refuses.
#include "VezEduduzSDK/Source/VezEduduzLocation.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "platform/corelocation/CoreLocation.h"

namespace core_test {
namespace {

namespace cl = platform::corelocation;
using cl::AuthorizationStatus;

class LocationTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        PlatformConfig::update([](PlatformSettings& s) { s.optionalFrameworks.insert(cl::kFrameworkName); });
        cl::registerClasses();
        prompts_ = DeviceEvents::addListener([this](const std::string& name, const Value& fields) {
            if (name != "location.prompt") return;
            std::lock_guard lock(promptMutex_);
            prompts_seen_.push_back(fields["kind"].stringOr(""));
        });
    }

    std::vector<std::string> prompts() {
        std::lock_guard lock(promptMutex_);
        return prompts_seen_;
    }

    // Launch, start-up with a player made by the service, and the 2 s start delay passed.
    void startWithPlayer() {
        launchApplication();
        VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr,
                                         Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}));
        ASSERT_TRUE(waitFor([&] { return VezEduduz::mUserId().has_value(); }));
        settleRegistration();
        base_ = locationPuts().size();  // a player kept from an earlier row already has its own
        MainLoop::shared().advance(VezEduduzLocation::kStartDelay);
    }

    std::vector<Value> locationPuts() {
        std::vector<Value> out;
        auto id = VezEduduz::mUserId();
        if (!id) return out;
        for (const auto& r : service.requestsTo("players/" + *id)) {
            Value body = bodyOf(r);
            if (r.method == "PUT" && body.find("lat")) out.push_back(body);
        }
        return out;
    }
    // Exactly n location sends in this row (a short wait: most answers are already in).
    bool waitForPuts(size_t n) {
        return waitFor([&] { return locationPuts().size() >= base_ + n; }, 10) && locationPuts().size() == base_ + n;
    }
    size_t base_ = 0;

    DeviceEvents::Token prompts_;
    std::mutex promptMutex_;
    std::vector<std::string> prompts_seen_;
};

TEST_F(LocationTest, WhenUpdatesStartAndWhatIsAskedFor) {
    struct Row {
        const char* name;
        AuthorizationStatus status;
        bool prompt;
        bool servicesOn;
        Value info;
        int systemMajor;
        bool started;
        const char* asked;  // the prompt shown, "" for none
        bool background;
        bool missingLine;
    };
    Value whenInUse = Value::dictionary({{"NSLocationWhenInUseUsageDescription", "nearby offices"}});
    Value alwaysBoth = Value::dictionary({{"UIBackgroundModes", Value::array({"location"})},
                                          {"NSLocationAlwaysAndWhenInUseUsageDescription", "on the road"}});
    Value alwaysNoMode = Value::dictionary({{"NSLocationAlwaysUsageDescription", "on the road"},
                                            {"NSLocationWhenInUseUsageDescription", "nearby offices"}});
    const Row rows[] = {
        {"undetermined without prompt", AuthorizationStatus::NotDetermined, false, true, whenInUse, 17, false, "",
         false, false},
        {"undetermined with prompt", AuthorizationStatus::NotDetermined, true, true, whenInUse, 17, true, "when-in-use",
         false, false},
        {"always asked with the background mode", AuthorizationStatus::NotDetermined, true, true, alwaysBoth, 17, true,
         "always", true, false},
        {"always on system 8: no background switch", AuthorizationStatus::NotDetermined, true, true, alwaysBoth, 8,
         true, "always", false, false},
        {"always described but no background mode", AuthorizationStatus::NotDetermined, true, true, alwaysNoMode, 17,
         true, "when-in-use", false, false},
        {"no description: the line, still started", AuthorizationStatus::NotDetermined, true, true, Value::dictionary(),
         17, true, "", false, true},
        {"answered before: no prompt needed", AuthorizationStatus::Denied, false, true, whenInUse, 17, true, "", false,
         false},
        {"services off", AuthorizationStatus::AuthorizedAlways, true, false, whenInUse, 17, false, "", false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        tesmar_testing::resetProcessState();
        SetUp();
        setSystemVersion(row.systemMajor);
        writeInfo(row.info);
        cl::setAuthorizationStatus(row.status);
        cl::setServicesEnabled(row.servicesOn);
        size_t missingBefore = linesContaining(VezEduduzLocation::kMissingDescriptionMessage);
        VezEduduzLocation::internalGetLocation(row.prompt);
        MainLoop::shared().runUntilIdle();
        EXPECT_EQ(cl::updatingManagers(), row.started ? 1 : 0);
        auto seen = prompts();
        EXPECT_EQ(seen.empty() ? std::string() : seen[0], std::string(row.asked));
        EXPECT_EQ(cl::backgroundManagers(), row.background ? 1 : 0);
        EXPECT_EQ(linesContaining(VezEduduzLocation::kMissingDescriptionMessage) - missingBefore,
                  row.missingLine ? 1u : 0u);
        // Started once per process.
        VezEduduzLocation::internalGetLocation(true);
        EXPECT_LE(cl::updatingManagers(), 1);
        std::lock_guard lock(promptMutex_);
        prompts_seen_.clear();
    }
}

TEST_F(LocationTest, StartUpWaitsTwoSecondsThenOneFixIsSentAtOnceForBothPlayers) {
    writeInfo(Value::dictionary({{"NSLocationWhenInUseUsageDescription", "nearby offices"}}));
    cl::setAuthorizationStatus(AuthorizationStatus::AuthorizedWhenInUse);
    cl::setPosition({48.1, 11.6, 8, 12});
    launchApplication();
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr,
                                     Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}));
    ASSERT_TRUE(waitFor([&] { return VezEduduz::mUserId().has_value(); }));
    settleRegistration();
    MainLoop::shared().advance(1.9);
    EXPECT_EQ(cl::updatingManagers(), 0) << "nothing before the 2 s";
    VezEduduz::currentEmailSubscriptionState()->setEmailUserId("email-player");
    VezEduduz::currentEmailSubscriptionState()->setEmailAuthCode("hash");
    MainLoop::shared().advance(0.2);
    ASSERT_TRUE(waitForPuts(1));
    EXPECT_EQ(cl::updatingManagers(), 0) << "one fix per start";
    Value put = locationPuts()[0];
    EXPECT_EQ(put["app_id"], Value(kAppId));
    EXPECT_DOUBLE_EQ(put["lat"].doubleOr(0), 48.1);
    EXPECT_DOUBLE_EQ(put["loc_acc_vert"].doubleOr(0), 12);
    EXPECT_FALSE(put.contains("email_auth_hash"));
    ASSERT_TRUE(waitFor([&] { return !service.requestsTo("players/email-player").empty(); }));
    EXPECT_EQ(bodyOf(service.requestsTo("players/email-player")[0])["email_auth_hash"], Value("hash"));
    ASSERT_TRUE(VezEduduzLocation::timeLeftOnSendTimer());
    EXPECT_NEAR(*VezEduduzLocation::timeLeftOnSendTimer(), 300.0, 0.2);
}

TEST_F(LocationTest, TimerIntervalsAcrossFocusChanges) {
    mainThread.assertOnThread();
    enum Op { Advance, Background, Foreground };
    struct Step {
        Op op;
        double seconds = 0;
    };
    struct Row {
        const char* name;
        AuthorizationStatus status;
        std::vector<Step> steps;
        std::optional<double> left;  // on the send timer afterwards
        size_t puts;                 // location sends in all, the first one included
        bool task;                   // a background task is held afterwards
    };
    const Row rows[] = {
        {"active: every 300 s", AuthorizationStatus::AuthorizedWhenInUse, {{Advance, 300}}, 300.0, 2, false},
        {"always, background with 100 s left keeps them",
         AuthorizationStatus::AuthorizedAlways,
         {{Advance, 200}, {Background}},
         100.0,
         1,
         true},
        {"always, the background send re-arms for 585 s and ends its task",
         AuthorizationStatus::AuthorizedAlways,
         {{Advance, 200}, {Background}, {Advance, 100}},
         585.0,
         2,
         false},
        {"when in use: the handle is dropped but the timer fires once",
         AuthorizationStatus::AuthorizedWhenInUse,
         {{Advance, 200}, {Background}, {Advance, 100}},
         585.0,
         2,
         false},
        {"back in front keeps the time left",
         AuthorizationStatus::AuthorizedAlways,
         {{Advance, 200}, {Background}, {Advance, 40}, {Foreground}},
         60.0,
         1,
         false},
        {"two moves to the background hold one task",
         AuthorizationStatus::AuthorizedAlways,
         {{Background}, {Foreground}, {Background}},
         300.0,
         1,
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // The reporter's timers go first, so that settling the registration waits for its answer.
        tesmar_testing::resetProcessState({"vezeduduz.location"});
        settleRegistration();
        tesmar_testing::resetProcessState();
        SetUp();
        cl::setAuthorizationStatus(row.status);
        cl::setPosition({1, 2, 3, 4});
        // The device token arrives on its own time and asks for a registration a registration delay later;
        // that registration takes the fix it finds, and would meet a row's clock moves halfway (whether it
        // answers before a send timer fires depends on the machine's load). Kept out of these rows.
        statics().registrationDelay = 1e9;
        startWithPlayer();
        ASSERT_TRUE(waitForPuts(1));
        auto app = uikit::Application::shared();
        for (const auto& step : row.steps) {
            switch (step.op) {
            case Advance:
                MainLoop::shared().advance(step.seconds);
                break;
            case Background:
                app->enterBackground();
                VezEduduzLocation::onfocus(false);
                break;
            case Foreground:
                app->enterForeground();
                VezEduduzLocation::onfocus(true);
                break;
            }
        }
        EXPECT_TRUE(waitForPuts(row.puts));
        // A task held for a background send ends once the service has answered it.
        waitFor([&] { return VezEduduzLocation::holdsBackgroundTask() == row.task; }, 10);
        EXPECT_EQ(VezEduduzLocation::timeLeftOnSendTimer(), row.left);
        EXPECT_EQ(VezEduduzLocation::holdsBackgroundTask(), row.task);
        EXPECT_EQ(app->backgroundTaskCount(), row.task ? 1u : 0u);
    }
}

TEST_F(LocationTest, FalseFixesAndSharingOffSendNothing) {
    mainThread.assertOnThread();
    cl::setAuthorizationStatus(AuthorizationStatus::AuthorizedWhenInUse);
    cl::setPosition({5, 6, -1, 3});  // no valid accuracy: not a fix
    startWithPlayer();
    MainLoop::shared().runUntilIdle();
    EXPECT_FALSE(VezEduduzLocation::lastLocation());
    EXPECT_EQ(cl::updatingManagers(), 1) << "still waiting for a real fix";

    statics().locationShared = false;
    cl::setPosition({5, 6, 7, 8});
    MainLoop::shared().runUntilIdle();
    EXPECT_FALSE(VezEduduzLocation::lastLocation()) << "not kept while sharing is off";
    EXPECT_EQ(cl::updatingManagers(), 0);
    MainLoop::shared().advance(600);
    EXPECT_FALSE(waitForPuts(1));
    EXPECT_TRUE(locationPuts().empty());
}

TEST_F(LocationTest, SharingTurnedOffAfterTheFixStopsTheTimedSends) {
    mainThread.assertOnThread();
    cl::setAuthorizationStatus(AuthorizationStatus::AuthorizedWhenInUse);
    cl::setPosition({5, 6, 7, 8});
    startWithPlayer();
    ASSERT_TRUE(waitForPuts(1));
    statics().locationShared = false;
    MainLoop::shared().advance(900);
    EXPECT_FALSE(waitForPuts(2));
    EXPECT_EQ(locationPuts().size(), 1u);
}

TEST_F(LocationTest, AFixBeforeThePlayerRidesInTheRegistrationAndSurvivesItsFailure) {
    cl::setAuthorizationStatus(AuthorizationStatus::AuthorizedWhenInUse);
    cl::setPosition({40, -3, 9, 11});
    launchApplication();
    VezEduduzLocation::getLocation(false);
    MainLoop::shared().advance(VezEduduzLocation::kStartDelay);
    MainLoop::shared().runUntilIdle();
    ASSERT_TRUE(VezEduduzLocation::lastLocation());

    service.script("POST players", {tesmar_demo::Reply::withStatus(400)});
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr,
                                     Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}));
    ASSERT_TRUE(waitFor([&] { return !service.requestsTo("players").empty(); }));
    settleRegistration();
    EXPECT_DOUBLE_EQ(bodyOf(service.requestsTo("players")[0])["lat"].doubleOr(0), 40);
    EXPECT_TRUE(VezEduduzLocation::lastLocation()) << "a failed registration keeps the fix";

    service.clearScript("POST players");
    VezEduduz::registerUser();
    ASSERT_TRUE(waitFor([&] { return VezEduduz::mUserId().has_value(); }));
    settleRegistration();
    EXPECT_DOUBLE_EQ(bodyOf(service.requestsTo("players").back())["loc_acc"].doubleOr(0), 9);
    EXPECT_FALSE(VezEduduzLocation::lastLocation()) << "forgotten once it arrived";
}

}  // namespace
}  // namespace core_test
