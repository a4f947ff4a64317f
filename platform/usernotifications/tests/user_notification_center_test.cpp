#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/dispatch/OnceHandler.h"
#include "platform/uikit/tests/UIKitTestSupport.h"
#include "platform/usernotifications/Delivery.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace uikit_test {
namespace {

using namespace platform::usernotifications;
using Log = std::vector<std::string>;

constexpr const char* kWillPresent = "userNotificationCenter:willPresentNotification:withCompletionHandler:";
constexpr const char* kDidReceive = "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";

class CenterTest : public UIKitTest {
protected:
    void SetUp() override {
        UIKitTest::SetUp();
        UserNotificationCenter::resetCurrent();
    }
    void TearDown() override {
        UserNotificationCenter::resetCurrent();
        UIKitTest::TearDown();
    }
    void setSystem(int major, const char* answer = "granted") {
        PlatformConfig::update([&](PlatformSettings& s) {
            s.systemVersion = {major, 0, 0};
            s.notificationAuthorizationAnswer = answer;
        });
    }
    static bool waitFor(const std::function<bool()>& done) { return dispatch::MainLoop::shared().runUntil(done, 5.0); }
    void authorize(int64_t options) {
        std::atomic<bool> done{false};
        UserNotificationCenter::current()->requestAuthorizationWithOptions(
            options, [&](bool, std::optional<Error>) { done = true; });
        ASSERT_TRUE(waitFor([&] { return done.load(); }));
    }
    // A delegate object whose class implements the given centre-delegate methods.
    ObjectHandle makeCenterDelegate(objc::Imp willPresent, objc::Imp didReceive) {
        objc::ClassBuilder b(objc::Runtime::shared(), uniqueName("CenterDelegate"),
                             objc::Runtime::shared().rootClass());
        if (willPresent) b.method(sel(kWillPresent), willPresent);
        if (didReceive) b.method(sel(kDidReceive), didReceive);
        return std::make_shared<Object>(b.registerClass());
    }
    std::shared_ptr<Application> launchWithDelegate(Log* log) {
        objc::ClassBuilder b(objc::Runtime::shared(), uniqueName("PushAppDelegate"), responderClass());
        b.method(sel("application:didReceiveRemoteNotification:fetchCompletionHandler:"),
                 makeImp([log](Object*, Selector, ObjectHandle app, Value info, FetchCompletionHandler done) {
                     auto* a = objc::native<Application>(app.get());
                     log->push_back(std::string("fetch ") + applicationStateName(a->applicationState()) + " " +
                                    info["id"].stringOr(""));
                     done(BackgroundFetchResult::NewData);
                 }));
        b.method(sel("application:handleActionWithIdentifier:forRemoteNotification:completionHandler:"),
                 makeImp([log](Object*, Selector, ObjectHandle, std::string id, Value, std::function<void()> done) {
                     log->push_back("action " + id);
                     done();
                 }));
        std::string name = b.cls()->name();
        b.registerClass();
        auto launched = launchApplication(nullptr, name.c_str());
        EXPECT_TRUE(launched.ok());
        return launched.ok() ? launched.value() : nullptr;
    }
    static Value push(const char* id, bool withAlert = true) {
        Value aps = Value::dictionary({{"badge", 4}});
        if (withAlert) aps.set("alert", Value::dictionary({{"title", "Hello"}, {"body", "World"}}));
        return Value::dictionary({{"aps", aps}, {"id", id}});
    }
};

TEST_F(CenterTest, AuthorizationIsAnsweredOnABackgroundThreadPerSystemVersion) {
    struct Case {
        int system;
        const char* answer;
        int64_t options;
        bool granted;
        AuthorizationStatus status;
        bool prompted;
    } cases[] = {
        {17, "granted", 7, true, AuthorizationStatus::Authorized, true},
        {10, "denied", 7, false, AuthorizationStatus::Denied, true},
        {12, "provisional", 7, true, AuthorizationStatus::Provisional, true},
        {11, "provisional", 7, false, AuthorizationStatus::Denied, true},   // no quiet delivery before 12
        {12, "denied", 64, true, AuthorizationStatus::Provisional, false},  // provisional alone: no prompt
    };
    for (auto& c : cases) {
        UserNotificationCenter::resetCurrent();
        std::filesystem::remove_all(std::filesystem::path(device.path()) /
                                    "Library/UserNotifications");  // a device never asked
        recorded.clear();
        setSystem(c.system, c.answer);
        auto center = UserNotificationCenter::current();
        ASSERT_TRUE(center);
        std::atomic<bool> done{false};
        bool granted = !c.granted;
        std::thread::id answeredOn;
        center->requestAuthorizationWithOptions(c.options, [&](bool g, std::optional<Error> e) {
            granted = g;
            answeredOn = std::this_thread::get_id();
            done = true;
        });
        ASSERT_TRUE(waitFor([&] { return done.load(); }));
        EXPECT_EQ(granted, c.granted) << c.system << " " << c.answer;
        EXPECT_NE(answeredOn, std::this_thread::get_id());
        EXPECT_EQ(center->authorizationStatus(), c.status) << c.system << " " << c.answer;
        EXPECT_EQ(eventsNamed("notification.prompt").size(), c.prompted ? 1u : 0u);

        std::atomic<bool> got{false};
        NotificationSettings settings;
        center->getNotificationSettingsWithCompletionHandler([&](NotificationSettings s) {
            settings = s;
            got = true;
        });
        ASSERT_TRUE(waitFor([&] { return got.load(); }));
        EXPECT_EQ(settings.authorizationStatus, c.status);
    }
}

TEST_F(CenterTest, TheCentreDoesNotExistBeforeSystemTen) {
    setSystem(9);
    EXPECT_EQ(UserNotificationCenter::current(), nullptr);
    setSystem(10);
    EXPECT_NE(UserNotificationCenter::current(), nullptr);
    EXPECT_NE(objc::lookUpClass("UNUserNotificationCenter"), nullptr);
}

// The answer is the device's: a later request in the same run or after a relaunch gets it without a
// prompt, and the settings say it from the launch on.
TEST_F(CenterTest, ASecondAnswerKeepsTheFirstWithoutAPrompt) {
    for (const char* first : {"denied", "granted"}) {
        SCOPED_TRACE(first);
        std::filesystem::remove_all(std::filesystem::path(device.path()) / "Library/UserNotifications");
        UserNotificationCenter::resetCurrent();
        recorded.clear();
        setSystem(17, first);
        authorize(AuthorizationOptionBadge | AuthorizationOptionAlert);
        const bool granted = std::string(first) == "granted";
        PlatformConfig::update(
            [&](PlatformSettings& s) { s.notificationAuthorizationAnswer = granted ? "denied" : "granted"; });
        authorize(7);
        UserNotificationCenter::resetCurrent();  // a relaunch
        auto relaunched = UserNotificationCenter::current();
        EXPECT_EQ(relaunched->authorizationStatus(),
                  granted ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied);
        auto settings = relaunched->notificationSettings();
        EXPECT_EQ(settings.alertSetting, granted ? NotificationSetting::Enabled : NotificationSetting::Disabled);
        EXPECT_EQ(settings.soundSetting, NotificationSetting::Disabled) << "only the options the user granted";
        authorize(7);
        EXPECT_EQ(eventsNamed("notification.prompt").size(), 1u);
    }
}

TEST_F(CenterTest, WillPresentCompletionIsHonouredOnceAndADoubleCallIsAFault) {
    setSystem(17);
    Log log;
    auto app = launchWithDelegate(&log);
    authorize(7);
    auto center = UserNotificationCenter::current();
    int calls = 0;
    auto centerDelegate = makeCenterDelegate(
        makeImp([&](Object*, Selector, ObjectHandle, std::shared_ptr<Notification> n, PresentationHandler done) {
            ++calls;
            EXPECT_EQ(n->request.content.title, "Hello");
            done(PresentationOptionAlert | PresentationOptionBadge);
            done(PresentationOptionAlert);  // a buggy app
        }),
        nullptr);
    center->setDelegate(centerDelegate);  // held weakly by the centre
    size_t faultsBefore = dispatch::onceHandlerFaultCount();

    deliverRemoteNotification(push("a"));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(eventsNamed("notification.shown").size(), 1u);
    EXPECT_EQ(app->applicationIconBadgeNumber(), 4);
    EXPECT_EQ(dispatch::onceHandlerFaultCount(), faultsBefore + 1);
    auto faults = eventsNamed("fault");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].fields["kind"], Value("completion-called-twice"));
    EXPECT_TRUE(log.empty());  // not content-available: the app delegate is not woken in front
}

