#include <gtest/gtest.h>

#include "platform/webkit/tests/WebKitTestSupport.h"

using namespace webkit_test;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

class RecordingLegacyDelegate : public LegacyWebViewDelegate {
public:
    std::vector<std::string> log;
    std::function<bool(const URLRequest&)> allow;
    bool done = false;

    bool shouldStartLoadWithRequest(LegacyWebView&, const URLRequest& request, LegacyNavigationType type) override {
        log.push_back("should " + std::to_string(static_cast<int>(type)) + " " +
                      (request.url() ? request.url()->path() : std::string()));
        return allow ? allow(request) : true;
    }
    void webViewDidStartLoad(LegacyWebView&) override { log.push_back("start"); }
    void webViewDidFinishLoad(LegacyWebView& view) override {
        log.push_back("finish " + view.stringByEvaluatingJavaScriptFromString("document.title"));
        done = true;
    }
    void didFailLoadWithError(LegacyWebView&, const Error& error) override {
        log.push_back("fail " + std::to_string(error.code));
        done = true;
    }
};

class LegacyWebViewTest : public ::testing::Test {
protected:
    DeviceRoot device;
    TestHttpServer server;
    std::shared_ptr<RecordingLegacyDelegate> delegate = std::make_shared<RecordingLegacyDelegate>();
    std::shared_ptr<LegacyWebView> webView = std::make_shared<LegacyWebView>();

    LegacyWebViewTest() { webView->setDelegate(delegate); }
    bool wait() {
        bool ok = runUntil([&] { return delegate->done; });
        delegate->done = false;
        return ok;
    }
};

TEST_F(LegacyWebViewTest, LoadsAsksAndReports) {
    server.route("GET", "/in-app", Reply::redirect("/page"));
    server.route("GET", "/page", Reply::text("<title>Offer</title>", 200, "text/html"));
    webView->loadRequest(URLRequest(url(server.url("/in-app"))));
    ASSERT_TRUE(wait());
    EXPECT_EQ(delegate->log, (Lines{"should 5 /in-app", "start", "should 5 /page", "finish Offer"}));
    EXPECT_EQ(webView->request()->url(), url(server.url("/page")));
    EXPECT_EQ(webView->stringByEvaluatingJavaScriptFromString("window.name"), "");

    // A tapped link, then an empty page that clears it: back to the link's page.
    delegate->log.clear();
    webView->tapLink("/page?again");
    ASSERT_TRUE(wait());
    webView->loadHTMLString("", std::nullopt);
    ASSERT_TRUE(wait());
    EXPECT_EQ(delegate->log, (Lines{"should 0 /page", "start", "finish Offer", "should 5 blank", "start", "finish "}));
    EXPECT_TRUE(webView->canGoBack());
    EXPECT_EQ(webView->request()->url()->absoluteString(), "about:blank");
}

TEST_F(LegacyWebViewTest, RefusedRequestsAreNeverSentAndFailuresReported) {
    server.route("GET", "/page", Reply::text("x"));
    delegate->allow = [](const URLRequest&) { return false; };
    webView->loadRequest(URLRequest(url(server.url("/page"))));
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(delegate->log, (Lines{"should 5 /page"}));
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_FALSE(webView->isLoading());

    delegate->allow = nullptr;
    PlatformConfig::setNetworkUp(false);
    webView->loadRequest(URLRequest(url(server.url("/page"))));
    ASSERT_TRUE(wait());
    EXPECT_EQ(delegate->log.back(), "fail -1009");
}

TEST_F(LegacyWebViewTest, ARefusedServerRedirectEndsTheLoadWithAFailure) {
    struct Row {
        const char* name;
        std::string location;
        int code;
        bool asked;  // the delegate hears of the redirect
    };
    const std::vector<Row> rows = {
        {"refused by the delegate", "/elsewhere", 102, true},
        {"to a file, refused by the delegate", "file:///etc/passwd", 102, true},
        {"to a file, allowed by the delegate", "file:///etc/passwd", -1002, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        server.route("GET", "/jump", Reply::redirect(row.location));
        server.route("GET", "/elsewhere", Reply::text("x"));
        server.clearRequests();
        delegate->log.clear();
        const bool refuse = row.code == 102;
        delegate->allow = [refuse](const URLRequest& r) { return !refuse || r.url()->path() == "/jump"; };
        webView->loadRequest(URLRequest(url(server.url("/jump"))));
        ASSERT_TRUE(wait());
        EXPECT_EQ(delegate->log.back(), "fail " + std::to_string(row.code));
        EXPECT_FALSE(webView->isLoading());
        EXPECT_EQ(server.requestCount(), 1u);  // nothing after the redirect is asked for
    }
}

}  // namespace
