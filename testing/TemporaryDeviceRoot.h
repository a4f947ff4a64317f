#pragma once
// A fresh device for one test: a directory made with mkdtemp under the system's temporary directory
// (with tmp/ and any other folders asked for), set as PlatformConfig's device root with the network up,
// and no main bundle path set, so the main bundle is the device's Bundle/. When it goes, the writes still
// waiting or kept for a retry are made or dropped (none outlives its device to be retried into a folder
// that is gone, on the next test's clock), the previous settings come back, the main bundle path is
// cleared and the directory is removed. Hold one as a fixture member (declared first, so it goes last)
// or as a local; main thread.
#include <stdlib.h>

#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/ResetRegistry.h"

namespace tesmar_testing {

class TemporaryDeviceRoot {
public:
    explicit TemporaryDeviceRoot(const std::string& prefix = "tesmar-device",
                                 std::initializer_list<const char*> folders = {"tmp"}) {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a device directory from " + pattern);
        path_ = pattern;
        for (const char* folder : folders) std::filesystem::create_directories(path_ + "/" + folder);
        saved_ = platform::PlatformConfig::current();
        platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
            s.deviceRoot = path_;
            s.networkUp = true;
        });
        platform::Bundle::setMainBundlePath("");
    }
    ~TemporaryDeviceRoot() {
        platform::PendingWrites::flushAll();
        platform::ResetRegistry::run({"foundation.pending-writes"});
        platform::PlatformConfig::set(saved_);
        platform::Bundle::setMainBundlePath("");
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TemporaryDeviceRoot(const TemporaryDeviceRoot&) = delete;
    TemporaryDeviceRoot& operator=(const TemporaryDeviceRoot&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    platform::PlatformSettings saved_;
};

}  // namespace tesmar_testing
