// The shell's roads end to end: tesmar-sim runs the app against the demo site and the push service
// stand-in, and the test reads what the user and the site would see.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Strings.h"
#include "demo/DemoSite.h"
#include "demo/PushServiceStandIn.h"
#include "host/tests/SimRun.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"
#include "testing/TestHttpServer.h"

namespace {

using platform::Value;
using namespace host_test;
namespace fs = std::filesystem;

const std::string kSite = Tesmar::Strings::Endpoint::siteHost;
const std::string kBase = Tesmar::Strings::Endpoint::baseUrl;
const std::string kRegister = Tesmar::Strings::Endpoint::registerDevice;
constexpr const char* kBundleId = "com.tesmar.intranet";
constexpr const char* kPlayer = "5d0a3c9e-2f41-4b7a-9c63-8e1f0b2d4a57";
const std::string kDefaultConfig =
    "{\"base_url\": \"" + kBase +
    "/\", \"push_notifications_enabled\": \"true\", \"base_url_home_host\": \"tesmar.example\"}";

class ShellRoads : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/shell-roads-XXXXXX";
        dir_ = mkdtemp(pattern);
        site_ = std::make_unique<tesmar_demo::DemoSite>(kSite, dir_.string());
        push_ = tesmar_demo::PushServiceStandIn::secure(dir_.string());
    }
    void TearDown() override {
        push_.reset();
        site_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // The bundle; `config` is Config.json's text, nullopt for no file.
    std::string bundle(const std::optional<std::string>& config = kDefaultConfig) {
        fs::path b = dir_ / "bundle";
        fs::remove_all(b);
        fs::create_directories(b);
        Value info = Value::dictionary({{"CFBundleIdentifier", kBundleId},
                                        {"UIMainStoryboardFile", "Main"},
                                        {"Verira", Value::dictionary({{"APIKey", "test-kit-api-key"}})}});
        Value options = Value::dictionary({{"VODEZU_APP_ID", "1:123456789:ios:0a1b2c3d4e5f"},
                                           {"BUNDLE_ID", kBundleId},
                                           {"API_KEY", "test-core-api-key"}});
        EXPECT_TRUE(platform::plist::writeFile(info, (b / "Info.plist").string()).ok());
        EXPECT_TRUE(platform::plist::writeFile(options, (b / "ZazeraDazudud-Uvoz.plist").string()).ok());
        if (config) std::ofstream(b / "Config.json") << *config;
        return b.string();
    }

    // A device on which the push client registered this installation in an earlier launch.
    std::string deviceWithPlayer() {
        fs::path prefs = dir_ / "device" / "Library" / "Preferences";
        fs::create_directories(prefs);
        Value stored = Value::dictionary({{"VD_APP_ID", Tesmar::Strings::VezEduduz::appId}, {"VD_PLAYER_ID", kPlayer}});
        EXPECT_TRUE(platform::plist::writeFile(stored, (prefs / (std::string(kBundleId) + ".plist")).string()).ok());
        return (dir_ / "device").string();
    }

    SimRun run(const std::string& script, std::vector<std::string> extra = {},
               const std::optional<std::string>& config = kDefaultConfig) {
        auto path = dir_ / "script.txt";
        std::ofstream(path) << script;
        auto [siteFrom, siteTo] = site_->connectToEntry();
        auto [pushFrom, pushTo] = push_->connectToEntry();
        std::vector<std::string> args = {"--bundle",
                                         bundle(config),
                                         "--script",
                                         path.string(),
                                         "--connect-to",
                                         siteFrom + "=" + siteTo,
                                         "--connect-to",
                                         pushFrom + "=" + pushTo,
                                         "--ca",
                                         site_->rootCertificatePath(),
                                         "--ca",
                                         push_->rootCertificatePath(),
                                         "--settle-ms",
                                         "150",
                                         "--settle-timeout",
                                         "20"};
        auto engine = engineArgs();
        args.insert(args.end(), engine.begin(), engine.end());
        args.insert(args.end(), extra.begin(), extra.end());
        return runSim(args);
    }

    // The roads (each runs on both engines, see SHELL_ROAD).
    void LaunchStartsTheSDKsInOrderThenShowsTheFirstPage();
    void FirstPageStartsLoadingOnlyAfterLaunch();
    void SessionCookieRegistersThePlayerWithTheSite();
    void ASubmittedSignInFormSetsTheCookieThatRegistersThePlayer();
    void LostConnectionShowsItsViewAndReloadBringsThePageBack();
    void ARefusedRedirectOfANewRootPageFailsAndStopsTheSpinner();
    void WindowOpenedByThePageIsPushedAndClosedAgain();
    void UniversalLinkBecomesTheRootAndTheDefaultPage();
    void ANewRootScreenPushesThePagesWindows();
    void ConfigurationWithoutAUsableBaseURLLoadsNothing();

    // The web engine's flags: none for the headless default.
    virtual std::vector<std::string> engineArgs() const { return {}; }

    fs::path dir_;
    std::unique_ptr<tesmar_demo::DemoSite> site_;
    std::unique_ptr<tesmar_demo::PushServiceStandIn> push_;
};

