// The navigation policy, case by case: the decision, what goes to the system, the pop, and the
// registrations each decision sets off; then what a registration's answer prints, and the network
// question the screen asks before it reloads.
#include <gtest/gtest.h>

#include "app/Helper.h"
#include "app/Network.h"
#include "app/Strings.h"
#include "app/Tesmar.h"
#include "app/ViewController.h"
#include "app/internal/NetworkRegistrationSink.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/systemconfiguration/Reachability.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

using namespace Tesmar;
using platform::URL;
using platform::URLRequest;
using platform::Value;
using Policy = webkit::NavigationActionPolicy;
using Type = webkit::NavigationType;

constexpr const char* kHome = "tesmar.example";

struct Row {
    const char* label;
    std::optional<std::string> url;  // nullopt: a request without a URL
    Type type;
    std::optional<std::string> homeHost;
    bool mailHandler;  // the system can open mailto:
    Policy decision;
    std::string opened;  // URL handed to the system, "" for none
    bool pops;
};

const Row kRows[] = {
    {"tap to the home host", "https://intranet.tesmar.example/news", Type::LinkActivated, kHome, true, Policy::Allow,
     "", false},
    {"tap to a host with labels around the home host", "https://www.tesmar.example.org/x", Type::LinkActivated, kHome,
     true, Policy::Allow, "", false},
    {"tap to the home host naming the outside site",
     "https://intranet.tesmar.example/?go=https://benefits.partner-portal.example", Type::LinkActivated, kHome, true,
     Policy::Cancel, "https://intranet.tesmar.example/?go=https://benefits.partner-portal.example", true},
    {"tap to another host with the base URL in its query",
     "https://elsewhere.example/?r=https://intranet.tesmar.example", Type::LinkActivated, kHome, true, Policy::Allow,
     "", false},
    {"tap to another host", "https://news.elsewhere.example/", Type::LinkActivated, kHome, true, Policy::Cancel,
     "https://news.elsewhere.example/", false},
    {"tap to the outside site", "https://benefits.partner-portal.example/plan", Type::LinkActivated, kHome, true,
     Policy::Cancel, "https://benefits.partner-portal.example/plan", false},
    {"tap to mail", "mailto:help@elsewhere.example", Type::LinkActivated, kHome, true, Policy::Allow,
     "mailto:help@elsewhere.example", false},
    {"tap to mail nobody can open", "mailto:help@elsewhere.example", Type::LinkActivated, kHome, false, Policy::Cancel,
     "", false},
    {"tap to mail nobody can open, with http inside", "mailto:help@elsewhere.example?body=http://x.example",
     Type::LinkActivated, kHome, false, Policy::Cancel, "", false},
    {"tap to a telephone number", "tel:+15550100", Type::LinkActivated, kHome, true, Policy::Cancel, "", false},
    {"redirect to another host", "https://news.elsewhere.example/", Type::Other, kHome, true, Policy::Allow, "", false},
    {"redirect to the outside site", "https://benefits.partner-portal.example/plan", Type::Other, kHome, true,
     Policy::Cancel, "https://benefits.partner-portal.example/plan", true},
    {"form to the outside site", "https://benefits.partner-portal.example/form", Type::FormSubmitted, kHome, true,
     Policy::Cancel, "https://benefits.partner-portal.example/form", true},
    {"back/forward to another host", "https://news.elsewhere.example/", Type::BackForward, kHome, true, Policy::Allow,
     "", false},
    {"reload of a telephone link", "tel:+15550100", Type::Reload, kHome, true, Policy::Allow, "", false},
    {"tap with an empty home host", "https://news.elsewhere.example/", Type::LinkActivated, std::string(), true,
     Policy::Allow, "", false},
    {"tap without a home host", "https://news.elsewhere.example/", Type::LinkActivated, std::nullopt, true,
     Policy::Allow, "", false},
    {"tap to the outside site without a home host", "https://benefits.partner-portal.example/", Type::LinkActivated,
     std::nullopt, true, Policy::Cancel, "https://benefits.partner-portal.example/", true},
    {"no URL", std::nullopt, Type::LinkActivated, kHome, true, Policy::Cancel, "", false},
};

platform::HTTPCookie cookie(const std::string& name, const std::string& path) {
    return *platform::HTTPCookie::cookieWithProperties(
        Value::dictionary({{platform::kHTTPCookieName, name},
                           {platform::kHTTPCookieValue, "v"},
                           {platform::kHTTPCookieDomain, Strings::Endpoint::siteHost},
                           {platform::kHTTPCookiePath, path}}));
}

