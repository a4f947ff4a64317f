// Below system 10: the older local notification's two delegate calls pass through the push client.
#include "VezEduduzSDK/Source/VELocalNotifications.h"
#include "VezEduduzSDK/Source/tests/hooks_TestSupport.h"
#include "platform/foundation/JSON.h"
#include "platform/uikit/AlertView.h"

namespace hooks_test {
namespace {

using objc::makeImp;
using objc::Object;
using objc::sel;
using objc::Selector;

constexpr const char* kLocalAction = "application:handleActionWithIdentifier:forLocalNotification:completionHandler:";
constexpr const char* kLocalOpened = "application:didReceiveLocalNotification:";

class LocalHooksTest : public HooksTest {
protected:
    void SetUp() override {
        HooksTest::SetUp();
        setSystemVersion(9, 3);
    }
    std::shared_ptr<uikit::LocalNotification> local(const std::string& id) {
        auto n = std::make_shared<uikit::LocalNotification>();
        n->alertBody = "Pizza today";
        n->userInfo = Value::dictionary({{"custom", Value::dictionary({{"i", id}})}, {"m", "Pizza today"}});
        return n;
    }
    void allowAlerts() {
        uikit::Application::shared()->registerUserNotificationSettings({7, {}});
        MainLoop::shared().runUntilIdle();
    }
};

// The completion is the application's to call when it has an implementation, ours otherwise: either
// way exactly once (the fixture fails on a double or missing call). A class named "CoronaAppDelegate"
// stops the injections after the registration failure, which come after the local action's. Only the
// application's own deprecated method is warned about, not the handler the push client put in its place.
TEST_F(LocalHooksTest, TheActionCompletionIsCalledOnceWhoeverImplementsIt) {
    const struct {
        bool appImplements, corona;
        const char* id;
    } cases[] = {{true, false, "la1"}, {false, false, "la2"}, {true, true, "la3"}};
    size_t warnings = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.appImplements ? "the app implements the action" : "the app does not") +
                     (c.corona ? ", with CoronaAppDelegate" : ""));
        unloadHooks();
        struct Unlisted {  // the class must not outlive the case, whatever fails
            objc::Class* cls;
            ~Unlisted() {
                if (cls) objc::Runtime::shared().disposeClassPair(cls);
            }
        } corona{c.corona
                     ? objc::Runtime::shared().registerClass("CoronaAppDelegate", objc::Runtime::shared().rootClass())
                     : nullptr};
        loadApplicationCategory();
        std::vector<std::pair<const char*, objc::Imp>> methods;
        if (c.appImplements)
            methods.push_back(
                {kLocalAction, makeImp([this](Object*, Selector, ObjectHandle, std::string id,
                                              std::shared_ptr<uikit::LocalNotification>, std::function<void()> done) {
                     record("app-action " + id);
                     done();
                 })});
        launchWith(makeClass("LocalActionDelegate", methods));
        startPushClient();
        allowAlerts();
        auto app = uikit::Application::shared();
        EXPECT_EQ(app->delegateResponds(sel(kLocalOpened)), !c.corona);
        warnings += c.appImplements;
        EXPECT_EQ(linesContaining(std::string("implements a deprecated method (") + kLocalAction), warnings);
        EXPECT_EQ(linesContaining(std::string("implements a deprecated method (") + kLocalOpened), 0u);
        app->enterBackground();
        takeEvents();
        app->scheduleLocalNotification(local(c.id));
        ASSERT_TRUE(app->tapShownNotification("", "yes"));
        MainLoop::shared().runUntilIdle();
        auto events = takeEvents();
        EXPECT_EQ(std::count(events.begin(), events.end(), "push-opened"), 1);
        EXPECT_EQ(std::count(events.begin(), events.end(), "app-action yes"), c.appImplements ? 1 : 0);
        ASSERT_FALSE(opened.empty());
        EXPECT_EQ(opened.back()->action()->actionID(), std::optional<std::string>("yes"));
        uikit::Application::resetShared();
    }
}

TEST_F(LocalHooksTest, WhileActiveALocalNotificationIsReceivedAndAPlainTapChoosesNoAction) {
    launchWith(makeClass(
        "LocalOpenDelegate",
        {{kLocalOpened, makeImp([this](Object*, Selector, ObjectHandle, std::shared_ptr<uikit::LocalNotification>) {
              record("app-local");
          })}}));
    startPushClient();
    allowAlerts();
    auto app = uikit::Application::shared();
    takeEvents();
    app->scheduleLocalNotification(local("lo1"));  // active: straight to the delegate
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(takeEvents(), (std::vector<std::string>{"push-received lo1", "app-local"}));

    app->enterBackground();
    app->scheduleLocalNotification(local("lo2"));
    ASSERT_TRUE(app->tapShownNotification("", ""));
    MainLoop::shared().runUntilIdle();
    auto events = takeEvents();
    EXPECT_EQ(std::count(events.begin(), events.end(), "push-opened"), 1);
    ASSERT_FALSE(opened.empty());
    EXPECT_EQ(opened.back()->action()->actionID(), std::nullopt);  // "__DEFAULT__" chose nothing
}

// In front with in-app alerts, a push the client shows itself (no system alert; its text and buttons at
// the top, or in "ve_data") comes back as a local notification and then as the in-app alert: the alert
// offers the push's buttons and answers with the id of the one tapped.
TEST_F(LocalHooksTest, InFrontTheAlertOfAPushShownLocallyOffersItsButtons) {
    launchWith(makeClass("LocalAlertDelegate", {}));
    startPushClient();
    allowAlerts();
    VezEduduz::setInFocusDisplayType(1);
    const std::string buttons = R"([{"i": "ghost"}, {"n": "Yes", "i": "yes"}, {"n": "No"}])";
    const struct {
        std::string push;
        const char* tap;
        std::optional<std::string> reported;
    } cases[] = {
        {R"({"aps": {}, "custom": {"i": "lt1"}, "m": "Lunch?", "o": )" + buttons + "}", "Yes", "yes"},
        {R"({"aps": {}, "custom": {"i": "lt2", "a": {"k": "v"}}, "m": {"title": "T", "body": "Lunch?"}, "o": )" +
             buttons + "}",
         "No", "No"},
        {R"({"aps": {}, "custom": {"i": "lt3"}, "m": "Lunch?", "o": )" + buttons + "}", "Close", std::nullopt},
        {R"({"aps": {}, "ve_data": {"i": "lt4", "buttons": {"m": "Lunch?", "o": )" + buttons + "}}}", "Yes", "yes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.push);
        auto push = platform::json::read(c.push);
        ASSERT_TRUE(push.ok());
        const size_t before = opened.size();
        un::deliverRemoteNotification(*push);
        MainLoop::shared().runUntilIdle();
        ASSERT_TRUE(uikit::tapAlertButton(c.tap));
        MainLoop::shared().runUntilIdle();
        ASSERT_EQ(opened.size(), before + 1);
        EXPECT_EQ(opened.back()->action()->actionID(), c.reported);
        EXPECT_EQ(opened.back()->action()->type(),
                  c.reported ? VENotificationActionType::ActionTaken : VENotificationActionType::Opened);
    }
}

}  // namespace
}  // namespace hooks_test
