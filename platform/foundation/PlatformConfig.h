#pragma once
// PlatformConfig: the device facts of this run, in one place that tests and the host set.
// Every read takes a snapshot under a lock, so any thread may read while the host flips the network.
// Listeners hear about network changes on the thread that made the change (reachability re-posts them
// on its own queue).
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/OperatingSystemVersion.h"

namespace platform {

struct PlatformSettings {
    OperatingSystemVersion systemVersion;    // the phone's system version
    std::string deviceModel = "iPhone10,3";  // hardware model identifier
    std::string deviceName = "Tesmar Phone";
    std::string processName = "Tesmar";
    std::set<std::string> optionalFrameworks;  // names of optional frameworks present
    std::string deviceRoot;                    // the device directory; empty means "not booted"
    bool networkUp = true;
    // "host:port" -> "127.0.0.1:port": fixed host names reach local servers.
    std::map<std::string, std::string> connectTo;
    // "127.0.0.1:port": the DNS server network-service lookups ask; empty means the system's.
    std::string dnsServer;
    std::vector<std::string> extraTrustedRootsPEM;  // PEM files trusted beside the system store
    std::string preferredLanguages = "en-US";       // comma-separated, most preferred first
    // Remote-notification registration answer: a device token, or an error when empty.
    std::vector<uint8_t> deviceToken = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                                        0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};
    // Seconds on the shared clock between asking for the token and that answer (0: at once, on the next
    // main-loop turn); a phone that cannot reach the push service at launch answers late.
    double deviceTokenDelay = 0;
    // Notification permission the simulated user gives when asked: "granted", "denied" or "provisional".
    std::string notificationAuthorizationAnswer = "granted";
    // Whether the device hands out identifiers for vendors (the phone withholds them e.g. before the first
    // unlock after a restart).
    bool identifierForVendorAvailable = true;
};

class PlatformConfig {
public:
    static PlatformSettings current();
    static void set(PlatformSettings settings);
    static void update(const std::function<void(PlatformSettings&)>& change);

    // Shortcuts over current().
    static bool networkUp();
    static void setNetworkUp(bool up);  // tells the network listeners when the value changes
    static OperatingSystemVersion systemVersion();
    static std::string deviceRoot();
    static std::string processName();
    // Where connections for "host:port" go instead ("127.0.0.1:port"), if mapped.
    static std::optional<std::string> connectTarget(const std::string& hostAndPort);

    // Listener for network up/down changes; returns an id for removal.
    static int addNetworkListener(std::function<void(bool up)> listener);
    static void removeNetworkListener(int id);
};

}  // namespace platform
