#pragma once
// The command line of tesmar-sim. Parsing never exits or prints: it answers the options or a message
// naming the bad flag, so main() and tests decide what to do with it.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/corelocation/CoreLocation.h"
#include "platform/foundation/PlatformConfig.h"

namespace tesmar_host {

struct Options {
    std::string bundle;      // --bundle DIR (required unless --help)
    std::string deviceRoot;  // --device-root DIR; empty: a fresh temporary device, removed at exit
    std::optional<platform::OperatingSystemVersion> systemVersion;  // --system-version V
    std::map<std::string, std::string> connectTo;                   // --connect-to HOST:PORT=127.0.0.1:PORT
    std::vector<std::string> trustedRootsPEM;                       // --ca PEM (repeatable)
    bool networkUp = true;                                          // --network up|down
    bool manualClock = false;                                       // --clock manual|real
    // --web-engine real|headless; unset: headless (the demo: real when the machine can run it)
    std::optional<std::string> webEngine;
    bool identifierForVendor = true;   // --identifier-for-vendor on|off
    std::string script;                // --script FILE; empty: stdin
    bool echo = false;                 // --echo: a "command" line before each command's events (demo: always)
    std::string delegateClass;         // --delegate CLASSNAME
    std::string startURL;              // --start-url URL (minimal app)
    double settleQuietSeconds = 0.25;  // --settle-ms: no event for this long means the app went idle
    // --settle-timeout SECONDS: the longest wait after one command, and for a device root another host holds
    double settleTimeoutSeconds = 15;
    // --location-permission STATUS: the user's location answer at start
    platform::corelocation::AuthorizationStatus locationPermission =
        platform::corelocation::AuthorizationStatus::NotDetermined;
    std::optional<platform::corelocation::Position> location;  // --location LAT,LONG[,HACC,VACC]
    bool paymentsAllowed = true;                               // --payments allowed|disallowed
    std::set<std::string> without;  // --without CoreLocation|StoreKit (repeatable): frameworks the device lacks
    bool help = false;
    bool demo = false;                         // "tesmar-sim demo": the built-in demo site and tour
    std::vector<std::string> arguments;        // argv as given
    std::vector<std::string> launchArguments;  // --launch-arg ARG (repeatable)
    // What the app's process sees as its arguments: the program, then the launch arguments.
    std::vector<std::string> processArguments() const;
    double extensionBudget = 30;  // --extension-budget SECONDS: a service extension's time
    double pushTokenDelay = 0;    // --push-token-delay SECONDS: the push token's answer comes this late
    // "tesmar-sim extension": the service-extension process the host starts itself (see host/Extension.h).
    bool extension = false;
    std::string extensionPayload;          // --payload JSON
    std::optional<double> wallClockStart;  // --wall-clock SECONDS since 1970: a fixed device wall clock
};

struct ParsedOptions {
    std::optional<Options> options;
    std::string error;  // set when options is empty
};

// The delegate class used when --delegate is not given.
inline constexpr const char* kDefaultDelegateClass = "AppDelegate";

ParsedOptions parseOptions(const std::vector<std::string>& argv);
// The --help text: flags and script commands.
std::string usageText();

}  // namespace tesmar_host
