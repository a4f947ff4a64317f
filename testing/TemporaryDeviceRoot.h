#pragma once
// A fresh device for one test: a directory made with mkdtemp (with tmp/ and any other folders asked
// for), set as PlatformConfig's device root with the network up; the previous settings come back and
// the directory is removed when it goes.
#include <stdlib.h>

#include <filesystem>
#include <initializer_list>
#include <string>

#include "platform/foundation/PlatformConfig.h"

namespace tesmar_testing {

class TemporaryDeviceRoot {
public:
    explicit TemporaryDeviceRoot(const std::string& prefix = "tesmar-device",
                                 std::initializer_list<const char*> folders = {"tmp"}) {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data())) path_ = pattern;
        for (const char* folder : folders) std::filesystem::create_directories(path_ + "/" + folder);
        saved_ = platform::PlatformConfig::current();
        platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
            s.deviceRoot = path_;
            s.networkUp = true;
        });
    }
    ~TemporaryDeviceRoot() {
        platform::PlatformConfig::set(saved_);
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
