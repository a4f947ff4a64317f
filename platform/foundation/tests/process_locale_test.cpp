#include <gtest/gtest.h>

#include <set>

#include "platform/foundation/Locale.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/ProcessInfo.h"

namespace platform {
namespace {

class ProcessLocaleTest : public ::testing::Test {
protected:
    void SetUp() override { saved = PlatformConfig::current(); }
    void TearDown() override {
        PlatformConfig::set(saved);
        ProcessInfo::processInfo().clearEnvironmentOverrides();
    }
    void setLanguages(std::string list) {
        PlatformConfig::update([&](PlatformSettings& s) { s.preferredLanguages = std::move(list); });
    }
    PlatformSettings saved;
};

TEST_F(ProcessLocaleTest, PreferredLanguagesFromConfigThenEnvironment) {
    auto& info = ProcessInfo::processInfo();
    info.setEnvironmentValue("LC_ALL", std::nullopt);
    info.setEnvironmentValue("LC_MESSAGES", std::nullopt);
    struct Case {
        const char* configured;
        const char* lang;
        std::vector<std::string> expected;
    } cases[] = {
        {"de-DE, en ,,fr", "it_IT.UTF-8", {"de-DE", "en", "fr"}},
        {"", "fr_CA.UTF-8", {"fr-CA"}},
        {"", "pt_BR@latin", {"pt-BR"}},
        {"", "C", {}},
        {"", "POSIX", {}},
        {" ", "", {}},
    };
    for (const auto& c : cases) {
        setLanguages(c.configured);
        info.setEnvironmentValue("LANG", std::string(c.lang));
        EXPECT_EQ(Locale::preferredLanguages(), c.expected) << c.configured << " / " << c.lang;
    }
    setLanguages("");
    info.setEnvironmentValue("LANG", std::string("C"));
    EXPECT_EQ(Locale::current().localeIdentifier(), "en_US_POSIX");
    setLanguages("en-GB,en");
    EXPECT_EQ(Locale::current().localeIdentifier(), "en_GB");
}

TEST_F(ProcessLocaleTest, LocaleIdentifierParts) {
    struct Case {
        const char* input;
        const char* identifier;
        const char* language;
        const char* country;
    } cases[] = {
        {"en-US", "en_US", "en", "US"},
        {"de_DE.UTF-8@euro", "de_DE", "de", "DE"},
        {"zh-Hant-TW", "zh_Hant_TW", "zh", "TW"},
        {"es-419", "es_419", "es", "419"},
        {"fr", "fr", "fr", ""},
    };
    for (const auto& c : cases) {
        Locale l(c.input);
        EXPECT_EQ(l.localeIdentifier(), c.identifier);
        EXPECT_EQ(l.languageCode(), c.language);
        EXPECT_EQ(l.countryCode(), c.country);
    }
}

TEST_F(ProcessLocaleTest, ProcessFacts) {
    auto& info = ProcessInfo::processInfo();
    info.setEnvironmentValue("TESMAR_TEST_VAR", std::string("1"));
    EXPECT_EQ(info.environmentValue("TESMAR_TEST_VAR"), "1");
    EXPECT_EQ(info.environment().at("TESMAR_TEST_VAR"), "1");
    info.setEnvironmentValue("TESMAR_TEST_VAR", std::nullopt);
    EXPECT_FALSE(info.environmentValue("TESMAR_TEST_VAR"));
    EXPECT_EQ(info.environment().count("TESMAR_TEST_VAR"), 0u);

    PlatformConfig::update([](PlatformSettings& s) {
        s.systemVersion = {10, 3, 0};
        s.processName = "Probe";
    });
    EXPECT_EQ(info.processName(), "Probe");
    EXPECT_EQ(info.operatingSystemVersionString(), "Version 10.3");
    EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({10, 0, 0}));
    EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({11, 0, 0}));

    std::set<std::string> unique;
    for (int i = 0; i < 100; ++i) unique.insert(info.globallyUniqueString());
    EXPECT_EQ(unique.size(), 100u);
    double a = info.systemUptime(), b = info.systemUptime();
    EXPECT_GT(a, 0);
    EXPECT_GE(b, a);

    const char* argv[] = {"tesmar-sim", "--bundle", "dir"};
    info.setArguments(3, argv);
    EXPECT_EQ(info.arguments(), (std::vector<std::string>{"tesmar-sim", "--bundle", "dir"}));
    info.setArguments({"tesmar"});
}

}  // namespace
}  // namespace platform