class NavigationPolicy : public ::testing::Test {
protected:
    void SetUp() override {
        Tesmar::registerClasses();
        app_ = std::make_shared<uikit::Application>();
        uikit::Application::installShared(app_);
        auto store = webkit::WebsiteDataStore::defaultDataStore()->cookieStorage();
        store->removeAllCookies();
        for (const auto& c : {cookie("PHPSESSID", "/"), cookie("PHPSESSID", "/intranet"), cookie("phpsessid", "/"),
                              cookie("other", "/")})
            store->setCookie(c);
        setNetworkRegistrationSink(
            [this](const std::vector<platform::HTTPCookie>& cookies) { registrations_.push_back(cookies.size()); });
    }
    void TearDown() override {
        setNetworkRegistrationSink(nullptr);
        webkit::WebsiteDataStore::defaultDataStore()->cookieStorage()->removeAllCookies();
        platform::dispatch::MainLoop::shared().runUntilIdle();
        tesmar_testing::resetProcessState();
    }

    // The top screen of a two-screen stack, its view not loaded.
    std::shared_ptr<ViewController> screenOnStack(const std::optional<std::string>& homeHost) {
        auto bottom = std::make_shared<ViewController>();
        auto screen = std::make_shared<ViewController>();
        screen->wkWebView = screen->initialWebview;
        screen->configService = std::make_shared<ASConfigService>(
            std::make_shared<ASConfigParser>(),
            std::make_shared<ASConfig>(URL::string(Strings::Endpoint::baseUrl), false, homeHost));
        nav_ = uikit::NavigationController::withRoot(bottom);
        nav_->pushViewController(screen, false);
        return screen;
    }

    // Decides `row` on the top screen of a two-screen stack; answers the decisions made.
    std::vector<Policy> decide(const Row& row) {
        auto screen = screenOnStack(row.homeHost);

        webkit::NavigationAction action;
        action.request = row.url ? URLRequest(*URL::string(*row.url)) : URLRequest();
        action.navigationType = row.type;
        std::vector<Policy> decisions;
        screen->decidePolicyForNavigationAction(*screen->wkWebView, action, [&](Policy p) { decisions.push_back(p); });
        platform::dispatch::MainLoop::shared().runUntilIdle();
        return decisions;
    }

    tesmar_testing::TemporaryDeviceRoot device_;
    std::shared_ptr<uikit::Application> app_;
    std::shared_ptr<uikit::NavigationController> nav_;
    std::vector<size_t> registrations_;
};

TEST_F(NavigationPolicy, DecidesEachCaseOnceAndRegistersPerSessionCookie) {
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.label);
        platform::PlatformConfig::update([](platform::PlatformSettings& s) { s.systemVersion = {11, 0, 0}; });
        app_->registerSchemeHandler("mailto", row.mailHandler ? "mail" : "");
        size_t openedBefore = app_->openedURLs().size();
        registrations_.clear();

        auto decisions = decide(row);

        ASSERT_EQ(decisions.size(), 1u);
        EXPECT_EQ(decisions[0], row.decision);
        auto opened = app_->openedURLs();
        if (row.opened.empty()) {
            EXPECT_EQ(opened.size(), openedBefore);
        } else {
            ASSERT_EQ(opened.size(), openedBefore + 1);
            EXPECT_EQ(opened.back().url, row.opened);
        }
        EXPECT_EQ(nav_->viewControllers().size(), row.pops ? 1u : 2u);
        // Two exact "PHPSESSID" cookies (the lower-case one does not count), each with the whole list.
        EXPECT_EQ(registrations_, (std::vector<size_t>{4, 4}));
    }
}

