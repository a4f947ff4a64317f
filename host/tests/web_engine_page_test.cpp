// The real engine behind the platform's web view, in this process: the delegates hear the engine's
// own signals, errors arrive as URL errors, and the cookie jar is one for the page and the app.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "demo/Certificates.h"
#include "host/VirtualDisplay.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/uikit/Classes.h"
#include "platform/urlsession/HTTPCookieStorage.h"
#include "platform/webkit/FormReader.h"
#include "platform/webkit/WebKit.h"
#include "platform/webkit/forms/HTMLForm.h"
#include "platform/webkit/gtk/WebEngine.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestHttpServer.h"

namespace {

using namespace platform;
using namespace platform::webkit;
using tesmar_testing::Reply;

constexpr const char* kSite = "site.test";

// Every delegate call as one line, in order.
class Recorder : public NavigationDelegate {
public:
    void decidePolicyForNavigationAction(WebView&, const NavigationAction& action,
                                         std::function<void(NavigationActionPolicy)> decisionHandler) override {
        lines.push_back(std::string("action ") + navigationTypeName(action.navigationType) + " " +
                        action.request.url().value_or(URL()).path());
        decisionHandler(cancelActions ? NavigationActionPolicy::Cancel : NavigationActionPolicy::Allow);
    }
    void decidePolicyForNavigationResponse(WebView&, const NavigationResponse& response,
                                           std::function<void(NavigationResponsePolicy)> decisionHandler) override {
        auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response.response);
        lines.push_back("response " + std::to_string(http ? http->statusCode() : 0));
        decisionHandler(NavigationResponsePolicy::Allow);
    }
    void didStartProvisionalNavigation(WebView&, const std::shared_ptr<Navigation>&) override {
        lines.push_back("start");
    }
    void didCommitNavigation(WebView&, const std::shared_ptr<Navigation>&) override { lines.push_back("commit"); }
    void didFinishNavigation(WebView&, const std::shared_ptr<Navigation>&) override {
        lines.push_back("finish");
        ended = true;
    }
    void didFailNavigation(WebView&, const std::shared_ptr<Navigation>&, const Error& error) override {
        lines.push_back("fail " + std::to_string(error.code));
        ended = true;
    }
    void didFailProvisionalNavigation(WebView&, const std::shared_ptr<Navigation>&, const Error& error) override {
        lines.push_back("fail provisional " + std::to_string(error.code));
        ended = true;
    }

    std::vector<std::string> lines;
    bool ended = false;
    bool cancelActions = false;
};

// The toolkit opens its display once per process and keeps it: a server ended after one test would leave
// the next talking to a dead one. So one X server (when the machine has no display) serves every test of
// the process, started by the first that needs it and ended as the process ends. DISPLAY names it only while
// an engine test runs: the other tests (and the runs they start) see the environment as they would alone.
class ProcessDisplay : public ::testing::Environment {
public:
    // Sets DISPLAY for one test; answers why there is no display, or "" when there is one.
    static std::string enter() {
        ProcessDisplay& self = *instance;
        const char* before = ::getenv("DISPLAY");
        self.saved_ = before ? std::optional<std::string>(before) : std::nullopt;
        if (!self.started_) {
            self.display_ = tesmar_host::VirtualDisplay::startIfNeeded(&self.error_);
            self.started_ = true;
        }
        if (self.display_) ::setenv("DISPLAY", self.display_->display().c_str(), 1);
        return self.error_;
    }
    // Puts DISPLAY back as it was before enter().
    static void leave() {
        ProcessDisplay& self = *instance;
        if (self.saved_)
            ::setenv("DISPLAY", self.saved_->c_str(), 1);
        else
            ::unsetenv("DISPLAY");
    }
    // Not at TearDown, which ends each round of a repeated run: the toolkit keeps the display until exit.
    ~ProcessDisplay() override { display_.reset(); }

private:
    static ProcessDisplay* const instance;
    bool started_ = false;
    std::string error_;
    std::unique_ptr<tesmar_host::VirtualDisplay> display_;
    std::optional<std::string> saved_;
};
ProcessDisplay* const ProcessDisplay::instance =
    static_cast<ProcessDisplay*>(::testing::AddGlobalTestEnvironment(new ProcessDisplay));

class WebEnginePage : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error = ProcessDisplay::enter();
        ASSERT_TRUE(error.empty()) << error;
        server_.route("GET", "/", Reply::text("<title>Home</title><p>home</p>", 200, "text/html"));
        server_.route("GET", "/cookie",
                      Reply::text("<p>set</p>", 200, "text/html").header("Set-Cookie", "page=2; Path=/"));
        PlatformConfig::update([&](PlatformSettings& s) {
            s.connectTo[std::string(kSite) + ":80"] = "127.0.0.1:" + std::to_string(server_.port());
            // Nothing listens there: a host the proxy cannot reach.
            s.connectTo["closed.test:80"] = "127.0.0.1:1";
        });
        uikit::registerClasses();
        auto problem = gtk::start();
        ASSERT_FALSE(problem) << *problem;
        webView_ = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480));
        webView_->setNavigationDelegate(recorder_);
    }
    void TearDown() override {
        webView_.reset();
        gtk::stop();
        HTTPCookieStorage::shared()->removeAllCookies();
        ProcessDisplay::leave();
    }

    std::string site(const std::string& path) { return std::string("http://") + kSite + path; }
    bool load(const std::string& url) {
        recorder_->ended = false;
        webView_->loadRequest(URLRequest(*URL::string(url)));
        return dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20);
    }

    tesmar_testing::TemporaryDeviceRoot device_{"web-engine-page"};
    tesmar_testing::TestHttpServer server_;
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
    std::shared_ptr<WebView> webView_;
};

