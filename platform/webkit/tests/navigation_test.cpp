#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <semaphore>
#include <set>
#include <thread>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/urlsession/URLError.h"
#include "platform/webkit/FormReader.h"
#include "platform/webkit/PageEngine.h"
#include "platform/webkit/tests/WebKitTestSupport.h"
#include "testing/TestCertificates.h"

using namespace webkit_test;
using namespace std::chrono_literals;
using tesmar_testing::Gate;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

class NavigationTest : public ::testing::Test {
protected:
    DeviceRoot device;
    TestHttpServer server;
    EventLog events;
    std::shared_ptr<RecordingNavigationDelegate> delegate = std::make_shared<RecordingNavigationDelegate>();
    std::shared_ptr<WebView> webView = std::make_shared<WebView>();

    NavigationTest() { webView->setNavigationDelegate(delegate); }

    // Loads and waits for the navigation to end; false on timeout.
    bool loadAndWait(const std::function<void()>& start) {
        delegate->finished = false;
        start();
        return runUntil([&] { return delegate->finished; });
    }
    bool waitDone() {
        return runUntil([&] { return delegate->finished; });
    }
};

TEST_F(NavigationTest, LoadRunsDecideStartCommitFinishWithEvents) {
    server.route("GET", "/home",
                 Reply::text("<html><head><title> Intranet &amp;\n Home </title></head></html>", 200,
                             "text/html; charset=utf-8"));
    auto page = server.url("/home");
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(page))); }));

    EXPECT_EQ(delegate->log, (Lines{"decide other /home", "start", "response 200", "commit", "finish"}));
    EXPECT_EQ(events.lines, (Lines{"navigation.decision other allow " + page, "page.start " + page,
                                   "page.commit " + page, "page.finish " + page}));
    ASSERT_EQ(delegate->actions.size(), 1u);
    EXPECT_FALSE(delegate->actions[0].sourceFrame.has_value());
    ASSERT_TRUE(delegate->actions[0].targetFrame.has_value());
    EXPECT_TRUE(delegate->actions[0].targetFrame->isMainFrame);
    EXPECT_EQ(webView->URL(), url(page));
    EXPECT_EQ(webView->title(), "Intranet & Home");
    EXPECT_FALSE(webView->isLoading());
    EXPECT_DOUBLE_EQ(webView->estimatedProgress(), 1.0);
    EXPECT_FALSE(webView->canGoBack());
}

// page.commit and page.finish tell the HTTP status the page was answered with; a page with no HTTP answer (one
// the app gives as text, even at an https URL) has none.
TEST_F(NavigationTest, PageEventsCarryTheStatusOfTheAnswer) {
    server.route("GET", "/forbidden", Reply::text("<p>no</p>", 403, "text/html"));
    server.route("GET", "/moved", Reply::redirect(server.url("/forbidden")));
    std::vector<std::string> seen;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name == "page.commit" || name == "page.finish")
            seen.push_back(name + " " +
                           (fields.contains("status") ? std::to_string(fields["status"].integerOr(0)) : "-"));
    });
    struct Row {
        const char* label;
        std::function<void()> load;
        std::string status;
    } rows[] = {
        {"answered 200", [&] { webView->loadRequest(URLRequest(url(server.url("/home")))); }, "200"},
        {"answered 403 after a redirect", [&] { webView->loadRequest(URLRequest(url(server.url("/moved")))); }, "403"},
        {"text from the app", [&] { webView->loadHTMLString("<p>x</p>", url("https://intranet.tesmar.test/")); }, "-"},
    };
    server.route("GET", "/home", Reply::text("<p>home</p>", 200, "text/html"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        seen.clear();
        ASSERT_TRUE(loadAndWait(row.load));
        EXPECT_EQ(seen, (Lines{"page.commit " + row.status, "page.finish " + row.status}));
    }
}

