#pragma once
// Verira: the kit platform's process-wide object. with() takes the app's kit classes (runtime
// classes conforming to the "VRRKit" protocol) and starts each kit once.
//
// What this carries today: the first-call rule, the API key from the Info.plist "Verira" dictionary
// (key "APIKey"), the kit check, the implied event kit, and each kit's +initializeIfNeeded. Settings
// download, app onboarding and the installation/execution identifiers are not here yet.
//
// Thread-safe: with() may be called from any thread; kits are started on the calling thread.
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/objc/Runtime.h"

namespace verira {

inline constexpr const char* kKitProtocolName = "VRRKit";
inline constexpr const char* kEventKitClassName = "Vizized";
inline constexpr const char* kInfoPlistKey = "Verira";
inline constexpr const char* kAPIKeyKey = "APIKey";
inline constexpr const char* kMultipleCallsMessage =
    "[Verira] [Verira +with] called multiple times. Only the first call is honored, please pass all kits you wish "
    "to initialize";

// Raised by with() when a class given to it is not a kit.
class VRRException : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The kit protocol. Runtime class methods of a kit: +bundleIdentifier, +kitDisplayVersion and
// +kitBuildVersion (each std::string()), +initializeIfNeeded (void()).
const platform::objc::Protocol* kitProtocol();
bool isKit(platform::objc::Class* cls);

class Verira {
public:
    // The shared object (made on first use).
    static std::shared_ptr<Verira> sharedSDK();
    // Starts the kits; only the first call in a process does anything (see above).
    static std::shared_ptr<Verira> with(const std::vector<platform::objc::Class*>& kitClasses);
    // Calls the kit's +initializeIfNeeded.
    static void initializeKit(platform::objc::Class* kit);

    std::optional<std::string> APIKey() const;
    std::vector<platform::objc::Class*> kits() const;

private:
    mutable std::mutex mutex_;
    bool called_ = false;
    std::optional<std::string> apiKey_;
    std::vector<platform::objc::Class*> kits_;
};

// Registers the "VRRKit" protocol. Idempotent; with() calls it too.
void registerClasses();

}  // namespace verira
