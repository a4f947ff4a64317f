#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/uikit/tests/UIKitTestSupport.h"

namespace uikit_test {
namespace {

// A screen that records its life cycle.
class Screen : public ViewController {
public:
    explicit Screen(std::vector<std::string>* log, std::string name) : log_(log), name_(std::move(name)) {
        setScreenName(name_);
    }
    void viewDidLoad() override { note("viewDidLoad"); }
    void viewWillAppear(bool) override { note("viewWillAppear"); }
    void viewDidAppear(bool) override { note("viewDidAppear"); }
    void viewWillDisappear(bool) override { note("viewWillDisappear"); }
    void viewDidDisappear(bool) override { note("viewDidDisappear"); }
    void viewDidLayoutSubviews() override { note("viewDidLayoutSubviews"); }

private:
    void note(const std::string& what) {
        if (log_) log_->push_back(name_ + "." + what);
    }
    std::vector<std::string>* log_;
    std::string name_;
};

using Log = std::vector<std::string>;

// Registers a delegate class whose methods append to `log`. `with` picks which it implements.
objc::Class* makeDelegateClass(const std::string& name, Log* log, const std::set<std::string>& with) {
    auto& rt = objc::Runtime::shared();
    objc::ClassBuilder b(rt, name, responderClass());
    auto add = [&](const char* s, objc::Imp imp) {
        if (with.count(s)) b.method(sel(s), std::move(imp));
    };
    auto window = std::make_shared<ObjectHandle>();
    add("window", makeImp([window](Object*, Selector) -> ObjectHandle { return *window; }));
    add("setWindow:", makeImp([log, window](Object*, Selector, ObjectHandle w) {
            log->push_back("setWindow:");
            *window = w;
        }));
    for (const char* s : {"application:willFinishLaunchingWithOptions:", "application:didFinishLaunchingWithOptions:"})
        add(s, makeImp([log, s](Object*, Selector, ObjectHandle app, Value options) {
                log->push_back(std::string(s) +
                               (options.isNull() ? "" : " k=" + std::to_string(options["k"].integerOr(-1))));
                return true;
            }));
    for (const char* s : {"applicationDidBecomeActive:", "applicationWillResignActive:",
                          "applicationDidEnterBackground:", "applicationWillEnterForeground:"})
        add(s, makeImp([log, s](Object*, Selector, ObjectHandle app) {
                auto* a = objc::native<Application>(app.get());
                log->push_back(std::string(s) + " " + applicationStateName(a->applicationState()));
            }));
    add("application:didRegisterForRemoteNotificationsWithDeviceToken:",
        makeImp([log](Object*, Selector, ObjectHandle, Bytes token) {
            log->push_back("token " + std::to_string(token.size()));
        }));
    add("application:didFailToRegisterForRemoteNotificationsWithError:",
        makeImp([log](Object*, Selector, ObjectHandle, Error e) { log->push_back("token failed " + e.domain); }));
    add("application:continueUserActivity:restorationHandler:",
        makeImp([log](Object*, Selector, ObjectHandle, std::shared_ptr<UserActivity> a, RestorationHandler) {
            log->push_back("continue " + (a->webpageURL ? a->webpageURL->absoluteString() : std::string("none")));
            return true;
        }));
    return b.registerClass();
}

const std::set<std::string> kAll = {"window",
                                    "setWindow:",
                                    "application:willFinishLaunchingWithOptions:",
                                    "application:didFinishLaunchingWithOptions:",
                                    "applicationDidBecomeActive:",
                                    "applicationWillResignActive:",
                                    "applicationDidEnterBackground:",
                                    "applicationWillEnterForeground:",
                                    "application:didRegisterForRemoteNotificationsWithDeviceToken:",
                                    "application:didFailToRegisterForRemoteNotificationsWithError:",
                                    "application:continueUserActivity:restorationHandler:"};

class ApplicationTest : public UIKitTest {};

TEST_F(ApplicationTest, LaunchRunsInThePlatformOrderWithAnInterceptedSetDelegate) {
    Log log;
    std::string delegateName = uniqueName("OrderDelegate");
    makeDelegateClass(delegateName, &log, kAll);

    // An SDK intercepts setDelegate: on the application class before launch.
    auto& rt = objc::Runtime::shared();
    std::string appName = uniqueName("InterceptedApp");
    objc::Class* appClass = rt.registerClass(appName, applicationClass());
    rt.addMethod(appClass, sel("sdkSetDelegate:"), makeImp([&log](Object* self, Selector, ObjectHandle d) {
                     log.push_back("intercepted setDelegate:");
                     objc::send<void, ObjectHandle>(self, sel("sdkSetDelegate:"), d);  // the original
                 }));
    ASSERT_TRUE(rt.exchangeImplementations(appClass, sel("setDelegate:"), sel("sdkSetDelegate:")));

    Storyboard::registerStoryboard("Main", {.initial = [&log] { return std::make_shared<Screen>(&log, "root"); }});
    writeInfo(Value::dictionary({{kMainStoryboardFileKey, "Main"}}));

    auto launched = launchApplication(appName.c_str(), delegateName.c_str(), Value::dictionary({{"k", 1}}));
    ASSERT_TRUE(launched.ok()) << launched.error().description();
    auto app = launched.value();

    Log expected = {"intercepted setDelegate:", "setWindow:", "application:willFinishLaunchingWithOptions: k=1",
                    "application:didFinishLaunchingWithOptions: k=1",
                    // The root's view loads when the window goes on screen, after launch has run.
                    "root.viewDidLoad", "root.viewWillAppear", "root.viewDidLayoutSubviews", "root.viewDidAppear",
                    "applicationDidBecomeActive: active"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(app->applicationState(), ApplicationState::Active);
    ASSERT_TRUE(app->keyWindow());
    EXPECT_TRUE(app->keyWindow()->isVisible());
    EXPECT_EQ(app->keyWindow()->rootViewController()->screenName(), "root");
    EXPECT_EQ(objc::send<ObjectHandle>(app, sel("delegate")), app->delegate());
    auto roots = eventsNamed("screen.root");
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].fields["screen"], Value("root"));
}

TEST_F(ApplicationTest, LaunchFailuresAreReportedNotThrown) {
    std::string throwing = uniqueName("ThrowingDelegate");
    objc::ClassBuilder(objc::Runtime::shared(), throwing, responderClass())
        .method(sel("application:didFinishLaunchingWithOptions:"),
                makeImp([](Object*, Selector, ObjectHandle, Value) -> bool { throw std::runtime_error("boom"); }))
        .registerClass();

    struct Case {
        const char* principal;
        std::string delegate;
        Value info;
        std::string expected;
    } cases[] = {
        {nullptr, "NoSuchDelegateClass", Value::dictionary(), "No class named NoSuchDelegateClass"},
        {"NoSuchApplication", "", Value::dictionary(), "No class named NoSuchApplication"},
        {nullptr, "", Value::dictionary({{kMainStoryboardFileKey, "Missing"}}), "storyboard named 'Missing'"},
        {nullptr, throwing, Value::dictionary(), "boom"},
    };
    for (auto& c : cases) {
        Application::resetShared();
        writeInfo(c.info);
        auto launched = launchApplication(c.principal, c.delegate.c_str());
        ASSERT_FALSE(launched.ok()) << c.expected;
        EXPECT_NE(launched.error().localizedDescription().find(c.expected), std::string::npos)
            << launched.error().localizedDescription();
    }
}

TEST_F(ApplicationTest, CallbacksOnlyForSelectorsTheDelegateAnsweredWhenSet) {
    Log log;
    std::string name = uniqueName("SparseDelegate");
    objc::Class* cls = makeDelegateClass(name, &log, {"applicationDidEnterBackground:"});
    auto launched = launchApplication(nullptr, name.c_str());
    ASSERT_TRUE(launched.ok());
    auto app = launched.value();

    app->enterBackground();
    app->enterForeground();
    EXPECT_EQ(log, Log({"applicationDidEnterBackground: background"}));

    // A method added later is not called until the delegate is set again.
    objc::Runtime::shared().addMethod(cls, sel("applicationDidBecomeActive:"),
                                      makeImp([&log](Object*, Selector, ObjectHandle) { log.push_back("active"); }));
    app->enterBackground();
    app->enterForeground();
    EXPECT_EQ(log.size(), 2u);
    auto d = app->delegate();
    app->setDelegate(nullptr);
    app->setDelegate(d);
    app->enterBackground();
    app->enterForeground();
    EXPECT_EQ(log.back(), "active");
}

TEST_F(ApplicationTest, LifeCycleStatesNotificationsAndEvents) {
    Log log;
    std::string name = uniqueName("CycleDelegate");
    makeDelegateClass(name, &log, kAll);
    auto app = launchApplication(nullptr, name.c_str()).value();
    log.clear();
    Log posted;
    auto token = NotificationCenter::defaultCenter().addObserver(
        std::nullopt, app.get(), [&](const Notification& n) { posted.push_back(n.name); });

    app->enterBackground();
    app->enterForeground();
    // The delegate hears resign while still active and foreground while still in the background.
    EXPECT_EQ(log, Log({"applicationWillResignActive: active", "applicationDidEnterBackground: background",
                        "applicationWillEnterForeground: background", "applicationDidBecomeActive: active"}));
    EXPECT_EQ(posted, Log({kApplicationWillResignActiveNotification, kApplicationDidEnterBackgroundNotification,
                           kApplicationWillEnterForegroundNotification, kApplicationDidBecomeActiveNotification}));
    Log states;
    for (auto& e : eventsNamed("app.state")) states.push_back(e.fields["state"].stringOr(""));
    EXPECT_EQ(states, Log({"active", "inactive", "background", "inactive", "active"}));
}

TEST_F(ApplicationTest, OpenURLRoutesBySchemeAndRecordsWhatLeavesTheApp) {
    auto app = launchApplication(nullptr, "").value();
    struct Case {
        const char* url;
        bool opens;
        const char* handler;
    } cases[] = {
        {"http://example.test/a", true, "browser"},    {"HTTPS://example.test/b", true, "browser"},
        {"mailto:someone@example.test", true, "mail"}, {"tel:+15550100", true, "phone"},
        {"ftp://example.test/file", false, ""},        {"intranet-app://open", false, ""},
    };
    size_t opened = 0;
    for (auto& c : cases) {
        auto url = URL::string(c.url);
        ASSERT_TRUE(url) << c.url;
        EXPECT_EQ(app->canOpenURL(*url), c.opens) << c.url;
        EXPECT_EQ(app->openURL(*url), c.opens) << c.url;
        if (!c.opens) continue;
        ++opened;
        ASSERT_EQ(app->openedURLs().size(), opened);
        EXPECT_EQ(app->openedURLs().back().handler, c.handler);
        auto events = eventsNamed("system.open");
        ASSERT_EQ(events.size(), opened);
        EXPECT_EQ(events.back().fields["url"], Value(url->absoluteString()));
        EXPECT_EQ(events.back().fields["handler"], Value(c.handler));
    }

    bool answered = false;
    app->openURL(*URL::string("mailto:x@example.test"), Value::dictionary(), [&](bool ok) { answered = ok; });
    EXPECT_FALSE(answered);  // later, on the main loop
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_TRUE(answered);
}

TEST_F(ApplicationTest, BadgeGoesThroughTheRuntimeSoAnInterceptorSeesIt) {
    auto& rt = objc::Runtime::shared();
    std::string appName = uniqueName("BadgeApp");
    objc::Class* appClass = rt.registerClass(appName, applicationClass());
    std::vector<int64_t> seen;
    rt.addMethod(appClass, sel("sdkSetBadge:"), makeImp([&seen](Object* self, Selector, int64_t v) {
                     seen.push_back(v);
                     objc::send<void, int64_t>(self, sel("sdkSetBadge:"), v);
                 }));
    ASSERT_TRUE(rt.exchangeImplementations(appClass, sel("setApplicationIconBadgeNumber:"), sel("sdkSetBadge:")));
    auto app = launchApplication(appName.c_str(), "").value();

    app->setApplicationIconBadgeNumber(3);
    app->setApplicationIconBadgeNumber(3);
    app->setApplicationIconBadgeNumber(-2);
    EXPECT_EQ(seen, std::vector<int64_t>({3, 3, -2}));
    EXPECT_EQ(app->applicationIconBadgeNumber(), 0);
    auto badges = eventsNamed("badge");
    ASSERT_EQ(badges.size(), 2u);  // changes only
    EXPECT_EQ(badges[0].fields["value"], Value(3));
    EXPECT_EQ(badges[1].fields["value"], Value(0));
}

// The icon badge file: what a killed writer left is swept at launch; a write the disk refuses is said,
// then lands after the retry delay, or at the latest when the app goes to the background.
TEST_F(ApplicationTest, ARefusedBadgeWriteLandsAfterADelayOrInTheBackground) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(device.path()) / "Library/Device";
    const fs::path file = folder / "IconBadge";
    fs::create_directories(file / "blocker");  // a folder in the way refuses the rename
    std::ofstream(folder / ".IconBadge.AbCdE01234.tmp") << "7";
    auto app = launchApplication(nullptr, "").value();
    EXPECT_FALSE(fs::exists(folder / ".IconBadge.AbCdE01234.tmp"));
    auto badgeFile = [&] {
        std::string text;
        std::ifstream(file) >> text;
        return text;
    };