// The server-trust challenge of the page's TLS handshake is URL loading's to answer: the request reaches
// the server while the main thread is busy elsewhere (as it is during a launch).
TEST_F(NavigationTest, ThePagesHandshakeWaitsForNoTurnOfTheMainThread) {
    constexpr const char* kHost = "intranet.tesmar.test";
    auto pki = tesmar_testing::TestPKI::make(kHost);
    auto files = tesmar_testing::writeServerFiles(device.path(), pki.leaf, {&pki.intermediate});
    TestHttpServer::Options options;
    options.certificateChainPath = files.certificateChainPath;
    options.privateKeyPath = files.privateKeyPath;
    TestHttpServer secure(options);
    secure.route("GET", "/home", Reply::text("<title>Home</title>", 200, "text/html"));
    auto root = tesmar_testing::writePEMFile(device.path() + "/root.pem", pki.root.certificatePEM);
    const std::string port = std::to_string(secure.port());
    PlatformConfig::update([&](PlatformSettings& s) {
        s.extraTrustedRootsPEM = {root};
        s.connectTo[kHost + (":" + port)] = "127.0.0.1:" + port;
    });
    webView->loadRequest(URLRequest(url("https://" + (kHost + (":" + port)) + "/home")));
    ASSERT_TRUE(runUntil([&] { return !delegate->log.empty() && delegate->log.back() == "start"; }));
    EXPECT_TRUE(secure.waitForRequests(1, std::chrono::seconds(5)));
    ASSERT_TRUE(waitDone());
    EXPECT_EQ(delegate->log.back(), "finish");
}

TEST_F(NavigationTest, ServerCookiesLandInTheStoreAndGoBack) {
    server.route("GET", "/login", Reply::text("ok").header("Set-Cookie", "PHPSESSID=abc123; Path=/"));
    server.route("GET", "/next", Reply::text("next"));
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/login")))); }));

    std::optional<std::vector<HTTPCookie>> cookies;
    WebsiteDataStore::defaultDataStore()->httpCookieStore()->getAllCookies(
        [&](std::vector<HTTPCookie> all) { cookies = std::move(all); });
    EXPECT_FALSE(cookies.has_value()) << "the store answers later, not inside the call";
    ASSERT_TRUE(runUntil([&] { return cookies.has_value(); }));
    ASSERT_EQ(cookies->size(), 1u);
    EXPECT_EQ((*cookies)[0].name(), "PHPSESSID");
    EXPECT_EQ((*cookies)[0].value(), "abc123");

    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/next")))); }));
    EXPECT_EQ(server.requestsTo("/next").at(0).header("Cookie"), "PHPSESSID=abc123");
}

