#pragma once
// A fresh device root per test: made with mkdtemp, set as PlatformConfig's deviceRoot, removed afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PlatformConfig.h"

namespace platform::testing {

class DeviceRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tesmar-device-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        previous = PlatformConfig::current();
        PlatformConfig::update([&](PlatformSettings& s) { s.deviceRoot = root; });
        Bundle::setMainBundlePath("");
    }
    void TearDown() override {
        PlatformConfig::set(previous);
        Bundle::setMainBundlePath("");
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }

    std::string root;
    PlatformSettings previous;
};

}  // namespace platform::testing