// The same roads on the real engine: pages run their scripts, the engine's own network stack reaches
// the demo site through the loopback proxy, and its signals drive the delegates.
class WebEngineShellRoads : public ShellRoads {
protected:
    std::vector<std::string> engineArgs() const override { return {"--web-engine", "real"}; }
};

#define SHELL_ROAD(Name)                                                                                               \
    TEST_F(ShellRoads, Name) { Name(); }                                                                               \
    TEST_F(WebEngineShellRoads, Name) { Name(); }                                                                      \
    void ShellRoads::Name()

bool has(const Value& event, const char* name, std::initializer_list<std::pair<const char*, Value>> fields = {}) {
    if (event["event"] != Value(name)) return false;
    for (const auto& [key, value] : fields)
        if (event[key] != value) return false;
    return true;
}

// Index of the first event at or after `from` that matches; -1 when none.
template <class Match>
long find(const std::vector<Value>& seen, Match match, long from = 0) {
    for (long i = from; i < long(seen.size()); ++i)
        if (match(seen[size_t(i)])) return i;
    return -1;
}

SHELL_ROAD(LaunchStartsTheSDKsInOrderThenShowsTheFirstPage) {
    SimRun r = run("quit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    const std::string first = kBase + "/";
    long kit = find(seen, [](const Value& e) { return has(e, "kit.start", {{"kit", "Dodoredized"}}); });
    // The app core's logger prints from its own queue, so its line says the default app was configured
    // but not when, against lines posted from the main loop or the URL engine.
    long configure = find(
        seen, [](const Value& e) { return has(e, "syslog"); }, kit);
    long pushStart = find(
        seen,
        [](const Value& e) {
            return has(e, "http.request") && e["url"].stringOr("").find("ios_params.js") != std::string::npos;
        },
        kit);
    long prompt = find(
        seen, [](const Value& e) { return has(e, "notification.prompt"); }, pushStart);
    long root = find(
        seen, [](const Value& e) { return has(e, "screen.root"); }, prompt);
    long commit = find(
        seen, [&](const Value& e) { return has(e, "page.commit"); }, root);
    long finish = find(
        seen, [&](const Value& e) { return has(e, "page.finish"); }, commit);
    EXPECT_GE(kit, 0) << allOutput(r);
    EXPECT_GT(configure, kit);
    EXPECT_GT(pushStart, kit);
    EXPECT_GT(prompt, pushStart);
    EXPECT_GT(root, prompt);
    EXPECT_GT(commit, root);
    ASSERT_GT(finish, commit) << allOutput(r);
    EXPECT_NE(seen[size_t(finish)]["url"].stringOr("").find(kSite), std::string::npos);
    // The first screen hides the navigation bar; the spinner stops with the first page.
    EXPECT_GE(find(seen,
                   [](const Value& e) {
                       return has(e, "view", {{"name", "navigation-bar"}, {"hidden", true}});
                   }),
              0);
    EXPECT_GT(find(
                  seen,
                  [](const Value& e) {
                      return has(e, "view", {{"name", "spinner"}, {"hidden", true}});
                  },
                  finish - 1),
              0);
    for (const char* name : {"Dodoredized", "Vizized"}) {
        int starts = 0;
        for (const auto& e : seen) starts += has(e, "kit.start", {{"kit", name}});
        EXPECT_EQ(starts, 1) << name << " did not start exactly once";
    }
    EXPECT_EQ(find(seen, [](const Value& e) { return has(e, "fault"); }), -1) << allOutput(r);
    // A normal launch finds the app registry made ("No app has been configured yet." is an error).
    EXPECT_EQ(find(seen,
                   [](const Value& e) {
                       return has(e, "syslog") && e["text"].stringOr("").find("I-COR000005") != std::string::npos;
                   }),
              -1)
        << allOutput(r);
}

// The first screen's view loads only when the window goes on screen, after the launch handler has
// started the SDKs.
SHELL_ROAD(FirstPageStartsLoadingOnlyAfterLaunch) {
    SimRun r = run("quit\n");
    auto seen = simEvents(r);
    long kit = find(seen, [](const Value& e) { return has(e, "kit.start"); });
    long start = find(seen, [](const Value& e) { return has(e, "page.start"); });
    EXPECT_GT(start, kit) << allOutput(r);
}

SHELL_ROAD(SessionCookieRegistersThePlayerWithTheSite) {
    struct Case {
        const char* label;
        const char* version;
        bool player;
        bool registers;
    } cases[] = {
        {"system 12 with a player", "12.1", true, true},
        {"system 11 with a player", "11.0", true, true},
        {"system 10 with a player", "10.3", true, false},
        {"system 12 before the push client has a player", "12.1", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        site_->server().clearRequests();
        std::error_code ec;
        fs::remove_all(dir_ / "device", ec);
        std::vector<std::string> extra = {"--system-version", c.version};
        if (c.player) extra.insert(extra.end(), {"--device-root", deviceWithPlayer()});
        // Without a stored player the push service refuses to create one, so none exists in this run.
        if (c.player)
            push_->clearScript("POST players");
        else
            push_->script("POST players", {tesmar_testing::Reply::withStatus(400)});
        SimRun r = run("tap /login\ntap /news\ntap /\nquit\n", extra);
        ASSERT_EQ(r.status, 0) << allOutput(r);
        auto seen = simEvents(r);
        auto isRegistration = [](const Value& e) {
            return has(e, "http.request", {{"method", "POST"}, {"url", Value(kRegister)}});
        };
        auto registrations = site_->server().requestsTo(tesmar_demo::DemoSite::kRegisterPath);
        if (!c.registers) {
            EXPECT_TRUE(registrations.empty()) << allOutput(r);
            EXPECT_EQ(find(seen, isRegistration), -1);
            continue;
        }
        // Once the session cookie exists, every decision sends exactly one registration.
        long news = find(seen, [](const Value& e) {
            return has(e, "navigation.decision", {{"url", Value(kBase + "/news")}});
        });
        ASSERT_GE(news, 0) << allOutput(r);
        long home = find(
            seen, [](const Value& e) { return has(e, "navigation.decision"); }, news + 1);
        ASSERT_GT(home, news);
        auto countBetween = [&](long from, long to) {
            int n = 0;
            for (long i = from; i < to; ++i) n += isRegistration(seen[size_t(i)]);
            return n;
        };
        EXPECT_EQ(countBetween(news, home), 1) << allOutput(r);
        EXPECT_EQ(countBetween(home, long(seen.size())), 1) << allOutput(r);
        ASSERT_FALSE(registrations.empty());
        for (const auto& request : registrations) {
            EXPECT_EQ(request.method, "POST");
            auto body = platform::json::read(request.body);
            ASSERT_TRUE(body.ok()) << request.body;
            EXPECT_EQ(body.value(), Value::dictionary({{"player-id", kPlayer}}));
            std::string type = request.header("Content-Type").value_or("");
            std::string cookie;
            for (const auto& line : request.headerValues("Cookie")) cookie += line + "; ";
            EXPECT_EQ(type.rfind("application/json", 0), 0u) << type;
            EXPECT_NE(cookie.find(std::string("PHPSESSID=") + tesmar_demo::DemoSite::kSessionValue), std::string::npos)
                << cookie;
        }
    }
}

SHELL_ROAD(ASubmittedSignInFormSetsTheCookieThatRegistersThePlayer) {
    SimRun r = run("tap /signin\nsubmit /signin user=anna password=s%20cret nick=a\n"
                   "submit /signin user=anna password=s%20cret\ntap /news\nquit\n",
                   {"--device-root", deviceWithPlayer()});
    EXPECT_EQ(r.status, 3) << allOutput(r);  // the field the form does not have
    auto seen = simEvents(r);
    long refused = find(seen, [](const Value& e) {
        return has(e, "command.failed", {{"message", Value("the form has no field nick")}});
    });
    long posted = find(
        seen,
        [](const Value& e) {
            return has(
                e, "navigation.decision",
                {{"url", Value(kBase + "/signin")}, {"type", Value("formSubmitted")}, {"decision", Value("allow")}});
        },
        refused);
    ASSERT_GE(refused, 0) << allOutput(r);
    ASSERT_GT(posted, refused) << allOutput(r);
    std::vector<tesmar_demo::RecordedRequest> posts;
    for (const auto& request : site_->server().requestsTo("/signin"))
        if (request.method == "POST") posts.push_back(request);
    ASSERT_EQ(posts.size(), 1u) << allOutput(r);
    EXPECT_EQ(posts[0].body, "next=%2Fnews&user=anna&password=s+cret");
    EXPECT_EQ(posts[0].header("Content-Type"), "application/x-www-form-urlencoded");
    // The site takes a sign-in only from its own pages, as they say.
    EXPECT_EQ(posts[0].header("Origin"), kBase);
    EXPECT_EQ(posts[0].header("Referer"), kBase + "/signin");

    // The answer's cookie drives the registration: none before the form was sent, and one at the next
    // navigation. The form's own decision may register too: the cookie store answers on a later turn of
    // the main loop, by which time the POST's answer may have set the cookie.
    auto isRegistration = [](const Value& e) {
        return has(e, "http.request", {{"method", "POST"}, {"url", Value(kRegister)}});
    };
    long news = find(
        seen,
        [](const Value& e) {
            return has(e, "navigation.decision", {{"url", Value(kBase + "/news")}});
        },
        posted);
    ASSERT_GT(news, posted) << allOutput(r);
    EXPECT_GT(find(seen, isRegistration), posted) << allOutput(r);
    EXPECT_GT(find(seen, isRegistration, news), news) << allOutput(r);
    auto registrations = site_->server().requestsTo(tesmar_demo::DemoSite::kRegisterPath);
    ASSERT_FALSE(registrations.empty());
    for (const auto& registration : registrations)
        EXPECT_NE(registration.header("Cookie").value_or("").find(std::string("PHPSESSID=") +
                                                                  tesmar_demo::DemoSite::kSessionValue),
                  std::string::npos);
}

SHELL_ROAD(LostConnectionShowsItsViewAndReloadBringsThePageBack) {
    SimRun r = run("network down\npull\nreload-button\nnetwork up\nreload-button\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    long fail = find(seen, [](const Value& e) { return has(e, "page.fail", {{"code", int64_t(-1009)}}); });
    ASSERT_GE(fail, 0) << allOutput(r);
    long lost = find(
        seen,
        [](const Value& e) {
            return has(e, "view", {{"name", "connection-lost"}, {"hidden", false}});
        },
        fail);
    long hiddenPage = find(
        seen,
        [](const Value& e) {
            return has(e, "view", {{"name", "web-view"}, {"hidden", true}});
        },
        fail);
    EXPECT_GT(lost, fail) << allOutput(r);
    EXPECT_GT(hiddenPage, fail) << allOutput(r);
    // The first reload, still offline, does nothing: no request leaves before the network is back.
    long up = find(
        seen, [](const Value& e) { return has(e, "page.start"); }, fail + 1);
    long shownPage = find(
        seen,
        [](const Value& e) {
            return has(e, "view", {{"name", "web-view"}, {"hidden", false}});
        },
        fail);
    long finish = find(
        seen, [](const Value& e) { return has(e, "page.finish"); }, fail);
    long gone = find(
        seen,
        [](const Value& e) {
            return has(e, "view", {{"name", "connection-lost"}, {"hidden", true}});
        },
        lost);
    ASSERT_GT(finish, fail) << allOutput(r);
    EXPECT_GT(up, fail);
    EXPECT_GT(shownPage, lost);
    EXPECT_GT(gone, lost);
    EXPECT_EQ(find(seen, [](const Value& e) { return has(e, "command.failed"); }), -1) << allOutput(r);
}

SHELL_ROAD(ARefusedRedirectOfANewRootPageFailsAndStopsTheSpinner) {
    struct Row {
        const char* name;
        std::string target;
        int64_t code;
    };
    const std::vector<Row> rows = {
        // The screen's policy sends the partner site to the browser and cancels the redirect.
        {"cancelled by the app", std::string(Tesmar::Strings::ExternalLinks::outsideSite) + "/benefits", 102},
        // Allowed by the app, refused by URL loading before anything is sent.
        {"out of http", "file:///etc/passwd", -1002},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // The target travels percent-encoded, so only the redirect names it.
        std::string encoded;
        for (char c : row.target)
            encoded += c == ':' ? std::string("%3A") : c == '/' ? std::string("%2F") : std::string(1, c);
        const std::string link = kBase + "/moved?to=" + encoded;
        SimRun r = run("universal-link " + link + "\nquit\n");
        ASSERT_EQ(r.status, 0) << allOutput(r);
        auto seen = simEvents(r);
        long root = find(seen, [&](const Value& e) { return has(e, "screen.root", {{"url", Value(link)}}); });
        ASSERT_GE(root, 0) << allOutput(r);
        long fail = find(
            seen,
            [&](const Value& e) {
                return has(e, "page.fail", {{"code", row.code}});
            },
            root);
        ASSERT_GT(fail, root) << allOutput(r);
        long stopped = find(
            seen,
            [](const Value& e) {
                return has(e, "view", {{"name", "spinner"}, {"hidden", true}});
            },
            fail);
        EXPECT_GT(stopped, fail) << allOutput(r);
        EXPECT_EQ(find(
                      seen, [](const Value& e) { return has(e, "page.finish"); }, root),
                  -1)
            << allOutput(r);
        EXPECT_EQ(
            find(seen,
                 [](const Value& e) { return has(e, "http.request") && e["url"].stringOr("").rfind("file:", 0) == 0; }),
            -1)
            << allOutput(r);
    }
}

SHELL_ROAD(WindowOpenedByThePageIsPushedAndClosedAgain) {
    const std::string window = kBase + "/window";
    SimRun r = run("js-open " + window + "\njs-close\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    long push = find(seen, [](const Value& e) { return has(e, "screen.push"); });
    ASSERT_GE(push, 0) << allOutput(r);
    long bar = find(
        seen,
        [](const Value& e) {
            return has(e, "view", {{"name", "navigation-bar"}, {"hidden", false}});
        },
        std::max(0L, push - 3));
    long shown = find(
        seen,
        [&](const Value& e) {
            return has(e, "page.finish", {{"url", Value(window)}});
        },
        push);
    long pop = find(
        seen, [](const Value& e) { return has(e, "screen.pop"); }, shown);
    EXPECT_GE(bar, 0) << allOutput(r);  // a pushed window shows the navigation bar
    EXPECT_GT(shown, push) << allOutput(r);
    EXPECT_GT(pop, shown) << allOutput(r);
    EXPECT_EQ(find(seen, [](const Value& e) { return has(e, "fault"); }), -1) << allOutput(r);
}

SHELL_ROAD(UniversalLinkBecomesTheRootAndTheDefaultPage) {
    const std::string link = kBase + "/news?from=link";
    // An activity naming a local file is refused before the app hears of it. The root screen of a link
    // is the bottom of its stack: a page closing its window there reloads the default page, which is
    // now the link's.
    SimRun r = run("user-activity NSUserActivityTypeBrowsingWeb file:///etc/hostname\nuniversal-link " + link +
                   "\njs-close\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    EXPECT_GE(find(seen,
                   [](const Value& e) {
                       return has(e, "app.user-activity", {{"handled", false}});
                   }),
              0)
        << allOutput(r);
    EXPECT_EQ(find(seen,
                   [](const Value& e) {
                       return !has(e, "app.user-activity") && !has(e, "command") && !has(e, "console") &&
                              e["url"].stringOr("").rfind("file:", 0) == 0;
                   }),
              -1)
        << allOutput(r);
    long root = find(seen, [&](const Value& e) { return has(e, "screen.root", {{"url", Value(link)}}); });
    ASSERT_GE(root, 0) << allOutput(r);
    long first = find(
        seen,
        [&](const Value& e) {
            return has(e, "page.finish", {{"url", Value(link)}});
        },
        root);
    ASSERT_GT(first, root) << allOutput(r);
    long again = find(
        seen,
        [&](const Value& e) {
            return has(e, "page.start", {{"url", Value(link)}});
        },
        first + 1);
    EXPECT_GT(again, first) << allOutput(r);
}

// A tapped notification's page and a universal link become the root inside a navigation controller, as
// the launch's first screen is, so the page's new windows are pushed there; like the first screen it
// hides the bar, which a pushed window shows until it closes.
SHELL_ROAD(ANewRootScreenPushesThePagesWindows) {
    const std::string page = kBase + "/news?from=root";
    const std::string window = kBase + "/window";
    Value push = Value::dictionary({{"aps", Value::dictionary({{"alert", "News"}})},
                                    {"custom", Value::dictionary({{"i", "7c0e1f52-3d4b-4a8e-9f61-2b5d8c9e0a13"},
                                                                  {"a", Value::dictionary({{"targetUrl", page}})}})}});
    for (const std::string& opening : {"push-tap " + platform::json::write(push).value(), "universal-link " + page}) {
        SCOPED_TRACE(opening);
        SimRun r = run(opening + "\njs-open " + window + "\njs-close\nquit\n");
        ASSERT_EQ(r.status, 0) << allOutput(r);
        auto seen = simEvents(r);
        long root = find(seen, [&](const Value& e) { return has(e, "screen.root", {{"url", Value(page)}}); });
        ASSERT_GE(root, 0) << allOutput(r);
        long pushed = find(
            seen,
            [&](const Value& e) {
                return has(e, "screen.push", {{"url", Value(window)}});
            },
            root);
        long popped = find(
            seen, [](const Value& e) { return has(e, "screen.pop"); }, pushed);
        EXPECT_GT(pushed, root) << allOutput(r);
        EXPECT_GT(popped, pushed) << allOutput(r);
        long launched = find(seen, [](const Value& e) { return has(e, "screen.root"); });
        std::vector<bool> bars;  // the bar's states after the launch's root screen
        for (size_t i = size_t(launched + 1); i < seen.size(); ++i)
            if (has(seen[i], "view", {{"name", "navigation-bar"}})) bars.push_back(seen[i]["hidden"].boolOr(false));
        EXPECT_EQ(bars, (std::vector<bool>{true, false, true})) << allOutput(r);
    }
}

SHELL_ROAD(ConfigurationWithoutAUsableBaseURLLoadsNothing) {
    constexpr const char* kError = "\"ASConfigService :: readConfigFile :: dictionary error\"";
    struct Case {
        const char* label;
        std::optional<std::string> config;
        bool message;
        std::string warning;  // what the host says on stderr before the launch
    } cases[] = {
        {"no Config.json", std::nullopt, false, "Config.json is missing"},
        {"not JSON", "{\"base_url\": ", true, "Config.json is not a JSON object"},
        {"no base_url", "{\"base_url_home_host\": \"tesmar.example\"}", false,
         "Config.json has no base_url that is a URL"},
        {"a value that is not a string", "{\"base_url\": \"" + kBase + "/\", \"push_notifications_enabled\": true}",
         false, "\"push_notifications_enabled\" is not a string"},
        {"an array", "[\"" + kBase + "/\"]", false, "Config.json is not a JSON object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SimRun r = run("pull\nquit\n", {}, c.config);
        ASSERT_EQ(r.status, 0) << allOutput(r);
        auto seen = simEvents(r);
        EXPECT_EQ(find(seen, [](const Value& e) { return has(e, "page.start"); }), -1) << allOutput(r);
        EXPECT_EQ(find(seen,
                       [](const Value& e) {
                           return has(e, "http.request") && e["url"].stringOr("").find(kSite) != std::string::npos;
                       }),
                  -1);
        // The app still launched: the kit started and a root screen is up.
        EXPECT_GE(find(seen, [](const Value& e) { return has(e, "screen.root"); }), 0);
        long message = find(seen, [&](const Value& e) { return has(e, "console", {{"text", kError}}); });
        EXPECT_EQ(message >= 0, c.message) << allOutput(r);
        EXPECT_NE(r.err.find("warning: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
    }
}

}  // namespace

// --- what only the real engine shows: the page's own script, its own links, what it draws ---

namespace {

TEST_F(WebEngineShellRoads, ThePagesOwnScriptAsksForAPanelAndWaitsForTheAnswer) {
    // The waiting page draws nothing: a snapshot meanwhile fails at once, naming the panel.
    const std::string shot = (dir_ / "waiting.png").string();
    SimRun r = run("tap /alert\nsnapshot " + shot + "\nalert OK\nquit\n");
    ASSERT_EQ(r.status, 3) << allOutput(r);
    auto seen = simEvents(r);
    long shown = find(seen, [](const Value& e) {
        return has(e, "alert.shown", {{"message", tesmar_demo::DemoSite::kAlertText}});
    });
    ASSERT_GE(shown, 0) << allOutput(r);
    long refused = find(
        seen,
        [](const Value& e) {
            return has(e, "command.failed") &&
                   e["message"].stringOr("").find(std::string("alert \"") + tesmar_demo::DemoSite::kAlertText + "\"") !=
                       std::string::npos;
        },
        shown);
    // The page's script runs inside the load: the page finishes only once the panel was answered.
    long dismissed = find(
        seen, [](const Value& e) { return has(e, "alert.dismissed"); }, shown);
    long finish = find(seen, [](const Value& e) { return has(e, "page.finish", {{"url", Value(kBase + "/alert")}}); });
    EXPECT_GT(refused, shown) << allOutput(r);
    EXPECT_GT(dismissed, refused);
    EXPECT_GT(finish, dismissed) << allOutput(r);
    EXPECT_FALSE(fs::exists(shot));
}

// The engine answers a script the host plays in the page later, in another process: each command waits
// for what its script sets off (a link's decision, a dialog, a window opened or closed) however late, with
// no quiet time to stand in for it.
TEST_F(WebEngineShellRoads, WhatAPlayedScriptSetsOffPrintsUnderItsCommand) {
    const std::string window = kBase + "/window";
    const struct {
        std::string command;
        const char* event;
        Value fields;
    } steps[] = {
        {"tap https://news.elsewhere.example/", "system.open", Value::dictionary({{"handler", "browser"}})},
        {"js-alert Hello", "alert.shown", Value::dictionary({{"message", "Hello"}})},
        {"alert OK", "js.alert.done", Value::dictionary()},
        {"js-confirm Leave?", "alert.shown", Value::dictionary({{"message", "Leave?"}})},
        {"alert Cancel", "js.confirm.result", Value::dictionary({{"result", false}})},
        {"js-open " + window, "page.finish", Value::dictionary({{"url", window}})},
        {"js-close", "screen.pop", Value::dictionary()},
    };
    std::string script;
    for (const auto& step : steps) script += step.command + "\n";
    SimRun r = run(script + "quit\n", {"--echo", "--settle-ms", "0"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    auto command = [&](const std::string& text) {
        return find(seen, [&](const Value& e) { return has(e, "command", {{"text", Value(text)}}); });
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const long played = command(steps[i].command),
                   next = command(i + 1 < std::size(steps) ? steps[i + 1].command : "quit");
        const long happened = find(
            seen,
            [&](const Value& e) {
                if (e["event"] != Value(steps[i].event)) return false;
                for (const auto& [key, value] : *steps[i].fields.asDictionary())
                    if (e[key] != value) return false;
                return true;
            },
            played);
        EXPECT_GT(happened, played) << steps[i].command << "\n" << allOutput(r);
        EXPECT_LT(happened, next) << steps[i].command << "\n" << allOutput(r);
    }
}

TEST_F(WebEngineShellRoads, ATappedLinkToANewWindowIsDecidedThenPushedAndClosedByScript) {
    // The start page's link has target=_blank: a real click makes it a new-window action.
    SimRun r = run("tap /window\njs-close\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    const std::string window = kBase + "/window";
    long decided = find(seen, [&](const Value& e) {
        return has(e, "navigation.decision",
                   {{"url", Value(window)}, {"type", "linkActivated"}, {"decision", "allow"}});
    });
    long push = find(
        seen, [](const Value& e) { return has(e, "screen.push"); }, decided);
    long shown = find(
        seen,
        [&](const Value& e) {
            return has(e, "page.finish", {{"url", Value(window)}});
        },
        push);
    long pop = find(
        seen, [](const Value& e) { return has(e, "screen.pop"); }, shown);
    EXPECT_GE(decided, 0) << allOutput(r);
    EXPECT_GT(push, decided) << allOutput(r);
    EXPECT_GT(shown, push) << allOutput(r);
    EXPECT_GT(pop, shown) << allOutput(r);
    EXPECT_EQ(find(seen, [](const Value& e) { return has(e, "fault"); }), -1) << allOutput(r);
}

TEST_F(WebEngineShellRoads, SnapshotWritesAPictureOfThePageOnceDrawn) {
    const std::string file = (dir_ / "shots" / "start.png").string();
    const std::string window = (dir_ / "shots" / "window.png").string();
    const std::string tapped = (dir_ / "shots" / "tapped.png").string();
    // A link the page lacks is made for the tap, and gone again once tapped; the window opened by the
    // page is of the same screen.
    SimRun r = run("snapshot " + file + "\ntap tel:+15550199\nsnapshot " + tapped + "\njs-open " + kBase +
                   "/window\nsnapshot " + window + "\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    long shot = find(seen, [&](const Value& e) { return has(e, "snapshot", {{"file", Value(file)}}); });
    ASSERT_GE(shot, 0) << allOutput(r);
    EXPECT_EQ(seen[size_t(shot)]["blank"], Value(false)) << allOutput(r);
    std::ifstream png(file, std::ios::binary);
    std::string head(8, '\0');
    png.read(head.data(), 8);
    EXPECT_EQ(head, std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(int64_t(fs::file_size(file)), seen[size_t(shot)]["bytes"].integerOr(-1));

    ASSERT_GE(find(seen,
                   [](const Value& e) {
                       return has(e, "navigation.decision", {{"url", "tel:+15550199"}, {"type", "linkActivated"}});
                   }),
              0)
        << allOutput(r);
    auto bytes = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_TRUE(bytes(tapped) == bytes(file)) << "the tapped page looks otherwise";
    for (const auto& path : {file, tapped, window}) {
        long found = find(seen, [&](const Value& e) { return has(e, "snapshot", {{"file", Value(path)}}); });
        ASSERT_GE(found, 0) << path << "\n" << allOutput(r);
        EXPECT_EQ(seen[size_t(found)]["width"], Value(375)) << path;
        EXPECT_EQ(seen[size_t(found)]["height"], Value(812)) << path;
    }
}

TEST_F(WebEngineShellRoads, OlderSystemsShowThePageInTheOlderWebViewOnTheSameEngine) {
    SimRun r = run("tap /login\nquit\n", {"--system-version", "9.3"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    long first = find(seen, [](const Value& e) { return has(e, "page.finish"); });
    long login = find(
        seen,
        [](const Value& e) {
            return has(e, "navigation.decision", {{"url", Value(kBase + "/login")}, {"type", "linkActivated"}});
        },
        first);
    long shown = find(
        seen,
        [](const Value& e) {
            return has(e, "page.finish", {{"url", Value(kBase + "/login")}});
        },
        login);
    EXPECT_GE(first, 0) << allOutput(r);
    EXPECT_GT(login, first) << allOutput(r);
    EXPECT_GT(shown, login) << allOutput(r);
}

// This process's children, by process id and name (zombies too).
std::map<pid_t, std::string> ownChildren() {
    std::map<pid_t, std::string> out;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pidText, name, state;
        long ppid = 0;
        if (stat >> pidText >> name >> state >> ppid && ppid == getpid()) out[std::stoi(pidText)] = name;
    }
    return out;
}

// The engine's web and network processes and the host's X server end with the run: nothing is left.
TEST_F(WebEngineShellRoads, TheEnginesProcessesAndDisplayEndWithTheRun) {
    // Whatever the run leaves behind becomes this process's child, to be counted and reaped here. Children
    // this process had before the run (an X server of its own engine tests, say) are not the run's.
    const auto before = ownChildren();
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    SimRun r = run("js-open " + kBase + "/window\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    ASSERT_GE(find(simEvents(r), [](const Value& e) { return has(e, "screen.push"); }), 0) << allOutput(r);
    // Reap until none of the run's is left; a process that does not end within the bound stops the wait.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::map<pid_t, std::string> outlived;
    for (;;) {
        outlived.clear();
        for (const auto& [pid, name] : ownChildren())
            if (!before.count(pid)) outlived[pid] = name;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (outlived.empty() || left.count() <= 0) break;
        // Until the first of them ends (one that has ended already answers at once).
        std::vector<pollfd> ends;
        for (const auto& [pid, name] : outlived)
            if (int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); fd >= 0) ends.push_back({fd, POLLIN, 0});
        if (!ends.empty()) poll(ends.data(), ends.size(), static_cast<int>(left.count()));
        for (const auto& end : ends) close(end.fd);
        for (const auto& [pid, name] : outlived) waitpid(pid, nullptr, WNOHANG);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    std::string names;
    for (const auto& [pid, name] : outlived) names += " " + name;
    EXPECT_TRUE(outlived.empty()) << "still running 20 s after the run:" << names;
}

// Headless, the host plays window.open: a window whose page the screen sends to the browser pops as it
// loads, and the lines come in the order things happened; its web view loads nothing after.
TEST_F(ShellRoads, AWindowThatClosesItselfAsItLoadsIsSaidInOrderAndLoadsNothing) {
    const std::string outside = std::string(Tesmar::Strings::ExternalLinks::outsideSite) + "/plan";
    SimRun r = run("js-open " + outside + "\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    long pushed = find(seen, [&](const Value& e) { return has(e, "screen.push", {{"url", Value(outside)}}); });
    long popped = find(
        seen,
        [&](const Value& e) {
            return has(e, "screen.pop", {{"url", Value(outside)}});
        },
        pushed);
    long opened = find(
        seen,
        [&](const Value& e) {
            return has(e, "system.open", {{"url", Value(outside)}});
        },
        popped);
    ASSERT_GE(pushed, 0) << allOutput(r);
    EXPECT_GT(popped, pushed) << allOutput(r);
    EXPECT_GT(opened, popped) << allOutput(r);
    EXPECT_EQ(find(seen,
                   [&](const Value& e) {
                       return has(e, "page.start", {{"url", Value(outside)}});
                   }),
              -1)
        << allOutput(r);
    EXPECT_EQ(find(seen,
                   [&](const Value& e) {
                       return has(e, "navigation.decision", {{"decision", "allow"}}) && e["url"] == Value(outside);
                   }),
              -1)
        << allOutput(r);
}

TEST_F(ShellRoads, SnapshotIsRefusedByTheHeadlessEngine) {
    SimRun r = run("snapshot " + (dir_ / "none.png").string() + "\nquit\n");
    EXPECT_EQ(r.status, 3) << allOutput(r);
    EXPECT_FALSE(fs::exists(dir_ / "none.png"));
}

}  // namespace
