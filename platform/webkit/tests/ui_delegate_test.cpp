#include <gtest/gtest.h>

#include "platform/webkit/tests/WebKitTestSupport.h"

using namespace webkit_test;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

// Keeps panel completions for the test to answer, and makes (or refuses) new windows.
class RecordingUIDelegate : public UIDelegate {
public:
    std::vector<std::string> log;
    std::vector<std::function<void()>> alerts;
    std::vector<std::function<void(bool)>> confirms;
    std::vector<FrameInfo> panelFrames;
    std::vector<NavigationAction> windowActions;
    std::vector<std::shared_ptr<WebView>> windows;
    bool makeWindows = true;
    std::shared_ptr<NavigationDelegate> windowDelegate;
    bool loadWindowItself = false;  // as the shell does: it loads the request into the window it made
    WebView* closed = nullptr;

    std::shared_ptr<WebView> createWebViewWithConfiguration(WebView& opener, const WebViewConfiguration& configuration,
                                                            const NavigationAction& action,
                                                            const WindowFeatures&) override {
        windowActions.push_back(action);
        log.push_back("create");
        if (!makeWindows) return nullptr;
        auto window = std::make_shared<WebView>(opener.frame(), configuration);
        if (windowDelegate) window->setNavigationDelegate(windowDelegate);
        if (loadWindowItself) window->loadRequest(action.request);
        windows.push_back(window);
        return window;
    }
    void webViewDidClose(WebView& webView) override {
        log.push_back("close");
        closed = &webView;
    }
    void runJavaScriptAlertPanelWithMessage(WebView&, const std::string& message, const FrameInfo& frame,
                                            std::function<void()> completion) override {
        log.push_back("alert " + message);
        panelFrames.push_back(frame);
        alerts.push_back(std::move(completion));
    }
    void runJavaScriptConfirmPanelWithMessage(WebView&, const std::string& message, const FrameInfo& frame,
                                              std::function<void(bool)> completion) override {
        log.push_back("confirm " + message);
        panelFrames.push_back(frame);
        confirms.push_back(std::move(completion));
    }
};

class PanelsOnly : public RecordingUIDelegate {
public:
    bool implements(UIDelegateMethod m) const override {
        return m != UIDelegateMethod::RunJavaScriptAlertPanel && m != UIDelegateMethod::RunJavaScriptConfirmPanel;
    }
};

class UIDelegateTest : public ::testing::Test {
protected:
    DeviceRoot device;
    TestHttpServer server;
    EventLog events;
    std::shared_ptr<RecordingNavigationDelegate> navigation = std::make_shared<RecordingNavigationDelegate>();
    std::shared_ptr<RecordingUIDelegate> ui = std::make_shared<RecordingUIDelegate>();
    std::shared_ptr<WebView> webView = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480));

    UIDelegateTest() {
        webView->setNavigationDelegate(navigation);
        webView->setUIDelegate(ui);
        server.route("GET", "/home", Reply::text("<title>Home</title>", 200, "text/html"));
        server.route("GET", "/popup", Reply::text("<title>Popup</title>", 200, "text/html"));
    }

    size_t faults(const std::string& kind) const {
        return static_cast<size_t>(std::count(events.lines.begin(), events.lines.end(), "fault " + kind));
    }
};

TEST_F(UIDelegateTest, AlertAndConfirmCompleteExactlyOnce) {
    int alertsDone = 0;
    std::vector<bool> answers;
    webView->runAlert("Saved", [&] { ++alertsDone; });
    webView->runConfirm("Leave?", [&](bool ok) { answers.push_back(ok); });
    webView->runConfirm("Really?", [&](bool ok) { answers.push_back(ok); });
    EXPECT_EQ(ui->log, (Lines{"alert Saved", "confirm Leave?", "confirm Really?"}));
    EXPECT_EQ(webView->pendingPanelCount(), 3u);
    EXPECT_EQ(alertsDone, 0) << "the page waits for the user";
    // Before anything is committed the frame's request has no URL (the shell then shows no title).
    EXPECT_FALSE(ui->panelFrames[0].request.url().has_value());

    ui->alerts[0]();
    ui->alerts[0]();
    ui->confirms[0](true);
    ui->confirms[0](false);
    ui->confirms[1](false);
    EXPECT_EQ(alertsDone, 1);
    EXPECT_EQ(answers, (std::vector<bool>{true, false}));
    EXPECT_EQ(webView->pendingPanelCount(), 0u);
    EXPECT_EQ(faults("completion-called-twice"), 2u);
}

TEST_F(UIDelegateTest, PanelFrameCarriesThePageURL) {
    navigation->finished = false;
    webView->loadRequest(URLRequest(url(server.url("/home"))));
    ASSERT_TRUE(runUntil([&] { return navigation->finished; }));
    webView->runAlert("hi");
    ASSERT_EQ(ui->panelFrames.size(), 1u);
    EXPECT_TRUE(ui->panelFrames[0].isMainFrame);
    EXPECT_EQ(ui->panelFrames[0].request.url(), url(server.url("/home")));
    ui->alerts[0]();
}