TEST_F(NavigationTest, CancelledDecisionSendsNothingAndReportsNothing) {
    server.route("GET", "/blocked", Reply::text("never"));
    delegate->policy = [](const NavigationAction&) { return NavigationActionPolicy::Cancel; };
    webView->loadRequest(URLRequest(url(server.url("/blocked"))));
    dispatch::MainLoop::shared().runUntilIdle();

    EXPECT_EQ(delegate->log, (Lines{"decide other /blocked"}));
    EXPECT_EQ(events.lines, (Lines{"navigation.decision other cancel " + server.url("/blocked")}));
    EXPECT_FALSE(webView->isLoading());
    EXPECT_FALSE(webView->URL().has_value());
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(NavigationTest, RedirectAsksAgainAndCancellingStopsThere) {
    server.route("GET", "/old", Reply::redirect("/new"));
    server.route("GET", "/new", Reply::text("new"));
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/old")))); }));
    EXPECT_EQ(delegate->log, (Lines{"decide other /old", "start", "decide other /new", "redirect", "response 200",
                                    "commit", "finish"}));
    EXPECT_EQ(webView->URL(), url(server.url("/new")));
    EXPECT_EQ(webView->backForwardList().currentItem()->initialURL, url(server.url("/old")));

    // Cancelling the redirect: /new is never asked for, and the navigation fails as interrupted.
    server.clearRequests();
    delegate->log.clear();
    events.lines.clear();
    auto other = std::make_shared<WebView>();
    other->setNavigationDelegate(delegate);
    delegate->policy = [](const NavigationAction& a) {
        return a.request.url()->path() == "/new" ? NavigationActionPolicy::Cancel : NavigationActionPolicy::Allow;
    };
    other->loadRequest(URLRequest(url(server.url("/old"))));
    ASSERT_TRUE(runUntil([&] { return delegate->log.size() >= 4 && !other->isLoading(); }));
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(delegate->log, (Lines{"decide other /old", "start", "decide other /new", "fail-provisional 102"}));
    EXPECT_EQ(delegate->lastError->domain, kWebKitEngineErrorDomain);
    ASSERT_GE(events.lines.size(), 2u);
    EXPECT_EQ(events.lines[events.lines.size() - 2], "navigation.decision other cancel " + server.url("/new"));
    EXPECT_EQ(events.lines.back(),
              "page.fail " + server.url("/old") + " 102 WebKitErrorDomain: Frame load interrupted");
    EXPECT_TRUE(server.requestsTo("/new").empty());
    EXPECT_FALSE(other->URL().has_value());
}

struct FailureCase {
    const char* name;
    std::function<std::string(TestHttpServer&)> setUp;  // answers the URL to load
    std::string expected;
    std::string event = {};  // how page.fail ends, when the case fixes it
};

TEST_F(NavigationTest, FailuresReportTheURLError) {
    const std::vector<FailureCase> cases = {
        {"network down",
         [](TestHttpServer& s) {
             PlatformConfig::setNetworkUp(false);
             s.route("GET", "/page", Reply::text("x"));
             return s.url("/page");
         },
         "fail-provisional -1009", "-1009 NSURLErrorDomain: The Internet connection appears to be offline."},
        {"nobody listens",
         [](TestHttpServer&) {
             TestHttpServer closed;
             std::string gone = closed.url("/page");
             closed.stop();
             return gone;
         },
         "fail-provisional -1004", "-1004 NSURLErrorDomain: Could not connect to the server."},
        {"connection dropped",
         [](TestHttpServer& s) {
             s.route("GET", "/drop", Reply::drop());
             return s.url("/drop");
         },
         "fail-provisional"},
        {"body cut short after the commit",
         [](TestHttpServer& s) {
             auto reply = Reply::streamed(200000);
             reply.stream->dropAfter = 1000;
             s.route("GET", "/cut", reply);
             return s.url("/cut");
         },
         "fail"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlatformConfig::setNetworkUp(true);
        delegate->log.clear();
        std::string target = c.setUp(server);
        ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(target))); }));
        const std::string& last = delegate->log.back();
        EXPECT_EQ(last.substr(0, c.expected.size()), c.expected) << last;
        if (c.expected == "fail") {
            EXPECT_NE(last.rfind("fail-provisional", 0), 0u) << last;
        }
        EXPECT_FALSE(webView->isLoading());
        EXPECT_EQ(events.lines.back().rfind("page.fail " + target + " ", 0), 0u) << events.lines.back();
        EXPECT_TRUE(events.lines.back().ends_with(c.event)) << events.lines.back();
    }
    PlatformConfig::setNetworkUp(true);
}

TEST_F(NavigationTest, NewLoadCancelsTheOneInFlight) {
    auto gate = Gate::make();
    server.route("GET", "/slow", Reply::text("slow").heldBy(gate));
    server.route("GET", "/fast", Reply::text("fast"));
    webView->loadRequest(URLRequest(url(server.url("/slow"))));
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/fast")))); }));
    runUntil([&] { return delegate->log.back() == "finish"; });
    gate->open();
    EXPECT_EQ(delegate->log, (Lines{"decide other /slow", "start", "decide other /fast", "fail-provisional -999",
                                    "start", "response 200", "commit", "finish"}));
    EXPECT_EQ(webView->URL(), url(server.url("/fast")));

    // stopLoading reports -999 too.
    server.route("GET", "/slow2", Reply::text("slow").heldBy(Gate::make()));
    delegate->log.clear();
    webView->loadRequest(URLRequest(url(server.url("/slow2"))));
    ASSERT_TRUE(server.waitForRequests(3));
    webView->stopLoading();
    EXPECT_EQ(delegate->log, (Lines{"decide other /slow2", "start", "fail-provisional -999"}));
    EXPECT_FALSE(webView->isLoading());
    server.stop();
}

