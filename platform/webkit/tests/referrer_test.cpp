// What a page's requests tell their server about where they came from: the values are those the real
// engine sent for the same pages.
#include <gtest/gtest.h>

#include "platform/webkit/PageEngine.h"
#include "platform/webkit/forms/HTMLForm.h"
#include "platform/webkit/tests/WebKitTestSupport.h"

using namespace webkit_test;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;
using webkit_detail::ReferrerPolicy;

namespace {

TEST(Referrer, IsCutAsThePagesPolicySays) {
    const auto page = url("https://ann:pw@intranet.example/dir/page?q=1#top");
    struct Row {
        const char* target;
        ReferrerPolicy policy;
        std::optional<std::string> referer;
    } rows[] = {
        {"https://intranet.example/next", ReferrerPolicy::StrictOriginWhenCrossOrigin,
         "https://intranet.example/dir/page?q=1"},
        {"https://other.example/", ReferrerPolicy::StrictOriginWhenCrossOrigin, "https://intranet.example/"},
        {"https://intranet.example:8443/", ReferrerPolicy::StrictOriginWhenCrossOrigin, "https://intranet.example/"},
        {"http://intranet.example/next", ReferrerPolicy::StrictOriginWhenCrossOrigin, std::nullopt},
        {"http://intranet.example/next", ReferrerPolicy::UnsafeURL, "https://intranet.example/dir/page?q=1"},
        {"https://intranet.example/next", ReferrerPolicy::Origin, "https://intranet.example/"},
        {"https://other.example/", ReferrerPolicy::SameOrigin, std::nullopt},
        {"https://intranet.example/next", ReferrerPolicy::NoReferrer, std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(webkit_detail::referrerFor(page, url(row.target), row.policy), row.referer) << row.target;
    // A page that came from nowhere tells nothing; one over http tells its origin to https.
    EXPECT_EQ(webkit_detail::referrerFor(url("about:blank"), url("https://a.example/"), ReferrerPolicy::UnsafeURL),
              std::nullopt);
    EXPECT_EQ(webkit_detail::referrerFor(url("http://Intranet.example:8080"), url("https://intranet.example/"),
                                         ReferrerPolicy::StrictOriginWhenCrossOrigin),
              "http://intranet.example:8080/");
    // The header's last policy the engine knows wins.
    EXPECT_EQ(webkit_detail::referrerPolicyOf("no-referrer, Unsafe-URL ,what"), ReferrerPolicy::UnsafeURL);
    EXPECT_EQ(webkit_detail::referrerPolicyOf(std::nullopt), ReferrerPolicy::StrictOriginWhenCrossOrigin);
}

// A page's links and forms say where they came from; back and reload send what the first visit sent; a
// redirect cuts the Referer again for where it leads, and an Origin it cannot vouch for any more is "null".
TEST(Referrer, ThePagesLinksFormsAndRedirectsCarryIt) {
    DeviceRoot device;
    EventLog events;
    TestHttpServer server, other;  // two origins: their ports differ
    auto delegate = std::make_shared<RecordingNavigationDelegate>();
    auto webView = std::make_shared<WebView>();
    webView->setNavigationDelegate(delegate);
    setFormReader(&forms::readForm);
    auto go = [&](const std::function<void()>& start) {
        delegate->finished = false;
        start();
        return runUntil([&] { return delegate->finished; });
    };
    const std::string form = "<form method=post action=/post><input name=a value=1></form>"
                             "<form method=post action='" +
                             other.url("/307") + "'><input name=b value=2></form>";
    server.route("GET", "/page", Reply::text(form, 200, "text/html"));
    server.route("GET", "/quiet", Reply::text(form, 200, "text/html").header("Referrer-Policy", "no-referrer"));
    for (const char* path : {"/next", "/landed"}) server.route("GET", path, Reply::text("", 200, "text/html"));
    server.route("POST", "/post", Reply::text("", 200, "text/html"));
    other.route("GET", "/302", Reply::redirect(server.url("/landed")));
    other.route("POST", "/307", Reply::redirect(server.url("/post"), 307));
    const std::string page = server.url("/page?q=1"), origin = server.url("/");

    ASSERT_TRUE(go([&] { webView->loadRequest(URLRequest(url(page + "#top"))); }));
    ASSERT_TRUE(go([&] { webView->tapLink("/next"); }));
    ASSERT_TRUE(go([&] { webView->goBack(); }));
    ASSERT_TRUE(go([&] { webView->tapLink(other.url("/302")); }));
    ASSERT_TRUE(go([&] { webView->goBack(); }));
    ASSERT_TRUE(go([&] { webView->submitForm({"/post", {}}, nullptr); }));
    ASSERT_TRUE(go([&] { webView->reload(); }));
    ASSERT_TRUE(go([&] { webView->goBack(); }));
    ASSERT_TRUE(go([&] { webView->submitForm({other.url("/307"), {}}, nullptr); }));
    ASSERT_TRUE(go([&] { webView->loadRequest(URLRequest(url(server.url("/quiet")))); }));
    ASSERT_TRUE(go([&] { webView->submitForm({"/post", {}}, nullptr); }));

    auto sent = [](const std::vector<tesmar_testing::RecordedRequest>& requests) {
        std::vector<std::string> lines;
        for (const auto& r : requests)
            lines.push_back(r.method + " " + r.header("Referer").value_or("-") + " " +
                            r.header("Origin").value_or("-"));
        return lines;
    };
    using Lines = std::vector<std::string>;
    const std::string originOnly = origin.substr(0, origin.size() - 1);  // without the slash
    EXPECT_EQ(sent(server.requestsTo("/page")), (Lines{"GET - -", "GET - -", "GET - -", "GET - -"}));
    EXPECT_EQ(sent(server.requestsTo("/next")), (Lines{"GET " + page + " -"}));
    EXPECT_EQ(sent(other.requestsTo("/302")), (Lines{"GET " + origin + " -"}));
    EXPECT_EQ(sent(server.requestsTo("/landed")), (Lines{"GET " + origin + " -"}));
    EXPECT_EQ(sent(other.requestsTo("/307")), (Lines{"POST " + origin + " " + originOnly}));
    EXPECT_EQ(sent(server.requestsTo("/post")),
              (Lines{"POST " + page + " " + originOnly, "POST " + page + " " + originOnly, "POST " + origin + " null",
                     "POST - null"}));
}

}  // namespace
