#include <gtest/gtest.h>

#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzWebView.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "platform/uikit/Window.h"
#include "testing/TestHttpServer.h"

namespace {

using namespace core_test;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

URL urlOf(const std::string& text) {
    auto u = URL::string(text);
    EXPECT_TRUE(u.has_value()) << text;
    return u ? *u : URL();
}

class InAppPageTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        server.route("GET", "/offer", Reply::text("<title>Offer</title>", 200, "text/html"));
        server.route("GET", "/second", Reply::text("<title>Second</title>", 200, "text/html"));
    }
    void TearDown() override {
        tesmar_testing::resetProcessState({"vezeduduz.web-view"});
        VezEduduzHelper::setInAppPagePresenter(nullptr);
        VezEduduzHelper::setDialogPresenter(nullptr);
        VezEduduzHelper::setShouldPromptToShowURL(nullptr);
        MainLoop::shared().runUntilIdle();
        window.reset();
        CoreTest::TearDown();
    }

    // A launched application whose key window shows a plain root screen.
    std::shared_ptr<uikit::ViewController> launchWithRootScreen() {
        launchApplication();
        window = std::make_shared<uikit::Window>();
        window->setRootViewController(std::make_shared<uikit::ViewController>());
        window->makeKeyAndVisible();
        MainLoop::shared().runUntilIdle();
        auto app = uikit::Application::shared();
        EXPECT_TRUE(app && app->keyWindow() == window);
        return window->topPresentedViewController();
    }

    static bool waitFor(const std::function<bool()>& done) { return MainLoop::shared().runUntil(done, 10); }

    TestHttpServer server;
    std::shared_ptr<uikit::Window> window;
};

TEST_F(InAppPageTest, ShowsOverTheTopScreenLoadsAndCloses) {
    auto top = launchWithRootScreen();
    ASSERT_TRUE(top);
    auto page = VezEduduzWebView::shared();
    page->setURL(urlOf(server.url("/offer")));
    ASSERT_TRUE(page->showInApp());
    EXPECT_TRUE(page->isShown());
    EXPECT_EQ(top->presentedViewController(), page->navigation());
    EXPECT_EQ(uikit::Application::shared()->keyWindow()->topPresentedViewController(), page->navigation());

    ASSERT_TRUE(waitFor([&] { return page->title() == "Offer"; }));
    EXPECT_EQ(page->navigation()->title(), "Offer");
    EXPECT_FALSE(page->busyIndicator()->isAnimating());
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].path, "/offer");

    // Asked again while on screen: the new address loads in place, nothing more is presented.
    page->setURL(urlOf(server.url("/second")));
    ASSERT_TRUE(page->showInApp());
    ASSERT_TRUE(waitFor([&] { return page->title() == "Second"; }));
    EXPECT_EQ(top->presentedViewController(), page->navigation());

    // The close button takes it away and clears what it showed.
    page->closeButton()->tap();
    ASSERT_TRUE(waitFor([&] {
        auto request = page->webView()->request();
        return !page->isShown() && request && request->url() && request->url()->absoluteString() == "about:blank" &&
               !page->webView()->isLoading();
    }));
    EXPECT_EQ(top->presentedViewController(), nullptr);
    EXPECT_EQ(server.requestCount(), 2u);

    // And it can be shown again afterwards.
    page->setURL(urlOf(server.url("/offer")));
    ASSERT_TRUE(page->showInApp());
    ASSERT_TRUE(waitFor([&] { return page->title() == "Offer" && !page->webView()->isLoading(); }));
    EXPECT_EQ(top->presentedViewController(), page->navigation());
}

TEST_F(InAppPageTest, WithoutAScreenItOpensOutside) {
    auto page = VezEduduzWebView::shared();
    page->setURL(urlOf(server.url("/offer")));
    EXPECT_FALSE(page->showInApp());
    EXPECT_FALSE(page->isShown());
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(server.requestCount(), 0u);

    // Through the presenter the address is not lost: it opens outside the app instead.
    launchApplication();
    VezEduduzWebView::presenter()(urlOf(server.url("/offer")));
    MainLoop::shared().runUntilIdle();
    auto urls = uikit::Application::shared()->openedURLs();
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_EQ(urls[0].url, server.url("/offer"));
    EXPECT_FALSE(page->isShown());
}

TEST_F(InAppPageTest, LaunchURLGoesThroughTheInstalledPage) {
    auto top = launchWithRootScreen();
    ASSERT_TRUE(top);
    VezEduduz::initWithLaunchOptions(
        Value(), Value(kAppId), nullptr, nullptr,
        Value::dictionary({{kOSSettingsKeyAutoPrompt, false}, {kOSSettingsKeyInAppLaunchURL, true}}));
    settleRegistration();
    EXPECT_TRUE(static_cast<bool>(VezEduduz::dialogPresenter()));

    VezEduduzHelper::displayWebView(urlOf(server.url("/offer")));
    auto& loop = MainLoop::shared();
    loop.runUntilIdle();
    EXPECT_EQ(top->presentedViewController(), nullptr);  // not before the opening delay
    loop.advance(0.25);
    ASSERT_TRUE(waitFor([&] { return VezEduduzWebView::shared()->title() == "Offer"; }));
    auto page = VezEduduzWebView::shared();
    EXPECT_TRUE(page->isShown());
    EXPECT_EQ(top->presentedViewController(), page->navigation());
    EXPECT_EQ(page->url()->absoluteString(), server.url("/offer"));
}

}  // namespace
