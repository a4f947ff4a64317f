// The screen as its page's UI delegate: alert and confirm answers, panels that cannot be shown,
// and windows opened and closed over a stack with other screens in it.
#include <gtest/gtest.h>

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
using platform::URLRequest;
using platform::Value;

class WebUI : public ::testing::Test {
protected:
    void SetUp() override {
        tesmar_testing::resetProcessState();
        platform::PlatformConfig::update([](platform::PlatformSettings& s) {
            s.networkUp = false;
            s.systemVersion = {12, 0, 0};
        });
        Tesmar::registerClasses();
        app_ = std::make_shared<uikit::Application>();
        uikit::Application::installShared(app_);
        window_ = std::make_shared<uikit::Window>();
        auto board = uikit::Storyboard::named("Main");
        screen_ =
            std::dynamic_pointer_cast<ViewController>(board->instantiateViewControllerWithIdentifier("ViewController"));
        nav_ = uikit::NavigationController::withRoot(screen_);
        window_->setRootViewController(nav_);
        window_->makeKeyAndVisible();
        token_ = platform::DeviceEvents::addListener([this](const std::string& event, const Value& fields) {
            if (event == "alert.shown") shown_.push_back(fields);
        });
    }
    void TearDown() override {
        token_ = {};
        while (uikit::isAlertVisible() && (uikit::tapAlertButton("OK") || uikit::tapAlertButton("Cancel"))) {
        }
        screen_.reset();
        nav_.reset();
        window_.reset();
        platform::dispatch::MainLoop::shared().runUntilIdle();
        tesmar_testing::resetProcessState();
    }

    static webkit::FrameInfo frame(const std::optional<std::string>& url) {
        webkit::FrameInfo info;
        if (url) info.request = URLRequest(*URL::string(*url));
        return info;
    }

    tesmar_testing::TemporaryDeviceRoot device_;
    std::shared_ptr<uikit::Application> app_;
    std::shared_ptr<uikit::Window> window_;
    std::shared_ptr<ViewController> screen_;
    std::shared_ptr<uikit::NavigationController> nav_;
    platform::DeviceEvents::Token token_;
    std::vector<Value> shown_;
};

TEST_F(WebUI, ConfirmAnswersTheButtonTapped) {
    struct Case {
        const char* button;
        bool answer;
    } cases[] = {{"OK", true}, {"Cancel", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button);
        shown_.clear();
        std::vector<bool> answers;
        screen_->runJavaScriptConfirmPanelWithMessage(*screen_->wkWebView, "Leave?",
                                                      frame("https://intranet.tesmar.example/page"),
                                                      [&](bool ok) { answers.push_back(ok); });
        ASSERT_EQ(shown_.size(), 1u);
        EXPECT_EQ(shown_[0]["title"], Value("intranet.tesmar.example"));
        EXPECT_EQ(shown_[0]["message"], Value("Leave?"));
        EXPECT_EQ(shown_[0]["actions"], Value::array({"OK", "Cancel"}));
        EXPECT_TRUE(answers.empty());  // only a tap answers
        ASSERT_TRUE(uikit::tapAlertButton(c.button));
        platform::dispatch::MainLoop::shared().runUntilIdle();
        EXPECT_EQ(answers, std::vector<bool>{c.answer});
        EXPECT_FALSE(uikit::isAlertVisible());
    }
}

TEST_F(WebUI, AlertFromAFrameWithoutHostHasNoTitleAndAnswersOnce) {
    int calls = 0;
    screen_->runJavaScriptAlertPanelWithMessage(*screen_->wkWebView, "Saved", frame(std::nullopt), [&] { ++calls; });
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(shown_[0]["title"].isNull());
    EXPECT_EQ(shown_[0]["actions"], Value::array({"OK"}));
    EXPECT_EQ(calls, 0);
    ASSERT_TRUE(uikit::tapAlertButton("OK"));
    platform::dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(uikit::tapAlertButton("OK"));
    EXPECT_EQ(calls, 1);
}