TEST_F(WebEnginePage, APageLoadsThroughTheDelegatesInOrder) {
    std::vector<Value> requests;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name == "http.request") requests.push_back(fields);
    });
    ASSERT_TRUE(load(site("/")));
    EXPECT_EQ(recorder_->lines,
              (std::vector<std::string>{"action other /", "start", "response 200", "commit", "finish"}));
    // The page's request is seen on the device, as URL loading's are.
    EXPECT_EQ(requests, std::vector<Value>{Value::dictionary({{"method", "GET"}, {"url", Value(site("/"))}})});
    // The engine tells the title as it parses it: it may come just after the finish.
    EXPECT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return webView_->title() == "Home"; }, 10));
    EXPECT_EQ(webView_->URL()->absoluteString(), site("/"));
    EXPECT_FALSE(webView_->isLoading());
    EXPECT_TRUE(webView_->runsScripts());
}

// The engine's helper processes (children of this one, named WebKit...) still running: not yet ended.
std::vector<std::string> runningEngineHelpers() {
    std::vector<std::string> running;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream file(entry.path() / "stat");
        std::string stat;
        if (!std::getline(file, stat)) continue;
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        char state = 0;
        long parent = 0;
        rest >> state >> parent;
        std::string name = stat.substr(open + 1, close - open - 1);
        if (parent == ::getpid() && name.rfind("WebKit", 0) == 0 && state != 'Z') running.push_back(name);
    }
    return running;
}

// Once the engine is stopped none of its processes runs on: one left would outlive the display it draws on.
TEST_F(WebEnginePage, StoppingTheEngineEndsItsProcesses) {
    ASSERT_TRUE(load(site("/")));
    EXPECT_FALSE(runningEngineHelpers().empty());
    webView_.reset();
    gtk::stop();
    EXPECT_EQ(runningEngineHelpers(), std::vector<std::string>());
}

// page.commit and page.finish tell the HTTP status the page was answered with, as the headless engine does; a
// page with no HTTP answer has none (the engine makes up a 200 for a data: URL).
TEST_F(WebEnginePage, PageEventsCarryTheStatusOfTheAnswer) {
    server_.route("GET", "/forbidden", Reply::text("<p>no</p>", 403, "text/html"));
    std::vector<std::string> seen;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name == "page.commit" || name == "page.finish")
            seen.push_back(name + " " +
                           (fields.contains("status") ? std::to_string(fields["status"].integerOr(0)) : "-"));
    });
    struct Row {
        std::string url;
        std::string status;
    } rows[] = {{site("/"), "200"}, {site("/forbidden"), "403"}, {"data:text/html,hello", "-"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        seen.clear();
        ASSERT_TRUE(load(row.url));
        EXPECT_EQ(seen, (std::vector<std::string>{"page.commit " + row.status, "page.finish " + row.status}));
    }
}

TEST_F(WebEnginePage, FailuresArriveAsURLErrors) {
    struct Row {
        const char* label;
        std::string url;
        bool networkUp;
        std::string last;
    } rows[] = {
        {"a host that cannot be reached", "http://closed.test/", true, "fail provisional -1004"},
        {"no network", site("/"), false, "fail provisional -1009"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        PlatformConfig::setNetworkUp(row.networkUp);
        recorder_->lines.clear();
        EXPECT_TRUE(load(row.url));
        ASSERT_FALSE(recorder_->lines.empty());
        EXPECT_EQ(recorder_->lines.back(), row.last);
        PlatformConfig::setNetworkUp(true);
    }
    EXPECT_TRUE(server_.requestsTo("/").empty());
}

// A tap clicks its link where it shows, scrolled into the screen (a link wider than the screen at its start),
// and counts as the page's load until the page took the click, so a wait for the page waits for the link's
// navigation too; a link it cannot click is said, with why.
TEST_F(WebEnginePage, ATapLoadsItsLinkOrSaysWhyItCannot) {
    server_.route(
        "GET", "/links",
        Reply::text("<p><a href='/wide'>" + std::string(150, 'w') +
                        "</a></p><div style='height:3000px'></div><a href='/low'>low</a>"
                        "<a href='/none' style='display:none'>none</a>"
                        "<a href='/unseen' style='visibility:hidden'>unseen</a>"
                        "<a href='/covered' style='position:fixed;left:100px;top:100px'>covered</a>"
                        "<div id=cover style='position:fixed;left:90px;top:90px;width:200px;height:60px'></div>"
                        "<a href='/away' style='position:fixed;left:-500px;top:0'>away</a>"
                        "<a href='/shy' style='position:fixed;left:10px;top:300px'"
                        " onmouseover=\"this.style.display='none'\">shy</a>",
                    200, "text/html"));
    std::vector<std::string> missed;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name == "tap.missed") missed.push_back(fields["reason"].stringOr(""));
    });
    struct Row {
        std::string href;
        std::string missed;  // "" when the link's page loads
    } rows[] = {
        {"/wide", ""},
        {"/low", ""},
        {"/made", ""},  // no such link: one made for the tap
        {"/none", "the link is hidden: it takes no room on the page"},
        {"/unseen", "the link is hidden: its visibility is hidden"},
        {"/covered", "the link is covered by <div id=cover>"},
        {"/away", "the link is outside the screen"},
        // The page takes the link away as the pointer comes over it.
        {"/shy", "the click landed on <div>, not on the link"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.href);
        ASSERT_TRUE(load(site("/links")));
        recorder_->ended = false;
        recorder_->lines.clear();
        missed.clear();
        webView_->tapLink(row.href);
        EXPECT_TRUE(webView_->isLoading());
        ASSERT_TRUE(dispatch::MainLoop::shared().runUntil(
            [&] { return !webView_->isLoading() && (recorder_->ended || !missed.empty()); }, 20));
        if (row.missed.empty()) {
            EXPECT_EQ(missed, std::vector<std::string>{});
            ASSERT_FALSE(recorder_->lines.empty());
            EXPECT_EQ(recorder_->lines.front(), "action linkActivated " + row.href);
        } else {
            EXPECT_EQ(missed, std::vector<std::string>{row.missed});
            EXPECT_TRUE(recorder_->lines.empty());
        }
    }
}