TEST_F(NavigationTest, BackForwardAndReload) {
    server.route("GET", "/1", Reply::text("<title>One</title>", 200, "text/html"));
    server.route("GET", "/2", Reply::text("<title>Two</title>", 200, "text/html"));
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/1")))); }));
    ASSERT_TRUE(loadAndWait([&] { webView->tapLink("/2"); }));
    EXPECT_EQ(delegate->actions.back().navigationType, NavigationType::LinkActivated);
    ASSERT_TRUE(delegate->actions.back().sourceFrame.has_value());
    EXPECT_EQ(delegate->actions.back().sourceFrame->request.url(), url(server.url("/1")));
    ASSERT_TRUE(webView->canGoBack());
    EXPECT_FALSE(webView->canGoForward());
    EXPECT_EQ(webView->backForwardList().backItem()->title, "One");

    ASSERT_TRUE(loadAndWait([&] { ASSERT_TRUE(webView->goBack()); }));
    EXPECT_EQ(delegate->log[delegate->log.size() - 5], "decide backForward /1");
    EXPECT_EQ(webView->URL(), url(server.url("/1")));
    EXPECT_FALSE(webView->canGoBack());
    ASSERT_TRUE(webView->canGoForward());
    EXPECT_EQ(webView->backForwardList().forwardItem()->title, "Two");

    ASSERT_TRUE(loadAndWait([&] { ASSERT_TRUE(webView->reload()); }));
    EXPECT_EQ(delegate->log[delegate->log.size() - 5], "decide reload /1");
    EXPECT_EQ(server.requestsTo("/1").size(), 3u);
    EXPECT_EQ(webView->backForwardList().size(), 2u) << "a reload adds no item";
    ASSERT_TRUE(webView->canGoForward());

    // A new page drops the forward items.
    ASSERT_TRUE(loadAndWait([&] { webView->tapLink(server.url("/2")); }));
    EXPECT_FALSE(webView->canGoForward());
    EXPECT_EQ(webView->backForwardList().backList().size(), 1u);
    EXPECT_EQ(webView->goForward(), nullptr);
}

TEST_F(NavigationTest, FreshPagesComeFromTheCacheUntilReloaded) {
    server.route("GET", "/fresh",
                 Reply::text("<title>Fresh</title>", 200, "text/html").header("Cache-Control", "max-age=600"));
    const auto page = url(server.url("/fresh"));
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(page)); }));
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(page)); }));
    EXPECT_EQ(server.requestsTo("/fresh").size(), 1u);
    EXPECT_EQ(webView->title(), "Fresh");
    ASSERT_TRUE(loadAndWait([&] { ASSERT_TRUE(webView->reload()); }));
    EXPECT_EQ(server.requestsTo("/fresh").size(), 2u);
    EXPECT_EQ(delegate->log.back(), "finish");
}

TEST_F(NavigationTest, ReloadAfterAFailedFirstLoadRetriesIt) {
    server.route("GET", "/start", Reply::text("up again"));
    PlatformConfig::setNetworkUp(false);
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/start")))); }));
    EXPECT_EQ(delegate->log.back(), "fail-provisional -1009");
    PlatformConfig::setNetworkUp(true);
    ASSERT_TRUE(loadAndWait([&] { ASSERT_TRUE(webView->reload()); }));
    EXPECT_EQ(delegate->log.back(), "finish");
    EXPECT_EQ(webView->URL(), url(server.url("/start")));
}

TEST_F(NavigationTest, DecisionHandlersCountOnceAndLateDecisionsStillLoad) {
    server.route("GET", "/page", Reply::text("page"));
    delegate->deferDecisions = true;
    webView->loadRequest(URLRequest(url(server.url("/page"))));
    ASSERT_EQ(delegate->pending.size(), 1u);
    EXPECT_FALSE(webView->isLoading()) << "nothing starts before the decision";
    auto handler = delegate->pending[0];
    handler(NavigationActionPolicy::Allow);
    handler(NavigationActionPolicy::Allow);  // a second call is a fault, not a second load
    ASSERT_TRUE(waitDone());
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_NE(std::find(events.lines.begin(), events.lines.end(), "fault completion-called-twice"), events.lines.end());
}

TEST_F(NavigationTest, AnOlderDecisionLosesToANewerStartedLoad) {
    server.route("GET", "/a", Reply::text("a"));
    server.route("GET", "/b", Reply::text("b"));
    delegate->deferDecisions = true;
    webView->loadRequest(URLRequest(url(server.url("/a"))));
    webView->loadRequest(URLRequest(url(server.url("/b"))));
    ASSERT_EQ(delegate->pending.size(), 2u);
    delegate->pending[1](NavigationActionPolicy::Allow);
    delegate->pending[0](NavigationActionPolicy::Allow);
    ASSERT_TRUE(waitDone());
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_TRUE(server.requestsTo("/a").empty());
    EXPECT_EQ(webView->URL(), url(server.url("/b")));
}

