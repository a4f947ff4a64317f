#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "testing/TemporaryDeviceRoot.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class BundleTest : public ::testing::Test {
protected:
    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {}};
    const std::string root = device.path();
    std::string bundleDir() { return root + "/Bundle"; }
    void SetUp() override {
        fs::create_directories(bundleDir() + "/web");
        ASSERT_TRUE(plist::writeFile(Value::dictionary({{"CFBundleIdentifier", "com.example.intranet"},
                                                        {"CFBundleShortVersionString", "2.4"},
                                                        {"CFBundleVersion", "240"},
                                                        {"Options", Value::dictionary({{"a", 1}})}}),
                                     bundleDir() + "/Info.plist"));
        std::ofstream(bundleDir() + "/Config.json") << "{}";
        std::ofstream(bundleDir() + "/web/index.html") << "<p>";
        std::ofstream(bundleDir() + "/noext") << "x";
    }
};

TEST_F(BundleTest, MainBundleReadsInfoPlist) {
    auto main = Bundle::mainBundle();
    EXPECT_EQ(fs::weakly_canonical(main->bundlePath()), fs::canonical(bundleDir()));
    EXPECT_EQ(main->bundleIdentifier(), "com.example.intranet");
    EXPECT_EQ(main->shortVersionString(), "2.4");
    EXPECT_EQ(main->bundleVersion(), "240");
    ASSERT_NE(main->objectForInfoDictionaryKey("Options"), nullptr);
    EXPECT_EQ(main->objectForInfoDictionaryKey("Options")->find("a")->integerOr(0), 1);
    EXPECT_EQ(main->objectForInfoDictionaryKey("Missing"), nullptr);
    EXPECT_EQ(Bundle::mainBundle(), main);  // same path, same object
}

TEST_F(BundleTest, ResourcesAreFoundOnlyInsideTheBundle) {
    auto main = Bundle::mainBundle();
    struct Case {
        const char* name;
        const char* type;
        const char* subdir;
        bool found;
    } cases[] = {
        {"Config", "json", "", true},    {"Config", ".json", "", true},
        {"Config", "plist", "", false},  {"noext", "", "", true},
        {"index", "html", "web", true},  {"index", "html", "", false},
        {"Info", "plist", "", true},     {"../Bundle/Config", "json", "", false},
        {"Config", "json", "..", false}, {"", "json", "", false},
        {"web", "", "", false},
    };
    for (const auto& c : cases) {
        auto p = main->pathForResource(c.name, c.type, c.subdir);
        EXPECT_EQ(p.has_value(), c.found) << c.name << "." << c.type << " in " << c.subdir;
    }
    EXPECT_EQ(*main->pathForResource("index", "html", "web"), main->bundlePath() + "/web/index.html");
}

TEST_F(BundleTest, MissingOrOddInfoPlistReadsEmpty) {
    fs::create_directories(root + "/empty");
    auto empty = Bundle::bundleWithPath(root + "/empty");
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->infoDictionary().isDictionary());
    EXPECT_TRUE(empty->infoDictionary().empty());
    EXPECT_FALSE(empty->bundleIdentifier());

    fs::create_directories(root + "/odd");
    ASSERT_TRUE(plist::writeFile(Value::array({1, 2}), root + "/odd/Info.plist"));
    EXPECT_TRUE(Bundle::bundleWithPath(root + "/odd")->infoDictionary().empty());

    fs::create_directories(root + "/wrongtype");
    ASSERT_TRUE(plist::writeFile(Value::dictionary({{"CFBundleIdentifier", 7}}), root + "/wrongtype/Info.plist"));
    EXPECT_FALSE(Bundle::bundleWithPath(root + "/wrongtype")->bundleIdentifier());

    EXPECT_EQ(Bundle::bundleWithPath(root + "/nothing-here"), nullptr);
    EXPECT_EQ(Bundle::bundleWithPath(bundleDir() + "/Config.json"), nullptr);
}

TEST_F(BundleTest, ExplicitMainBundlePathWins) {
    fs::create_directories(root + "/other");
    ASSERT_TRUE(plist::writeFile(Value::dictionary({{"CFBundleIdentifier", "other.app"}}), root + "/other/Info.plist"));
    Bundle::setMainBundlePath(root + "/other/");
    EXPECT_EQ(Bundle::mainBundle()->bundlePath(), root + "/other");
    EXPECT_EQ(Bundle::mainBundle()->bundleIdentifier(), "other.app");
    Bundle::setMainBundlePath("");
    EXPECT_EQ(Bundle::mainBundle()->bundleIdentifier(), "com.example.intranet");
}

}  // namespace
}  // namespace platform
