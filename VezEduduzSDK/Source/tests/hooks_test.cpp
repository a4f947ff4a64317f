#include "VezEduduzSDK/Source/internal/VezEduduzSelectorHelpers.h"
#include "VezEduduzSDK/Source/tests/hooks_TestSupport.h"

namespace hooks_test {
namespace {

using objc::makeImp;
using objc::Object;
using objc::sel;
using objc::Selector;

constexpr const char* kBecomeActive = "applicationDidBecomeActive:";
constexpr const char* kWillPresent = "userNotificationCenter:willPresentNotification:withCompletionHandler:";
constexpr const char* kDidReceive = "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";

class HookTableTest : public HooksTest {
protected:
    void SetUp() override {
        HooksTest::SetUp();
        // The push client's half of a life-cycle callback is its log line.
        listener_ = DeviceEvents::addListener([this](const std::string& name, const Value& fields) {
            if (name == "console" &&
                fields["text"].stringOr("").find("vezEduduzApplicationDidBecomeActive") != std::string::npos)
                record("push");
            if (name == "notification.shown") record("shown");
        });
    }
    void TearDown() override {
        listener_ = DeviceEvents::Token();
        HooksTest::TearDown();
    }
    objc::Imp recorder(std::string what) {
        return makeImp([this, what](Object*, Selector, ObjectHandle) { record(what); });
    }
    // The user allows alerts, so a presentation with the alert option shows.
    void authorize() {
        std::atomic<bool> answered{false};
        un::UserNotificationCenter::current()->requestAuthorizationWithOptions(
            un::AuthorizationOptionAlert | un::AuthorizationOptionBadge | un::AuthorizationOptionSound,
            [&](bool, std::optional<Error>) { answered = true; });
        ASSERT_TRUE(waitFor([&] { return answered.load(); }));
        MainLoop::shared().runUntilIdle();
    }
    void becomeActive(const ObjectHandle& receiver) {
        objc::send<void, ObjectHandle>(receiver, sel(kBecomeActive), ObjectHandle(uikit::Application::shared()));
    }
    DeviceEvents::Token listener_;
};

TEST_F(HookTableTest, DelegateHooksRunFirstAndStayOnTheDelegatesChain) {
    struct Case {
        const char* name;
        // Builds the classes; answers {delegate class, another class to probe}.
        std::function<std::pair<objc::Class*, objc::Class*>()> classes;
        std::vector<std::string> delegateHears;
        std::vector<std::string> otherHears;  // the probe class must keep what it had
    };
    std::vector<Case> cases = {
        {"delegate without methods",
         [&] {
             return std::pair{makeClass("Bare", {}), (objc::Class*)nullptr};
         },
         {"push"},
         {}},
        {"application implementation",
         [&] {
             return std::pair{makeClass("Own", {{kBecomeActive, recorder("app")}}), (objc::Class*)nullptr};
         },
         {"push", "app"},
         {}},
        {"inherited implementation: the superclass keeps its own",
         [&] {
             auto* base = makeClass("Base", {{kBecomeActive, recorder("app-base")}});
             return std::pair{makeClass("Child", {}, base), base};
         },
         {"push", "app-base"},
         {"app-base"}},
        {"overriding subclass is not the delegate's: it is left alone",
         [&] {
             auto* delegate = makeClass("Parent", {});
             return std::pair{delegate, makeClass("Overrider", {{kBecomeActive, recorder("app-sub")}}, delegate)};
         },
         {"push"},
         {"app-sub"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        unloadHooks();
        uikit::Application::resetShared();
        loadApplicationCategory();
        auto [delegateClass, other] = c.classes();
        launchWith(delegateClass);
        EXPECT_EQ(VezEduduzAppDelegate::delegateClass(), delegateClass);
        auto app = uikit::Application::shared();
        EXPECT_TRUE(app->delegateResponds(sel("application:didRegisterForRemoteNotificationsWithDeviceToken:")));
        EXPECT_TRUE(app->delegateResponds(sel("application:didReceiveRemoteNotification:fetchCompletionHandler:")));
        takeEvents();
        becomeActive(app->delegate());
        EXPECT_EQ(takeEvents(), c.delegateHears);
        if (other) {
            becomeActive(std::make_shared<Object>(other));
            EXPECT_EQ(takeEvents(), c.otherHears);
        }
        EXPECT_FALSE(objc::Runtime::shared().instancesRespondToSelector(uikit::responderClass(), sel(kBecomeActive)))
            << "the superclass of every delegate stays untouched";
    }
}

// The toolkit on a runtime of its own, so its classes reach no other test. Classes per case:
// Base > Declaring (declares a protocol inheriting P) > {Plain, Overrider}; Base > Lone.
TEST(HookToolkit, TheDeclaringClassOrItsOverridingSubclassIsHookedAndTheLiveDelegateAlways) {
    objc::Runtime rt;
    const objc::Protocol* p = rt.registerProtocol("P");
    const objc::Protocol* q = rt.registerProtocol("Q", {p});
    objc::Class* source = objc::ClassBuilder(rt, "Source", rt.rootClass())
                              .method(sel("hookRun"), makeImp([](Object* self, Selector) -> std::string {
                                          // The replaced method, when there was one, now answers the handler's
                                          // selector.
                                          if (!objc::respondsToSelector(self, sel("hookRun"))) return "hook";
                                          return "hook>" + objc::send<std::string>(self, sel("hookRun"));
                                      }))
                              .registerClass();
    struct Hierarchy {
        objc::Class *base, *declaring, *plain, *overrider, *lone;
    };
    int made = 0;
    auto hierarchy = [&](bool declaringRuns) {
        std::string n = std::to_string(++made);
        auto run = [](std::string tag) { return makeImp([tag](Object*, Selector) { return tag; }); };
        Hierarchy h;
        h.base = rt.registerClass("Base" + n, rt.rootClass());
        objc::ClassBuilder declaring(rt, "Declaring" + n, h.base);
        declaring.protocol(q);
        if (declaringRuns) declaring.method(sel("run"), run("declaring"));
        h.declaring = declaring.registerClass();
        h.plain = rt.registerClass("Plain" + n, h.declaring);
        h.overrider =
            objc::ClassBuilder(rt, "Overrider" + n, h.declaring).method(sel("run"), run("overrider")).registerClass();
        h.lone = rt.registerClass("Lone" + n, h.base);
        return h;
    };

    Hierarchy h = hierarchy(true);
    EXPECT_EQ(classConformingToProtocolInHierarchy(h.plain, p), h.declaring);
    EXPECT_EQ(classConformingToProtocolInHierarchy(h.declaring, p), h.declaring);
    EXPECT_EQ(classConformingToProtocolInHierarchy(h.lone, p), h.base) << "topmost below the root";
    EXPECT_EQ(classConformingToProtocolInHierarchy(rt.rootClass(), p), nullptr);
    EXPECT_EQ(subclassesOfClass(h.declaring), (std::vector<objc::Class*>{h.declaring, h.plain, h.overrider}));

    const struct {
        const char* name;
        bool declaringRuns;
        objc::Class* Hierarchy::*live;
        const char *declaring, *plain, *overrider;  // what each runs afterwards; "-" when it answers nothing
    } cases[] = {
        {"inherited: the declaring class", true, &Hierarchy::plain, "hook>declaring", "hook>declaring", "overrider"},
        {"the delegate's own override", true, &Hierarchy::overrider, "declaring", "declaring", "hook>overrider"},
        {"a subclass overrides, the delegate does not", false, &Hierarchy::overrider, "-", "-", "hook>overrider"},
        // The first overriding subclass is not what this delegate runs: it gets the handler itself.
        {"a sibling overrides", false, &Hierarchy::declaring, "hook", "hook", "overrider"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Hierarchy k = hierarchy(c.declaringRuns);
        objc::Class* hooked = classConformingToProtocolInHierarchy(k.*c.live, p);
        injectToProperClassFor(k.*c.live, sel("hookRun"), sel("run"), subclassesOfClass(hooked), source, hooked);
        auto runs = [](objc::Class* cls) -> std::string {
            auto object = std::make_shared<Object>(cls);
            if (!objc::respondsToSelector(object.get(), sel("run"))) return "-";
            return objc::send<std::string>(object.get(), sel("run"));
        };
        EXPECT_EQ(runs(k.declaring), c.declaring);
        EXPECT_EQ(runs(k.plain), c.plain);
        EXPECT_EQ(runs(k.overrider), c.overrider);
    }
}

TEST_F(HookTableTest, NilDelegateFirstRecordsNothingAndLaterDelegateIsHooked) {
    launchWith(makeClass("First", {}));
    unloadHooks();
    loadApplicationCategory();
    auto app = uikit::Application::shared();
    app->setDelegate(nullptr);
    EXPECT_EQ(VezEduduzAppDelegate::delegateClass(), nullptr);
    auto* cls = makeClass("Later", {});
    app->setDelegate(std::make_shared<Object>(cls));
    EXPECT_EQ(VezEduduzAppDelegate::delegateClass(), cls);
    EXPECT_TRUE(app->delegateResponds(sel("application:didRegisterForRemoteNotificationsWithDeviceToken:")));
    // A second delegate is not hooked again.
    auto* again = makeClass("Again", {});
    app->setDelegate(std::make_shared<Object>(again));
    EXPECT_EQ(VezEduduzAppDelegate::delegateClass(), cls);
    EXPECT_FALSE(objc::Runtime::shared().instancesRespondToSelector(
        again, sel("application:didRegisterForRemoteNotificationsWithDeviceToken:")));
}

TEST_F(HookTableTest, LoadingTwiceWarnsAndInterceptsNothingMore) {
    loadApplicationCategory();
    EXPECT_EQ(linesContaining("Already swizzled UIApplication.setDelegate"), 1u);
    launchWith(makeClass("Once", {{kBecomeActive, recorder("app")}}));
    takeEvents();
    becomeActive(uikit::Application::shared()->delegate());
    EXPECT_EQ(takeEvents(), (std::vector<std::string>{"push", "app"}));
}

TEST_F(HookTableTest, CentreDelegateHooksOncePerObjectAndAnswersTheSystemOnce) {
    launchWith(makeClass("AppDelegate", {}));
    startPushClient();
    authorize();
    auto appHandlers = [&](const std::string& tag) {
        return std::vector<std::pair<const char*, objc::Imp>>{
            {kWillPresent, makeImp([this, tag](Object*, Selector, ObjectHandle, std::shared_ptr<un::Notification>,
                                               un::PresentationHandler done) {
                 record(tag + "-will-present");
                 done(0);  // the system must still get the push client's options, once
             })},
            {kDidReceive, makeImp([this, tag](Object*, Selector, ObjectHandle,
                                              std::shared_ptr<un::NotificationResponse>, std::function<void()> done) {
                 record(tag + "-did-receive");
                 done();
             })}};
    };
    auto centre = un::UserNotificationCenter::current();
    auto* first = makeClass("CentreDelegate", appHandlers("a"));
    auto* second = makeClass("OtherCentreDelegate", appHandlers("b"));
    auto a1 = std::make_shared<Object>(first);
    auto a2 = std::make_shared<Object>(first);
    auto b = std::make_shared<Object>(second);

    struct Step {
        const char* name;
        ObjectHandle delegate;
        objc::Class* hooked;
        std::vector<std::string> hears;
    };
    std::vector<Step> steps = {
        {"first delegate", a1, first, {"push-received m1", "a-will-present", "shown"}},
        {"same delegate again", a1, first, {"push-received m2", "a-will-present", "shown"}},
        {"another object of the same class", a2, first, {"push-received m3", "a-will-present", "shown"}},
        {"a delegate of another class", b, second, {"push-received m4", "b-will-present", "shown"}},
    };
    int n = 0;
    for (auto& s : steps) {
        SCOPED_TRACE(s.name);
        centre->setDelegate(s.delegate);
        EXPECT_EQ(VezEduduzUNUserNotificationCenter::hookedDelegateClass(), s.hooked);
        takeEvents();
        un::deliverRemoteNotification(message("m" + std::to_string(++n)));
        MainLoop::shared().runUntilIdle();
        EXPECT_EQ(takeEvents(), s.hears);
    }
}

TEST_F(HookTableTest, ForeignForegroundNotificationShowsWithoutAPresentationHandler) {
    launchWith(makeClass("AppDelegate", {}));
    startPushClient();
    authorize();
    ASSERT_NE(VezEduduzUNUserNotificationCenter::ownDelegate(), nullptr);
    EXPECT_EQ(un::UserNotificationCenter::current()->delegate(), VezEduduzUNUserNotificationCenter::ownDelegate());
    takeEvents();
    un::deliverRemoteNotification(Value::dictionary({{"aps", Value::dictionary({{"alert", "Not ours"}})}}));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(takeEvents(), (std::vector<std::string>{"shown"}));
}

TEST_F(HookTableTest, ProvisionalAuthorizationAloneLeavesThePromptStateAlone) {
    auto centre = un::UserNotificationCenter::current();
    ASSERT_NE(centre, nullptr);
    struct Case {
        int64_t options;
        bool prompted;
    };
    for (auto c : {Case{un::AuthorizationOptionProvisional, false},
                   Case{un::AuthorizationOptionAlert | un::AuthorizationOptionBadge, true}}) {
        SCOPED_TRACE(c.options);
        std::atomic<bool> answered{false};
        centre->requestAuthorizationWithOptions(c.options, [&](bool, std::optional<Error>) { answered = true; });
        ASSERT_TRUE(waitFor([&] { return answered.load(); }));
        MainLoop::shared().runUntilIdle();
        auto state = VezEduduz::currentPermissionState();
        EXPECT_EQ(state->hasPrompted(), c.prompted);
        EXPECT_EQ(state->answeredPrompt(), c.prompted);
    }
}

}  // namespace
}  // namespace hooks_test

namespace hooks_test {
namespace {

// The life-cycle handlers run focus tracking before the application's own method, and only once the
// push client has an app id.
TEST_F(HooksTest, LifeCycleDrivesFocusTrackingOnlyWithAnAppId) {
    for (bool withAppId : {false, true}) {
        SCOPED_TRACE(withAppId ? "app id set" : "no app id");
        relaunch();
        unloadHooks();
        loadApplicationCategory();
        uikit::Application::resetShared();
        (void)store()->removeObjectForKey("VD_UNSENT_ACTIVE_TIME");
        std::vector<std::string> seen;
        auto sawClosedTime = [&](const char* what) {
            return objc::makeImp([&seen, what](objc::Object*, objc::Selector, ObjectHandle) {
                bool stored = UserDefaults::standard()->objectForKey("VD_LAST_CLOSED_TIME").has_value();
                seen.push_back(std::string(what) + (stored ? " after focus" : ""));
            });
        };
        launchWith(makeClass("Focus", {{"applicationWillResignActive:", sawClosedTime("resign")},
                                       {"applicationWillTerminate:", sawClosedTime("terminate")}}));
        if (withAppId) startPushClient();
        auto app = uikit::Application::shared();
        app->enterBackground();
        app->enterForeground();
        seen.clear();
        MainLoop::shared().runUntilIdle();
        (void)store()->removeObjectForKey("VD_LAST_CLOSED_TIME");
        clock->advance(12);
        app->enterBackground();
        MainLoop::shared().runUntilIdle();
        if (withAppId) {
            EXPECT_EQ(seen, (std::vector<std::string>{"resign after focus"}));
            EXPECT_DOUBLE_EQ(store()->doubleForKey("VD_UNSENT_ACTIVE_TIME").value_or(0), 12.5);
        } else {
            EXPECT_EQ(seen, (std::vector<std::string>{"resign"}));
            EXPECT_FALSE(store()->objectForKey("VD_UNSENT_ACTIVE_TIME"));
        }
    }
}

}  // namespace
}  // namespace hooks_test
