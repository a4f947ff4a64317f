#include "host/Options.h"

#include <cmath>
#include <cstdlib>

#include "host/Commands.h"
#include "host/LocationStoreCommands.h"

namespace tesmar_host {

namespace {

// "host:port" with a non-empty host and a port in 1..65535.
bool isHostPort(const std::string& text) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    long value = std::strtol(port.c_str(), nullptr, 10);
    return value >= 1 && value <= 65535;
}

std::optional<double> positiveNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value) || value <= 0) return std::nullopt;
    return value;
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& argv) {
    Options options;
    options.arguments = argv;
    options.delegateClass = kDefaultDelegateClass;
    auto fail = [](std::string message) { return ParsedOptions{std::nullopt, std::move(message)}; };

    size_t first = 1;
    if (argv.size() > 1 && argv[1] == "demo") {
        options.demo = true;
        first = 2;
    } else if (argv.size() > 1 && argv[1] == "extension") {
        options.extension = true;
        first = 2;
    }
    for (size_t i = first; i < argv.size(); ++i) {
        const std::string& flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            options.help = true;
            continue;
        }
        if (flag.rfind("--", 0) != 0) return fail("unexpected argument '" + flag + "' (see --help)");
        if (i + 1 >= argv.size()) return fail("flag " + flag + " needs a value (see --help)");
        const std::string& value = argv[++i];
        if (flag == "--bundle") {
            if (value.empty()) return fail("--bundle needs a directory");
            options.bundle = value;
        } else if (flag == "--device-root") {
            if (value.empty()) return fail("--device-root needs a directory");
            options.deviceRoot = value;
        } else if (flag == "--system-version") {
            auto version = platform::OperatingSystemVersion::parse(value);
            if (!version) return fail("--system-version '" + value + "' is not a version like 10, 10.3 or 12.1.4");
            options.systemVersion = *version;
        } else if (flag == "--connect-to") {
            auto eq = value.find('=');
            if (eq == std::string::npos || !isHostPort(value.substr(0, eq)) || !isHostPort(value.substr(eq + 1)))
                return fail("--connect-to '" + value + "' is not HOST:PORT=ADDRESS:PORT");
            options.connectTo[value.substr(0, eq)] = value.substr(eq + 1);
        } else if (flag == "--ca") {
            if (value.empty()) return fail("--ca needs a PEM file");
            options.trustedRootsPEM.push_back(value);
        } else if (flag == "--network") {
            if (value != "up" && value != "down") return fail("--network takes 'up' or 'down', not '" + value + "'");
            options.networkUp = value == "up";
        } else if (flag == "--clock") {
            if (value != "manual" && value != "real")
                return fail("--clock takes 'manual' or 'real', not '" + value + "'");
            options.manualClock = value == "manual";
        } else if (flag == "--web-engine") {
            if (value != "real" && value != "headless")
                return fail("--web-engine takes 'real' or 'headless', not '" + value + "'");
            options.webEngine = value;
        } else if (flag == "--identifier-for-vendor") {
            if (value != "on" && value != "off")
                return fail("--identifier-for-vendor takes 'on' or 'off', not '" + value + "'");
            options.identifierForVendor = value == "on";
        } else if (flag == "--script") {
            if (value.empty()) return fail("--script needs a file");
            options.script = value;
        } else if (flag == "--launch-arg") {
            if (value.empty()) return fail("--launch-arg needs an argument");
            options.launchArguments.push_back(value);
        } else if (flag == "--delegate") {
            if (value.empty()) return fail("--delegate needs a class name");
            options.delegateClass = value;
        } else if (flag == "--start-url") {
            options.startURL = value;
        } else if (flag == "--settle-ms") {
            auto ms = positiveNumber(value);
            if (!ms || *ms > 60000)
                return fail("--settle-ms takes milliseconds between 0 and 60000, not '" + value + "'");
            options.settleQuietSeconds = *ms / 1000;
        } else if (flag == "--settle-timeout") {
            auto seconds = positiveNumber(value);
            if (!seconds || *seconds > 3600)
                return fail("--settle-timeout takes seconds between 0 and 3600, not '" + value + "'");
            options.settleTimeoutSeconds = *seconds;
        } else if (flag == "--location-permission") {
            auto status = platform::corelocation::authorizationStatusNamed(value);
            if (!status)
                return fail("--location-permission takes not-determined, restricted, denied, always or when-in-use, "
                            "not '" +
                            value + "'");
            options.locationPermission = *status;
        } else if (flag == "--location") {
            std::vector<std::string> parts;
            size_t start = 0;
            for (size_t comma; (comma = value.find(',', start)) != std::string::npos; start = comma + 1)
                parts.push_back(value.substr(start, comma - start));
            parts.push_back(value.substr(start));
            std::string error;
            auto position = parts.size() == 3 ? std::nullopt : parsePosition(parts, error);
            if (!position)
                return fail("--location '" + value + "' is not LAT,LONG[,HACC,VACC]" +
                            (error.empty() ? "" : ": " + error));
            options.location = *position;
        } else if (flag == "--payments") {
            if (value != "allowed" && value != "disallowed")
                return fail("--payments takes 'allowed' or 'disallowed', not '" + value + "'");
            options.paymentsAllowed = value == "allowed";
        } else if (flag == "--without") {
            if (value != "CoreLocation" && value != "StoreKit")
                return fail("--without takes CoreLocation or StoreKit, not '" + value + "'");
            options.without.insert(value);
        } else if (flag == "--extension-budget") {
            auto seconds = positiveNumber(value);
            if (!seconds || *seconds > 600)
                return fail("--extension-budget takes seconds between 0 and 600, not '" + value + "'");
            options.extensionBudget = *seconds;
        } else if (flag == "--payload" && options.extension) {
            options.extensionPayload = value;
        } else if (flag == "--wall-clock" && options.extension) {
            auto seconds = positiveNumber(value);
            if (!seconds) return fail("--wall-clock takes seconds since 1970, not '" + value + "'");
            options.wallClockStart = *seconds;
        } else {
            return fail("unknown flag " + flag + " (see --help)");
        }
    }
    if (!options.help && !options.demo && options.bundle.empty()) return fail("--bundle DIR is required (see --help)");
    return ParsedOptions{std::move(options), ""};
}

