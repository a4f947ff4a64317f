#pragma once
// VezEduduzLocation: attaches the device's position to the player on the push service. It asks the
// platform's location manager (looked up by the name "CLLocationManager" and called by selector: an app
// without location support still runs) for one fix per start, keeps the last fix, and sends it at once,
// then every 300 s while the app is active and every 585 s in the background.
//
// Entry points: start-up calls getLocation(false) (no prompt; it waits 2 s first), the facade's
// promptLocation calls getLocation(true), the life-cycle hooks call onfocus(), the registration reads
// lastLocation() for its body, clears it once registered and then calls sendLocation().
//
// Nothing is collected or sent while the facade's locationShared is off or privacy consent is missing.
// Threads: main loop, except lastLocation()/clearLastLocation(), which any thread may call.
#include <cstdint>
#include <optional>

#include "VezEduduzSDK/Source/VERequests.h"

namespace vezeduduz {

class VezEduduzLocation {
public:
    static constexpr double kStartDelay = 2.0;
    static constexpr double kActiveInterval = 300.0;
    static constexpr double kBackgroundInterval = 585.0;
    static constexpr const char* kMissingDescriptionMessage =
        "Include a privacy NSLocationAlwaysUsageDescription or NSLocationWhenInUseUsageDescription in your "
        "info.plist to request location permissions.";

    // prompt: ask the user for permission when they have not answered yet.
    static void getLocation(bool prompt);
    static void internalGetLocation(bool prompt);
    static void sendLocation();
    static void resetSendTimer();
    // becomingActive: the app came to the front (true) or went to the background (false).
    static void onfocus(bool becomingActive);

    // A fix and the number it was taken under (to clear only the fix a registration carried).
    struct Fix {
        VELocationRecord record;
        uint64_t number = 0;
    };
    static std::optional<Fix> lastLocation();
    static void clearLastLocation();
    // Forgets the fix numbered `number` only when no newer fix replaced it.
    static void clearLastLocation(uint64_t number);

    // The pending send timer's time left on the shared clock; nullopt when there is none (tests).
    static std::optional<double> timeLeftOnSendTimer();
    static bool holdsBackgroundTask();
};

}  // namespace vezeduduz
