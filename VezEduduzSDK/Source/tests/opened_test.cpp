#include "VezEduduzSDK/Source/VENotificationHandling.h"
#include "VezEduduzSDK/Source/VezEduduzAlertView.h"
#include "VezEduduzSDK/Source/tests/hooks_TestSupport.h"
#include "platform/foundation/JSON.h"
#include "platform/uikit/AlertView.h"

namespace hooks_test {
namespace {

using objc::makeImp;
using objc::Object;
using objc::Selector;

constexpr const char* kWillPresent = "userNotificationCenter:willPresentNotification:withCompletionHandler:";
constexpr const char* kDidReceive = "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";

// The whole road: launch, token, a push in the foreground, a tap.
TEST_F(HooksTest, TokenForegroundPushAndTapReachThePushClientFirst) {
    launchWith(makeClass("PlainDelegate", {}));
    auto app = uikit::Application::shared();
    auto* centreClass =
        makeClass("AppCentreDelegate",
                  {{kWillPresent, makeImp([this](Object*, Selector, ObjectHandle, std::shared_ptr<un::Notification>,
                                                 un::PresentationHandler done) {
                        record("app-will-present");
                        done(0);
                    })},
                   {kDidReceive, makeImp([this](Object*, Selector, ObjectHandle,
                                                std::shared_ptr<un::NotificationResponse>, std::function<void()> done) {
                        record("app-did-receive");
                        done();
                    })}});
    auto centreDelegate = std::make_shared<Object>(centreClass);
    un::UserNotificationCenter::current()->setDelegate(centreDelegate);

    VezEduduz::initWithLaunchOptions(
        Value(), Value(kAppId), [this](std::shared_ptr<VENotification> n) { record("push-received " + idOf(*n)); },
        [this](std::shared_ptr<VENotificationOpenedResult> r) {
            record("push-opened");
            opened.push_back(r);
        },
        Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}));
    VezEduduz::setInFocusDisplayType(2);
    // The token reaches the push client only through the injected handler: the delegate has none.
    ASSERT_TRUE(waitFor([&] { return store()->stringForKey("VD_PLAYER_ID").has_value(); }));
    EXPECT_GE(linesContaining("vezEduduzDidRegisterForRemoteNotifications:deviceToken:"), 1u);
    MainLoop::shared().runUntilIdle();

    takeEvents();
    un::deliverRemoteNotification(message("m1"));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(takeEvents(), (std::vector<std::string>{"push-received m1", "app-will-present"}));
    EXPECT_EQ(app->applicationIconBadgeNumber(), 3) << "shown with badge, sound and alert";

    for (int tap = 0; tap < 2; ++tap) {
        SCOPED_TRACE(tap);
        un::tapNotification(message("m1"));
        MainLoop::shared().runUntilIdle();
        if (tap == 0)
            EXPECT_EQ(takeEvents(), (std::vector<std::string>{"push-opened", "app-did-receive"}));
        else
            EXPECT_EQ(takeEvents(), (std::vector<std::string>{"app-did-receive"})) << "a second tap opens nothing";
    }
    ASSERT_EQ(opened.size(), 1u);
    auto data = opened[0]->notification()->payload()->additionalData();
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ((*data)["targetUrl"].stringOr(""), "https://site/m1");
    EXPECT_EQ(app->applicationIconBadgeNumber(), 0);

    ASSERT_TRUE(waitFor([&] { return service.requestsTo("notifications/m1").size() >= 1; }));
    MainLoop::shared().runUntilIdle();
    auto reports = service.requestsTo("notifications/m1");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].method, "PUT");
    EXPECT_EQ(bodyOf(reports[0])["opened"], Value(true));
    EXPECT_EQ(store()->stringForKey(kLastMessageOpenedKey), "m1");

    // The launch URL opens half a second later (outside the app: no in-app page here).
    for (int i = 0; i < 4; ++i) {
        clock->advance(0.25);
        MainLoop::shared().runUntilIdle();
    }
    auto urls = app->openedURLs();
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_EQ(urls[0].url, "https://example.com/news/m1");
}

