#include "host/Demo.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Strings.h"
#include "demo/DemoSite.h"
#include "demo/KitServiceStandIn.h"
#include "demo/LoglaneServiceStandIn.h"
#include "demo/PushServiceStandIn.h"
#include "host/DemoServers.h"
#include "host/Device.h"
#include "host/EventPrinter.h"
#include "host/Simulator.h"
#include "host/WebEngine.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"

namespace tesmar_host {

using platform::Value;
namespace fs = std::filesystem;

namespace {

const std::string kSite = Tesmar::Strings::Endpoint::siteHost;
const std::string kStart = std::string("https://") + kSite + "/";
const std::string kPushTarget = std::string("https://") + kSite + "/news?from=push";
const std::string kUniversalLink = std::string("https://") + kSite + "/news?from=link";
constexpr const char* kOutsideNews = "https://news.elsewhere.example/";
constexpr const char* kMail = "mailto:helpdesk@tesmar.example";
constexpr const char* kDiagnosticsLogs = "Library/Caches/ZDVLoglaneLogger";

struct Expected {
    std::string what;  // for the message when it is missing
    std::string event;
    Value fields;  // each must be equal in the event
    // Set for steps that need the push client to have done its part (a player id from the push
    // service, a tap routed to its handler); without that part they are reported, not failed.
    std::string needs = {};
};

// The real engine shows the site's root with its path, as a browser does ("https://host/").
std::vector<Expected> expectations(bool realEngine) {
    auto d = [](std::initializer_list<std::pair<const std::string, Value>> f) { return Value::dictionary(f); };
    return {
        {"the crash reporter started as a kit", "kit.start", d({{"kit", "Dodoredized"}})},
        {"the start page loaded", "page.finish",
         d({{"url", realEngine ? kStart : std::string(Tesmar::Strings::Endpoint::baseUrl)}})},
        {"the login page loaded", "page.finish", d({{"url", kStart + "login"}})},
        {"the device registered with the site", "http.request",
         d({{"method", "POST"}, {"url", std::string(Tesmar::Strings::Endpoint::registerDevice)}}), "player"},
        {"the outside link went to the browser", "system.open", d({{"url", kOutsideNews}, {"handler", "browser"}})},
        {"the mail link went to the mail client", "system.open", d({{"url", kMail}, {"handler", "mail"}})},
        {"the page's alert was shown", "alert.shown", d({{"message", tesmar_demo::DemoSite::kAlertText}})},
        {"the alert answered the page", "js.alert.done", d({})},
        {"the confirm answered Cancel as false", "js.confirm.result", d({{"result", false}})},
        {"a new window was pushed", "screen.push", d({})},
        {"the closed window popped back", "screen.pop", d({})},
        {"the tapped notification opened its target as the root screen", "screen.root", d({{"url", kPushTarget}}),
         "tap"},
        {"the universal link opened as the root screen", "screen.root", d({{"url", kUniversalLink}})},
    };
}

// Seen at any point: work the SDKs do on their own queues, in no fixed order with the tour.
std::vector<Expected> anytime() {
    auto d = [](std::initializer_list<std::pair<const std::string, Value>> f) { return Value::dictionary(f); };
    const std::string kits = std::string("https://") + tesmar_demo::KitServiceStandIn::kHostName;
    return {
        {"the kit settings were asked for", "http.request",
         d({{"method", "GET"}, {"url", kits + "/v1/apps/com.tesmar.intranet/settings?installation_id="}})},
        {"the app registered with the kit service", "http.request",
         d({{"method", "POST"}, {"url", kits + "/v1/apps"}})},
    };
}

// After each step that shows a page, the real engine's view of it goes into `pages` (empty: none).
std::string tourScript(const std::string& pages) {
    int shot = 0;
    auto snap = [&](const char* name) {
        if (pages.empty()) return std::string();
        char numbered[64];
        std::snprintf(numbered, sizeof numbered, "%02d-%s.png", ++shot, name);
        return "snapshot " + (fs::path(pages) / numbered).string() + "\n";
    };
    Value push = Value::dictionary(
        {{"aps", Value::dictionary({{"alert", Value::dictionary({{"title", "Canteen"}, {"body", "Today's menu"}})}})},
         {"custom", Value::dictionary({{"i", "7c0e1f52-3d4b-4a8e-9f61-2b5d8c9e0a13"},
                                       {"a", Value::dictionary({{"targetUrl", kPushTarget}})}})}});
    std::string pushJSON = platform::json::write(push).value();
    // Built step by step, so the pictures are numbered in the tour's order.
    std::string tour = "# the demo tour\n";
    tour += snap("start");
    tour += "tap /login\n";
    tour += snap("login");
    tour += "tap /news\n";
    tour += snap("news");
    tour += "tap " + std::string(kOutsideNews) + "\n";
    tour += "tap " + std::string(kMail) + "\n";
    tour += "tap tel:+15550100\n";
    tour += "js-alert " + std::string(tesmar_demo::DemoSite::kAlertText) + "\n";
    tour += "alert OK\n";
    tour += "js-confirm Leave the news page?\n";
    tour += "alert Cancel\n";
    tour += "js-open " + kStart + "window\n";
    tour += snap("window");
    tour += "js-close\n";
    tour += "push-tap " + pushJSON + "\n";
    tour += snap("notification");
    tour += "universal-link " + kUniversalLink + "\n";
    tour += snap("universal-link");
    tour += "files " + std::string(kDiagnosticsLogs) + "\n";
    tour += "quit\n";
    return tour;
}

bool writeText(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    return static_cast<bool>(file);
}

std::optional<std::string> writeBundle(const fs::path& bundle) {
    std::error_code ec;
    fs::create_directories(bundle, ec);
    if (ec) return "cannot make " + bundle.string() + ": " + ec.message();
    Value info = Value::dictionary({{"CFBundleIdentifier", "com.tesmar.intranet"},
                                    {"CFBundleName", "Tesmar"},
                                    {"UIMainStoryboardFile", "Main"},
                                    {"Verira", Value::dictionary({{"APIKey", "demo-kit-api-key"}})}});
    Value options = Value::dictionary({{"VODEZU_APP_ID", "1:123456789:ios:0a1b2c3d4e5f"},
                                       {"BUNDLE_ID", "com.tesmar.intranet"},
                                       {"API_KEY", "demo-core-api-key"}});
    if (!platform::plist::writeFile(info, (bundle / "Info.plist").string()).ok()) return "cannot write Info.plist";
    if (!platform::plist::writeFile(options, (bundle / "ZazeraDazudud-Uvoz.plist").string()).ok())
        return "cannot write ZazeraDazudud-Uvoz.plist";
    if (!writeText(bundle / "Config.json", "{\"base_url\": \"" + kStart +
                                               "\", \"push_notifications_enabled\": \"true\", "
                                               "\"base_url_home_host\": \"tesmar.example\"}\n"))
        return "cannot write Config.json";
    return std::nullopt;
}

bool matches(const std::string& event, const Value& fields, const Expected& want) {
    if (event != want.event) return false;
    if (const auto* wanted = want.fields.asDictionary())
        for (const auto& [key, value] : *wanted) {
            const Value* seen = fields.find(key);
            if (!seen || !(*seen == value)) return false;
        }
    return true;
}

}  // namespace

int runDemo(const Options& options, std::FILE* out, std::FILE* err) {
    // Refused before the tour starts: the message, and the "exit" line every run ends with.
    auto refuse = [&](const std::string& message, int status) {
        std::fprintf(err, "tesmar-sim demo: %s\n", message.c_str());
        printEvent(out, "exit", Value::dictionary({{"code", status}}));
        return status;
    };
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "tesmar-demo-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return refuse("cannot make a work directory", kExitUsage);
    fs::path work = pattern;
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } cleanup{work};