// A load past the engine's redirect limit fails as URL loading's does, naming the URL it was redirected to last,
// not the page shown before it (a redirect back to the same URL does not move the view's URI).
TEST_F(WebEnginePage, ALoadPastTheRedirectLimitFailsNamingItsLastURL) {
    server_.route("GET", "/loop", Reply::redirect("/loop"));
    for (int hop = 1; hop <= 21; ++hop)
        server_.route("GET", "/hop" + std::to_string(hop), Reply::redirect("/hop" + std::to_string(hop + 1)));
    std::vector<std::string> failed;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name == "page.fail")
            failed.push_back(fields["url"].stringOr("") + " " + std::to_string(fields["code"].integerOr(0)));
    });
    struct Row {
        std::string tapped;
        std::string failed;
    } rows[] = {{"/loop", site("/loop") + " -1007"}, {"/hop1", site("/hop21") + " -1007"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tapped);
        ASSERT_TRUE(load(site("/")));
        failed.clear();
        recorder_->ended = false;
        webView_->tapLink(row.tapped);
        ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20));
        EXPECT_EQ(failed, std::vector<std::string>{row.failed});
    }
}

TEST_F(WebEnginePage, ACancelledDecisionEndsTheNavigationQuietly) {
    recorder_->cancelActions = true;
    webView_->loadRequest(URLRequest(*URL::string(site("/"))));
    dispatch::MainLoop::shared().runUntil([&] { return !webView_->isLoading(); }, 20);
    EXPECT_EQ(recorder_->lines, std::vector<std::string>{"action other /"});
    EXPECT_TRUE(server_.requestsTo("/").empty());
}

TEST_F(WebEnginePage, CookiesOfTheAppAndOfThePageAreOneJar) {
    // The app's own HTTP client holds a cookie for the site: the page's request carries it.
    auto appCookie = HTTPCookie::cookieWithProperties(Value::dictionary({{kHTTPCookieName, "app"},
                                                                         {kHTTPCookieValue, "1"},
                                                                         {kHTTPCookieDomain, kSite},
                                                                         {kHTTPCookiePath, "/"},
                                                                         {kHTTPCookieSameSitePolicy, "strict"}}));
    ASSERT_TRUE(appCookie);
    HTTPCookieStorage::shared()->setCookie(*appCookie);
    ASSERT_TRUE(load(site("/cookie")));
    auto requests = server_.requestsTo("/cookie");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].header("Cookie").value_or("").find("app=1"), std::string::npos);

    // What the page's server set is in the web view's cookie store.
    std::vector<HTTPCookie> cookies;
    bool answered = false;
    WebsiteDataStore::defaultDataStore()->httpCookieStore()->getAllCookies([&](std::vector<HTTPCookie> all) {
        cookies = std::move(all);
        answered = true;
    });
    ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return answered; }, 10));
    std::vector<std::string> names;
    for (const auto& cookie : cookies)
        names.push_back(cookie.name() + "=" + cookie.value() + " " + cookie.sameSitePolicy().value_or("-"));
    EXPECT_NE(std::find(names.begin(), names.end(), "page=2 -"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "app=1 strict"), names.end());  // its SameSite crossed too
}

// Frames whose page comes from nowhere (about:blank or srcdoc, a data:, blob: or javascript: URL) start no
// request: the page is not left loading by them, on its first load nor when back or forward bring it again,
// and the page's own move to about:blank is still its navigation.
TEST_F(WebEnginePage, FramesThatFetchNothingLeaveThePageLoaded) {
    const std::vector<std::string> frames = {
        "<iframe src='about:blank'></iframe><iframe src='data:text/html,<p>data</p>'></iframe>",
        "<iframe id=f></iframe><script>f.src = URL.createObjectURL(new Blob(['<p>blob</p>'], {type: 'text/html'}));"
        "</script>",
        "<iframe srcdoc='<p>srcdoc</p>'></iframe>",
        "<iframe src=\"javascript:'<p>script</p>'\"></iframe>",
    };
    for (size_t row = 0; row < frames.size(); ++row) {
        SCOPED_TRACE(frames[row]);
        ASSERT_TRUE(load(site("/cookie")));
        std::string path = "/frames/" + std::to_string(row);
        // After them, a frame from this site: once it loaded, the engine has asked about the others.
        server_.route("GET", path, Reply::text(frames[row] + "<iframe src='/'></iframe>", 200, "text/html"));
        auto step = [&](const char* what, bool framesPage, const std::function<void()>& go) {
            SCOPED_TRACE(what);
            recorder_->lines.clear();
            recorder_->ended = false;
            size_t framed = server_.requestsTo("/").size() + framesPage;
            go();
            ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20));
            ASSERT_TRUE(
                dispatch::MainLoop::shared().runUntil([&] { return server_.requestsTo("/").size() == framed; }, 10));
            EXPECT_FALSE(webView_->isLoading());
            EXPECT_EQ(std::count(recorder_->lines.begin(), recorder_->lines.end(), "start"), 1);
        };
        step("first load", true, [&] { webView_->tapLink(path); });
        step("back", false, [&] { webView_->goBack(); });
        step("forward", true, [&] { webView_->goForward(); });
        step("away", false, [&] { webView_->tapLink("/cookie"); });
        step("back again", true, [&] { webView_->goBack(); });
    }

    recorder_->lines.clear();
    recorder_->ended = false;
    webView_->tapLink("about:blank");
    ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20));
    EXPECT_EQ(recorder_->lines, (std::vector<std::string>{"action linkActivated blank", "start", "commit", "finish"}));
    EXPECT_FALSE(webView_->isLoading());
}

