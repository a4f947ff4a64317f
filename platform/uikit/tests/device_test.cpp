// The current-device object: its facts and the vendor identifier kept on the device.
#include <set>
#include <thread>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/uikit/tests/UIKitTestSupport.h"
#include "testing/FullDisk.h"

namespace uikit_test {
namespace {

class DeviceTest : public UIKitTest {
protected:
    // Installs (or updates) the app with this bundle identifier, as a new launch would see it.
    void launchApp(const char* bundleIdentifier) {
        writeInfo(Value::dictionary({{kCFBundleIdentifierKey, bundleIdentifier}}));
    }
    std::string identifiersFile() {
        return *FileManager::defaultManager().directory(SearchPathDirectory::Library) +
               "/Device/VendorIdentifiers.plist";
    }
    Device& device = Device::currentDevice();
};

TEST_F(DeviceTest, FactsComeFromTheDevice) {
    struct Case {
        const char* hardware;
        const char* model;
    } cases[] = {
        {"iPhone10,3", "iPhone"}, {"iPad8,1", "iPad"}, {"iPod9,1", "iPod touch"}, {"x86_64", "iPhone"}, {"", "iPhone"},
    };
    for (const auto& c : cases) {
        PlatformConfig::update([&](PlatformSettings& s) { s.deviceModel = c.hardware; });
        EXPECT_EQ(device.model(), c.model) << c.hardware;
    }
    PlatformConfig::update([](PlatformSettings& s) {
        s.systemVersion = {10, 3, 1};
        s.deviceName = "Front Desk";
    });
    EXPECT_EQ(device.systemName(), "iOS");
    EXPECT_EQ(device.systemVersion(), "10.3.1");
    EXPECT_EQ(device.name(), "Front Desk");
    EXPECT_EQ(&Device::currentDevice(), &device);
}

TEST_F(DeviceTest, VendorIsTheBundleIdentifierWithoutItsLastPart) {
    struct Case {
        const char* bundle;
        const char* vendor;
    } cases[] = {
        {"com.tesmar.intranet", "com.tesmar"},
        {"com.tesmar.intranet.widget", "com.tesmar.intranet"},
        {"tesmar", "tesmar"},
        {"com.", "com"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Device::vendorOf(c.bundle), c.vendor) << c.bundle;
}

TEST_F(DeviceTest, OneIdentifierPerVendorKeptAcrossLaunches) {
    launchApp("com.tesmar.intranet");
    auto first = device.identifierForVendor();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->version(), 4);

    // A later launch, and another app of the same vendor, see the same identifier.
    launchApp("com.tesmar.intranet");
    EXPECT_EQ(device.identifierForVendor(), first);
    launchApp("com.tesmar.directory");
    EXPECT_EQ(device.identifierForVendor(), first);

    // Another vendor gets its own, and the first vendor's stays as it was.
    launchApp("org.example.mail");
    auto other = device.identifierForVendor();
    ASSERT_TRUE(other);
    EXPECT_NE(other, first);
    launchApp("com.tesmar.intranet");
    EXPECT_EQ(device.identifierForVendor(), first);
}

TEST_F(DeviceTest, IdentifierIsAbsentWhenTheDeviceCannotGiveOne) {
    launchApp("com.tesmar.intranet");
    auto kept = device.identifierForVendor();
    ASSERT_TRUE(kept);

    PlatformConfig::update([](PlatformSettings& s) { s.identifierForVendorAvailable = false; });
    EXPECT_FALSE(device.identifierForVendor());
    PlatformConfig::update([](PlatformSettings& s) { s.identifierForVendorAvailable = true; });
    EXPECT_EQ(device.identifierForVendor(), kept) << "withholding it does not replace it";

    writeInfo(Value::dictionary());  // no bundle identifier
    EXPECT_FALSE(device.identifierForVendor());

    launchApp("com.tesmar.intranet");
    auto root = PlatformConfig::current().deviceRoot;
    PlatformConfig::update([](PlatformSettings& s) { s.deviceRoot.clear(); });  // not booted
    EXPECT_FALSE(device.identifierForVendor());
    PlatformConfig::update([&](PlatformSettings& s) { s.deviceRoot = root; });
    EXPECT_EQ(device.identifierForVendor(), kept);
}

// A full disk at the first launch: the identifier is answered, kept in memory (the same at every call
// of the run) and written once there is room.
TEST_F(DeviceTest, AnIdentifierTheDiskRefusedIsKeptAndWrittenOnceThereIsRoom) {
    launchApp("com.tesmar.intranet");
    std::optional<UUID> made;
    {
        tesmar_testing::FullDisk full;
        made = device.identifierForVendor();
        ASSERT_TRUE(made);
        EXPECT_EQ(device.identifierForVendor(), made);
        EXPECT_EQ(eventsNamed("storage.failed").size(), 1u);
        PendingWrites::flushAll();
    }
    EXPECT_FALSE(plist::readFile(identifiersFile()).ok());
    PendingWrites::flushAll();
    EXPECT_EQ((*plist::readFile(identifiersFile()))["com.tesmar"], Value(made->uuidString()));
    EXPECT_EQ(eventsNamed("storage.recovered").size(), 1u);
    EXPECT_EQ(device.identifierForVendor(), made);
}

TEST_F(DeviceTest, DamagedStoreIsReplacedNotTrusted) {
    launchApp("com.tesmar.intranet");
    ASSERT_TRUE(device.identifierForVendor());
    struct Case {
        const char* label;
        std::string contents;
    } cases[] = {
        {"not a property list", "\x01garbage"},
        {"an array", R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><array/></plist>)"},
        {"not a UUID", R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>com.tesmar</key>)"
                       R"(<string>not-a-uuid</string></dict></plist>)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(
            FileManager::defaultManager().writeAtomically(identifiersFile(), std::string_view(c.contents)).ok());
        auto made = device.identifierForVendor();
        ASSERT_TRUE(made);
        EXPECT_EQ(device.identifierForVendor(), made) << "the replacement is kept";
        auto stored = plist::readFile(identifiersFile());
        ASSERT_TRUE(stored.ok());
        EXPECT_EQ((*stored)["com.tesmar"], Value(made->uuidString()));
    }
}

TEST_F(DeviceTest, ConcurrentFirstCallsAgreeOnOneIdentifier) {
    launchApp("com.tesmar.intranet");
    std::vector<std::optional<UUID>> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = Device::currentDevice().identifierForVendor(); });
    for (auto& t : threads) t.join();
    std::set<std::optional<UUID>> distinct(seen.begin(), seen.end());
    EXPECT_EQ(distinct.size(), 1u);
    EXPECT_TRUE(seen.front());
}

}  // namespace
}  // namespace uikit_test