TEST_F(UIDelegateTest, WithoutPanelMethodsAlertsCompleteAtOnceAndConfirmsSayNo) {
    auto bare = std::make_shared<PanelsOnly>();
    webView->setUIDelegate(bare);
    bool alerted = false;
    std::optional<bool> answer;
    webView->runAlert("x", [&] { alerted = true; });
    webView->runConfirm("y", [&](bool ok) { answer = ok; });
    EXPECT_TRUE(alerted);
    EXPECT_EQ(answer, false);
    EXPECT_TRUE(bare->log.empty());
    EXPECT_EQ(webView->pendingPanelCount(), 0u);

    webView->setUIDelegate(std::weak_ptr<UIDelegate>());
    answer.reset();
    webView->runConfirm("z", [&](bool ok) { answer = ok; });
    EXPECT_EQ(answer, false);
}

TEST_F(UIDelegateTest, DroppedPanelCompletionIsAFaultAndStaysPending) {
    webView->runAlert("lost");
    ui->alerts.clear();
    EXPECT_EQ(faults("completion-not-called"), 1u);
    EXPECT_EQ(webView->pendingPanelCount(), 1u);
}

TEST_F(UIDelegateTest, WindowOpenLoadsTheURLInTheReturnedWebViewOnce) {
    auto windowNavigation = std::make_shared<RecordingNavigationDelegate>();
    ui->windowDelegate = windowNavigation;
    struct Case {
        const char* name;
        bool loadWindowItself;
    };
    for (Case c : {Case{"platform loads it", false}, Case{"app already loads it", true}}) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        windowNavigation->finished = false;
        ui->loadWindowItself = c.loadWindowItself;
        auto window = webView->openWindow(server.url("/popup"));
        ASSERT_TRUE(window);
        EXPECT_EQ(ui->windowActions.back().navigationType, NavigationType::Other);
        EXPECT_FALSE(ui->windowActions.back().targetFrame.has_value());
        ASSERT_TRUE(runUntil([&] { return windowNavigation->finished; }));
        EXPECT_EQ(window->URL(), url(server.url("/popup")));
        EXPECT_EQ(window->title(), "Popup");
        EXPECT_EQ(server.requestsTo("/popup").size(), 1u);
        EXPECT_EQ(window->configuration().websiteDataStore, webView->configuration().websiteDataStore);
    }

    // The app's own load, which its screen decided against (and went away): nothing loads after it.
    server.clearRequests();
    windowNavigation->actions.clear();
    windowNavigation->policy = [](const NavigationAction&) { return NavigationActionPolicy::Cancel; };
    ASSERT_TRUE(webView->openWindow(server.url("/popup")));
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(windowNavigation->actions.size(), 1u);
    EXPECT_EQ(server.requestCount(), 0u);
    windowNavigation->policy = nullptr;

    // A delegate that makes no window: the request is dropped.
    ui->makeWindows = false;
    server.clearRequests();
    EXPECT_EQ(webView->openWindow(server.url("/popup")), nullptr);
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(UIDelegateTest, WindowOpenWithoutAGestureNeedsThePreference) {
    EXPECT_EQ(webView->openWindow(server.url("/popup"), /*userGesture=*/false), nullptr);
    EXPECT_TRUE(ui->log.empty());

    WebViewConfiguration configuration;
    configuration.preferences.javaScriptCanOpenWindowsAutomatically = true;
    auto permissive = std::make_shared<WebView>(uikit::Rect(), configuration);
    permissive->setUIDelegate(ui);
    EXPECT_NE(permissive->openWindow(server.url("/popup"), false), nullptr);
    EXPECT_EQ(ui->log, (Lines{"create"}));
}

TEST_F(UIDelegateTest, TargetBlankLinkIsDecidedHereThenOpensAWindow) {
    navigation->finished = false;
    webView->loadRequest(URLRequest(url(server.url("/home"))));
    ASSERT_TRUE(runUntil([&] { return navigation->finished; }));
    navigation->log.clear();

    // Cancelled here: no window is asked for.
    navigation->policy = [](const NavigationAction&) { return NavigationActionPolicy::Cancel; };
    EXPECT_EQ(webView->tapLink("/popup", /*targetBlank=*/true), nullptr);
    EXPECT_EQ(navigation->log, (Lines{"decide linkActivated /popup"}));
    EXPECT_FALSE(navigation->actions.back().targetFrame.has_value());
    EXPECT_TRUE(ui->log.empty());

    navigation->policy = nullptr;
    auto windowNavigation = std::make_shared<RecordingNavigationDelegate>();
    ui->windowDelegate = windowNavigation;
    webView->tapLink("/popup", true);
    ASSERT_EQ(ui->windows.size(), 1u);
    EXPECT_EQ(ui->windowActions.back().navigationType, NavigationType::LinkActivated);
    ASSERT_TRUE(runUntil([&] { return windowNavigation->finished; }));
    EXPECT_EQ(ui->windows[0]->URL(), url(server.url("/popup")));
    EXPECT_EQ(webView->URL(), url(server.url("/home"))) << "the opener stays where it was";
}

TEST_F(UIDelegateTest, WindowCloseTellsTheDelegate) {
    webView->closeWindow();
    EXPECT_EQ(ui->log, (Lines{"close"}));
    EXPECT_EQ(ui->closed, webView.get());
}

}  // namespace
