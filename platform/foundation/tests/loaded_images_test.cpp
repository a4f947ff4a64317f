// The loaded-image names the device feeds to the process facts: real shared objects mapped to the
// device's own paths, the app's executable first, the played system frameworks after.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "testing/TemporaryDeviceRoot.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class LoadedImagesTest : public ::testing::Test {
protected:
    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {}};
    const std::string bundle = device.path() + "/Bundle";
    void SetUp() override {
        fs::create_directories(bundle);
        ASSERT_TRUE(plist::writeFile(Value::dictionary({{"CFBundleExecutable", "Intranet"}}), bundle + "/Info.plist"));
    }
};

TEST_F(LoadedImagesTest, SharedObjectsAreNamedAsTheDeviceNamesThem) {
    const std::string app = deviceBundlePath();
    const struct {
        std::string path;
        std::optional<std::string> expected;
    } cases[] = {
        {"/lib/x86_64-linux-gnu/libc.so.6", "/usr/lib/libc.so.6"},
        {"/opt/vendor/lib/libkit.so", "/usr/lib/libkit.so"},
        {bundle + "/Frameworks/Kit.framework/Kit", app + "/Frameworks/Kit.framework/Kit"},
        {bundle + "/./Frameworks/../Frameworks/Kit.framework/Kit", app + "/Frameworks/Kit.framework/Kit"},
        {bundle + "/../outside/libx.so", "/usr/lib/libx.so"},  // leaves the bundle
        {bundle + "Extra/liby.so", "/usr/lib/liby.so"},        // a neighbour whose name starts alike
        {"linux-vdso.so.1", std::nullopt},                     // no file behind it
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(deviceImageName(c.path, bundle), c.expected) << c.path;
    EXPECT_EQ(deviceImageName("/lib/libz.so.1", ""), "/usr/lib/libz.so.1");
}

TEST_F(LoadedImagesTest, ImagesReachedThroughLinksAreNamedByWhereTheyAre) {
    const std::string app = deviceBundlePath();
    const std::string kit = bundle + "/Frameworks/Kit.framework/Kit";
    fs::create_directories(bundle + "/Frameworks/Kit.framework");
    std::ofstream(kit) << "kit";
    std::ofstream(device.path() + "/libplain.so") << "plain";
    fs::create_directory_symlink(bundle + "/Frameworks", device.path() + "/frameworks-link");
    fs::create_symlink(kit, device.path() + "/libkit-alias.so");
    fs::create_symlink(device.path() + "/libplain.so", bundle + "/Frameworks/libout.so");
    // Links to a neighbour, as the loader's versioned names are.
    std::ofstream(bundle + "/Frameworks/libself.so.1.2") << "self";
    fs::create_symlink("libself.so.1.2", bundle + "/Frameworks/libself.so.1");
    fs::create_symlink("libnb.so.1.0", device.path() + "/libnb.so.1");
    fs::create_symlink(kit, device.path() + "/libnb.so.1.0");
    const struct {
        std::string path;
        std::string expected;
    } cases[] = {
        {device.path() + "/frameworks-link/Kit.framework/Kit",
         app + "/Frameworks/Kit.framework/Kit"},                                      // a linked folder
        {device.path() + "/libkit-alias.so", app + "/Frameworks/Kit.framework/Kit"},  // a linked file
        {bundle + "/Frameworks/libout.so", "/usr/lib/libout.so"},                     // a link leading out
        {device.path() + "/libplain.so", "/usr/lib/libplain.so"},
        {device.path() + "/frameworks-link/libself.so.1", app + "/Frameworks/libself.so.1.2"},
        {device.path() + "/libnb.so.1", app + "/Frameworks/Kit.framework/Kit"},  // a neighbour, then further
        {kit, app + "/Frameworks/Kit.framework/Kit"},
    };
    for (const auto& c : cases) EXPECT_EQ(deviceImageName(c.path, bundle), c.expected) << c.path;
    // The bundle itself reached through a link.
    fs::create_directory_symlink(bundle, device.path() + "/bundle-link");
    EXPECT_EQ(deviceImageName(kit, device.path() + "/bundle-link"), app + "/Frameworks/Kit.framework/Kit");
}

TEST_F(LoadedImagesTest, AnObjectLoadedFromTheBundleKeepsItsPlaceThere) {
    // A real shared object copied into the bundle and opened through a linked folder, as an embedded
    // framework would be: the process list names it inside the app.
    const char* source = "/lib/x86_64-linux-gnu/libanl.so.1";
    if (!fs::exists(source)) GTEST_SKIP() << "no small shared object to copy";
    fs::create_directories(bundle + "/Frameworks/Anl.framework");
    fs::copy_file(source, bundle + "/Frameworks/Anl.framework/Anl");
    fs::create_directory_symlink(bundle + "/Frameworks", device.path() + "/frameworks-link");
    Bundle::setMainBundlePath(bundle);
    void* handle = dlopen((device.path() + "/frameworks-link/Anl.framework/Anl").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto names = deviceLoadedImageNames();
    dlclose(handle);
    Bundle::setMainBundlePath("");
    EXPECT_NE(std::find(names.begin(), names.end(), deviceBundlePath() + "/Frameworks/Anl.framework/Anl"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "/usr/lib/libc.so.6"), names.end());
}

TEST_F(LoadedImagesTest, TheProcessListStartsWithTheAppAndNamesOnlyDevicePaths) {
    auto names = deviceLoadedImageNames();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), deviceBundlePath() + "/Intranet");
    auto has = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) != names.end(); };
    EXPECT_TRUE(has("/usr/lib/libc.so.6"));  // really loaded here
    EXPECT_TRUE(has("/System/Library/Frameworks/UIKit.framework/UIKit"));
    EXPECT_FALSE(has("/System/Library/Frameworks/StoreKit.framework/StoreKit"));  // not on this device
    for (const auto& n : names) {
        EXPECT_EQ(n.front(), '/') << n;
        EXPECT_EQ(n.find(device.path()), std::string::npos) << n;  // no host paths leak through
    }
}

}  // namespace
}  // namespace platform