TEST_F(NavigationTest, DroppingTheWebViewMidLoadTellsNobody) {
    auto gate = Gate::make();
    server.route("GET", "/held", Reply::text("held").heldBy(gate));
    webView->loadRequest(URLRequest(url(server.url("/held"))));
    ASSERT_TRUE(server.waitForRequests(1));
    webView.reset();
    gate->open();
    dispatch::MainLoop::shared().runUntil([] { return false; }, 0.2);
    EXPECT_EQ(delegate->log, (Lines{"decide other /held", "start"}));
}

TEST_F(NavigationTest, HTMLStringsAndUnsupportedSchemes) {
    ASSERT_TRUE(
        loadAndWait([&] { webView->loadHTMLString("<title>Local</title>", url("https://intranet.example/base/")); }));
    EXPECT_EQ(webView->title(), "Local");
    EXPECT_EQ(webView->URL(), url("https://intranet.example/base/"));
    EXPECT_EQ(server.requestCount(), 0u);

    ASSERT_TRUE(loadAndWait([&] { webView->tapLink("mailto:someone@intranet.example"); }));
    EXPECT_EQ(delegate->log.back(), "fail-provisional -1002");

    bool answered = false;
    webView->evaluateJavaScript("document.title", [&](const Value& v, const std::optional<Error>& e) {
        answered = true;
        EXPECT_TRUE(e.has_value());
        EXPECT_TRUE(v.isNull());
    });
    EXPECT_FALSE(answered);
    EXPECT_TRUE(runUntil([&] { return answered; }));
}

// Only a GET of the page's own URL with a fragment stays in the page; the rest load (a move in the history
// goes by its item's document).
TEST(MovesWithinPage, OnlyAFragmentOfThePageShown) {
    struct Case {
        const char* page;
        const char* target;
        const char* method;
        NavigationType type;
        bool within;
    } cases[] = {
        {"https://h/p", "https://h/p#x", "GET", NavigationType::LinkActivated, true},
        {"https://h/p#x", "https://h/p#y", "GET", NavigationType::Other, true},
        {"https://h/p?q=1", "https://h/p?q=1#", "GET", NavigationType::FormSubmitted, true},
        {"https://h/p#x", "https://h/p", "GET", NavigationType::LinkActivated, false},
        {"https://h/p", "https://h/p?q=1#x", "GET", NavigationType::FormSubmitted, false},
        {"https://h/p", "https://h/q#x", "GET", NavigationType::LinkActivated, false},
        {"https://h/p", "https://h/p#x", "POST", NavigationType::FormSubmitted, false},
        {"https://h/p#x", "https://h/p#x", "GET", NavigationType::Reload, false},
        {"https://h/p", "https://h/p#x", "GET", NavigationType::BackForward, false},
    };
    for (const auto& c : cases) {
        URLRequest request(url(c.target));
        request.setHTTPMethod(c.method);
        EXPECT_EQ(webkit_detail::movesWithinPage(url(c.page), request, c.type), c.within) << c.page << " " << c.target;
    }
}