// The page's own history.forward() and back() move the web view's list as its back and forward do.
TEST_F(WebEnginePage, ThePagesOwnMovesInItsHistoryKeepTheListInStep) {
    ASSERT_TRUE(load(site("/cookie")));
    std::vector<std::function<void()>> moves = {
        [&] { webView_->tapLink("/"); },
        [&] { webView_->goBack(); },
        [&] { webView_->evaluateJavaScript("history.forward()", nullptr); },
        [&] { webView_->evaluateJavaScript("history.back()", nullptr); },
        [&] { webView_->evaluateJavaScript("history.forward()", nullptr); },
    };
    for (const auto& move : moves) {
        recorder_->ended = false;
        move();
        ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20));
    }
    const auto& list = webView_->backForwardList();
    ASSERT_TRUE(list.backItem());
    EXPECT_EQ(list.backItem()->URL.absoluteString(), site("/cookie"));
    EXPECT_EQ(list.currentItem()->URL.absoluteString(), site("/"));
    EXPECT_FALSE(list.forwardItem());
}

TEST_F(WebEnginePage, ScriptsAnswerValuesAndExceptions) {
    ASSERT_TRUE(load(site("/")));
    struct Row {
        const char* script;
        Value value;
        bool fails;
    } rows[] = {
        {"document.title", Value("Home"), false},          {"1 + 2", Value(3.0), false},
        {"location.pathname === '/'", Value(true), false}, {"null", Value(), false},
        {"throw new Error('no')", Value(), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        bool done = false;
        Value value;
        std::optional<Error> error;
        webView_->evaluateJavaScript(row.script, [&](const Value& v, const std::optional<Error>& e) {
            value = v;
            error = e;
            done = true;
        });
        ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return done; }, 10));
        EXPECT_EQ(error.has_value(), row.fails);
        if (!row.fails) {
            EXPECT_EQ(value, row.value);
        }
    }
}

TEST_F(WebEnginePage, PanelsNoScreenShowsAreAnsweredAtOnce) {
    server_.route("GET", "/prompt",
                  Reply::text("<title>asking</title><script>document.title = 'got ' + prompt('Your name?', 'Ann');"
                              "</script>",
                              200, "text/html"));
    server_.route("GET", "/leaving",
                  Reply::text("<a href='/'>home</a><script>onbeforeunload = function(e) {"
                              " e.preventDefault(); return e.returnValue = 'Stay?'; };</script>",
                              200, "text/html"));
    std::vector<Value> answered;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name == "js.panel.answered") answered.push_back(fields);
    });
    // The prompt answers no text, and the page's load goes on to its end.
    ASSERT_TRUE(load(site("/prompt")));
    EXPECT_EQ(recorder_->lines.back(), "finish");
    EXPECT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return webView_->title() == "got null"; }, 10))
        << webView_->title();
    // A page that asks before it is left is left: the tapped link's page loads.
    ASSERT_TRUE(load(site("/leaving")));
    recorder_->lines.clear();
    recorder_->ended = false;
    webView_->tapLink("/");
    ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20));
    EXPECT_EQ(recorder_->lines.front(), "action linkActivated /");
    EXPECT_EQ(recorder_->lines.back(), "finish");
    EXPECT_EQ(answered, (std::vector<Value>{
                            Value::dictionary({{"kind", "prompt"}, {"message", "Your name?"}, {"answer", "no-text"}}),
                            Value::dictionary({{"kind", "before-unload"}, {"message", "Stay?"}, {"answer", "leave"}}),
                        }));
}

// What a page's script asks of the user is answered at once, as with no handler, and said: nothing shows it.
TEST_F(WebEnginePage, WhatAPageAsksOfTheUserIsAnsweredAtOnceAndSaid) {
    auto permission = [](const char* kind) {
        return Value::dictionary({{"event", "page.permission"}, {"kind", kind}, {"answer", "denied"}});
    };
    const std::pair<const char*, Value> rows[] = {
        {"navigator.geolocation.getCurrentPosition(function() {}, function() {})", permission("location")},
        {"navigator.clipboard.readText()", permission("clipboard")},
        {"print()", Value::dictionary({{"event", "page.print"}, {"answer", "cancelled"}})},
    };
    std::vector<Value> said;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name != "page.permission" && name != "page.print") return;
        Value line = fields;
        line.set("event", name);
        said.push_back(line);
    });
    // A secure page: the engine offers these only there.
    recorder_->ended = false;
    webView_->loadHTMLString("<p>asking</p>", *URL::string("https://secure.test/"));
    ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20));
    for (const auto& [script, expected] : rows) {
        SCOPED_TRACE(script);
        said.clear();
        webView_->evaluateJavaScript(script, [](const Value&, const std::optional<Error>&) {});
        ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return !said.empty(); }, 10));
        EXPECT_EQ(said, std::vector<Value>{expected});
    }
}

TEST_F(WebEnginePage, AWindowAPageOpensAsItLoadsFollowsThePreferences) {
    server_.route("GET", "/opener", Reply::text("<script>window.open('/news');</script>", 200, "text/html"));
    server_.route("GET", "/news", Reply::text("<p>news</p>", 200, "text/html"));
    struct Windows : UIDelegate {
        std::shared_ptr<WebView> createWebViewWithConfiguration(WebView&, const WebViewConfiguration& configuration,
                                                                const NavigationAction& action,
                                                                const WindowFeatures&) override {
            asked.push_back(action.request.url().value_or(URL()).path());
            made = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480), configuration);
            return made;
        }
        std::vector<std::string> asked;
        std::shared_ptr<WebView> made;
    };
    for (bool automatically : {false, true}) {
        SCOPED_TRACE(automatically ? "scripts may open windows" : "only the user opens windows");
        WebViewConfiguration configuration;
        configuration.preferences.javaScriptCanOpenWindowsAutomatically = automatically;
        webView_ = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480), configuration);
        webView_->setNavigationDelegate(recorder_);
        auto windows = std::make_shared<Windows>();
        webView_->setUIDelegate(windows);
        std::vector<std::string> blocked;
        auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
            if (name == "window.blocked") blocked.push_back(fields["url"].stringOr(""));
        });
        // The page's script asks while it loads: the answer is known by the page's end.
        ASSERT_TRUE(load(site("/opener")));
        EXPECT_EQ(blocked, automatically ? std::vector<std::string>{} : std::vector<std::string>{site("/news")});
        EXPECT_EQ(windows->asked, automatically ? std::vector<std::string>{"/news"} : std::vector<std::string>{});
    }
}

