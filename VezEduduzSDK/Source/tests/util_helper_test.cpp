#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/uikit/Application.h"
#include "rest_test_support.h"

namespace vezeduduz {
namespace {

using platform::URL;
using platform::dispatch::MainLoop;

TEST(UtilDigests, KnownVectorsOverTheWholeInput) {
    EXPECT_EQ(VezEduduzHelper::hashUsingMD5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(VezEduduzHelper::hashUsingMD5("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(VezEduduzHelper::hashUsingSha1(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(VezEduduzHelper::hashUsingSha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // A NUL inside the text is hashed like any other byte: no truncation.
    std::string withNul("abc\0def", 7);
    EXPECT_NE(VezEduduzHelper::hashUsingMD5(withNul), VezEduduzHelper::hashUsingMD5("abc"));
    EXPECT_NE(VezEduduzHelper::hashUsingSha1(withNul), VezEduduzHelper::hashUsingSha1("abc"));
}

TEST(UtilChecks, EmailAcceptAndRefuseTable) {
    struct Case {
        std::string name;
        std::string text;
        bool valid;
    };
    const std::string big(100 * 1024, 'a');
    std::string manyLabels;
    for (int i = 0; i < 20 * 1024; ++i) manyLabels += "ab-1.";
    const Case cases[] = {
        {"plain", "a@b.co", true},
        {"every local-part sign", "a.!#$%&'*+/=?^_`{|}~-z@b.co", true},
        {"local part may start, end and repeat dots", ".a..b.@b.co", true},
        {"upper case everywhere", "ABC@EXAMPLE.COM", true},
        {"digits and hyphens in labels", "x@-1a-.b-2.info", true},
        {"long top-level label", "x@b.abcdefghij", true},
        {"bracketed address", "x@[1.22.255.999]", true},
        {"bracketed numbers are not range-checked", "x@[999.999.999.999]", true},
        {"empty local part", "@b.co", false},
        {"no at sign", "ab.co", false},
        {"two at signs", "a@b@c.co", false},
        {"at sign at the end", "a@", false},
        {"space in local part", "a b@c.co", false},
        {"quote is not a local-part sign", "\"a\"@b.co", false},
        {"parenthesis is not a local-part sign", "a(b)@c.co", false},
        {"single label", "a@localhost", false},
        {"one-letter top-level label", "a@b.c", false},
        {"digit in top-level label", "a@b.c0", false},
        {"hyphen in top-level label", "a@b.c-o", false},
        {"trailing dot", "a@b.co.", false},
        {"leading dot in domain", "a@.b.co", false},
        {"empty label", "a@b..co", false},
        {"underscore in label", "a@b_c.co", false},
        {"leading space", " a@b.co", false},
        {"trailing space", "a@b.co ", false},
        {"trailing new line", "a@b.co\n", false},
        {"new line before the address", "x\na@b.co", false},
        {"NUL inside", std::string("a@b.co\0x", 8), false},
        {"non-ASCII letter in local part", "\xc3\xa9@b.co", false},
        {"non-ASCII letter in domain", "a@\xc3\xa9.co", false},
        {"bracket with three numbers", "x@[1.2.3]", false},
        {"bracket with five numbers", "x@[1.2.3.4.5]", false},
        {"four-digit number", "x@[1.2.3.1234]", false},
        {"empty number", "x@[1..3.4]", false},
        {"letter in bracket", "x@[1.2.3.a]", false},
        {"unclosed bracket", "x@[1.2.3.4", false},
        {"bracket then more", "x@[1.2.3.4].co", false},
        {"bracketed host name", "x@[b.co]", false},
        {"100 KB local part", big + "@b.co", true},
        {"100 KB top-level label", "a@b." + big, true},
        {"100 KB of labels", "a@" + manyLabels + "co", true},
        {"100 KB of labels, one-letter top", "a@" + manyLabels + "c", false},
        {"100 KB local part, bad last byte", big + " @b.co", false},
        {"100 KB without an at sign", big, false},
        {"100 KB of at signs", std::string(100 * 1024, '@'), false},
        {"100 KB of dots after the at sign", "a@" + std::string(100 * 1024, '.') + "co", false},
        {"100 KB bracket", "x@[" + std::string(100 * 1024, '1') + "]", false},
    };
    auto started = std::chrono::steady_clock::now();
    for (const auto& c : cases) EXPECT_EQ(VezEduduzHelper::isValidEmail(c.text), c.valid) << c.name;
    // A single pass over each text: even the sanitizer build checks all of these in well under this.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(UtilChecks, SystemVersionEmailAndURLs) {
    struct VersionCase {
        platform::OperatingSystemVersion system;
        float asked;
        bool atLeast;
    } versions[] = {{{9, 3, 5}, 10.0f, false},
                    {{11, 0, 0}, 10.0f, true},
                    {{10, 3, 1}, 10.3f, true},
                    {{8, 0, 0}, 8.0f, true},
                    {{7, 1, 2}, 8.0f, false}};
    for (const auto& c : versions) {
        testsupport::DeviceRoot device;
        platform::PlatformConfig::update([&](auto& s) { s.systemVersion = c.system; });
        EXPECT_EQ(VezEduduzHelper::isIOSVersionGreaterOrEqual(c.asked), c.atLeast) << c.system.string();
    }

    struct EmailCase {
        std::optional<std::string> text;
        bool valid;
    } emails[] = {
        {"a@b.co", true},
        {"First.Last+tag@Sub.Example.ORG", true},
        {"x@[10.0.0.1]", true},
        {"x@example.c", false},
        {"no-at.example.com", false},
        {"a b@example.com", false},
        {"a@example..com", false},
        {std::nullopt, false},
        {"", false},
        {std::string(300, 'a') + "@example.com", true},
    };
    for (const auto& c : emails) EXPECT_EQ(VezEduduzHelper::isValidEmail(c.text), c.valid) << c.text.value_or("nil");

    EXPECT_TRUE(VezEduduzHelper::verifyURL("https://x.test/a"));
    EXPECT_FALSE(VezEduduzHelper::verifyURL("not a url"));
    EXPECT_FALSE(VezEduduzHelper::verifyURL(std::nullopt));
    EXPECT_EQ(VezEduduzHelper::trimURLSpacing(" \thttps://x.test \t"), "https://x.test");
    EXPECT_EQ(VezEduduzHelper::trimURLSpacing(std::nullopt), std::nullopt);
    EXPECT_TRUE(VezEduduzHelper::isWWWScheme(*URL::string("HTTPS://x.test")));
    EXPECT_FALSE(VezEduduzHelper::isWWWScheme(*URL::string("mailto:a@b.co")));

    EXPECT_EQ(VezEduduzHelper::randomStringWithLength(0), "");
    EXPECT_EQ(VezEduduzHelper::randomStringWithLength(-3), "");
    auto random = VezEduduzHelper::randomStringWithLength(200);
    EXPECT_EQ(random.size(), 200u);
    EXPECT_EQ(random.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"),
              std::string::npos);
}

TEST(UtilDispatch, CancelFromAnyThreadCatchesAPerformStillOnItsWay) {
    testsupport::ManualTime time;
    auto fired = std::make_shared<std::atomic<int>>(0);
    // Both calls from a worker: the perform's block has not reached the loop when the cancel is made.
    platform::dispatch::DispatchQueue("test.worker").sync([fired] {
        VezEduduzHelper::performOnMainThreadAfterDelay("registerUser", 30.0, [fired] { ++*fired; });
        VezEduduzHelper::cancelPreviousPerformRequests("registerUser");
        VezEduduzHelper::performOnMainThreadAfterDelay("other", 5.0, [fired] { *fired += 10; });
    });
    MainLoop::shared().runUntilIdle();
    time.advance(31.0);
    EXPECT_EQ(*fired, 10);

    // A perform made after the cancel stands.
    VezEduduzHelper::cancelPreviousPerformRequests("registerUser");
    VezEduduzHelper::performOnMainThreadAfterDelay("registerUser", 1.0, [fired] { ++*fired; });
    MainLoop::shared().runUntilIdle();
    time.advance(1.0);
    EXPECT_EQ(*fired, 11);
}

class LaunchURL : public ::testing::Test {
protected:
    void SetUp() override {
        app = std::make_shared<platform::uikit::Application>();
        platform::uikit::Application::installShared(app);
        VezEduduzHelper::setInAppPagePresenter([this](const URL& url) { inApp.push_back(url.absoluteString()); });
        VezEduduzHelper::setDialogPresenter([this](const std::string& title, const std::string& message,
                                                   const std::string& action, const std::string& cancel,
                                                   std::function<void(bool)> done) {
            dialogs.push_back(title + " | " + message + " | " + action + " | " + cancel);
            done(answer);
        });
    }
    void TearDown() override {
        VezEduduzHelper::setInAppPagePresenter(nullptr);
        VezEduduzHelper::setDialogPresenter(nullptr);
        VezEduduzHelper::setShouldPromptToShowURL(nullptr);
        platform::uikit::Application::resetShared();
    }
    std::vector<std::string> outside() const {
        std::vector<std::string> urls;
        for (const auto& opened : app->openedURLs()) urls.push_back(opened.url);
        return urls;
    }

    testsupport::DeviceRoot device;
    testsupport::ManualTime time;
    std::shared_ptr<platform::uikit::Application> app;
    std::vector<std::string> inApp;
    std::vector<std::string> dialogs;
    bool answer = true;
};

TEST_F(LaunchURL, DecisionMatrix) {
    struct Case {
        std::string name;
        std::optional<bool> inAppSetting;  // nullopt: key absent
        bool prompt;
        bool userOpens;
        std::string url;
        std::string where;  // "in-app", "outside", "nowhere"
    } cases[] = {
        {"absent setting opens in app", std::nullopt, false, true, "https://site.test/a", "in-app"},
        {"setting off opens outside", false, false, true, "https://site.test/a", "outside"},
        {"store page opens outside", true, false, true, "https://apps.store.tesmar.test/app/1", "outside"},
        {"other scheme opens outside", true, false, true, "mailto:a@b.co", "outside"},
        {"prompt accepted", true, true, true, "https://site.test/b", "in-app"},
        {"prompt cancelled", true, true, false, "https://site.test/b", "nowhere"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto defaults = platform::UserDefaults::standard();
        if (c.inAppSetting) {
            ASSERT_TRUE(defaults->setBool(*c.inAppSetting, kVezEduduzInAppLaunchURLKey).ok());
        } else {
            ASSERT_TRUE(defaults->removeObjectForKey(kVezEduduzInAppLaunchURLKey).ok());
        }
        VezEduduzHelper::setShouldPromptToShowURL([&] { return c.prompt; });
        answer = c.userOpens;
        inApp.clear();
        dialogs.clear();
        auto openedBefore = outside().size();

        VezEduduzHelper::displayWebView(*URL::string(c.url));
        MainLoop::shared().runUntilIdle();
        EXPECT_TRUE(inApp.empty() && outside().size() == openedBefore);  // nothing before 0.25 s
        time.advance(0.25);

        EXPECT_EQ(inApp.size(), c.where == "in-app" ? 1u : 0u);
        EXPECT_EQ(outside().size() - openedBefore, c.where == "outside" ? 1u : 0u);
        EXPECT_EQ(dialogs.size(), c.prompt ? 1u : 0u);
        if (c.prompt) {
            EXPECT_EQ(dialogs[0], "Open Website? | Would you like to open https://site.test | Open | Cancel");
        }
        if (!c.inAppSetting) {
            EXPECT_EQ(defaults->boolForKey(kVezEduduzInAppLaunchURLKey), true);
        }
    }

    // In the device's language: the URL's parts go into the translated template.
    std::filesystem::create_directories(device.path() + "/Bundle/de.lproj");
    std::ofstream(device.path() + "/Bundle/de.lproj/Localizable.strings")
        << R"("Open Website?" = "Website öffnen?"; "Would you like to open %@://%@" = "%@://%@ öffnen?";
              "Open" = "Öffnen"; "Cancel" = "Abbrechen";)";
    platform::PlatformConfig::update([](platform::PlatformSettings& s) { s.preferredLanguages = "de-DE"; });
    VezEduduzHelper::setShouldPromptToShowURL([] { return true; });
    dialogs.clear();
    answer = false;
    VezEduduzHelper::displayWebView(*URL::string("https://site.test/c"));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(dialogs, std::vector<std::string>{"Website öffnen? | https://site.test öffnen? | Öffnen | Abbrechen"});
}

}  // namespace
}  // namespace vezeduduz
