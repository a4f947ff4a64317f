#pragma once
// Device: the phone the app runs on (the current-device object). Answers come from the device facts of
// this run, read at each call, so a test or the host may change them between calls. Safe from any thread.
//
// identifierForVendor: one UUID per vendor, shared by every app of that vendor on this device and kept
// across launches. The vendor is the bundle identifier without its last dot component
// ("com.tesmar.intranet" -> "com.tesmar"; an identifier without a dot is its own vendor). The UUIDs live
// in <device root>/Library/Device/VendorIdentifiers.plist ({vendor: UUID string}); a write the disk refuses
// is kept in memory (and answered from there) and tried again until it lands. Absent (nullopt) when the
// device withholds it, when the main bundle has no identifier, or when the device is not booted.
#include <optional>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/UUID.h"

namespace platform::uikit {

class Device {
public:
    static Device& currentDevice();

    // "iPhone", "iPad" or "iPod touch", from the hardware model ("iPhone" in the simulator).
    std::string model() const;
    std::string systemName() const { return "iOS"; }
    // "17.0", "10.3.1"
    std::string systemVersion() const;
    // The name the user gave the phone.
    std::string name() const;
    std::optional<UUID> identifierForVendor() const;

    // The vendor of a bundle identifier (see above); "" for "".
    static std::string vendorOf(const std::string& bundleIdentifier);

private:
    Device() = default;
    mutable dispatch::Mutex mutex_;  // one read-modify-write of the identifier file at a time
};

}  // namespace platform::uikit
