#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/PropertyList.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Classes.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"
#include "zidedova_core/utilities/ZUTAppDelegateSwizzler.h"
#include "zidedova_core/utilities/tests/LogCapture.h"

// g++ 12 at -O2 takes the std::set members of the aggregate tables below for maybe-uninitialized (a false
// positive of its flow analysis). Clang has no such warning.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace zidedova {
namespace {

namespace objc = platform::objc;
namespace uikit = platform::uikit;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;
using platform::URL;
using platform::Value;
using Log = std::vector<std::string>;
using SourceApp = std::optional<std::string>;
using Activity = std::shared_ptr<uikit::UserActivity>;
using Handler = std::function<void()>;

constexpr const char* kOptions = "application:openURL:options:";
constexpr const char* kSource = "application:openURL:sourceApplication:annotation:";
constexpr const char* kActivity = "application:continueUserActivity:restorationHandler:";
constexpr const char* kSession = "application:handleEventsForBackgroundURLSession:completionHandler:";

std::string uniqueName(const char* base) {
    static std::atomic<int> n{0};
    return std::string(base) + std::to_string(n++);
}

// How one party (delegate or interceptor) behaves: which callbacks it has, what it answers, and what
// it does with the background-session completion.
struct Party {
    std::set<std::string> with;
    bool answer = false;
    enum class Completion { Call, CallTwice, Drop, Keep } completion = Completion::Call;
};

// Registers a class recording each callback as "<tag> <selector>" in `log`.
objc::Class* makeClass(const std::string& tag, const Party& party, Log* log, std::vector<Handler>* kept,
                       objc::Class* superclass) {
    auto& rt = objc::Runtime::shared();
    objc::ClassBuilder b(rt, uniqueName(tag.c_str()), superclass);
    b.protocol(uikit::applicationDelegateProtocol());
    bool answer = party.answer;
    if (party.with.count(kOptions))
        b.method(sel(kOptions), objc::makeImp([=](Object*, Selector, ObjectHandle, URL, Value) {
                     log->push_back(tag + " options");
                     return answer;
                 }));
    if (party.with.count(kSource))
        b.method(sel(kSource), objc::makeImp([=](Object*, Selector, ObjectHandle, URL, SourceApp, Value) {
                     log->push_back(tag + " source");
                     return answer;
                 }));
    if (party.with.count(kActivity))
        b.method(sel(kActivity),
                 objc::makeImp([=](Object*, Selector, ObjectHandle, Activity, uikit::RestorationHandler) {
                     log->push_back(tag + " activity");
                     return answer;
                 }));
    if (party.with.count(kSession)) {
        auto mode = party.completion;
        b.method(sel(kSession), objc::makeImp([=](Object*, Selector, ObjectHandle, std::string id, Handler done) {
                     log->push_back(tag + " session " + id);
                     if (mode == Party::Completion::Call || mode == Party::Completion::CallTwice) done();
                     if (mode == Party::Completion::CallTwice) done();
                     if (mode == Party::Completion::Keep) kept->push_back(done);
                 }));
    }
    return b.registerClass();
}

const std::set<std::string> kEverything = {kOptions, kSource, kActivity, kSession};

// A new launch of the proxy's part of the process (the rest lives on).
void resetProxy() {
    tesmar_testing::resetProcessState({"zidedova.app-delegate-proxy"});
    uikit::Application::resetShared();
}

class AppDelegateProxyTest : public ::testing::Test {
protected:
    void SetUp() override { tesmar_testing::resetProcessState(); }
    void TearDown() override {
        platform::dispatch::MainLoop::shared().runUntilIdle();
        tesmar_testing::resetProcessState();
    }

    tesmar_testing::TemporaryDeviceRoot device{"proxy-device", {"Bundle"}};
    const std::string root = device.path();
    void writeInfo(platform::ValueDictionary info) {
        info["CFBundleIdentifier"] = "com.example.tesmar";
        ASSERT_TRUE(platform::plist::writeFile(Value(info), root + "/Bundle/Info.plist").ok());
    }
    // Launches an application whose delegate behaves as `party`.
    std::shared_ptr<uikit::Application> launch(const Party& party) {
        objc::Class* cls = makeClass("delegate", party, &log, &kept, uikit::responderClass());
        delegateClass = cls;
        return uikit::launchApplication(nullptr, cls->name().c_str()).value();
    }
    ObjectHandle interceptor(const Party& party, const std::string& tag = "interceptor") {
        auto& rt = objc::Runtime::shared();
        return std::make_shared<Object>(makeClass(tag, party, &log, &kept, rt.rootClass()));
    }
    bool openURL(const std::shared_ptr<uikit::Application>& app) {
        return app->openURLInApp(URL::string("tesmar://campaign?utm_source=mail").value(), Value::dictionary());
    }

