// The application delegate after launch: a tapped notification's target page and universal links
// become new root screens; everything else keeps the screen that is showing.
#include <gtest/gtest.h>

#include "VezEduduzSDK/Source/VezEduduzSDK.h"
#include "app/AppDelegate.h"
#include "app/Strings.h"
#include "app/Tesmar.h"
#include "app/ViewController.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

using namespace Tesmar;
using platform::URL;
using platform::Value;

constexpr const char* kTapped = "\"Notification tapped\"";
constexpr const char* kNotFound = "\"Target url not found. Default URL will be used.\"";
constexpr const char* kInvalid = "\"The url parameter is not valid. Open url failed.\"";

class Delegate : public ::testing::Test {
protected:
    void SetUp() override {
        tesmar_testing::resetProcessState();
        // Nothing here may reach a network: a screen's load fails at once.
        platform::PlatformConfig::update([](platform::PlatformSettings& s) { s.networkUp = false; });
        Tesmar::registerClasses();
        app_ = std::make_shared<uikit::Application>();
        uikit::Application::installShared(app_);
        delegate_ = std::make_shared<AppDelegate>(AppDelegate::runtimeClass());
        delegate_->window = std::make_shared<uikit::Window>();
        first_ = std::make_shared<ViewController>();
        delegate_->window->setRootViewController(first_);
        delegate_->window->makeKeyAndVisible();
        token_ = platform::DeviceEvents::addListener([this](const std::string& event, const Value& fields) {
            if (event == "console") console_.push_back(fields["text"].stringOr(""));
            if (event == "screen.root") roots_.push_back(fields["url"].stringOr(""));
            if (event == "view" && fields["name"].stringOr("") == "navigation-bar")
                bars_.push_back(fields["hidden"].boolOr(false));
        });
    }
    void TearDown() override {
        token_ = {};
        delegate_.reset();
        first_.reset();
        platform::dispatch::MainLoop::shared().runUntilIdle();
        tesmar_testing::resetProcessState();
    }

    // The web screen at the bottom of the window's root (a navigation controller after launch).
    std::shared_ptr<ViewController> root() const {
        auto top = delegate_->window->rootViewController();
        if (auto nav = std::dynamic_pointer_cast<uikit::NavigationController>(top))
            top = nav->viewControllers().empty() ? nullptr : nav->viewControllers().front();
        return std::dynamic_pointer_cast<ViewController>(top);
    }

    // A new root sits in a navigation controller with its bar hidden, as the first screen does; a window
    // its page opens is pushed with the bar shown, and closing it hides the bar again.
    void expectRootWithoutBarWhoseWindowsShowIt(const std::shared_ptr<ViewController>& screen) {
        auto nav = screen->navigationController();
        ASSERT_TRUE(nav);
        EXPECT_TRUE(nav->isNavigationBarHidden());
        bars_.clear();
        webkit::NavigationAction open;
        open.request = platform::URLRequest(*URL::string("https://intranet.tesmar.example/window"));
        ASSERT_TRUE(screen->wkWebView);
        screen->createWebViewWithConfiguration(*screen->wkWebView, webkit::WebViewConfiguration(), open, {});
        ASSERT_EQ(nav->viewControllers().size(), 2u);
        EXPECT_FALSE(nav->isNavigationBarHidden());
        nav->popViewController(false);
        EXPECT_TRUE(nav->isNavigationBarHidden());
        EXPECT_EQ(bars_, (std::vector<bool>{false, true}));
    }

    static std::shared_ptr<vezeduduz::VENotificationOpenedResult> opened(const Value& additionalData) {
        Value custom = Value::dictionary({{"i", "0b7f0c52-1d2e-4f3a-8b9c-0d1e2f3a4b5c"}});
        if (!additionalData.isNull()) custom.set("a", additionalData);
        Value message = Value::dictionary({{"aps", Value::dictionary({{"alert", "Hello"}})}, {"custom", custom}});
        auto payload = vezeduduz::VENotificationPayload::parseWithApns(message);
        auto notification = std::make_shared<vezeduduz::VENotification>(payload, vezeduduz::VEInFocusDisplayType::none);
        return std::make_shared<vezeduduz::VENotificationOpenedResult>(notification, nullptr);
    }