TEST_F(WebEnginePage, CertificatesAreTrustedOnlyThroughTheGivenCAs) {
    // An https server whose chain ends at a root of its own, known only when given as a CA.
    auto pki = tesmar_demo::ServerPKI::make("secure.test");
    auto stranger = tesmar_demo::ServerPKI::make("secure.test");
    auto files = tesmar_demo::writeServerFiles(device_.path(), pki.leaf, {&pki.intermediate}, "secure");
    tesmar_testing::TestHttpServer secure(files.certificateChainPath, files.privateKeyPath);
    secure.route("GET", "/", Reply::text("<p>secure</p>", 200, "text/html"));
    std::string ownRoot = tesmar_demo::writePEMFile(device_.path() + "/own.pem", pki.root.certificatePEM);
    std::string otherRoot = tesmar_demo::writePEMFile(device_.path() + "/other.pem", stranger.root.certificatePEM);
    // The engine's proxy takes the host mapping at start.
    webView_.reset();
    gtk::stop();
    PlatformConfig::update([&](PlatformSettings& s) {
        s.connectTo["secure.test:443"] = "127.0.0.1:" + std::to_string(secure.port());
        s.connectTo["alias.test:443"] = "127.0.0.1:" + std::to_string(secure.port());  // not a name it is for
    });
    ASSERT_FALSE(gtk::start());
    webView_ = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480));
    webView_->setNavigationDelegate(recorder_);
    std::vector<std::string> failures;  // the page.fail lines
    size_t requests = 0;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        requests += name == "http.request";
        if (name == "page.fail")
            failures.push_back(std::to_string(fields["code"].integerOr(0)) + " " + fields["domain"].stringOr("") +
                               ": " + fields["description"].stringOr(""));
    });
    struct Row {
        const char* label;
        std::string ca;
        std::string last;
        size_t served;
        std::vector<std::string> failures;
        std::string url = "https://secure.test/";
    } rows[] = {
        // Checked first: the engine remembers a certificate once allowed for its host.
        {"a root that did not issue it",
         otherRoot,
         "fail provisional -1202",
         0,
         {"-1202 NSURLErrorDomain: The certificate for this server is invalid."}},
        {"its own root", ownRoot, "finish", 1, {}},
        {"its own root, for a host it is not made out to",
         ownRoot,
         "fail provisional -1202",
         1,
         {"-1202 NSURLErrorDomain: The certificate for this server is invalid: its name does not match alias.test; it "
          "is made out to secure.test."},
         "https://alias.test/"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        PlatformConfig::update([&](PlatformSettings& s) { s.extraTrustedRootsPEM = {row.ca}; });
        recorder_->lines.clear();
        failures.clear();
        requests = 0;
        EXPECT_TRUE(load(row.url));
        ASSERT_FALSE(recorder_->lines.empty());
        EXPECT_EQ(recorder_->lines.back(), row.last);
        EXPECT_EQ(failures, row.failures);
        EXPECT_EQ(secure.requestsTo("/").size(), row.served);
        // The engine's credential for its proxy never reaches a site.
        for (const auto& request : secure.requests()) EXPECT_FALSE(request.hasHeader("Proxy-Authorization"));
        // The navigation that was retried after the check is still one navigation to its delegate.
        EXPECT_EQ(std::count(recorder_->lines.begin(), recorder_->lines.end(), "start"), 1);
        EXPECT_EQ(requests, 1u);
    }
    // The engine lets go of its connections before the server goes.
    webView_.reset();
    gtk::stop();
}

TEST_F(WebEnginePage, AFormPostedFirstToAHostOnlyAGivenCAVouchesForIsNeverSentAsAGet) {
    // A page of this site posts its form to another host, whose chain ends at a root given as a CA.
    auto pki = tesmar_demo::ServerPKI::make("secure.test");
    auto files = tesmar_demo::writeServerFiles(device_.path(), pki.leaf, {&pki.intermediate}, "secure");
    tesmar_testing::TestHttpServer secure(files.certificateChainPath, files.privateKeyPath);
    secure.route("POST", "/post", Reply::text("<p>posted</p>", 200, "text/html"));
    server_.route("GET", "/form",
                  Reply::text("<form method=post action='https://secure.test/post'><input name=a value=7></form>", 200,
                              "text/html"));
    std::string root = tesmar_demo::writePEMFile(device_.path() + "/root.pem", pki.root.certificatePEM);
    auto submit = [&] {
        recorder_->lines.clear();
        recorder_->ended = false;
        webView_->evaluateJavaScript("document.forms[0].submit()", nullptr);
        return dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20);
    };
    // Given at start, the CA vouches for the host before the engine's first connection there; given later, the
    // engine's own check refuses that connection first, and the form fails rather than going again as a GET.
    for (bool givenAtStart : {true, false}) {
        SCOPED_TRACE(givenAtStart ? "given at start" : "given later");
        webView_.reset();
        gtk::stop();
        PlatformConfig::update([&](PlatformSettings& s) {
            s.connectTo["secure.test:443"] = "127.0.0.1:" + std::to_string(secure.port());
            s.extraTrustedRootsPEM = givenAtStart ? std::vector<std::string>{root} : std::vector<std::string>{};
        });
        ASSERT_FALSE(gtk::start());
        PlatformConfig::update([&](PlatformSettings& s) { s.extraTrustedRootsPEM = {root}; });
        webView_ = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480));
        webView_->setNavigationDelegate(recorder_);
        ASSERT_TRUE(load(site("/form")));
        secure.clearRequests();
        ASSERT_TRUE(submit());
        if (!givenAtStart) {
            EXPECT_EQ(recorder_->lines.back(), "fail provisional -1200");
            EXPECT_TRUE(secure.requests().empty());
            ASSERT_TRUE(load(site("/form")));
            ASSERT_TRUE(submit());  // the certificate is accepted now
        }
        EXPECT_EQ(recorder_->lines.back(), "finish");
        auto requests = secure.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method + " " + requests[0].body + " " + requests[0].header("Referer").value_or(""),
                  "POST a=7 http://site.test/");
    }
    webView_.reset();
    gtk::stop();
}