class OpenedTest : public HooksTest {
protected:
    void SetUp() override {
        HooksTest::SetUp();
        launchWith(makeClass("OpenedDelegate", {}));
        startPushClient();
        VezEduduz::currentPermissionState()->setNotificationTypes(15);
        takeEvents();
    }
};

TEST_F(OpenedTest, ArrivalsByStateAndDisplayType) {
    struct Delivery {
        Value message;
        bool isActive;
        bool wasOpened;
    };
    struct Case {
        const char* name;
        uint64_t displayType;
        std::vector<Delivery> deliveries;
        std::vector<std::string> heard;
        size_t alerts;
        size_t reports;  // open reports sent to the push service
    };
    Value silent = Value::dictionary({{"custom", Value::dictionary({{"i", "s1"}})}});
    std::vector<Case> cases = {
        {"same message twice while active",
         2,
         {{message("a1"), true, false}, {message("a1"), true, false}},
         {"push-received a1"},
         0,
         0},
        {"in-app alert: shown, no open", 1, {{message("a2"), true, false}}, {"push-received a2"}, 1, 0},
        {"silent message with in-app alert goes to the received block",
         1,
         {{silent, true, false}},
         {"push-received s1"},
         0,
         0},
        {"tap while active with display none: reported, opened block not called",
         0,
         {{message("a3"), true, true}},
         {"push-received a3"},
         0,
         1},
        {"tap in background twice: opened once",
         2,
         {{message("a4"), false, true}, {message("a4"), false, true}},
         {"push-opened"},
         0,
         1},
        {"message without id is never a duplicate",
         2,
         {{Value::dictionary({{"custom", Value::dictionary({{"u", "x"}})}}), true, false}},
         {},
         0,
         0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        tesmar_testing::resetProcessState({"vezeduduz.notification-handling"});
        VezEduduzNotificationHelper::resetLocals();
        VezEduduz::setInFocusDisplayType(c.displayType);
        size_t alertsBefore = VezEduduzAlertView::liveAlertCount();
        std::string reportPath = "notifications/" + c.deliveries[0].message["custom"]["i"].stringOr("none");
        auto reportsSent = [&] { return service.requestsTo(reportPath).size(); };
        for (auto& d : c.deliveries) VezEduduz::notificationReceived(d.message, d.isActive, d.wasOpened);
        MainLoop::shared().runUntilIdle();
        EXPECT_EQ(takeEvents(), c.heard);
        EXPECT_EQ(VezEduduzAlertView::liveAlertCount() - alertsBefore, c.alerts);
        if (c.reports) {
            ASSERT_TRUE(waitFor([&] { return reportsSent() >= c.reports; }));
        }
        MainLoop::shared().runUntilIdle();
        EXPECT_EQ(reportsSent(), c.reports);
    }
}

// In front a push is received, not opened: no open report, no launch URL, no opened block, whether the
// centre presents it (and hands it on to the delegate's older fetch method) or that method hears it
// directly (systems before 10). Only the user's tap opens it.
TEST_F(OpenedTest, InFrontAPushIsReceivedAndOnlyATapOpensIt) {
    auto app = uikit::Application::shared();
    auto fetch = [&](const Value& m) {
        objc::send<void, ObjectHandle, Value, uikit::FetchCompletionHandler>(
            app->delegate(), objc::sel("application:didReceiveRemoteNotification:fetchCompletionHandler:"),
            ObjectHandle(app), m, [](uikit::BackgroundFetchResult) {});
    };
    const struct {
        const char* name;
        Value message;
        bool throughCentre;
    } cases[] = {
        {"badge only, through the centre", message("f1", ""), true},
        {"badge only, to the delegate's fetch method", message("f2", ""), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = c.message["custom"]["i"].stringOr("");
        ASSERT_EQ(app->applicationState(), uikit::ApplicationState::Active);
        const size_t urls = app->openedURLs().size();
        if (c.throughCentre)
            un::deliverRemoteNotification(c.message);
        else
            fetch(c.message);
        MainLoop::shared().runUntilIdle();
        MainLoop::shared().advance(1);  // past the launch URL's delay
        EXPECT_EQ(takeEvents(), std::vector<std::string>{"push-received " + id});
        EXPECT_EQ(app->openedURLs().size(), urls);

        un::tapNotification(c.message);
        MainLoop::shared().runUntilIdle();
        MainLoop::shared().advance(1);
        ASSERT_TRUE(waitFor([&] { return service.requestsTo("notifications/" + id).size() == 1; }));
        MainLoop::shared().runUntilIdle();
        EXPECT_EQ(takeEvents(), std::vector<std::string>{"push-opened"});
        EXPECT_EQ(app->openedURLs().size(), urls + 1);
    }
}

// In front with in-app alerts: the alert shows the payload's buttons, and the open names the button the
// user tapped, not whatever stands at that place in the raw list.
TEST_F(OpenedTest, AnInAppAlertOpensWithTheIdOfTheButtonTapped) {
    VezEduduz::setInFocusDisplayType(1);
    const Value ghostFirst = *platform::json::read(R"([{"i":"ghost"},{"n":"Yes","i":"yes"},{"n":"No","i":"no"}])");
    const Value textOnly = *platform::json::read(R"([{"n":"Yes"}])");
    const struct {
        const char* id;
        const Value& buttons;
        const char* tapped;
        const char* reported;
    } taps[] = {{"t1", ghostFirst, "Yes", "yes"}, {"t2", ghostFirst, "No", "no"}, {"t3", textOnly, "Yes", "Yes"}};
    for (const auto& t : taps) {
        Value m = message(t.id);
        m.set("buttons", t.buttons);
        VezEduduz::notificationReceived(m, true, false);
        MainLoop::shared().runUntilIdle();
        ASSERT_TRUE(uikit::tapAlertButton(t.tapped)) << t.id;
        MainLoop::shared().runUntilIdle();
    }
    ASSERT_EQ(opened.size(), std::size(taps));
    for (size_t i = 0; i < opened.size(); ++i) {
        EXPECT_EQ(idOf(*opened[i]->notification()), taps[i].id);
        EXPECT_EQ(opened[i]->action()->type(), VENotificationActionType::ActionTaken);
        EXPECT_EQ(opened[i]->action()->actionID(), taps[i].reported) << taps[i].id;
    }
}

TEST_F(OpenedTest, OpenAlreadyReportedSendsNothingButStillDispatches) {
    ASSERT_TRUE(store()->setString("r1", kLastMessageOpenedKey).ok());
    VezEduduz::notificationReceived(message("r1"), false, true);
    VezEduduz::notificationReceived(message("r2"), false, true);
    ASSERT_TRUE(waitFor([&] { return service.requestsTo("notifications/r2").size() == 1; }));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(takeEvents(), (std::vector<std::string>{"push-opened", "push-opened"}));
    EXPECT_TRUE(service.requestsTo("notifications/r1").empty());
}

TEST_F(OpenedTest, BadgeClearing) {
    auto app = uikit::Application::shared();
    struct Case {
        const char* name;
        bool disabled;
        int32_t types;
        int64_t badge;
        bool cleared;
        int systemMajor = 17;
        int systemMinor = 0;
    };
    for (auto c : {Case{"badge set", false, 15, 4, true}, Case{"no badge", false, 15, 0, false},
                   Case{"clearing switched off", true, 15, 4, false}, Case{"badges not allowed", false, 6, 4, false},
                   Case{"system 8", false, 7, 4, true, 8, 0}, Case{"below system 8", false, 7, 4, false, 7, 1}}) {
        SCOPED_TRACE(c.name);
        setSystemVersion(c.systemMajor, c.systemMinor);
        writeInfo(Value::dictionary({{kDisableBadgeClearingKey, c.disabled}}));
        VezEduduz::currentPermissionState()->setNotificationTypes(c.types);
        app->setApplicationIconBadgeNumber(c.badge);
        EXPECT_EQ(VezEduduz::clearBadgeCount(true), c.cleared);
        EXPECT_EQ(app->applicationIconBadgeNumber(), c.cleared ? 0 : c.badge);
    }
}

}  // namespace
}  // namespace hooks_test