    Log log;
    std::vector<Handler> kept;
    objc::Class* delegateClass = nullptr;
    testing::LogCapture logs;
};

TEST_F(AppDelegateProxyTest, OverridesFollowTheDelegatesShapeAndItStillDescribesItselfAsBefore) {
    struct Case {
        std::set<std::string> with;
        bool getsOptions;
    };
    for (const Case& c : {Case{{}, false}, Case{{kOptions}, true}, Case{kEverything, true}}) {
        resetProxy();
        auto app = launch({c.with});
        ObjectHandle delegate = app->delegate();
        std::string before = objc::send<std::string>(delegate, sel("description"));
        ZUTAppDelegateSwizzler::proxyOriginalDelegate();

        objc::Class* now = delegate->getClass();
        EXPECT_EQ(now->superclass(), delegateClass);
        EXPECT_EQ(now->name().rfind("ZUT_" + delegateClass->name() + "-", 0), 0u) << now->name();
        EXPECT_EQ(objc::send<std::string>(delegate, sel("description")), before);
        EXPECT_EQ(ZUTAppDelegateSwizzler::proxiedDelegate(), delegate);
        // The application was made to read the callbacks again.
        for (const char* s : {kSource, kActivity, kSession}) EXPECT_TRUE(app->delegateResponds(sel(s))) << s;
        EXPECT_EQ(app->delegateResponds(sel(kOptions)), c.getsOptions);
        EXPECT_EQ(objc::respondsToSelector(delegate, sel(kOptions)), c.getsOptions);
        uikit::Application::resetShared();
    }
}

TEST_F(AppDelegateProxyTest, InterceptorsRunFirstAndTheAnswersAreOred) {
    struct Case {
        Party delegate;
        std::vector<Party> interceptors;
        bool answer;
        Log heard;
    };
    const std::set<std::string> source = {kSource};
    const std::vector<Case> cases = {
        {{source, false}, {{source, true}}, true, {"i0 source", "delegate source"}},
        {{source, true}, {{source, false}}, true, {"i0 source", "delegate source"}},
        {{source, false}, {{source, false}, {{}, true}}, false, {"i0 source", "delegate source"}},
        {{{}, false}, {{source, true}}, true, {"i0 source"}},  // the delegate had no such callback
        {{{}, false}, {}, false, {}},
    };
    for (const auto& c : cases) {
        resetProxy();
        log.clear();
        auto app = launch(c.delegate);
        std::vector<ObjectHandle> held;
        for (size_t i = 0; i < c.interceptors.size(); ++i) {
            held.push_back(interceptor(c.interceptors[i], "i" + std::to_string(i)));
            ASSERT_TRUE(ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(held.back()));
        }
        ZUTAppDelegateSwizzler::proxyOriginalDelegate();
        EXPECT_EQ(openURL(app), c.answer);
        EXPECT_EQ(log, c.heard);
        uikit::Application::resetShared();
    }
}

TEST_F(AppDelegateProxyTest, OpenURLWithOptionsAndUserActivitiesReachInterceptorsToo) {
    auto app = launch({{kOptions, kActivity}, false});
    auto i = interceptor({{kOptions, kActivity}, true});
    ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(i);
    ZUTAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_TRUE(openURL(app));
    auto activity = std::make_shared<uikit::UserActivity>();
    activity->activityType = uikit::kUserActivityTypeBrowsingWeb;
    EXPECT_TRUE(app->continueUserActivity(activity));
    EXPECT_EQ(log, Log({"interceptor options", "delegate options", "interceptor activity", "delegate activity"}));
}

TEST_F(AppDelegateProxyTest, BackgroundSessionCompletionReachesTheSystemExactlyOnce) {
    using C = Party::Completion;
    struct Case {
        std::optional<C> delegate;  // nullopt: the delegate has no such callback
        std::vector<C> interceptors;
        int callsRightAway;  // before any kept handler runs
    };
    const Case cases[] = {
        {C::Call, {}, 1},
        {C::Drop, {}, 1},  // nobody answers: called once at the end
        {std::nullopt, {C::Drop}, 1},
        {C::Call, {C::Call}, 1},  // both answer: the second call is dropped
        {C::CallTwice, {C::CallTwice}, 1},
        {C::Drop, {C::Keep}, 0},  // an owner keeps it for later
        {C::Keep, {C::Call}, 1},
    };
    for (const auto& c : cases) {
        resetProxy();
        log.clear();
        kept.clear();
        Party delegate;
        if (c.delegate) delegate = {{kSession}, false, *c.delegate};
        auto app = launch(delegate);
        std::vector<ObjectHandle> held;
        for (C mode : c.interceptors) {
            held.push_back(interceptor({{kSession}, false, mode}));
            ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(held.back());
        }
        ZUTAppDelegateSwizzler::proxyOriginalDelegate();
        int calls = 0;
        ASSERT_TRUE(app->handleEventsForBackgroundURLSession("s1", [&calls] { ++calls; }));
        EXPECT_EQ(calls, c.callsRightAway);
        for (auto& handler : kept) handler();
        kept.clear();
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(log.size(), c.interceptors.size() + (c.delegate ? 1 : 0));
        uikit::Application::resetShared();
    }
}

TEST_F(AppDelegateProxyTest, AFreedInterceptorIsLoggedOnceAndDropped) {
    auto app = launch({{kSource}, false});
    auto kept = interceptor({{kSource}, false}, "kept");
    auto freed = interceptor({{kSource}, true}, "freed");
    auto keptID = ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(kept);
    auto freedID = ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(freed);
    ASSERT_TRUE(keptID && freedID);
    EXPECT_EQ(*keptID, ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(kept));  // same id, one entry
    EXPECT_EQ(ZUTAppDelegateSwizzler::interceptors().size(), 2u);
    ZUTAppDelegateSwizzler::proxyOriginalDelegate();
    freed.reset();

    EXPECT_FALSE(openURL(app));  // the freed one's YES is gone with it
    EXPECT_FALSE(openURL(app));
    EXPECT_EQ(log, Log({"kept source", "delegate source", "kept source", "delegate source"}));
    EXPECT_EQ(logs.count("I-SWZ001010"), 1u);
    EXPECT_TRUE(logs.contains("cannot find interceptor with ID " + *freedID));
    EXPECT_EQ(ZUTAppDelegateSwizzler::interceptors().size(), 1u);
}

TEST_F(AppDelegateProxyTest, RegistrationFailuresAreLoggedAndRefused) {
    auto& rt = objc::Runtime::shared();
    auto stranger = std::make_shared<Object>(rt.rootClass());  // not a UIApplicationDelegate
    EXPECT_FALSE(ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr));
    EXPECT_FALSE(ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(stranger));
    ZUTAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID("");
    ZUTAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID("ZUT_0x1");
    for (const char* code : {"I-SWZ001000", "I-SWZ001001", "I-SWZ001003", "I-SWZ001004"})
        EXPECT_EQ(logs.count(code), 1u) << code;

