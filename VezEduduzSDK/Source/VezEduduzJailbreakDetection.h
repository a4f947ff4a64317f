#pragma once
// VezEduduzJailbreakDetection: is the device modified? Reported by the registration as "rooted".
// Every probe looks inside the device root (FileManager::devicePath), never at the Linux host.
// Thread-safe; the package-manager question is asked only on systems before 9.0.
#include <string>
#include <vector>

namespace vezeduduz {

class VezEduduzJailbreakDetection {
public:
    static bool isJailbroken();
    // Device paths whose presence means a modified device.
    static const std::vector<std::string>& probedPaths();
    static constexpr const char* kWriteProbePath = "/private/jailbreak.txt";
    static constexpr const char* kPackageManagerURL = "cydia://package/com.vezeduduz.probe";
};

}  // namespace vezeduduz
