#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzJailbreakDetection.h"
#include "VezEduduzSDK/Source/VezEduduzMobileProvision.h"
#include "VezEduduzSDK/Source/VezEduduzReachability.h"
#include "platform/foundation/Bundle.h"
#include "platform/systemconfiguration/Reachability.h"
#include "rest_test_support.h"

namespace vezeduduz {
namespace {

namespace Flag = platform::sc::ReachabilityFlag;

TEST(FactsReachability, FlagsGiveTheStatusAndNetType) {
    struct Case {
        uint32_t flags;
        VENetworkStatus status;
        int netType;
    } cases[] = {
        {0, VENetworkStatus::NotReachable, 1},
        {Flag::Reachable, VENetworkStatus::ReachableViaWiFi, 0},
        {Flag::Reachable | Flag::IsWWAN, VENetworkStatus::ReachableViaWWAN, 1},
        {Flag::Reachable | Flag::ConnectionRequired, VENetworkStatus::NotReachable, 1},
        {Flag::Reachable | Flag::ConnectionRequired | Flag::ConnectionOnTraffic, VENetworkStatus::ReachableViaWiFi, 0},
        {Flag::Reachable | Flag::ConnectionRequired | Flag::ConnectionOnDemand | Flag::InterventionRequired,
         VENetworkStatus::NotReachable, 1},
        {Flag::IsWWAN, VENetworkStatus::NotReachable, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(VezEduduzReachability::networkStatusForFlags(c.flags), c.status);
        platform::sc::ReachabilityTestHooks hooks;
        hooks.flagsOverride = c.flags;
        platform::sc::ReachabilityTestHooks::set(hooks);
        EXPECT_EQ(VezEduduzHelper::getNetType(), platform::Value(c.netType));
    }
    platform::sc::ReachabilityTestHooks hooks;
    hooks.flagsUnreadable = true;
    platform::sc::ReachabilityTestHooks::set(hooks);
    auto reachability = VezEduduzReachability::reachabilityForInternetConnection();
    ASSERT_TRUE(reachability);
    EXPECT_EQ(reachability->currentReachabilityStatus(), VENetworkStatus::NotReachable);
    EXPECT_FALSE(reachability->connectionRequired());
    platform::sc::ReachabilityTestHooks::reset();

    EXPECT_EQ(VezEduduzReachability::localWiFiStatusForFlags(Flag::Reachable | Flag::IsDirect),
              VENetworkStatus::ReachableViaWiFi);
    EXPECT_EQ(VezEduduzReachability::localWiFiStatusForFlags(Flag::Reachable), VENetworkStatus::NotReachable);
}

const char* kProfileHead = "0\x82\x1f\x01signed-envelope\xff\xfe ";
std::string profileWith(const std::string& dict) {
    return std::string(kProfileHead) + "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>" +
           dict + "</dict>\n</plist>\n\x01\x02trailing-signature";
}

TEST(FactsMobileProvision, ReleaseModeFromTheEmbeddedProfile) {
    struct Case {
        std::string name;
        std::optional<std::string> profile;  // nullopt: no file
        VEReleaseMode mode;
        size_t errorLines;
    } cases[] = {
        {"no profile", std::nullopt, VEReleaseMode::store, 0},
        {"development",
         profileWith("<key>Entitlements</key><dict><key>aps-environment</key><string>development</string></dict>"),
         VEReleaseMode::development, 0},
        {"production entitlement",
         profileWith("<key>Entitlements</key><dict><key>aps-environment</key><string>production</string></dict>"),
         VEReleaseMode::store, 0},
        {"enterprise", profileWith("<key>ProvisionsAllDevices</key><true/>"), VEReleaseMode::enterprise, 0},
        {"entitlements of the wrong type", profileWith("<key>Entitlements</key><string>x</string>"),
         VEReleaseMode::store, 0},
        {"no end marker", std::string(kProfileHead) + "<plist version=\"1.0\"><dict></dict>",
         VEReleaseMode::undetermined, 1},
        {"no start marker", "just bytes", VEReleaseMode::undetermined, 1},
        {"broken plist", std::string(kProfileHead) + "<plist><dict><key>a</key></plist>", VEReleaseMode::undetermined,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::DeviceRoot device;
        testsupport::RecordingLog log;
        VezEduduzMobileProvision::resetCache();
        if (c.profile)
            std::ofstream(device.path() + "/Bundle/embedded.mobileprovision", std::ios::binary) << *c.profile;
        EXPECT_EQ(VezEduduzMobileProvision::releaseMode(), c.mode);
        EXPECT_EQ(log.count(VELogLevel::error, ""), c.errorLines);
        if (!c.profile) {
            EXPECT_EQ(log.count(VELogLevel::debug, "mobileProvision: {"), 1u);
        }
    }
    VezEduduzMobileProvision::resetCache();
}

TEST(FactsJailbreak, ProbesLookInsideTheDeviceRootOnly) {
    {
        // The Linux host has /bin/bash; a clean device root must still read as unmodified.
        testsupport::DeviceRoot device;
        EXPECT_FALSE(VezEduduzJailbreakDetection::isJailbroken());
    }
    for (const auto& path : VezEduduzJailbreakDetection::probedPaths()) {
        SCOPED_TRACE(path);
        testsupport::DeviceRoot device;
        auto hostPath = device.path() + path;
        std::filesystem::create_directories(std::filesystem::path(hostPath).parent_path());
        std::ofstream(hostPath) << "x";
        EXPECT_TRUE(VezEduduzJailbreakDetection::isJailbroken());
    }
    {
        // Current systems never write the probe file.
        testsupport::DeviceRoot device;
        std::filesystem::create_directories(device.path() + "/private");
        EXPECT_FALSE(VezEduduzJailbreakDetection::isJailbroken());
        EXPECT_FALSE(std::filesystem::exists(device.path() + "/private/jailbreak.txt"));
        // Before 9.0 a writable /private means a modified device.
        platform::PlatformConfig::update([](auto& s) { s.systemVersion = {8, 4, 0}; });
        EXPECT_TRUE(VezEduduzJailbreakDetection::isJailbroken());
        std::filesystem::remove_all(device.path() + "/private");
        EXPECT_FALSE(VezEduduzJailbreakDetection::isJailbroken());  // no app to ask about the package URL
    }
}

}  // namespace
}  // namespace vezeduduz