TEST(HTMLTitle, FindsAndCleansTheTitle) {
    struct Case {
        const char* html;
        const char* title;
    };
    const Case cases[] = {
        {"<html><head><title>Plain</title></head>", "Plain"},
        {"<TITLE lang=en>  Upper\t\n case  </TITLE>", "Upper case"},
        {"<titles>no</titles><title>yes</title>", "yes"},
        {"<title>A &lt;b&gt; &#65;&#x42; &quot;q&quot; &bogus; &#;</title>", "A <b> AB \"q\" &bogus; &#;"},
        {"<title>unterminated", "unterminated"},
        {"<title", ""},
        {"no title here", ""},
        {"<title>&#0; &#x110000;</title>", "\xEF\xBF\xBD \xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(webkit_detail::htmlTitle(c.html), c.title) << c.html;
}

// The form reader gets the whole page however long, up to the most the engine keeps; past that the
// submission is refused rather than read from part of the page.
TEST_F(NavigationTest, AFormIsReadFromTheWholePageOrNotAtAll) {
    static size_t readBytes = 0;
    setFormReader([](const FormPage& page, const FormFill&, const std::atomic<bool>&) {
        readBytes = page.bytes.size();
        return FormRequest{std::nullopt, "read"};
    });
    const size_t sizes[] = {(1 << 20) + 100'000, webkit_detail::PageEngine::kMaxKeptBody + 1};
    for (size_t size : sizes) {
        server.route("GET", "/big", Reply::text(std::string(size, ' '), 200, "text/html"));
        ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/big")))); }));
        readBytes = 0;
        std::optional<std::optional<std::string>> problem;
        webView->submitForm({"/f", {}}, [&](const std::optional<std::string>& p) { problem = p; });
        ASSERT_TRUE(runUntil([&] { return problem.has_value(); }));
        if (size <= webkit_detail::PageEngine::kMaxKeptBody) {
            EXPECT_EQ(readBytes, size);
        } else {
            EXPECT_EQ(readBytes, 0u);
            EXPECT_EQ(*problem, "the page is larger than 32 MiB, more than the headless web view reads a form from "
                                "(run with --web-engine real)");
        }
    }
}

// A form is read off the main thread: the main loop runs on during the read (another page may load),
// a read whose page is no longer shown sends nothing, and a web view that goes away stops its read.
TEST_F(NavigationTest, AFormIsReadWhileTheMainLoopRunsOn) {
    static std::binary_semaphore go{0};
    static std::atomic<bool> awaitStop, held, stopped;
    awaitStop = held = stopped = false;
    setFormReader([](const FormPage&, const FormFill&, const std::atomic<bool>& stop) {
        held = !go.try_acquire_for(std::chrono::seconds(10));
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (awaitStop && !stop && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        stopped = stop.load();
        return FormRequest{std::nullopt, "read"};
    });
    server.route("GET", "/form", Reply::text("<form action=/f></form>", 200, "text/html"));
    server.route("GET", "/next", Reply::text("next", 200, "text/html"));
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/form")))); }));
    std::optional<std::optional<std::string>> problem;
    auto answered = [&](const std::optional<std::string>& p) { problem = p; };

    webView->submitForm({"/f", {}}, answered);
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/next")))); }));
    go.release();
    ASSERT_TRUE(runUntil([&] { return problem.has_value(); }));
    EXPECT_FALSE(held);
    EXPECT_EQ(*problem, "another page was shown before the form was read");

    problem.reset();
    awaitStop = true;
    webView->submitForm({"/f", {}}, answered);
    go.release();
    webView.reset();
    ASSERT_TRUE(runUntil([&] { return problem.has_value(); }));
    EXPECT_TRUE(stopped);
    EXPECT_EQ(*problem, "the web view went away before its form was read");
}

// Form reads run one at a time in the process, whichever web view asked: each may take the reader's whole
// memory allowance.
TEST_F(NavigationTest, FormReadsRunOneAtATimeInTheProcess) {
    static std::mutex mutex;
    static std::set<std::string> queues;  // where the reads ran, "" for a queue that runs blocks side by side
    queues.clear();
    setFormReader([](const FormPage&, const FormFill&, const std::atomic<bool>&) {
        auto queue = dispatch::DispatchQueue::current();
        std::lock_guard lock(mutex);
        queues.insert(queue && queue->isSerial() ? queue->label() : "");
        return FormRequest{std::nullopt, "read"};
    });
    server.route("GET", "/form", Reply::text("<form action=/f></form>", 200, "text/html"));
    auto other = std::make_shared<WebView>();
    other->setNavigationDelegate(delegate);
    ASSERT_TRUE(loadAndWait([&] { webView->loadRequest(URLRequest(url(server.url("/form")))); }));
    ASSERT_TRUE(loadAndWait([&] { other->loadRequest(URLRequest(url(server.url("/form")))); }));
    int answered = 0;
    for (auto* view : {webView.get(), other.get(), webView.get()})
        view->submitForm({"/f", {}}, [&](const std::optional<std::string>&) { ++answered; });
    ASSERT_TRUE(runUntil([&] { return answered == 3; }));
    std::lock_guard lock(mutex);
    ASSERT_EQ(queues.size(), 1u);
    EXPECT_NE(*queues.begin(), "");
}

}  // namespace