    auto i = interceptor({{kSource}, true});
    auto id = ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(i);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->rfind("ZUT_0x", 0), 0u);
    ZUTAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(*id);
    EXPECT_TRUE(ZUTAppDelegateSwizzler::interceptors().empty());
}

TEST_F(AppDelegateProxyTest, EitherSwitchSetToNoLeavesTheDelegateAlone) {
    const std::vector<platform::ValueDictionary> infos = {
        {{kZUTAppDelegateProxyEnabledKey, false}},
        {{kZUTZidedovaAppDelegateProxyEnabledKey, int64_t(0)}},
    };
    for (const auto& info : infos) {
        std::filesystem::remove_all(root + "/Bundle");
        std::filesystem::create_directories(root + "/Bundle");
        writeInfo(info);
        resetProxy();
        logs.clear();
        auto app = launch({{kSource}});
        EXPECT_FALSE(ZUTAppDelegateSwizzler::isAppDelegateProxyEnabled());
        ZUTAppDelegateSwizzler::proxyOriginalDelegate();
        EXPECT_EQ(app->delegate()->getClass(), delegateClass);
        EXPECT_EQ(logs.count("I-SWZ001011"), 1u);
        EXPECT_EQ(ZUTAppDelegateSwizzler::proxiedDelegate(), nullptr);
        uikit::Application::resetShared();
        platform::Bundle::setMainBundlePath("");  // read the next Info.plist afresh
    }
}

TEST_F(AppDelegateProxyTest, ProxiesOncePerProcessAndForgetsAReplacedDelegate) {
    writeInfo({{kZUTAppDelegateProxyEnabledKey, true}});  // YES, or anything but a NO number, keeps it on
    auto app = launch({{kSource}});
    ObjectHandle delegate = app->delegate();
    ZUTAppDelegateSwizzler::proxyOriginalDelegate();
    objc::Class* proxied = delegate->getClass();
    ZUTAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(delegate->getClass(), proxied);
    EXPECT_TRUE(ZUTAppDelegateObserver::sharedInstance().isObserving());

    app->setDelegate(delegate);  // the same one again: still proxied
    EXPECT_EQ(ZUTAppDelegateSwizzler::proxiedDelegate(), delegate);
    auto other = std::make_shared<Object>(makeClass("other", {}, &log, &kept, uikit::responderClass()));
    app->setDelegate(other);
    EXPECT_EQ(ZUTAppDelegateSwizzler::proxiedDelegate(), nullptr);
    EXPECT_FALSE(ZUTAppDelegateObserver::sharedInstance().isObserving());
    EXPECT_EQ(delegate->getClass(), proxied);  // the object keeps its subclass
}

TEST_F(AppDelegateProxyTest, ProxyingOffTheMainThreadResetsTheDelegateOnIt) {
    auto app = launch({{kSource}});
    ObjectHandle delegate = app->delegate();
    std::thread([] { ZUTAppDelegateSwizzler::proxyOriginalDelegate(); }).join();
    EXPECT_NE(delegate->getClass(), delegateClass);
    EXPECT_FALSE(app->delegateResponds(sel(kSession)));  // not re-read yet: that waits for the main thread
    platform::dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_TRUE(app->delegateResponds(sel(kSession)));
    EXPECT_EQ(app->delegate(), delegate);
}

TEST_F(AppDelegateProxyTest, ANilDelegateIsLogged) {
    ZUTAppDelegateSwizzler::proxyAppDelegate(nullptr);
    EXPECT_EQ(logs.count("I-SWZ001012"), 1u);
}

}  // namespace
}  // namespace zidedova
