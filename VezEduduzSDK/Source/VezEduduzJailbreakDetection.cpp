#include "VezEduduzSDK/Source/VezEduduzJailbreakDetection.h"

#include <fcntl.h>

#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/uikit/Application.h"

namespace vezeduduz {

const std::vector<std::string>& VezEduduzJailbreakDetection::probedPaths() {
    static const std::vector<std::string> paths = {
        "/Applications/Cydia.app",
        "/Library/MobileSubstrate/MobileSubstrate.dylib",
        "/bin/bash",
        "/usr/sbin/sshd",
        "/etc/apt",
        "/usr/bin/ssh",
    };
    return paths;
}

bool VezEduduzJailbreakDetection::isJailbroken() {
    auto& files = platform::FileManager::defaultManager();
    // No device root, nothing to probe: the host's own files say nothing about the phone.
    if (files.devicePath("/").empty()) return false;
    // Opened as the file manager opens files, never waiting on a FIFO nor opening a device: what it refuses
    // (those, a folder) is found all the same by the existence test that follows.
    for (const auto& path : probedPaths())
        if (files.openFile(files.devicePath(path), O_RDONLY)) return true;
    for (const auto& path : probedPaths()) {
        if (files.fileExists(files.devicePath(path))) return true;
    }
    // Later systems keep applications out of these places; the write probe only means something before.
    if (VezEduduzHelper::isIOSVersionGreaterOrEqual(9.0f)) return false;
    auto probe = files.devicePath(kWriteProbePath);
    if (files.writeAtomically(probe, std::string_view(".")).ok()) return true;
    (void)files.removeItem(probe);  // nothing was written: nothing to clear up
    bool canOpen = false;
    VezEduduzHelper::runOnMainThread([&] {
        auto app = platform::uikit::Application::shared();
        auto url = platform::URL::string(kPackageManagerURL);
        canOpen = app && url && app->canOpenURL(*url);
    });
    return canOpen;
}

}  // namespace vezeduduz