// The mail client has the link; the web view then fails to load it (-1002), which says nothing about
// the page, even offline.
TEST_F(NavigationPolicy, AMailLinkTheWebViewCannotLoadLeavesThePageAsItWas) {
    platform::PlatformConfig::update([](platform::PlatformSettings& s) { s.networkUp = false; });
    app_->registerSchemeHandler("mailto", "mail");
    auto screen = screenOnStack(kHome);
    screen->wkWebView->setNavigationDelegate(std::weak_ptr<webkit::NavigationDelegate>(screen));
    screen->connectionLostView = std::make_shared<uikit::View>();
    screen->connectionLostView->setHidden(true);
    std::vector<int64_t> failures;
    auto token = platform::DeviceEvents::addListener([&](const std::string& event, const Value& fields) {
        if (event == "page.fail") failures.push_back(fields["code"].integerOr(0));
    });
    auto failed = [&](size_t count) {
        return platform::dispatch::MainLoop::shared().runUntil([&] { return failures.size() >= count; }, 10);
    };

    screen->wkWebView->tapLink("mailto:help@elsewhere.example");
    ASSERT_TRUE(failed(1));
    EXPECT_EQ(failures[0], -1002);
    EXPECT_EQ(app_->openedURLs().back().url, "mailto:help@elsewhere.example");
    EXPECT_TRUE(screen->connectionLostView->isHidden());
    EXPECT_FALSE(screen->wkWebView->isHidden());

    // A page of the site failing offline still brings the connection-lost view.
    screen->wkWebView->tapLink(std::string(Strings::Endpoint::baseUrl) + "/news");
    ASSERT_TRUE(failed(2));
    EXPECT_FALSE(screen->connectionLostView->isHidden());
    EXPECT_TRUE(screen->wkWebView->isHidden());
}

TEST_F(NavigationPolicy, RegistersNothingBelowSystemEleven) {
    for (auto version : {platform::OperatingSystemVersion{10, 3, 0}, platform::OperatingSystemVersion{10, 0, 0}}) {
        platform::PlatformConfig::update([&](platform::PlatformSettings& s) { s.systemVersion = version; });
        registrations_.clear();
        auto decisions = decide(kRows[0]);
        EXPECT_EQ(decisions, std::vector<Policy>{Policy::Allow});
        EXPECT_TRUE(registrations_.empty()) << version.string();
    }
}

TEST_F(NavigationPolicy, WithoutSessionCookieNothingIsRegistered) {
    platform::PlatformConfig::update([](platform::PlatformSettings& s) { s.systemVersion = {12, 0, 0}; });
    auto store = webkit::WebsiteDataStore::defaultDataStore()->cookieStorage();
    store->removeAllCookies();
    store->setCookie(cookie("phpsessid", "/"));
    decide(kRows[0]);
    EXPECT_TRUE(registrations_.empty());
}

TEST(SiteRegistration, OnlyAFailedAnswerIsPrinted) {
    std::vector<std::string> printed;
    auto token = platform::DeviceEvents::addListener([&](const std::string& event, const Value& fields) {
        if (event == "console") printed.push_back(fields["text"].stringOr(""));
    });
    const std::string body = R"({"error":"server"})";
    auto answer = std::make_shared<platform::HTTPURLResponse>(*URL::string(Strings::Endpoint::registerDevice), 500,
                                                              "HTTP/1.1", platform::HTTPHeaderFields{});
    const rivulet::AnyError failure(platform::Error::withDescription("NSURLErrorDomain", -1004, "no connection"));
    struct Case {
        const char* label;
        rivulet::DataResponse<Value> response;
        std::vector<std::string> printed;
    };
    const Case cases[] = {
        {"a 500 with a JSON body is still a JSON answer",
         {std::nullopt, answer, platform::Bytes(body.begin(), body.end()),
          rivulet::Result<Value>(Value::dictionary({{"error", "server"}}))},
         {}},
        {"no answer", {std::nullopt, nullptr, std::nullopt, rivulet::Result<Value>(failure)}, {failure.description()}},
    };
    for (const auto& c : cases) {
        printed.clear();
        Network::registerDeviceResponseHandler(c.response);
        EXPECT_EQ(printed, c.printed) << c.label;
    }
}

TEST(ScreenNetworkQuestion, ConnectedOnlyWhenReachableWithoutAConnectionToBringUp) {
    using namespace platform::sc::ReachabilityFlag;
    struct Case {
        platform::sc::ReachabilityFlags flags;
        bool connected;
    };
    for (const auto& c : {Case{Reachable, true}, Case{Reachable | IsWWAN, true},
                          Case{Reachable | ConnectionRequired, false}, Case{0, false}}) {
        platform::sc::ReachabilityTestHooks hooks;
        hooks.flagsOverride = c.flags;
        platform::sc::ReachabilityTestHooks::set(hooks);
        EXPECT_EQ(Helper::isConnectedToNetwork(), c.connected) << c.flags;
    }
    platform::sc::ReachabilityTestHooks::reset();
}

}  // namespace