    std::string problem;
    auto servers = startDemoServers(kSite, work.string(), &problem);
    if (!servers) return refuse("cannot start the demo servers: " + problem, kExitFault);
    if (auto problem = writeBundle(work / "Bundle-source")) return refuse(*problem, kExitFault);
    // The real engine when this machine can run it: the tour's pages are then saved as pictures.
    std::string engine = options.webEngine.value_or(realWebEngineAvailable() ? kWebEngineReal : kWebEngineHeadless);
    std::string pages;
    if (engine == kWebEngineReal) {
        std::error_code ec;
        std::string folder = (fs::current_path(ec) / "tesmar-demo-pages-XXXXXX").string();
        if (ec || !mkdtemp(folder.data())) folder = (fs::temp_directory_path(ec) / "tesmar-demo-pages-XXXXXX").string();
        if (folder.find("XXXXXX") != std::string::npos && !mkdtemp(folder.data()))
            return refuse("cannot make a folder for the tour's pages", kExitFault);
        pages = folder;
    }
    std::fprintf(err, "tesmar-sim demo: web engine: %s\n",
                 engine == kWebEngineReal ? "real (WebKitGTK)" : "headless (no script engine, nothing drawn)");
    if (!writeText(work / "tour.txt", tourScript(pages))) return refuse("cannot write the tour", kExitFault);