TEST_F(WebUI, PanelOverAPresentedScreenComesFromTheTopOne) {
    auto cover = std::make_shared<uikit::ViewController>();
    ASSERT_TRUE(screen_->presentViewController(cover, false));
    int calls = 0;
    screen_->runJavaScriptAlertPanelWithMessage(*screen_->wkWebView, "Hi", frame("https://a.example/"),
                                                [&] { ++calls; });
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(cover->presentedViewController());
    ASSERT_TRUE(uikit::tapAlertButton("OK"));
    EXPECT_EQ(calls, 1);
}

// A page waits for its panel's answer; a panel nobody can see must still answer, once.
TEST_F(WebUI, PanelThatCannotBeShownStillAnswers) {
    auto offscreen = std::make_shared<ViewController>();
    offscreen->view();  // loaded, but in no window
    int alerts = 0;
    std::vector<bool> confirms;
    offscreen->runJavaScriptAlertPanelWithMessage(*offscreen->wkWebView, "Hi", frame("https://a.example/"),
                                                  [&] { ++alerts; });
    offscreen->runJavaScriptConfirmPanelWithMessage(*offscreen->wkWebView, "Sure?", frame("https://a.example/"),
                                                    [&](bool ok) { confirms.push_back(ok); });
    platform::dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(alerts, 1);
    EXPECT_EQ(confirms, std::vector<bool>{false});
    EXPECT_TRUE(shown_.empty());
    EXPECT_FALSE(uikit::isAlertVisible());
}

TEST_F(WebUI, NewWindowsPushAndClosingPopsToTheNearestWebScreen) {
    webkit::NavigationAction open;
    open.request = URLRequest(*URL::string("https://intranet.tesmar.example/window"));
    auto first = screen_->createWebViewWithConfiguration(*screen_->wkWebView, webkit::WebViewConfiguration(), open, {});
    ASSERT_EQ(nav_->viewControllers().size(), 2u);
    auto pushed = std::dynamic_pointer_cast<ViewController>(nav_->topViewController());
    ASSERT_TRUE(pushed);
    EXPECT_EQ(pushed->wkWebView, first);  // the web view handed back is the one shown
    EXPECT_EQ(pushed->request.url()->absoluteString(), "https://intranet.tesmar.example/window");
    EXPECT_FALSE(pushed->shouldHideNavBar);

    // A navigation with a target frame opens no screen, but still gets a web view.
    webkit::NavigationAction inPlace = open;
    inPlace.targetFrame = webkit::FrameInfo{};
    EXPECT_TRUE(
        pushed->createWebViewWithConfiguration(*pushed->wkWebView, webkit::WebViewConfiguration(), inPlace, {}));
    EXPECT_EQ(nav_->viewControllers().size(), 2u);

    // Another screen between the two web screens, then a window from the top one.
    nav_->pushViewController(std::make_shared<uikit::ViewController>(), false);
    auto top = std::dynamic_pointer_cast<ViewController>(nav_->topViewController());
    EXPECT_FALSE(top);
    pushed->createWebViewWithConfiguration(*pushed->wkWebView, webkit::WebViewConfiguration(), open, {});
    ASSERT_EQ(nav_->viewControllers().size(), 4u);
    top = std::dynamic_pointer_cast<ViewController>(nav_->topViewController());
    ASSERT_TRUE(top);

    // A close for somebody else's web view is ignored.
    webkit::WebView stranger;
    top->webViewDidClose(stranger);
    platform::dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(nav_->viewControllers().size(), 4u);

    // The pop happens after the close returns, and passes over the plain screen.
    top->webViewDidClose(*top->wkWebView);
    EXPECT_EQ(nav_->viewControllers().size(), 4u);
    platform::dispatch::MainLoop::shared().runUntilIdle();
    ASSERT_EQ(nav_->viewControllers().size(), 2u);
    EXPECT_EQ(nav_->topViewController(), pushed);
}

}  // namespace