TEST_F(WebEnginePage, AFrameFollowsThePagesTrustRule) {
    // A page of this site shows a frame of another host, whose chain ends at a root given as a CA.
    auto pki = tesmar_demo::ServerPKI::make("frame.test");
    auto files = tesmar_demo::writeServerFiles(device_.path(), pki.leaf, {&pki.intermediate}, "frame");
    tesmar_testing::TestHttpServer framed(files.certificateChainPath, files.privateKeyPath);
    framed.route("GET", "/inner", Reply::text("<p>inner</p>", 200, "text/html"));
    server_.route("GET", "/outer", Reply::text("<iframe src='https://frame.test/inner'></iframe>", 200, "text/html"));
    webView_.reset();
    gtk::stop();
    PlatformConfig::update([&](PlatformSettings& s) {
        s.connectTo["frame.test:443"] = "127.0.0.1:" + std::to_string(framed.port());
        s.extraTrustedRootsPEM = {tesmar_demo::writePEMFile(device_.path() + "/frame.pem", pki.root.certificatePEM)};
    });
    ASSERT_FALSE(gtk::start());
    webView_ = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480));
    webView_->setNavigationDelegate(recorder_);
    std::vector<std::string> requests;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name == "http.request") requests.push_back(fields["url"].stringOr(""));
    });
    ASSERT_TRUE(load(site("/outer")));
    ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return framed.requestsTo("/inner").size() == 1; }, 10));
    // The engine asks about the frame's navigation as about the page's; once, though it loaded twice. The
    // page is not left loading by it.
    EXPECT_EQ(std::count(recorder_->lines.begin(), recorder_->lines.end(), "action other /inner"), 1);
    EXPECT_EQ(std::count(recorder_->lines.begin(), recorder_->lines.end(), "start"), 1);
    EXPECT_FALSE(webView_->isLoading());
    EXPECT_EQ(requests, (std::vector<std::string>{site("/outer"), "https://frame.test/inner"}));
    webView_.reset();
    gtk::stop();
}