// The delegate may ask for an alert; a push with no title or body still shows nothing, as in the
// background, while its badge applies and the app is woken for its content.
TEST_F(CenterTest, InFrontAPushWithNothingToReadShowsNoAlertWhateverTheDelegateAsks) {
    setSystem(17);
    Log log;
    auto app = launchWithDelegate(&log);
    authorize(7);
    auto centerDelegate = makeCenterDelegate(
        makeImp([](Object*, Selector, ObjectHandle, std::shared_ptr<Notification>, PresentationHandler done) {
            done(PresentationOptionAlert | PresentationOptionBadge | PresentationOptionSound);
        }),
        nullptr);
    UserNotificationCenter::current()->setDelegate(centerDelegate);
    Value silent = push("s", false);
    silent.set("aps", Value::dictionary({{"content-available", 1}, {"badge", 5}}));
    deliverRemoteNotification(silent);
    EXPECT_TRUE(eventsNamed("notification.shown").empty());
    EXPECT_EQ(app->applicationIconBadgeNumber(), 5);
    EXPECT_EQ(log, Log({"fetch active s"}));
    EXPECT_TRUE(eventsNamed("push.woke").empty()) << "handed over in front, not woken";
}

TEST_F(CenterTest, AMissingCompletionIsNoticedAfterTheLoopGoesIdle) {
    setSystem(17);
    Log log;
    auto app = launchWithDelegate(&log);
    auto center = UserNotificationCenter::current();
    auto held = std::make_shared<PresentationHandler>();
    auto centerDelegate = makeCenterDelegate(
        makeImp([held](Object*, Selector, ObjectHandle, std::shared_ptr<Notification>, PresentationHandler done) {
            *held = done;  // kept, never called
        }),
        nullptr);
    center->setDelegate(centerDelegate);  // held weakly by the centre
    size_t pendingBefore = dispatch::pendingOnceHandlerCount();
    deliverRemoteNotification(push("b"));
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(dispatch::pendingOnceHandlerCount(), pendingBefore + 1);
    EXPECT_GE(dispatch::reportPendingOnceHandlers(), 1u);
    EXPECT_EQ(eventsNamed("notification.shown").size(), 0u);
    (*held)(0);
    EXPECT_EQ(dispatch::pendingOnceHandlerCount(), pendingBefore);
}