    const DemoEndpoint site = servers->site(), push = servers->push(), kits = servers->kits(),
                       loglane = servers->loglane();
    // --echo: a reader sees which step of the tour caused which line.
    std::vector<std::string> argv = {"tesmar-sim",
                                     "--bundle",
                                     (work / "Bundle-source").string(),
                                     "--device-root",
                                     (work / "device").string(),
                                     "--script",
                                     (work / "tour.txt").string(),
                                     "--connect-to",
                                     site.from + "=" + site.to,
                                     "--connect-to",
                                     push.from + "=" + push.to,
                                     "--connect-to",
                                     kits.from + "=" + kits.to,
                                     "--connect-to",
                                     loglane.from + "=" + loglane.to,
                                     "--ca",
                                     site.rootCertificatePath,
                                     "--ca",
                                     push.rootCertificatePath,
                                     "--ca",
                                     kits.rootCertificatePath,
                                     "--ca",
                                     loglane.rootCertificatePath,
                                     "--settle-ms",
                                     std::to_string(static_cast<int>(options.settleQuietSeconds * 1000)),
                                     "--settle-timeout",
                                     std::to_string(options.settleTimeoutSeconds),
                                     "--web-engine",
                                     engine,
                                     "--echo"};

    platform::dispatch::Mutex mutex;
    std::vector<std::pair<std::string, Value>> seen;
    int status;
    {
        auto token = platform::DeviceEvents::addListener([&](const std::string& event, const Value& fields) {
            platform::dispatch::MutexLock lock(mutex);
            seen.emplace_back(event, fields);
        });
        std::istringstream noInput;
        status = runSimulator(argv, noInput, out, err);
    }

    std::vector<std::string> missing, unchecked;
    {
        platform::dispatch::MutexLock lock(mutex);
        auto any = [&](const Expected& want) {
            for (const auto& [event, fields] : seen)
                if (matches(event, fields, want)) return true;
            return false;
        };
        // What the push client has to do before the shell can act on it.
        bool player =
            any({"", "http.request", Value::dictionary({{"method", "POST"}})}) &&
            any({"", "http.request",
                 Value::dictionary({{"url", std::string("https://") + tesmar_demo::PushServiceStandIn::kHostName +
                                                "/api/v1/players"}})});
        bool tap = any({"", "console", Value::dictionary({{"text", "\"Notification tapped\""}})});
        size_t at = 0;
        for (const auto& want : expectations(engine == kWebEngineReal)) {
            size_t i = at;
            while (i < seen.size() && !matches(seen[i].first, seen[i].second, want)) ++i;
            if (i < seen.size()) {
                at = i + 1;
                continue;
            }
            if (want.needs == "player" && !player)
                unchecked.push_back(want.what + ": the push client has no player id yet");
            else if (want.needs == "tap" && !tap)
                unchecked.push_back(want.what + ": the push client did not hand the tap to the app");
            else
                missing.push_back(want.what + " (" + want.event + ")");
        }
        for (const auto& want : anytime()) {
            bool found = false;
            for (const auto& [event, fields] : seen) {
                if (event != want.event || fields["method"] != want.fields["method"]) continue;
                // URLs are compared up to the query's variable part (the installation identifier).
                std::string url = fields["url"].stringOr(""), prefix = want.fields["url"].stringOr("");
                found = found || (prefix.find('?') == std::string::npos ? url == prefix : url.rfind(prefix, 0) == 0);
            }
            if (!found) missing.push_back(want.what + " (" + want.event + ")");
        }
        // The app core's diagnostics report goes up once after launch, whenever in the tour that is,
        // and its log file is gone by the end.
        if (servers->loglaneUploads() != 1 ||
            !any({"", "http.request",
                  Value::dictionary(
                      {{"method", "POST"},
                       {"url", std::string("https://") + tesmar_demo::LoglaneServiceStandIn::kHostName + "/log"}})}))
            missing.push_back("one diagnostics upload to the log service (http.request)");
        if (!any({"", "files", Value::dictionary({{"dir", kDiagnosticsLogs}, {"count", 0}})}))
            missing.push_back("no diagnostics log file left after the upload (files)");
    }
    for (const auto& u : unchecked) std::fprintf(err, "tesmar-sim demo: not checked, %s\n", u.c_str());
    if (status != kExitOK) {
        std::fprintf(err, "tesmar-sim demo: the tour ended with status %d\n", status);
        return status;
    }
    if (!missing.empty()) {
        std::fprintf(err, "tesmar-sim demo: the tour did not go as expected; missing, in order:\n");
        for (const auto& m : missing) std::fprintf(err, "  - %s\n", m.c_str());
        return kExitFault;
    }
    if (!pages.empty()) std::fprintf(err, "tesmar-sim demo: the tour's pages are saved in %s\n", pages.c_str());
    std::fprintf(err, "tesmar-sim demo: the tour went as expected\n");
    return kExitOK;
}

}  // namespace tesmar_host