// Forms: both engines fill in and submit the same pages. The headless engine's request is the real
// engine's, byte for byte: the page read in its encoding and by the standard's parsing, the entries built
// and encoded alike, fields of one name filled in order, an invalid field refused in the same words.
TEST_F(WebEnginePage, BothEnginesSendAFormAlike) {
    const std::string pad(1100, 'x');
    struct Row {
        const char* label;
        std::string contentType, html;
        FormFill fill;
        bool sends = true;
    } rows[] = {
        {"parsing and entries",
         "text/html",
         "<form method=post action=/sent><textarea name=t>a <b>x</b> &lt;y&gt; </textarea>"
         "<input type=hidden name=c value='&check;&NewLine;z'><input name=d value='a&b&amp c'>"
         "<select name=s0 size=0><option>one<option>two</select>"
         "<select name=s1><option selected>a<option selected>b</select><input type=range name=r min=0 max=5>"
         "<input type=color name=col value='#ABCDEF'><input type=email name=em value=' a@b '>"
         "<input type=date name=dt value=2023-02-29><input type=datetime-local name=dl value='2024-01-02 03:04:00'>"
         "<input type=week name=w value=2020-W53>"
         "<input type=hidden name=_charset_><datalist><input name=dl value=1></datalist>"
         "<fieldset disabled><legend><input name=lg value=1></legend><input name=fs value=2></fieldset>"
         "<input name=dn value=x dirname=dn.dir><input type=checkbox name=cb checked>"
         "<input type=hidden name=ctl value='a&#1;&#x85;b'><form action=/inner><input name=i value=2></form>"
         "<input name=late value=3></form>",
         {"/sent", {}}},
        {"a form in a table, fields after a script",
         "text/html",
         "<table><form method=post action=/sent><tr><td><input name=a value=1><script>var s = '</form>';</script>"
         "</td><td><input name=b value=2></td></tr></form><tr><td><input name=c value=3></td></tr></table>"
         "<input name=after value=4>",
         {"/sent", {}}},
        {"ISO-8859-1 by the answer",
         "text/html; charset=iso-8859-1",
         "<form method=post action=/sent><input type=hidden name=h value='caf\xE9 \x80\x81'><input name=q>"
         "<input type=hidden name=_charset_></form>",
         {"/sent", {{"q", "\xC3\xA9\xE2\x82\xAC\xE6\x97\xA5"}}}},
        {"windows-1252 when nothing says",
         "text/html",
         "<form method=post action=/sent><input type=hidden name=h value='caf\xE9'><input name=q></form>",
         {"/sent", {{"q", "\xC3\xA9\xE2\x82\xAC"}}}},
        {"Shift_JIS by a meta, a GET",
         "text/html",
         "<meta http-equiv=Content-Type content='text/html; charset=Shift_JIS'><form action=/sent>"
         "<input type=hidden name=h value='\x93\xFA\x96\x7B \x87\x40'><input name=q></form>",
         {"/sent", {{"q", "\xE6\x97\xA5\xEF\xBD\x9E\xC2\xA5\xC3\xA9"}}}},
        {"a meta in the head past 1024 bytes",
         "text/html",
         "<head><title>" + pad +
             "</title><meta charset=euc-jp></head><form method=post action=/sent>"
             "<input type=hidden name=h value='\xC6\xFC'><input name=q></form>",
         {"/sent", {{"q", "\xC3\xA9\xE6\x97\xA5\xE4\xBD\xA0"}}}},
        {"accept-charset",
         "text/html; charset=utf-8",
         "<form method=post action=/sent accept-charset='bogus, big5'><input name=q><input type=hidden name=_charset_>"
         "</form>",
         {"/sent", {{"q", "\xE2\x82\xAC\xE6\x97\xA5\xC2\xA5"}}}},
        {"a page over 1 MiB",
         "text/html",
         "<form method=post action=/sent><input name=a value=1><!-- " + std::string(1'100'000, 'x') +
             " --><input type=hidden name=tok value=secret></form>",
         {"/sent", {}}},
        {"fields of one name in order, a box unchecked, options deselected, typed values as fields keep them",
         "text/html",
         "<form method=post action=/sent><input name=item><input name=item value=second><input type=number name=n>"
         "<input type=checkbox name=keep checked><select name=m multiple><option selected>a<option selected>b"
         "</select><select name=one><option>x<option selected>y</select><input name=name required></form>",
         {"/sent",
          {{"item", "A\nB"},
           {"item", "B"},
           {"n", "abc"},
           {"keep", "on", true},
           {"m", "a", true},
           {"one", "y", true},
           {"name", "n"}}}},
        {"a required field left empty",
         "text/html",
         "<form method=post action=/sent><input name=name required></form>",
         {"/sent", {}},
         false},
    };
    for (size_t i = 0; i < std::size(rows); ++i)
        server_.route("GET", "/form" + std::to_string(i), Reply::text(rows[i].html, 200, rows[i].contentType));
    for (const char* method : {"GET", "POST"})
        server_.route(method, "/sent", Reply::text("<p>sent</p>", 200, "text/html"));
    setFormReader(&forms::readForm);

    // What each row's submit sent ("METHOD target body"), or why it sent nothing.
    auto sentBy = [&](WebView& view) {
        std::vector<std::string> seen;
        for (size_t i = 0; i < std::size(rows); ++i) {
            recorder_->ended = false;
            view.loadRequest(URLRequest(*URL::string(site("/form" + std::to_string(i)))));
            EXPECT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20)) << rows[i].label;
            size_t before = server_.requestsTo("/sent").size();
            std::optional<std::optional<std::string>> answer;
            recorder_->ended = false;
            view.submitForm(rows[i].fill, [&](const std::optional<std::string>& problem) { answer = problem; });
            dispatch::MainLoop::shared().runUntil([&] { return answer.has_value(); }, 20);
            if (!answer || *answer) {
                seen.push_back("refused: " + (answer ? **answer : "no answer"));
                continue;
            }
            // The answer's page is shown before the next row's page is asked for.
            dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20);
            auto sent = server_.requestsTo("/sent");
            seen.push_back(sent.size() > before ? sent.back().method + " " + sent.back().target + " " + sent.back().body
                                                : "nothing");
        }
        return seen;
    };
    auto real = sentBy(*webView_);
    webView_.reset();
    gtk::stop();
    auto headlessView = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480));
    headlessView->setNavigationDelegate(recorder_);
    auto headless = sentBy(*headlessView);
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(headless[i], real[i]) << rows[i].label;
        EXPECT_EQ(real[i].rfind("refused: ", 0) != 0, rows[i].sends) << rows[i].label << ": " << real[i];
    }
}

// A link to a fragment of the page shown moves within the page, as back and forward between its places do:
// nothing is fetched, no load starts, nothing is left pending. The history gains an item (none for the place
// shown already), and its places stay one document after the page loads again. Both engines say the same.
TEST_F(WebEnginePage, BothEnginesMoveWithinThePageAlike) {
    server_.route("GET", "/anchors",
                  Reply::text("<a href='#x'>x</a><div style='height:3000px'></div><p id=x>x</p>", 200, "text/html"));
    const std::string page = site("/anchors"), x = page + "#x", away = site("/cookie");
    std::vector<std::string> events;
    auto listening = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
        if (name == "navigation.decision" || name == "page.start" || name == "http.request")
            events.push_back(name + " " + fields["url"].stringOr(""));
    });
    auto tap = [](const std::string& href) { return [href](WebView& view) { view.tapLink(href); }; };
    auto back = [](WebView& view) { view.goBack(); };
    auto forward = [](WebView& view) { view.goForward(); };
    struct Step {
        const char* label;
        std::function<void(WebView&)> go;
        std::string url;
        std::vector<std::string> events;
        bool loads = false;
    } steps[] = {
        {"a fragment", tap("#x"), x, {"navigation.decision " + x}},
        {"back within", back, page, {}},
        {"forward within", forward, x, {}},
        {"the place shown", tap("#x"), x, {"navigation.decision " + x}},
        {"away",
         tap("/cookie"),
         away,
         {"navigation.decision " + away, "page.start " + away, "http.request " + away},
         true},
        {"back to the place", back, x, {"navigation.decision " + x, "page.start " + x, "http.request " + x}, true},
        {"back within the page loaded again", back, page, {}},
    };
    // Each step's events, then where the history stands and what the server was asked for.
    auto play = [&](WebView& view) {
        std::vector<std::string> seen;
        recorder_->ended = false;
        view.loadRequest(URLRequest(*URL::string(page)));
        EXPECT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 20));
        size_t asked = server_.requestsTo("/anchors").size();
        for (const auto& step : steps) {
            SCOPED_TRACE(step.label);
            events.clear();
            recorder_->ended = false;
            step.go(view);
            EXPECT_TRUE(dispatch::MainLoop::shared().runUntil(
                [&] {
                    return events.size() >= step.events.size() && view.URL() &&
                           view.URL()->absoluteString() == step.url && !view.isLoading() &&
                           (!step.loads || recorder_->ended);
                },
                20));
            seen.push_back(step.label);
            seen.insert(seen.end(), events.begin(), events.end());
            EXPECT_EQ(events, step.events);
            if (!view.runsScripts()) continue;
            // The page itself is where the web view says.
            std::optional<Value> href;
            view.evaluateJavaScript("location.href",
                                    [&](const Value& value, const std::optional<Error>&) { href = value; });
            dispatch::MainLoop::shared().runUntil([&] { return href.has_value(); }, 10);
            EXPECT_EQ(href.value_or(Value()).stringOr(""), step.url);
        }
        const auto& list = view.backForwardList();
        seen.push_back("back " + std::to_string(list.backList().size()) + ", forward " +
                       (list.forwardItem() ? list.forwardItem()->URL.absoluteString() : "none") + ", asked " +
                       std::to_string(server_.requestsTo("/anchors").size() - asked));
        return seen;
    };
    auto real = play(*webView_);
    webView_.reset();
    gtk::stop();
    auto headlessView = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480));
    headlessView->setNavigationDelegate(recorder_);
    EXPECT_EQ(play(*headlessView), real);
    EXPECT_EQ(real.back(), "back 0, forward " + x + ", asked 1");
}

