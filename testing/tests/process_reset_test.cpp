#include "testing/ProcessReset.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/uikit/Application.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

using platform::ResetRegistry;

// The registry lives for the process: each test adds entries under its own prefix and looks only at
// what those did.
std::vector<std::string> ran;

void addLogged(const std::string& name) {
    ResetRegistry::add(name, [name] { ran.push_back(name); });
}

std::vector<std::string> ranWithPrefix(const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& name : ran)
        if (name.rfind(prefix, 0) == 0) out.push_back(name);
    return out;
}

TEST(ProcessReset, RunsNewestFirstAndKeepsTheFirstPlaceOfANameAddedAgain) {
    ran.clear();
    addLogged("order.a");
    addLogged("order.b");
    ResetRegistry::add("order.a", [] { ran.push_back("order.a again"); });  // built again after a reset
    addLogged("order.c");

    tesmar_testing::resetProcessState();
    EXPECT_EQ(ranWithPrefix("order."), (std::vector<std::string>{"order.c", "order.b", "order.a"}));

    ran.clear();
    tesmar_testing::resetProcessState({"order.a", "order.c", "order.unknown"});
    EXPECT_EQ(ranWithPrefix("order."), (std::vector<std::string>{"order.c", "order.a"}));
}

TEST(ProcessReset, ASingletonBuiltByAResetWaitsForTheNextRun) {
    // Names of their own each time the test runs: entries stay in the registry for the process.
    static int round = 0;
    const std::string prefix = "nested" + std::to_string(++round) + ".";
    const std::string outer = prefix + "outer", inner = prefix + "inner";
    ran.clear();
    // A reset that builds another singleton, as a reset that logs may build the logger: no dead lock,
    // and the new one (already in its first state) is left alone this time.
    ResetRegistry::add(outer, [outer, inner] {
        ran.push_back(outer);
        addLogged(inner);
    });
    tesmar_testing::resetProcessState();
    EXPECT_EQ(ranWithPrefix(prefix), (std::vector<std::string>{outer}));

    ran.clear();
    tesmar_testing::resetProcessState();
    EXPECT_EQ(ranWithPrefix(prefix), (std::vector<std::string>{inner, outer}));
}

TEST(ProcessReset, TheWholeResetDropsThePlatformsSharedObjectsAndANamedOneKeepsThem) {
    tesmar_testing::TemporaryDeviceRoot device("process-reset", {"Bundle", "Other"});
    auto app = std::make_shared<platform::uikit::Application>();
    platform::uikit::Application::installShared(app);
    platform::Bundle::setMainBundlePath(device.path() + "/Other");

    tesmar_testing::resetProcessState({"order.a"});
    EXPECT_EQ(platform::uikit::Application::shared(), app);
    EXPECT_EQ(platform::Bundle::mainBundle()->bundlePath(), device.path() + "/Other");

    tesmar_testing::resetProcessState();
    EXPECT_EQ(platform::uikit::Application::shared(), nullptr);
    EXPECT_EQ(platform::Bundle::mainBundle()->bundlePath(), device.path() + "/Bundle");
}

TEST(TemporaryDeviceRoot, IsTheDeviceWhileItLivesAndLeavesNothingBehind) {
    platform::PlatformConfig::setNetworkUp(false);
    std::string path;
    {
        tesmar_testing::TemporaryDeviceRoot device("device-root", {"Bundle", "tmp"});
        path = device.path();
        EXPECT_EQ(platform::PlatformConfig::deviceRoot(), path);
        EXPECT_TRUE(platform::PlatformConfig::networkUp());
        EXPECT_TRUE(std::filesystem::is_directory(path + "/Bundle"));
        EXPECT_TRUE(std::filesystem::is_directory(path + "/tmp"));
        platform::Bundle::setMainBundlePath(path + "/tmp");
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(platform::PlatformConfig::networkUp());
    EXPECT_NE(platform::PlatformConfig::deviceRoot(), path);
    EXPECT_NE(platform::Bundle::mainBundle()->bundlePath(), path + "/tmp");
    platform::PlatformConfig::setNetworkUp(true);
}

}  // namespace
