#pragma once
// Verira: the kit platform's process-wide object. with() takes the app's kit classes (runtime
// classes conforming to the "VRRKit" protocol) and starts each kit once.
//
// The first call, once: reads the API key from the Info.plist "Verira" dictionary (key "APIKey";
// without one nothing starts), checks that each class is a kit, adds the implied event kit, makes the
// execution identifier and loads (or makes) the installation identifier (Identifiers.h). Then, only
// when automatic data collection is enabled, it starts each kit through +initializeIfNeeded and hands
// the settings download and app registration to the SettingsController (KitSettings.h), which works
// on its own queue. With data collection off no kit starts and nothing is sent.
//
// Automatic data collection is on unless the app's Info.plist turns it off: "Verira" dictionary, key
// "AutomaticDataCollectionEnabled" set to false (a value that is not a boolean counts as off too,
// since the app evidently meant to say something about it).
//
// Thread-safe: with() may be called from any thread; kits are started on the calling thread.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit_platform/KitService.h"
#include "kit_platform/KitSettings.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/objc/Runtime.h"

namespace verira {

inline constexpr const char* kKitProtocolName = "VRRKit";
inline constexpr const char* kEventKitClassName = "Vizized";
inline constexpr const char* kInfoPlistKey = "Verira";
inline constexpr const char* kAPIKeyKey = "APIKey";
inline constexpr const char* kDataCollectionKey = "AutomaticDataCollectionEnabled";
inline constexpr const char* kMultipleCallsMessage =
    "[Verira] [Verira +with] called multiple times. Only the first call is honored, please pass all kits you "
    "wish "
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
    // Empty until the first call with an API key.
    std::string installationIdentifier() const;
    std::string executionIdentifier() const;
    bool isDataCollectionEnabled() const;
    // The kit settings in use (null until known).
    platform::Value settings() const;
    // The kit service, for the kits (null until the first call with an API key).
    std::shared_ptr<KitServiceClient> serviceClient() const;
    std::shared_ptr<SettingsController> settingsController() const;

    // From the Info.plist (see above).
    static bool automaticDataCollectionEnabled();

private:
    mutable platform::dispatch::Mutex mutex_;
    bool called_ GUARDED_BY(mutex_) = false;
    std::optional<std::string> apiKey_ GUARDED_BY(mutex_);
    std::vector<platform::objc::Class*> kits_ GUARDED_BY(mutex_);
    std::string installationIdentifier_ GUARDED_BY(mutex_);
    std::string executionIdentifier_ GUARDED_BY(mutex_);
    bool dataCollectionEnabled_ GUARDED_BY(mutex_) = false;
    std::shared_ptr<KitServiceClient> client_ GUARDED_BY(mutex_);
    std::shared_ptr<SettingsController> settings_ GUARDED_BY(mutex_);
};

// Registers the "VRRKit" protocol. Idempotent; with() calls it too.
void registerClasses();

}  // namespace verira