// What the engine would ask a user (a server's challenge, a chooser, a menu, a print) is answered at once, as
// with no handler: a challenge gets no credential and its answer shows, with its status; the rest end with
// nothing chosen. Nothing is left waiting on a dialog no one sees: a tap then still loads its page.
TEST_F(WebEnginePage, WhatTheEngineWouldAskAUserIsAnsweredAsWithNoHandler) {
    auto refused = [](const std::string& challenge, const std::string& name, int status = 401) {
        return Reply::text("<img src='/said?" + name + "'>", status, "text/html")
            .header(status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate", challenge);
    };
    server_.route("GET", "/basic", refused("Basic realm=\"intranet\"", "basic"));
    server_.route("GET", "/digest", refused("Digest realm=\"intranet\", qop=\"auth\", nonce=\"4f2a\"", "digest"));
    server_.route("GET", "/other", refused("Negotiate", "other"));
    // A site's own 407, whatever realm it names, is the site's answer like a 401.
    server_.route("GET", "/proxy", refused("Basic realm=\"gateway\"", "proxy", 407));
    server_.route("GET", "/engine", refused("Basic realm=\"engine\"", "engine", 407));
    server_.route("GET", "/said", Reply::withStatus(204));
    const std::string said = "function said(x) { new Image().src = '/said?' + x; }";
    struct Row {
        const char* label;
        std::string html;  // of /page, or "" for the challenge at `path` itself
        std::string path;
        int status;        // of the challenge at `path`
        std::string user;  // once the page loaded: "tap HREF", or a script run as the user's
        std::vector<std::string> said;
    } rows[] = {
        {"Basic", "", "/basic", 401, "", {"basic"}},
        {"Digest", "", "/digest", 401, "", {"digest"}},
        {"another scheme", "", "/other", 401, "", {"other"}},
        {"a site's 407", "", "/proxy", 407, "", {"proxy"}},
        {"a site's 407 in the realm \"engine\"", "", "/engine", 407, "", {"engine"}},
        {"a frame's and a picture's", "<iframe src='/basic'></iframe><img src='/digest'>", "/page", 0, "", {"basic"}},
        {"a print", "<script>print();" + said + "said('printed');</script>", "/page", 0, "", {"printed"}},
        {"a file chooser",
         "<input type=file id=f><script>" + said + "f.oncancel = function() { said('cancel'); };</script>",
         "/page",
         0,
         "f.click()",
         {"cancel"}},
        // The select fills the link, which goes nowhere: the tap opens the select's menu.
        {"a <select>'s menu",
         "<a href='/next' onclick='event.preventDefault()' style='position:fixed;left:0;top:0'><select "
         "style='width:90px;height:30px' onfocus=\"" +
             said + "said('menu')\"><option>a<option>b</select></a>",
         "/page",
         0,
         "tap /next",
         {"menu"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        server_.route("GET", "/page", Reply::text(row.html, 200, "text/html"));
        server_.clearRequests();
        recorder_->lines.clear();
        ASSERT_TRUE(load(site(row.path)));
        if (row.html.empty()) {
            EXPECT_EQ(recorder_->lines,
                      (std::vector<std::string>{"action other " + row.path, "start",
                                                "response " + std::to_string(row.status), "commit", "finish"}));
        }
        EXPECT_EQ(recorder_->lines.back(), "finish");
        if (row.user.rfind("tap ", 0) == 0)
            webView_->tapLink(row.user.substr(4));
        else if (!row.user.empty())
            webView_->evaluateJavaScript(row.user, nullptr);
        std::vector<std::string> seen;
        dispatch::MainLoop::shared().runUntil(
            [&] {
                seen.clear();
                for (const auto& request : server_.requestsTo("/said")) seen.push_back(request.rawQuery);
                return seen.size() >= row.said.size();
            },
            10);
        EXPECT_EQ(seen, row.said);
        recorder_->ended = false;
        webView_->tapLink("/");
        ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return recorder_->ended; }, 10));
        EXPECT_EQ(recorder_->lines.back(), "finish");
    }
}

}  // namespace