    app->setApplicationIconBadgeNumber(4);
    ASSERT_EQ(eventsNamed("storage.failed").size(), 1u);
    EXPECT_EQ(eventsNamed("storage.failed")[0].fields,
              Value::dictionary({{"path", "Library/Device/IconBadge"}, {"error", "Is a directory"}}));
    fs::remove_all(file);
    dispatch::MainLoop::shared().advance(PendingWrites::kFirstRetryDelay);
    EXPECT_EQ(badgeFile(), "4");
    ASSERT_EQ(eventsNamed("storage.recovered").size(), 1u);
    EXPECT_EQ(eventsNamed("storage.recovered")[0].fields, Value::dictionary({{"path", "Library/Device/IconBadge"}}));

    fs::remove(file);
    fs::create_directories(file / "blocker");
    app->setApplicationIconBadgeNumber(5);
    app->setApplicationIconBadgeNumber(6);
    EXPECT_EQ(eventsNamed("storage.failed").size(), 2u);
    fs::remove_all(file);
    app->enterBackground();
    EXPECT_EQ(badgeFile(), "6");
    EXPECT_EQ(eventsNamed("storage.recovered").size(), 2u);
}

TEST_F(ApplicationTest, RemoteRegistrationAnswersLaterWithTheTokenOrAnError) {
    Log log;
    std::string name = uniqueName("TokenDelegate");
    makeDelegateClass(name, &log, kAll);
    auto app = launchApplication(nullptr, name.c_str()).value();
    log.clear();

    app->registerForRemoteNotifications();
    EXPECT_TRUE(log.empty());
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(log, Log({"token 16"}));
    EXPECT_TRUE(app->isRegisteredForRemoteNotifications());

    PlatformConfig::update([](PlatformSettings& s) { s.deviceToken.clear(); });
    app->registerForRemoteNotifications();
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(log.back(), std::string("token failed ") + kRemoteNotificationErrorDomain);
    EXPECT_FALSE(app->isRegisteredForRemoteNotifications());

    // A phone that reaches the push service late answers as long after it was asked.
    PlatformConfig::update([](PlatformSettings& s) {
        s.deviceToken = {0xaa, 0xbb};
        s.deviceTokenDelay = 20;
    });
    app->registerForRemoteNotifications();
    size_t before = log.size();
    dispatch::MainLoop::shared().advance(19.5);
    EXPECT_EQ(log.size(), before);
    dispatch::MainLoop::shared().advance(0.5);
    EXPECT_EQ(log.back(), "token 2");
}

