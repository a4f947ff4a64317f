#include "host/Options.h"

#include <cmath>
#include <cstdlib>

#include "app/Strings.h"
#include "host/Commands.h"
#include "host/EventReference.h"
#include "host/LocationStoreCommands.h"
#include "host/MinimalApp.h"
#include "platform/foundation/URL.h"

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

std::optional<double> number(const std::string& text, bool zeroAllowed) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value) || value < 0 || (value == 0 && !zeroAllowed)) return std::nullopt;
    return value;
}
std::optional<double> positiveNumber(const std::string& text) { return number(text, false); }

// Every flag that takes a value; the extension's own two are known only to "tesmar-sim extension".
const std::set<std::string> kValueFlags = {"--bundle",
                                           "--device-root",
                                           "--system-version",
                                           "--connect-to",
                                           "--ca",
                                           "--network",
                                           "--clock",
                                           "--web-engine",
                                           "--identifier-for-vendor",
                                           "--script",
                                           "--launch-arg",
                                           "--delegate",
                                           "--start-url",
                                           "--settle-ms",
                                           "--settle-timeout",
                                           "--location-permission",
                                           "--location",
                                           "--payments",
                                           "--without",
                                           "--extension-budget",
                                           "--push-token-delay"};
const std::set<std::string> kExtensionFlags = {"--payload", "--wall-clock"};
// What "tesmar-sim demo" takes: it makes its own bundle, device, servers and script.
const std::set<std::string> kDemoFlags = {"--settle-ms", "--settle-timeout", "--web-engine"};

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
        bool known = flag == "--echo" || kValueFlags.count(flag) || (options.extension && kExtensionFlags.count(flag));
        if (!known) return fail("unknown flag " + flag + " (see --help)");
        if (options.demo && !kDemoFlags.count(flag))
            return fail("unknown flag " + flag +
                        " for demo, which takes --settle-ms, --settle-timeout and --web-engine");
        if (flag == "--echo") {
            options.echo = true;
            continue;
        }
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
            auto url = platform::URL::string(value);
            if (!url || !url->scheme() || (url->scheme() != "file" && url->host().value_or("").empty()))
                return fail("--start-url '" + value + "' is not an absolute URL such as https://host/page");
            options.startURL = value;
        } else if (flag == "--settle-ms") {
            auto ms = number(value, true);
            if (!ms || *ms > 60000)
                return fail("--settle-ms takes milliseconds between 0 and 60000, not '" + value + "'");
            options.settleQuietSeconds = *ms / 1000;
        } else if (flag == "--settle-timeout") {
            auto seconds = positiveNumber(value);
            if (!seconds || *seconds > 3600)
                return fail("--settle-timeout takes seconds above 0, up to 3600, not '" + value + "'");
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
                return fail("--extension-budget takes seconds above 0, up to 600, not '" + value + "'");
            options.extensionBudget = *seconds;
        } else if (flag == "--push-token-delay") {
            auto seconds = number(value, true);
            if (!seconds || *seconds > 3600)
                return fail("--push-token-delay takes seconds from 0 to 3600, not '" + value + "'");
            options.pushTokenDelay = *seconds;
        } else if (flag == "--payload") {
            options.extensionPayload = value;
        } else if (flag == "--wall-clock") {
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
           "printing one JSON line per observable event on stdout. The README says what a bundle holds and\n"
           "walks through a first run against your own server (examples/).\n"
           "\n"
           "flags:\n"
           "  --bundle DIR                 the app bundle: Info.plist, ZazeraDazudud-Uvoz.plist, Config.json\n"
           "  --device-root DIR            the device directory, kept between runs (default: a fresh temporary\n"
           "                               one); one host at a time: another waits up to --settle-timeout\n"
           "  --system-version V           the phone's system version, e.g. 9.3 or 17\n"
           "  --connect-to HOST:PORT=ADDR:PORT   reach HOST:PORT at ADDR:PORT instead (repeatable); the shell's\n"
           "                               first page is https://" +
           std::string(Tesmar::Strings::Endpoint::siteHost) + ", so map " + Tesmar::Strings::Endpoint::siteHost +
           ":443 to your server\n"
           "  --ca PEM                     trust the certificates in this PEM file too (repeatable)\n"
           "  --network up|down            the network at start (default up)\n"
           "  --clock manual|real          manual: the device's clocks (timers and wall time) move only by "
           "'wait'\n"
           "  --web-engine real|headless   the web views' engine: headless (default) fetches pages and runs no\n"
           "                               script; real runs them in WebKitGTK (starts Xvfb when DISPLAY is\n"
           "                               unset)\n"
           "  --identifier-for-vendor on|off   whether the device hands out vendor identifiers (default on)\n"
           "  --script FILE                commands to play, checked whole before launch (default: read stdin,\n"
           "                               where a bad line prints its error and the session goes on); a FIFO\n"
           "                               is waited on for a writer, as stderr says\n"
           "  --echo                       print a `command` line before the events of each command\n"
           "  --launch-arg ARG             pass ARG to the app's process arguments, e.g. -ZDVDebugEnabled\n"
           "                               (repeatable)\n"
           "  --delegate CLASSNAME         the application delegate class (default " +
           std::string(kDefaultDelegateClass) +
           ", the shell);\n"
           "                               " +
           kMinimalDelegateClass +
           " is the host's minimal app, which opens any URL\n"
           "  --start-url URL              the minimal app's first page (with --delegate " +
           kMinimalDelegateClass +
           ";\n"
           "                               default: Info.plist " +
           kStartURLInfoKey +
           ")\n"
           "  --settle-ms MS               quiet time that counts as idle after a command, 0 to 60000 (default "
           "250);\n"
           "                               work the app set to run within 1 s of the last event is waited for too\n"
           "  --settle-timeout SECONDS     the longest wait for idle after a command (default 15); a wait that\n"
           "                               runs out prints settle.timeout with what was still going on\n"
           "  --location-permission STATUS the user's location answer at start: not-determined (default),\n"
           "                               restricted, denied, always or when-in-use\n"
           "  --location LAT,LONG[,HACC,VACC]   where the device is (accuracies in metres, default 5)\n"
           "  --payments allowed|disallowed   whether the device allows in-app payments (default allowed)\n"
           "  --without CoreLocation|StoreKit  the device lacks that framework (repeatable)\n"
           "  --extension-budget SECONDS   the time a notification service extension gets (default 30)\n"
           "  --push-token-delay SECONDS   the push token comes this long after the app asked for it (device\n"
           "                               time: on --clock manual, by 'wait'), as on a phone offline at launch\n"
           "                               (default 0: at once)\n"
           "  --help                       this text\n"
           "\n"
           "demo: starts the demo intranet site, the push service, the kit service and the diagnostics log\n"
           "service on loopback, launches the app with a bundled configuration, plays a scripted tour (each\n"
           "command echoed) and checks what it printed, the app core's one diagnostics upload included (exit 0\n"
           "when all was seen).\n"
           "\n"
           "commands (one per line; blank lines and lines starting with # are skipped):\n" +
           commandUsageText() +
           "\n"
           "event lines, {\"event\": NAME, ...fields} (docs/events.md says when each is printed; lines of the\n"
           "notification service extension's own process carry \"process\":\"extension\"):\n" +
           eventUsageText() +
           "\n"
           "exit status: 0 fine; 1 the bundle's Info.plist is missing or unreadable, launch failed, or a\n"
           "completion handler was called twice or never;\n"
           "2 bad flag or command, the device root is in use or cannot be locked, the bundle cannot be copied\n"
           "into it, or the minimal app has no start URL; 3 a command could not be carried out;\n"
           "4 a file's latest write had not reached the disk when the run ended (storage.unsaved);\n"
           "130 or 143 the run was ended by Ctrl-C (SIGINT) or SIGTERM. Every run's last line on stdout is\n"
           "`exit`, a refused or interrupted one's too, but for one ended by a second signal (or not 10 s after\n"
           "the first) and a `crash` run, which end by their signal.\n";
}

}  // namespace tesmar_host