std::vector<std::string> Options::processArguments() const {
    std::vector<std::string> out;
    out.push_back(arguments.empty() ? "tesmar-sim" : arguments.front());
    out.insert(out.end(), launchArguments.begin(), launchArguments.end());
    return out;
}

std::string usageText() {
    return "usage: tesmar-sim --bundle DIR [flags]\n"
           "       tesmar-sim demo [--settle-ms MS] [--settle-timeout SECONDS] [--web-engine real|headless]\n"
           "\n"
           "Boots a device, launches the app and plays user and platform events from a script (or stdin),\n"
           "printing one JSON line per observable event on stdout.\n"
           "\n"
           "flags:\n"
           "  --bundle DIR                 the app bundle (Info.plist, Config.json, resources)\n"
           "  --device-root DIR            the device directory (default: a fresh temporary one)\n"
           "  --system-version V           the phone's system version, e.g. 9.3 or 17\n"
           "  --connect-to HOST:PORT=ADDR:PORT   reach HOST:PORT at ADDR:PORT instead (repeatable)\n"
           "  --ca PEM                     trust this root certificate too (repeatable)\n"
           "  --network up|down            the network at start (default up)\n"
           "  --clock manual|real          manual: the device's clocks (timers and wall time) move only by "
           "'wait'\n"
           "  --web-engine real|headless   the web views' engine: headless (default) fetches pages and runs no\n"
           "                               script; real runs them in WebKitGTK (starts Xvfb when DISPLAY is\n"
           "                               unset; prints web-engine {engine, version, display})\n"
           "  --identifier-for-vendor on|off   whether the device hands out vendor identifiers (default on)\n"
           "  --script FILE                commands to play (default: read stdin)\n"
           "  --launch-arg ARG             pass ARG to the app's process arguments, e.g. -ZDVDebugEnabled\n"
           "                               (repeatable)\n"
           "  --delegate CLASSNAME         the application delegate class (default " +
           std::string(kDefaultDelegateClass) +
           ")\n"
           "  --start-url URL              the minimal app's first page (default: Info.plist "
           "TesmarStartURL)\n"
           "  --settle-ms MS               quiet time that counts as idle after a command (default 250)\n"
           "  --settle-timeout SECONDS     the longest wait for idle after a command (default 15)\n"
           "  --location-permission STATUS the user's location answer at start: not-determined (default),\n"
           "                               restricted, denied, always or when-in-use\n"
           "  --location LAT,LONG[,HACC,VACC]   where the device is (accuracies in metres, default 5)\n"
           "  --payments allowed|disallowed   whether the device allows in-app payments (default allowed)\n"
           "  --without CoreLocation|StoreKit  the device lacks that framework (repeatable)\n"
           "  --extension-budget SECONDS   the time a notification service extension gets (default 30)\n"
           "  --help                       this text\n"
           "\n"
           "demo: starts the demo intranet site, the push service, the kit service and the diagnostics log\n"
           "service on loopback, launches the app with a bundled configuration, plays a scripted tour and\n"
           "checks what it printed, the app core's one diagnostics upload included (exit 0 when all was seen).\n"
           "\n"
           "commands (one per line; blank lines and lines starting with # are skipped):\n" +
           commandUsageText() +
           "\n"
           "event lines of the location and store stand-ins:\n"
           "  location.prompt {kind, answer}      the app asked for location permission (always / when-in-use)\n"
           "  location.updates {state}            the app started or stopped location updates\n"
           "  store.products-request {identifiers, outcome, found}   the app asked the store for prices\n"
           "  store.transactions {transactions}   transactions handed to the app's payment-queue observers\n"
           "notifications: a push with \"mutable-content\" to an app whose bundle holds a service extension\n"
           "(PlugIns/NAME.appex, Info.plist NSExtension: NSExtensionPointIdentifier\n"
           "\"com.apple.usernotifications.service\", NSExtensionPrincipalClass) runs the extension as a second\n"
           "tesmar-sim process on the same device; its lines carry \"process\":\"extension\", then\n"
           "  extension.content {title, body, badge, category, actions, attachments, expired}\n"
           "  notification.shown {title, body, identifier, badge, category, actions, attachments}\n"
           "  analytics.event {name, parameters}   an event the analytics facade was asked to log\n"
           "  prefs {suite, key, value, unsaved} / {suite, values, unsaved}   printed by `prefs`; unsaved: the\n"
           "                               keys whose value (or removal) is not on disk yet\n"
           "  storage.failed {path, error}   a device file could not be written (path under the device root,\n"
           "                               error: the system's text); kept and tried again\n"
           "  storage.recovered {path}     a file that failed is written at last\n"
           "\n"
           "event lines of the real web engine (--web-engine real):\n"
           "  web-engine {engine, version, display}   the engine started, on this X display\n"
           "  snapshot {file, bytes, width, height, blank}   printed by `snapshot` (blank: one colour only)\n"
           "  tap.missed {href}            `tap` found no page to click the link in\n"
           "  script.failed {action, message}   js-alert/js-confirm/js-open/js-close threw in the page\n"
           "\n"
           "event lines of the crash reporter:\n"
           "  crash.trigger {kind, function_start, function_end}   printed by `crash` just before the "
           "crash:\n"
           "                        the crashing function's code addresses (end exclusive)\n"
           "  crash.report.sent {report_id}   a crash report of an earlier run was accepted by the kit\n"
           "                        service (run again with the same --device-root after a crash)\n"
           "\n"
           "exit status: 0 fine; 1 the bundle's Info.plist is missing or unreadable, launch failed, or a\n"
           "completion handler was called twice or never;\n"
           "2 bad flag or command; 3 a command could not be carried out; a `crash` run ends by its signal.\n";
}

}  // namespace tesmar_host