TEST_F(ApplicationTest, UserNotificationSettingsKeepTheFirstAnswer) {
    PlatformConfig::update([](PlatformSettings& s) {
        s.systemVersion = {9, 3, 0};
        s.notificationAuthorizationAnswer = "denied";
    });
    auto app = launchApplication(nullptr, "").value();
    UserNotificationCategory dynamicA{"__dynamic__", {{"a", "A"}}, {}};
    UserNotificationCategory dynamicB{"__dynamic__", {{"b", "B"}}, {}};
    app->registerUserNotificationSettings({7, {dynamicA}});
    PlatformConfig::update([](PlatformSettings& s) { s.notificationAuthorizationAnswer = "granted"; });
    app->registerUserNotificationSettings({7, {dynamicA, dynamicB}});
    auto settings = app->currentUserNotificationSettings();
    EXPECT_EQ(settings.types, 0u);
    ASSERT_EQ(settings.categories.size(), 1u);
    EXPECT_EQ(settings.categories[0].defaultActions[0].identifier, "b");
    EXPECT_EQ(eventsNamed("notification.prompt").size(), 1u);

    // The answer is the device's: a relaunch keeps it and asks nothing.
    Application::resetShared();
    app = launchApplication(nullptr, "").value();
    app->registerUserNotificationSettings({7, {dynamicA}});
    EXPECT_EQ(app->currentUserNotificationSettings().types, 0u);
    EXPECT_EQ(eventsNamed("notification.prompt").size(), 1u);
}

