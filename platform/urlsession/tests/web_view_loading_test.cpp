// What a web view's session does otherwise than the app's: a URL's credentials wait for its server's
// challenge, and as many redirects are followed as a browser follows.
#include <gtest/gtest.h>

#include "platform/urlsession/tests/SessionTestSupport.h"
#include "testing/TestHttpServer.h"

using namespace urlsession_test;
using tesmar_testing::RecordedRequest;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

URLSessionConfiguration sessionConfiguration(bool webView) {
    auto c = URLSessionConfiguration::ephemeralSessionConfiguration();
    if (webView) {
        c.HTTPMaximumRedirects = 20;
        c.sendsURLCredentialsPreemptively = false;
    }
    return c;
}

// Basic anna:secret in `realm`.
Reply guarded(const std::string& realm) {
    return Reply::dynamic([realm](const RecordedRequest& r, Reply& out) {
        if (r.header("Authorization") == "Basic YW5uYTpzZWNyZXQ=")
            out = Reply::text("in");
        else
            out = Reply::text("no", 401).header("WWW-Authenticate", "Basic realm=\"" + realm + "\"");
    });
}

TEST(WebViewLoadingTest, AURLsCredentialsGoOnlyAfterAChallengeAndThenWithinItsFolderAndSpace) {
    struct Row {
        bool webView;
        const char* url;  // {} is the server
        int status;
        const char* sent;  // each request's Authorization: "-" none, "B" anna's
    };
    // Each session's rows in turn: what one row's answer taught the session holds for the next.
    const std::vector<Row> rows = {
        {true, "http://anna:wrong@{}/basic/", 401, "-B"},
        {true, "http://{}/basic/in", 401, "-"},  // a refused credential is not kept
        {true, "http://anna:secret@{}/basic/", 200, "-B"},
        {true, "http://{}/basic/sub/page", 200, "B"},  // within the folder
        {true, "http://{}/whoami", 200, "-"},
        {true, "http://{}/basicx", 200, "-"},  // beside it
        {true, "http://{}/zone/", 200, "-B"},  // the same realm: answered after its challenge
        {true, "http://{}/other/", 401, "-"},  // another realm
        {false, "http://anna:secret@{}/basic/", 200, "B"},
        {false, "http://{}/basic/sub/page", 401, "-"},  // the app's session keeps no folder
    };
    TestHttpServer server;
    server.route("GET", "/basic/*", guarded("staff"));
    server.route("GET", "/zone/", guarded("staff"));
    server.route("GET", "/other/", guarded("other"));
    server.route("GET", "/whoami", Reply::text("who"));
    server.route("GET", "/basicx", Reply::text("x"));
    std::shared_ptr<URLSession> session;
    bool webView = false;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.webView ? "web view " : "app ") + row.url);
        if (!session || webView != row.webView) {
            if (session) session->invalidateAndCancel();
            webView = row.webView;
            session = URLSession::sessionWithConfiguration(sessionConfiguration(webView), nullptr, nullptr);
        }
        std::string text = row.url;
        text.replace(text.find("{}"), 2, "127.0.0.1:" + std::to_string(server.port()));
        size_t before = server.requestCount();
        auto fetched = fetch(session, URLRequest(url(text)));
        ASSERT_FALSE(fetched.error) << fetched.error->description();
        EXPECT_EQ(fetched.response->statusCode(), row.status);
        std::string sent;
        auto requests = server.requests();
        for (size_t i = before; i < requests.size(); ++i) sent += requests[i].hasHeader("Authorization") ? "B" : "-";
        EXPECT_EQ(sent, row.sent);
    }
    session->invalidateAndCancel();
}

TEST(WebViewLoadingTest, RedirectsAreFollowedUpToTheSessionsLimit) {
    struct Row {
        bool webView;
        int redirects;
        int code;  // 0: the last page
    };
    const std::vector<Row> rows = {{true, 19, 0}, {true, 20, 0}, {true, 21, -1007}, {false, 16, 0}, {false, 17, -1007}};
    TestHttpServer server;
    server.route("GET", "/r/:n", Reply::dynamic([](const RecordedRequest& r, Reply& out) {
                     int n = std::stoi(r.pathParams.at("n"));
                     out = n > 0 ? Reply::redirect("/r/" + std::to_string(n - 1)) : Reply::text("end");
                 }));
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.webView ? "web view " : "app ") + std::to_string(row.redirects));
        auto session = URLSession::sessionWithConfiguration(sessionConfiguration(row.webView), nullptr, nullptr);
        size_t before = server.requestCount();
        auto fetched = fetch(session, URLRequest(url(server.url("/r/" + std::to_string(row.redirects)))));
        EXPECT_EQ(fetched.error ? fetched.error->code : 0, row.code);
        EXPECT_EQ(server.requestCount() - before, size_t(std::min(row.redirects, row.webView ? 20 : 16) + 1));
        session->invalidateAndCancel();
    }
}

}  // namespace
