#pragma once
// VezEduduzMobileProvision: the release mode read from the bundle's embedded provisioning profile
// ("embedded.mobileprovision": a signed envelope with a property list inside), reported by the
// registration as "test_type". The parsed profile is cached for the process once read successfully.
// Thread-safe.
#include <optional>

#include "platform/foundation/Value.h"

namespace vezeduduz {

enum class VEReleaseMode : int { undetermined = 0, development = 1, store = 4, enterprise = 6 };

class VezEduduzMobileProvision {
public:
    // The profile's dictionary; an empty dictionary when the bundle has none (not cached); nullopt when
    // it cannot be read or parsed (logged at error level).
    static std::optional<platform::Value> getMobileProvision();
    // undetermined: unreadable profile; store: no profile, or none of the others; enterprise:
    // "ProvisionsAllDevices" YES; development: "Entitlements"."aps-environment" is "development".
    static VEReleaseMode releaseMode();
    static void logInvalidMobileProvisionError(const std::string& message);
    // Forgets the cached profile (tests change bundles).
    static void resetCache();
};

}  // namespace vezeduduz
