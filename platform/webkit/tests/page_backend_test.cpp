// A web view over an engine that runs scripts (installed at boot): the page driver plays the page's
// actions as JavaScript in the page, and the engine's own requests reach the UI delegate.
#include <gtest/gtest.h>

#include "platform/webkit/PageEngine.h"
#include "platform/webkit/tests/WebKitTestSupport.h"

using namespace webkit_test;

namespace {

// A backend that runs scripts: it keeps what it was asked to run and answers from the test.
class ScriptingBackend : public webkit_detail::PageEngine {
public:
    explicit ScriptingBackend(const webkit_detail::BackendRequest& request)
        : PageEngine(request.store, request.client), client(request.client) {}
    bool runsScripts() const override { return true; }
    void evaluateJavaScript(const std::string& script,
                            std::function<void(const Value&, const std::optional<Error>&)> completion) override {
        scripts.push_back(script);
        completions.push_back(std::move(completion));
    }
    void clickLink(const std::string& href,
                   std::function<void(const std::optional<std::string>&)> completion) override {
        clicked.push_back(href);
        if (completion) completion(std::nullopt);
    }

    webkit_detail::EngineClient* client;
    std::vector<std::string> scripts;
    std::vector<std::function<void(const Value&, const std::optional<Error>&)>> completions;
    std::vector<std::string> clicked;
};

class Panels : public UIDelegate {
public:
    std::vector<std::string> log;
    std::function<void()> alert;
    std::shared_ptr<WebView> window;
    std::shared_ptr<WebView> createWebViewWithConfiguration(WebView& opener, const WebViewConfiguration& configuration,
                                                            const NavigationAction& action,
                                                            const WindowFeatures&) override {
        log.push_back("create " + action.request.url().value_or(URL()).absoluteString());
        window = std::make_shared<WebView>(opener.frame(), configuration);
        return window;
    }
    void runJavaScriptAlertPanelWithMessage(WebView&, const std::string& message, const FrameInfo&,
                                            std::function<void()> completion) override {
        log.push_back("alert " + message);
        alert = std::move(completion);
    }
};

class PageBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        webkit_detail::setPageBackendFactory([this](const webkit_detail::BackendRequest& request) {
            auto made = std::make_shared<ScriptingBackend>(request);
            backends.push_back(made);
            return made;
        });
        webView = std::make_shared<WebView>();
        webView->setUIDelegate(panels);
    }
    void TearDown() override { webkit_detail::setPageBackendFactory(nullptr); }

    DeviceRoot root_;
    std::vector<std::shared_ptr<ScriptingBackend>> backends;
    std::shared_ptr<Panels> panels = std::make_shared<Panels>();
    std::shared_ptr<WebView> webView;
};

TEST_F(PageBackendTest, ThePageDriverRunsThePagesActionsAsScript) {
    auto& backend = *backends.front();
    ASSERT_TRUE(webView->runsScripts());
    bool alertDone = false;
    std::optional<bool> confirmed;
    // Quotes, line breaks and a closing script tag stay inside the string literal.
    webView->runAlert("say \"hi\"\n</script>", [&] { alertDone = true; });
    webView->runConfirm("Leave?", [&](bool answer) { confirmed = answer; });
    webView->openWindow("https://intranet.example/popup");
    webView->closeWindow();
    webView->tapLink("https://intranet.example/news", true);
    EXPECT_EQ(backend.scripts,
              (std::vector<std::string>{"alert(\"say \\\"hi\\\"\\n</script>\"); undefined;", "confirm(\"Leave?\");",
                                        "window.open(\"https://intranet.example/popup\"); undefined;",
                                        "window.close(); window.closed;"}));
    EXPECT_EQ(backend.clicked, std::vector<std::string>{"https://intranet.example/news"});
    // Nothing ran in place of the page: the delegate hears only from the engine.
    EXPECT_TRUE(panels->log.empty());

    // What the host waits for: each script until its answer, and a close the page said is coming until
    // the engine closes (the click was answered at once).
    EXPECT_EQ(webView->pendingScriptCount(), 4u);
    backend.completions[0](Value(), std::nullopt);
    backend.completions[1](Value(true), std::nullopt);
    backend.completions[2](Value(), std::nullopt);
    backend.completions[3](Value(true), std::nullopt);
    EXPECT_TRUE(alertDone);
    EXPECT_EQ(confirmed, true);
    EXPECT_EQ(webView->pendingScriptCount(), 1u);
    backend.client->engineClose();
    EXPECT_EQ(webView->pendingScriptCount(), 0u);
}

TEST_F(PageBackendTest, TheEnginesRequestsReachTheUIDelegate) {
    auto& backend = *backends.front();
    bool answered = false;
    backend.client->engineRunAlert("from the page", [&] { answered = true; });
    EXPECT_EQ(panels->log, std::vector<std::string>{"alert from the page"});
    EXPECT_EQ(webView->pendingPanelCount(), 1u);
    panels->alert();
    EXPECT_TRUE(answered);
    EXPECT_EQ(webView->pendingPanelCount(), 0u);

    // No confirm panel in the delegate: the page hears false.
    std::optional<bool> confirmed;
    backend.client->engineRunConfirm("sure?", [&](bool answer) { confirmed = answer; });
    EXPECT_EQ(confirmed, false);

    // A window the page asks for is the delegate's web view, on a backend of its own.
    NavigationAction action;
    action.request = URLRequest(url("https://intranet.example/window"));
    auto made = backend.client->engineCreateWindow(action, WindowFeatures{});
    ASSERT_EQ(backends.size(), 2u);
    EXPECT_EQ(made, backends[1]);
    EXPECT_EQ(panels->log.back(), "create https://intranet.example/window");
}

TEST_F(PageBackendTest, WithoutAnEngineWebViewsStayHeadless) {
    webkit_detail::setPageBackendFactory([](const webkit_detail::BackendRequest&) { return nullptr; });
    auto headless = std::make_shared<WebView>();
    EXPECT_FALSE(headless->runsScripts());
    bool failed = false;
    headless->evaluateJavaScript("1", [&](const Value&, const std::optional<Error>& error) {
        failed = error && error->code == kWebKitErrorJavaScriptExceptionOccurred;
    });
    runUntil([&] { return failed; }, 5);
    EXPECT_TRUE(failed);
}

}  // namespace