// A push neither shown nor handed to the app is dropped, and said so with why (its badge still applies).
TEST_F(CenterTest, BackgroundPushShowsAndWakesTheAppOnlyForContentAvailable) {
    setSystem(17);
    Log log;
    auto app = launchWithDelegate(&log);
    authorize(7);
    auto dropped = [&] {
        std::vector<std::string> reasons;
        for (const auto& e : eventsNamed("push.dropped")) reasons.push_back(e.fields["reason"].stringOr(""));
        recorded.clear();
        return reasons;
    };
    using Reasons = std::vector<std::string>;
    deliverRemoteNotification(push("f", false));  // in front, with no centre delegate
    EXPECT_EQ(dropped(), Reasons{"the app is in front, its notification centre has no delegate to present it, "
                                 "and no content-available wakes it"});

    app->enterBackground();
    deliverRemoteNotification(push("c"));
    EXPECT_EQ(log, Log());  // shown by the system alone
    ASSERT_EQ(eventsNamed("notification.shown").size(), 1u);
    EXPECT_EQ(UserNotificationCenter::current()->deliveredNotifications().size(), 1u);

    Value wake = push("w");
    wake.set("aps", Value::dictionary({{"content-available", 1}, {"badge", 4}}));
    deliverRemoteNotification(wake);
    EXPECT_EQ(log, Log({"fetch background w"}));
    auto woke = eventsNamed("push.woke");
    ASSERT_EQ(woke.size(), 1u);
    EXPECT_EQ(woke[0].fields["state"], Value("background"));
    EXPECT_EQ(dropped(), Reasons{});

    deliverRemoteNotification(push("s", false));
    EXPECT_EQ(dropped(), Reasons{"the app is not in front, no content-available wakes it, and it has no title or "
                                 "body to show"});
    EXPECT_EQ(app->applicationIconBadgeNumber(), 4);
    EXPECT_EQ(log, Log({"fetch background w"}));

    // Below 10, where the app never asked to show alerts.
    Application::resetShared();
    UserNotificationCenter::resetCurrent();
    setSystem(9);
    app = launchWithDelegate(&log);
    app->enterBackground();
    deliverRemoteNotification(push("a"));
    EXPECT_EQ(dropped(), Reasons{"the app is not in front, no content-available wakes it, and alerts are off"});
}

