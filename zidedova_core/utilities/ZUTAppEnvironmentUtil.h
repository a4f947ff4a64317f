#pragma once
// Facts about the running installation, answered from the device (process info, the device object,
// the system identification and the main bundle).
// Every operation is safe from any thread and reads the device's current state.
//
// There are no Mach-O images here, so the executable-encryption flag is always NO: an installation is
// an App Store install exactly when the bundle carries the "SC_Info" folder (and it is not a simulator
// or a sandbox-receipt build).
#include <optional>
#include <string>

namespace zidedova {

class ZUTAppEnvironmentUtil {
public:
    static bool isFromAppStore();
    static bool isAppStoreReceiptSandbox();
    static bool isSimulator();
    static bool isAppExtension();
    // The hardware model identifier ("x86_64" or "i386" in the simulator).
    static std::optional<std::string> deviceModel();
    // "17.0"
    static std::string systemVersion();
};

}  // namespace zidedova
