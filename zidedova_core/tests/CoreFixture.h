#pragma once
// A fresh device and a fresh app registry per test, with helpers to write the bundle's plists.
#include <gtest/gtest.h>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"
#include "zidedova_core/ZDVLogger.h"
#include "zidedova_core/ZODOzi.h"
#include "zidedova_core/utilities/tests/LogCapture.h"
#include <fstream>
#include <thread>

namespace zidedova::testing {

inline constexpr const char* kValidAppID = "1:123456789:ios:0a1b2c3d4e5f";

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ProcessInfo::processInfo().setArguments(std::vector<std::string>{"Tesmar"});
        tesmar_testing::resetProcessState();
    }
    void TearDown() override {
        tesmar_testing::resetProcessState();
        platform::ProcessInfo::processInfo().setArguments(std::vector<std::string>{"Tesmar"});
    }

    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {"Bundle"}};
    const std::string root = device.path();

    void writeInfo(platform::ValueDictionary info) {
        if (!info.count("CFBundleIdentifier")) info["CFBundleIdentifier"] = "com.example.tesmar";
        ASSERT_TRUE(platform::plist::writeFile(platform::Value(info), root + "/Bundle/Info.plist").ok());
    }
    void writeOptions(platform::ValueDictionary options) {
        ASSERT_TRUE(
            platform::plist::writeFile(platform::Value(options), root + "/Bundle/ZazeraDazudud-Uvoz.plist").ok());
    }
    static platform::ValueDictionary validOptions() {
        return {{"VODEZU_APP_ID", kValidAppID}, {"BUNDLE_ID", "com.example.tesmar"}, {"API_KEY", "key"}};
    }

    // Records every notification of one name.
    struct Recorder {
        explicit Recorder(const char* name)
            : token(platform::NotificationCenter::defaultCenter().addObserver(
                  std::string(name), nullptr, [this](const platform::Notification& n) { seen.push_back(n); })) {}
        std::vector<platform::Notification> seen;
        platform::NotificationCenter::ObserverToken token;
    };

    LogCapture logs;
};

}  // namespace zidedova::testing