    tesmar_testing::TemporaryDeviceRoot device_;
    std::shared_ptr<uikit::Application> app_;
    std::shared_ptr<AppDelegate> delegate_;
    std::shared_ptr<ViewController> first_;
    platform::DeviceEvents::Token token_;
    std::vector<std::string> console_;
    std::vector<std::string> roots_;
    std::vector<bool> bars_;  // the navigation bar's "hidden" as the view events say it
};

TEST_F(Delegate, NotificationTargetOpensOnlyWebPages) {
    struct Case {
        const char* label;
        Value additionalData;  // null: none
        std::string opens;     // the new root screen's URL, "" when the screen stays
        std::vector<std::string> lines;
    } cases[] = {
        {"an https page",
         Value::dictionary({{"targetUrl", "https://intranet.tesmar.example/news?id=4"}}),
         "https://intranet.tesmar.example/news?id=4",
         {kTapped, "\"Target url string: https://intranet.tesmar.example/news?id=4\""}},
        {"an http page",
         Value::dictionary({{"targetUrl", "http://intranet.tesmar.example/"}}),
         "http://intranet.tesmar.example/",
         {kTapped, "\"Target url string: http://intranet.tesmar.example/\""}},
        {"a scheme in capitals",
         Value::dictionary({{"targetUrl", "HTTPS://intranet.tesmar.example/a"}}),
         "HTTPS://intranet.tesmar.example/a",
         {kTapped, "\"Target url string: HTTPS://intranet.tesmar.example/a\""}},
        {"a script",
         Value::dictionary({{"targetUrl", "javascript:alert(document.cookie)"}}),
         "",
         {kTapped, "\"Target url string: javascript:alert(document.cookie)\"", kInvalid}},
        {"a local file",
         Value::dictionary({{"targetUrl", "file:///etc/passwd"}}),
         "",
         {kTapped, "\"Target url string: file:///etc/passwd\"", kInvalid}},
        {"a telephone number",
         Value::dictionary({{"targetUrl", "tel:+15550100"}}),
         "",
         {kTapped, "\"Target url string: tel:+15550100\"", kInvalid}},
        {"a relative path",
         Value::dictionary({{"targetUrl", "/news"}}),
         "",
         {kTapped, "\"Target url string: /news\"", kInvalid}},
        {"an empty string", Value::dictionary({{"targetUrl", ""}}), "", {kTapped, "\"Target url string: \"", kInvalid}},
        {"a number", Value::dictionary({{"targetUrl", int64_t(7)}}), "", {kTapped, kNotFound}},
        {"no targetUrl", Value::dictionary({{"other", "https://a.example/"}}), "", {kTapped, kNotFound}},
        {"no additional data", Value(), "", {kTapped, kNotFound}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto before = root();
        console_.clear();
        roots_.clear();
        delegate_->handleNotificationAction(opened(c.additionalData));
        EXPECT_EQ(console_, c.lines);
        if (c.opens.empty()) {
            EXPECT_EQ(root(), before);
            EXPECT_TRUE(roots_.empty());
            continue;
        }
        auto screen = root();
        ASSERT_NE(screen, before);
        ASSERT_TRUE(screen->request.url());
        EXPECT_EQ(screen->request.url()->absoluteString(), c.opens);
        EXPECT_EQ(screen->request.timeoutInterval(), 60.0);
        EXPECT_EQ(screen->request.cachePolicy(), platform::URLRequestCachePolicy::UseProtocolCachePolicy);
        EXPECT_EQ(roots_, std::vector<std::string>{c.opens});
        EXPECT_TRUE(delegate_->window->isKeyWindow());
        expectRootWithoutBarWhoseWindowsShowIt(screen);
    }

    console_.clear();
    delegate_->handleNotificationAction(nullptr);
    EXPECT_EQ(console_, (std::vector<std::string>{kTapped, kNotFound}));
}

TEST_F(Delegate, WithoutWindowTheScreenIsNotShown) {
    delegate_->window.reset();
    delegate_->handleNotificationAction(opened(Value::dictionary({{"targetUrl", "https://a.example/"}})));
    EXPECT_TRUE(roots_.empty());
    EXPECT_EQ(console_.back(), "\"Target url string: https://a.example/\"");
}

TEST_F(Delegate, UniversalLinksBecomeRootScreensAndTheBaseURL) {
    auto activity = [](std::string type, std::optional<std::string> url) {
        auto a = std::make_shared<uikit::UserActivity>();
        a->activityType = std::move(type);
        if (url) a->webpageURL = URL::string(*url);
        return a;
    };
    auto base = [&] {
        auto url = delegate_->configService->baseURL();
        return url ? url->absoluteString() : std::string();
    };

    // Nothing changes for an activity without a type, without a page, or naming what is not a web page.
    EXPECT_TRUE(delegate_->continueUserActivity(activity("", "https://intranet.tesmar.example/a")));
    EXPECT_TRUE(delegate_->continueUserActivity(activity(uikit::kUserActivityTypeBrowsingWeb, std::nullopt)));
    for (const char* other : {"file:///etc/hostname", "javascript:alert(1)", "tesmar://open"})
        EXPECT_TRUE(delegate_->continueUserActivity(activity(uikit::kUserActivityTypeBrowsingWeb, other)));
    EXPECT_EQ(root(), first_);
    EXPECT_EQ(base(), "");
    EXPECT_FALSE(delegate_->universalLinkURL);
    EXPECT_EQ(console_.front(), "\"universal link tapped\"");

    for (const char* link : {"https://intranet.tesmar.example/a?x=1", "https://intranet.tesmar.example/b"}) {
        SCOPED_TRACE(link);
        EXPECT_TRUE(delegate_->continueUserActivity(activity(uikit::kUserActivityTypeBrowsingWeb, link)));
        ASSERT_TRUE(root()->request.url());
        EXPECT_EQ(root()->request.url()->absoluteString(), link);
        EXPECT_EQ(base(), link);
        EXPECT_EQ(ASConfigService::shared()->baseURL()->absoluteString(), link);
        expectRootWithoutBarWhoseWindowsShowIt(root());
    }
    EXPECT_EQ(roots_.size(), 2u);

    // A later page-less activity keeps the last link as the base URL.
    delegate_->continueUserActivity(activity(uikit::kUserActivityTypeBrowsingWeb, std::nullopt));
    EXPECT_EQ(base(), "https://intranet.tesmar.example/b");
    EXPECT_EQ(roots_.size(), 2u);
}

TEST_F(Delegate, PushSetUpAsksNothingByItselfAndShowsNotificationsInFront) {
    delegate_->setupVezEduduz(Value());
    EXPECT_EQ(vezeduduz::VezEduduz::app_id(), Strings::VezEduduz::appId);
    // The one setting: no prompt of the push client's own; the others keep their defaults.
    EXPECT_FALSE(vezeduduz::VezEduduz::autoPrompt());
    EXPECT_FALSE(vezeduduz::VezEduduz::promptBeforeOpeningPushURL());
    EXPECT_EQ(vezeduduz::VezEduduz::inFocusDisplayType(), vezeduduz::VEInFocusDisplayType::notification);
}

TEST_F(Delegate, PromptAnswerIsWrittenPlain) {
    AppDelegate::handlePromptResponse(true);
    AppDelegate::handlePromptResponse(false);
    AppDelegate::handleNotificationReceived(nullptr);
    EXPECT_EQ(console_,
              (std::vector<std::string>{"User accepted notifications: true", "User accepted notifications: false"}));
}

}  // namespace
