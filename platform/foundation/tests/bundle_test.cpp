#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StringsFile.h"
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

// The device's languages in order, each as "de-CH", "de_CH", then "de"; a table without the key, a
// malformed one and a missing one all pass the lookup on, which ends at the key itself.
TEST_F(BundleTest, LocalizedStringsFollowTheDevicesLanguagesThenTheKey) {
    auto table = [&](const std::string& language, const std::string& text) {
        fs::create_directories(bundleDir() + "/" + language + ".lproj");
        std::ofstream(bundleDir() + "/" + language + ".lproj/Localizable.strings", std::ios::binary) << text;
    };
    table("fr", "\"Close\" = \"Fermer\"");  // no ";": the whole table is refused
    table("de_CH", "/* Swiss */ \"Close\" = \"Schliessen\";");
    table("de", "\"Close\" = \"Schließen\"; \"Open\" = \"Öffnen\";");
    const struct {
        const char* languages;
        const char *close, *open, *cancel;
    } cases[] = {{"fr-FR,de-CH,en", "Schliessen", "Öffnen", "Cancel"},
                 {"de", "Schließen", "Öffnen", "Cancel"},
                 {"en-US", "Close", "Open", "Cancel"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.languages);
        PlatformConfig::update([&](PlatformSettings& s) { s.preferredLanguages = c.languages; });
        auto bundle = Bundle::mainBundle();
        EXPECT_EQ(bundle->localizedStringForKey("Close"), c.close);
        EXPECT_EQ(bundle->localizedStringForKey("Open"), c.open);
        EXPECT_EQ(bundle->localizedStringForKey("Cancel"), c.cancel);
    }
}

TEST(StringsFile, EntriesCommentsEscapesAndEncodings) {
    using Table = strings::Table;
    const struct {
        const char* name;
        std::string text;
        std::optional<Table> expected;  // nullopt: the file is refused (Cocoa error 3840)
    } cases[] = {
        {"everything the format has",
         "// a line\n/* a block\n over lines */ plain = word;\n\"a\\\"b\" = \"c\\\\d\\n\\t\";\n\"k\";\n"
         "\"smile\" = \"\\UD83D\\uDE00 \\U00e9 \\101\";\n\"x\" = \"1\"; \"x\" = \"2\";",
         Table{{"plain", "word"}, {"a\"b", "c\\d\n\t"}, {"k", "k"}, {"smile", "\U0001F600 \u00e9 A"}, {"x", "2"}}},
        {"empty", "  /* nothing */ // at all", Table{}},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF\"a\" = \"ü\";", Table{{"a", "ü"}}},
        {"UTF-16 with its byte-order mark", std::string("\xFF\xFE\"\0a\0\"\0=\0\"\0\xE9\0\"\0;\0", 18),
         Table{{"a", "\u00e9"}}},
        {"no semicolon", "\"a\" = \"b\"", std::nullopt},
        {"string never ends", "\"a\" = \"b;", std::nullopt},
        {"comment never ends", "\"a\" = \"b\"; /* open", std::nullopt},
        {"no key", "= \"b\";", std::nullopt},
        {"no value", "\"a\" = ;", std::nullopt},
        {"lone surrogate", "\"a\" = \"\\UD83D\";", std::nullopt},
        {"short \\U", "\"a\" = \"\\U12\";", std::nullopt},
        {"octal beyond ASCII", "\"a\" = \"\\377\";", std::nullopt},
        {"not UTF-8", "\"a\" = \"\xFF\";", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto read = strings::read(c.text);
        ASSERT_EQ(read.ok(), c.expected.has_value()) << (read ? "" : read.error().description());
        if (read) {
            EXPECT_EQ(*read, *c.expected);
        } else {
            EXPECT_EQ(read.error().code, 3840);
        }
    }
}

}  // namespace
}  // namespace platform