// A shown notification is on disk when it is said: a process ended right after the line loses nothing.
TEST_F(CenterTest, AShownNotificationIsKeptBeforeItIsSaid) {
    setSystem(17);
    Log log;
    auto app = launchWithDelegate(&log);
    authorize(7);
    auto center = UserNotificationCenter::current();
    auto presenting = makeCenterDelegate(makeImp([](Object*, Selector, ObjectHandle, std::shared_ptr<Notification>,
                                                    PresentationHandler done) { done(PresentationOptionAlert); }),
                                         nullptr);
    center->setDelegate(presenting);
    const std::string file = device.path() + "/Library/UserNotifications/notifications.plist";
    std::vector<bool> keptWhenSaid;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name != "notification.shown") return;
        auto stored = plist::readFile(file);
        const ValueArray* delivered = stored ? (*stored)["delivered"].asArray() : nullptr;
        keptWhenSaid.push_back(delivered && std::any_of(delivered->begin(), delivered->end(), [&](const Value& d) {
                                   return d["request"]["identifier"] == fields["identifier"];
                               }));
    });
    struct Case {
        const char* title;
        std::function<void()> show;
    } cases[] = {
        {"in front", [&] { deliverRemoteNotification(push("front")); }},
        {"in the background",
         [&] {
             app->enterBackground();
             deliverRemoteNotification(push("back"));
         }},
        {"local",
         [&] {
             NotificationRequest request;
             request.identifier = "local";
             request.content.title = "local";
             center->addNotificationRequest(request);
             dispatch::MainLoop::shared().runUntilIdle();
         }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.title);
        keptWhenSaid.clear();
        recorded.clear();
        c.show();
        ASSERT_EQ(eventsNamed("notification.shown").size(), 1u);
        EXPECT_EQ(keptWhenSaid, std::vector<bool>{true});
    }
}

TEST_F(CenterTest, TapRoutesByVersionWithTheAppInactiveWhileItHears) {
    // System 10 and later: the centre's delegate, with the action identifier.
    setSystem(17);
    Log log;
    auto app = launchWithDelegate(&log);
    authorize(7);
    auto center = UserNotificationCenter::current();
    auto centerDelegate =
        makeCenterDelegate(nullptr, makeImp([&](Object*, Selector, ObjectHandle,
                                                std::shared_ptr<NotificationResponse> r, std::function<void()> done) {
                               log.push_back("response " + r->actionIdentifier + " " +
                                             r->notification->request.content.userInfo["id"].stringOr("") + " " +
                                             applicationStateName(app->applicationState()));
                               done();
                           }));
    center->setDelegate(centerDelegate);  // held weakly by the centre
    app->enterBackground();
    deliverRemoteNotification(push("d"));
    log.clear();
    tapNotification(push("d"), "reply");
    EXPECT_EQ(log, Log({"response reply d inactive"}));
    EXPECT_EQ(app->applicationState(), ApplicationState::Active);
    EXPECT_TRUE(center->deliveredNotifications().empty());  // the tapped one leaves the list

    // Below 10: the application delegate.
    Application::resetShared();
    UserNotificationCenter::resetCurrent();
    setSystem(9);
    log.clear();
    app = launchWithDelegate(&log);
    app->enterBackground();
    tapNotification(push("e"));
    tapNotification(push("f"), "open-site");
    EXPECT_EQ(log, Log({"fetch inactive e", "action open-site"}));

    // What the device showed is there to tap, once.
    app->registerUserNotificationSettings({7, {}});
    app->enterBackground();
    log.clear();
    recorded.clear();
    deliverRemoteNotification(push("g"));
    ASSERT_EQ(eventsNamed("notification.shown").size(), 1u);
    EXPECT_TRUE(tapDeliveredNotification(""));
    EXPECT_FALSE(tapDeliveredNotification(""));
    EXPECT_EQ(log, Log({"fetch inactive g"}));
}

// Below 10 the device keeps what it shows until the user taps it, but only the newest, as the centre does
// from 10 on: local and remote ones together.
TEST_F(CenterTest, BelowTenTheDeviceKeepsTheNewestShownOnly) {
    setSystem(9);
    Log log;
    auto app = launchWithDelegate(&log);
    app->registerUserNotificationSettings({7, {}});
    app->enterBackground();
    auto local = std::make_shared<LocalNotification>();
    local->alertBody = "scheduled";
    app->scheduleLocalNotification(local);
    ASSERT_EQ(app->shownLocalNotifications().size(), 1u);
    const size_t kept = Application::kMaxShownNotifications;
    for (size_t i = 0; i < kept; ++i) deliverRemoteNotification(push(("p" + std::to_string(i)).c_str()));
    auto shown = eventsNamed("notification.shown");
    ASSERT_EQ(shown.size(), kept + 1);
    EXPECT_TRUE(app->shownLocalNotifications().empty()) << "the oldest went";
    deliverRemoteNotification(push("newest"));
    EXPECT_FALSE(tapDeliveredNotification(shown[1].fields["identifier"].stringOr(""))) << "the oldest remote one went";
    EXPECT_TRUE(tapDeliveredNotification(shown[2].fields["identifier"].stringOr("")));
    EXPECT_EQ(log, Log({"fetch inactive p1"}));
}

}  // namespace
}  // namespace uikit_test