TEST_F(ApplicationTest, BackgroundTasksExpireWhenTheSystemTimeRunsOut) {
    auto app = launchApplication(nullptr, "").value();
    int expired = 0;
    BackgroundTaskIdentifier ended = app->beginBackgroundTask([&] { ++expired; });
    BackgroundTaskIdentifier polite = kBackgroundTaskInvalid;
    polite = app->beginBackgroundTask([&] {
        ++expired;
        app->endBackgroundTask(polite);
    });
    EXPECT_NE(ended, polite);
    app->endBackgroundTask(ended);
    app->endBackgroundTask(12345);  // unknown: ignored
    EXPECT_EQ(app->backgroundTaskCount(), 1u);

    app->enterBackground();
    dispatch::MainLoop::shared().advance(60);
    EXPECT_EQ(expired, 0);
    dispatch::MainLoop::shared().advance(200);
    EXPECT_EQ(expired, 1);
    EXPECT_EQ(app->backgroundTaskCount(), 0u);
}

TEST_F(ApplicationTest, TerminateStopsTheLoopWithoutMakingLaterWaitsPoll) {
    Log log;
    std::string name = uniqueName("EndDelegate");
    makeDelegateClass(name, &log, kAll);
    auto app = launchApplication(nullptr, name.c_str()).value();
    Log posted;
    auto token = NotificationCenter::defaultCenter().addObserver(
        kApplicationWillTerminateNotification, app.get(), [&](const Notification& n) { posted.push_back(n.name); });
    app->terminate();
    EXPECT_EQ(posted, Log({kApplicationWillTerminateNotification}));

    auto& loop = dispatch::MainLoop::shared();
    int looks = 0;
    EXPECT_FALSE(loop.runUntil([&] { return ++looks < 0; }, 0.1));
    EXPECT_LT(looks, 200) << "runUntil polled without sleeping";
    loop.run();  // ends at once: the stop is kept for the loop's own run
}

TEST_F(ApplicationTest, ContinueUserActivityReachesTheDelegateWithWebPagesOnly) {
    Log log;
    std::string name = uniqueName("LinkDelegate");
    makeDelegateClass(name, &log, kAll);
    auto app = launchApplication(nullptr, name.c_str()).value();
    log.clear();
    auto activity = [](const char* url) {
        return std::make_shared<UserActivity>(UserActivity{kUserActivityTypeBrowsingWeb, URL::string(url), Value()});
    };
    EXPECT_TRUE(app->continueUserActivity(activity("https://intranet.test/page")));
    EXPECT_TRUE(app->continueUserActivity(activity("HTTP://intranet.test/")));
    for (const char* refused : {"file:///etc/hostname", "javascript:alert(1)", "mailto:a@intranet.test"})
        EXPECT_FALSE(app->continueUserActivity(activity(refused))) << refused;
    EXPECT_EQ(log, Log({"continue https://intranet.test/page", "continue HTTP://intranet.test/"}));
}

}  // namespace
}  // namespace uikit_test
