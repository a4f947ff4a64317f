// Notifications the app's own code amends or shows, end to end through tesmar-sim: the service
// extension as a second process, the silent push with buttons, media failures and the analytics
// bridge's influence window.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/tests/RoadFixture.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"
#include "testing/MediaStandIn.h"

namespace {

using platform::Value;
using namespace host_test;
namespace fs = std::filesystem;

constexpr const char* kGroup = "group.com.tesmar.intranet.vezeduduz";

class ExtensionRoads : public RoadFixture {
protected:
    ExtensionRoads() : RoadFixture("extension-roads") { settle_ = {"--settle-ms", "300", "--settle-timeout", "20"}; }

    // The app's bundle with a notification service extension in it.
    std::string bundle() {
        std::string b = writeBundle();
        fs::create_directories(bundlePath() / "PlugIns/Service.appex");
        Value appex = Value::dictionary(
            {{"CFBundleIdentifier", std::string(kBundleId) + ".service"},
             {"NSExtension", Value::dictionary({{"NSExtensionPointIdentifier", "com.apple.usernotifications.service"},
                                                {"NSExtensionPrincipalClass", "NotificationService"}})}});
        EXPECT_TRUE(
            platform::plist::writeFile(appex, (bundlePath() / "PlugIns/Service.appex/Info.plist").string()).ok());
        return b;
    }

    SimRun run(const std::string& script, const std::vector<std::string>& extra = {}) {
        return runRoad(script, bundle(), extra);
    }
    std::vector<std::string> cachedFiles() const {
        std::vector<std::string> out;
        std::error_code ec;
        for (auto& e : fs::directory_iterator(device() / "Library/Caches", ec))
            if (e.is_regular_file()) out.push_back(e.path().filename().string());
        return out;
    }

    // A push in the custom format that a service extension amends.
    std::string mutablePush(const std::string& id, const std::string& mediaURL) {
        Value push = Value::dictionary(
            {{"aps", Value::dictionary({{"alert", Value::dictionary({{"title", "Spring news"}, {"body", "Read"}})},
                                        {"mutable-content", 1}})},
             {"custom", Value::dictionary({{"i", id}, {"badge_inc", 1}})},
             {"att", Value::dictionary({{"img", mediaURL}})},
             {"buttons", Value::array({Value::dictionary({{"i", "yes"}, {"n", "Yes"}}),
                                       Value::dictionary({{"i", "no"}, {"n", "No"}})})}});
        return "push-receive " + platform::json::write(push).value() + "\n";
    }
};

std::vector<std::string> analyticsNames(const std::vector<Value>& seen) {
    std::vector<std::string> out;
    for (const auto& e : eventsNamed(seen, "analytics.event")) out.push_back(e["name"].stringOr(""));
    return out;
}

TEST_F(ExtensionRoads, TheExtensionAmendsThePushWithMediaButtonsBadgeAndAReceipt) {
    tesmar_testing::MediaStandIn media;
    SimRun r = run("background\n" + mutablePush("n-ext-1", media.url("/media/pic.png")) + "prefs " + kGroup +
                   " vezeduduzBadgeCount\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    auto content = eventsNamed(seen, "extension.content");
    ASSERT_EQ(content.size(), 1u) << allOutput(r);
    EXPECT_EQ(content[0]["process"], Value("extension"));
    EXPECT_EQ(content[0]["badge"], Value(1));
    EXPECT_EQ(content[0]["expired"], Value(false));
    EXPECT_EQ(content[0]["category"], Value("__dynamic__"));
    ASSERT_EQ(content[0]["actions"].asArray()->size(), 2u);
    EXPECT_EQ((*content[0]["actions"].asArray())[0]["id"], Value("no"));  // two buttons show in reverse order
    ASSERT_EQ(content[0]["attachments"].asArray()->size(), 1u);

    auto shown = eventsNamed(seen, "notification.shown");
    ASSERT_EQ(shown.size(), 1u) << allOutput(r);
    EXPECT_EQ(shown[0]["badge"], Value(1));
    EXPECT_EQ(shown[0]["attachments"].asArray()->size(), 1u);
    EXPECT_EQ(shown[0]["actions"].asArray()->size(), 2u);  // the extension's category reached the app

    auto received = eventsNamed(seen, "analytics.event");
    ASSERT_FALSE(received.empty()) << allOutput(r);
    EXPECT_EQ(received[0]["name"], Value("ve_notification_received"));
    EXPECT_EQ(received[0]["process"], Value("extension"));
    EXPECT_EQ(received[0]["parameters"]["notification_id"], Value("n-ext-1"));

    auto prefs = eventsNamed(seen, "prefs");
    ASSERT_EQ(prefs.size(), 1u);
    EXPECT_EQ(prefs[0]["value"], Value(1));
}

// The service switches the analytics bridge on with any "fba" value, and a "b" beside an "aps" alert is
// not the badge of that message: the shared count stays as it was.
TEST_F(ExtensionRoads, AnyFbaValueLogsReceiptsAndATopLevelBBesideAnAlertKeepsTheSharedCount) {
    push_->setIosParams(R"({"fba":1})");
    const fs::path prefs = device() / "Library/Preferences";
    fs::create_directories(prefs);
    ASSERT_TRUE(platform::plist::writeFile(Value::dictionary({{"vezeduduzBadgeCount", 6}}),
                                           (prefs / (std::string(kGroup) + ".plist")).string()));
    Value push = Value::dictionary({{"aps", Value::dictionary({{"alert", "Read this"}, {"mutable-content", 1}})},
                                    {"custom", Value::dictionary({{"i", "n-keep"}})},
                                    {"b", 0}});
    SimRun r = run("background\npush-receive " + platform::json::write(push).value() + "\nprefs " + kGroup +
                   " vezeduduzBadgeCount\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    ASSERT_EQ(eventsNamed(seen, "extension.content").size(), 1u) << allOutput(r);
    auto count = eventsNamed(seen, "prefs");
    ASSERT_EQ(count.size(), 1u);
    EXPECT_EQ(count[0]["value"], Value(6));
    EXPECT_EQ(analyticsNames(seen), std::vector<std::string>{"ve_notification_received"}) << allOutput(r);
}

// In front, a push with nothing to read (content-available only) shows nothing; one with an alert shows.
TEST_F(ExtensionRoads, InFrontASilentPushShowsNothing) {
    auto push = [](const std::string& id, bool alert) {
        Value aps = Value::dictionary({{"content-available", 1}});
        if (alert) aps.set("alert", "Visible");
        Value p = Value::dictionary({{"aps", aps}, {"custom", Value::dictionary({{"i", id}})}});
        return "push-receive " + platform::json::write(p).value() + "\n";
    };
    SimRun r = run(push("n-quiet", false) + push("n-loud", true) + "quit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto shown = eventsNamed(simEvents(r), "notification.shown");
    ASSERT_EQ(shown.size(), 1u) << allOutput(r);
    EXPECT_EQ(shown[0]["body"], Value("Visible"));
}

TEST_F(ExtensionRoads, MissingAndSlowMediaLeaveNoFileAndTheSlowOneExpires) {
    tesmar_testing::MediaStandIn media(std::chrono::seconds(6));
    SimRun r = run("background\n" + mutablePush("n-404", media.url("/media/missing.png")) +
                       mutablePush("n-slow", media.url("/media/slow.png")) + "quit\n",
                   {"--extension-budget", "1.5"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto content = eventsNamed(simEvents(r), "extension.content");
    ASSERT_EQ(content.size(), 2u) << allOutput(r);
    EXPECT_TRUE(content[0]["attachments"].asArray()->empty());
    EXPECT_EQ(content[0]["expired"], Value(false));
    EXPECT_TRUE(content[1]["attachments"].asArray()->empty());
    EXPECT_EQ(content[1]["expired"], Value(true)) << allOutput(r);
    EXPECT_EQ(content[1]["category"], Value("__dynamic__"));  // expiry still adds the buttons
    EXPECT_EQ(eventsNamed(simEvents(r), "notification.shown").size(), 2u);
    EXPECT_TRUE(cachedFiles().empty());
}

// Two media hosts that never answer: the downloads share the budget, so the expiry's answer (buttons,
// no media) is shown, and the second host is never even asked.
TEST_F(ExtensionRoads, TwoStalledMediaShareTheBudgetAndTheExpiryAnswerIsShown) {
    tesmar_testing::MediaStandIn media;
    auto never = tesmar_testing::Gate::make();
    media.server().route("GET", "/media/stalled-a.png",
                         tesmar_testing::Reply::text("", 200, "image/png").heldBy(never));
    media.server().route("GET", "/media/stalled-b.png",
                         tesmar_testing::Reply::text("", 200, "image/png").heldBy(never));
    std::string push = mutablePush("n-stalled", media.url("/media/stalled-a.png"));
    Value message = *platform::json::read(push.substr(std::string("push-receive ").size()));
    message.set(
        "att", Value::dictionary({{"a", media.url("/media/stalled-a.png")}, {"b", media.url("/media/stalled-b.png")}}));
    SimRun r = run("background\npush-receive " + platform::json::write(message).value() + "\nquit\n",
                   {"--extension-budget", "1.5"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    auto content = eventsNamed(seen, "extension.content");
    ASSERT_EQ(content.size(), 1u) << allOutput(r);
    EXPECT_EQ(content[0]["expired"], Value(true));
    EXPECT_EQ(content[0]["category"], Value("__dynamic__"));
    EXPECT_TRUE(content[0]["attachments"].asArray()->empty());
    auto shown = eventsNamed(seen, "notification.shown");
    ASSERT_EQ(shown.size(), 1u) << allOutput(r);
    EXPECT_EQ(shown[0]["category"], Value("__dynamic__"));
    EXPECT_EQ(shown[0]["actions"].asArray()->size(), 2u);
    EXPECT_TRUE(media.server().requestsTo("/media/stalled-b.png").empty());
    EXPECT_TRUE(cachedFiles().empty());
}

TEST_F(ExtensionRoads, ASilentPushWithButtonsIsShownLocallyAndATapReportsOneOpen) {
    tesmar_testing::MediaStandIn media;
    Value push = Value::dictionary({{"aps", Value::dictionary({{"content-available", 1}})},
                                    {"custom", Value::dictionary({{"i", "n-local-1"}})},
                                    {"m", Value::dictionary({{"title", "Lunch"}, {"body", "Pizza today"}})},
                                    {"o", Value::array({Value::dictionary({{"i", "yes"}, {"n", "Yes"}})})},
                                    {"at", Value::dictionary({{"img", media.url("/media/photo")}})}});
    SimRun r = run("background\npush-receive " + platform::json::write(push).value() +
                   "\nprefs standard CACHED_MEDIA\nnotification-tap last\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    auto shown = eventsNamed(seen, "notification.shown");
    ASSERT_EQ(shown.size(), 1u) << allOutput(r);
    EXPECT_EQ(shown[0]["title"], Value("Lunch"));
    EXPECT_EQ(shown[0]["category"], Value("__dynamic__"));
    ASSERT_EQ(shown[0]["attachments"].asArray()->size(), 1u);
    auto prefs = eventsNamed(seen, "prefs");
    ASSERT_EQ(prefs.size(), 1u);
    ASSERT_TRUE(prefs[0]["value"].isArray()) << allOutput(r);
    ASSERT_EQ(prefs[0]["value"].asArray()->size(), 1u);
    EXPECT_EQ((*prefs[0]["value"].asArray())[0].stringOr("").size(), 14u);  // ten random characters and ".png"
    int opens = 0;
    for (const auto& e : eventsNamed(seen, "http.request"))
        opens +=
            e["method"] == Value("PUT") && e["url"].stringOr("").find("notifications/n-local-1") != std::string::npos;
    EXPECT_EQ(opens, 1) << allOutput(r);
}

// System 9.3 has no notification centre: the client schedules the older local notification, and
// taps reach it through the application delegate, once per tap.
TEST_F(ExtensionRoads, OnSystem93TheSilentPushWithButtonsIsAnOlderLocalNotificationAndTapsOpenOnce) {
    auto push = [](const std::string& id) {
        Value p = Value::dictionary({{"aps", Value::dictionary({{"content-available", 1}})},
                                     {"custom", Value::dictionary({{"i", id}, {"u", "https://example.com/" + id}})},
                                     {"m", Value::dictionary({{"title", "Lunch"}, {"body", "Pizza today"}})},
                                     {"o", Value::array({Value::dictionary({{"i", "yes"}, {"n", "Yes"}}),
                                                         Value::dictionary({{"i", "no"}, {"n", "No"}})})}});
        return "push-receive " + platform::json::write(p).value() + "\n";
    };
    SimRun r = run("background\n" + push("n-93-a") + "notification-tap last\nbackground\n" + push("n-93-b") +
                       "notification-tap last yes\nquit\n",
                   {"--system-version", "9.3"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    auto shown = eventsNamed(seen, "notification.shown");
    ASSERT_EQ(shown.size(), 2u) << allOutput(r);
    EXPECT_EQ(shown[0]["category"], Value("__dynamic__"));
    EXPECT_EQ(shown[0]["actions"].asArray()->size(), 2u);
    for (const char* id : {"n-93-a", "n-93-b"}) {
        int opens = 0;
        for (const auto& e : eventsNamed(seen, "http.request"))
            opens += e["method"] == Value("PUT") &&
                     e["url"].stringOr("").find(std::string("notifications/") + id) != std::string::npos;
        EXPECT_EQ(opens, 1) << id << "\n" << allOutput(r);
    }
    int opened = 0;
    for (const auto& e : eventsNamed(seen, "system.open"))
        opened += e["url"].stringOr("").find("n-93-a") != std::string::npos;
    EXPECT_LE(opened, 1);  // the launch URL opens once, not once per call
}

// Moves stored times of the device back by `seconds`, as if that much time had passed since.
void agePreference(const fs::path& file, const std::string& key, double seconds) {
    auto stored = platform::plist::readFile(file.string());
    ASSERT_TRUE(stored && stored->isDictionary()) << file;
    Value updated = *stored;
    ASSERT_TRUE(updated[key].isNumber()) << key;
    updated.set(key, updated[key].asDouble().value_or(0) - seconds);
    ASSERT_TRUE(platform::plist::writeFile(updated, file.string()));
}

// The influenced open is credited when the next registration goes out (here, the next launch's session,
// a minute after the last session ended and 30 s after the launch, once the push token is in), once per
// receipt and only inside 120 s of it.
TEST_F(ExtensionRoads, AReceiptCreditsOneInfluencedOpenInsideTheWindowAtTheNextRegistration) {
    tesmar_testing::MediaStandIn media;
    const fs::path prefs = device() / "Library/Preferences";
    auto nextLaunch = [&](double sinceReceipt) {
        agePreference(prefs / (std::string(kBundleId) + ".plist"), "VD_LAST_CLOSED_TIME", 60);
        agePreference(prefs / (std::string(kGroup) + ".plist"), "VE_LAST_RECIEVED_TIME", sinceReceipt - 31);
        SimRun r = run("wait 31\nquit\n", {"--clock", "manual"});
        EXPECT_EQ(r.status, 0) << allOutput(r);
        return eventsNamed(simEvents(r), "analytics.event");
    };
    SimRun first = run("background\n" + mutablePush("n-inf", media.url("/media/pic.png")) + "quit\n");
    ASSERT_EQ(first.status, 0) << allOutput(first);
    EXPECT_EQ(analyticsNames(simEvents(first)), std::vector<std::string>{"ve_notification_received"});

    auto events = nextLaunch(60);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["name"], Value("ve_notification_influence_open"));
    EXPECT_EQ(events[0]["parameters"]["notification_id"], Value("n-inf"));
    EXPECT_EQ(events[0]["parameters"]["campaign"], Value("Spring new"));

    SimRun late = run("background\n" + mutablePush("n-late", media.url("/media/pic.png")) + "quit\n");
    ASSERT_EQ(late.status, 0) << allOutput(late);
    EXPECT_TRUE(nextLaunch(121).empty());
}

// A notification the user opened is never credited as an influenced open, whenever the next
// registration comes: not at the tap's own return, nor at the return 66 s after it.
TEST_F(ExtensionRoads, AnOpenedNotificationIsNeverAnInfluencedOpen) {
    tesmar_testing::MediaStandIn media;
    std::string push = mutablePush("n-tap", media.url("/media/pic.png"));
    std::string tap = "push-tap " + push.substr(std::string("push-receive ").size());
    SimRun r = run("wait 40\n"
                   "background\n" +
                       push + "wait 31\n" + tap +
                       "wait 35\n"
                       "background\n"
                       "wait 31\n"
                       "foreground\n"
                       "quit\n",
                   {"--clock", "manual"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    EXPECT_EQ(analyticsNames(simEvents(r)),
              (std::vector<std::string>{"ve_notification_received", "ve_notification_opened"}))
        << allOutput(r);
    EXPECT_EQ(push_->requestsTo("players/" + push_->createdPlayers().at(0) + "/on_session").size(), 2u);
}

// The same window on the device's manual clock: 'wait' moves the app's timers, its wall clock and the
// times the extension stamps its receipts with, so the return 31 s after a receipt is credited with an
// influenced open and the return 121 s after one is not.
TEST_F(ExtensionRoads, TheInfluenceWindowOnTheManualClock) {
    tesmar_testing::MediaStandIn media;
    SimRun r = run("background\n" + mutablePush("n-win", media.url("/media/pic.png")) +
                       "wait 31\n"
                       "foreground\n"
                       "background\n" +
                       mutablePush("n-late", media.url("/media/pic.png")) +
                       "wait 121\n"
                       "foreground\n"
                       "quit\n",
                   {"--clock", "manual"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    auto events = eventsNamed(seen, "analytics.event");
    std::vector<std::string> got;
    for (const auto& e : events)
        got.push_back(e["name"].stringOr("") + " " + e["parameters"]["notification_id"].stringOr(""));
    EXPECT_EQ(got, (std::vector<std::string>{"ve_notification_received n-win", "ve_notification_influence_open n-win",
                                             "ve_notification_received n-late"}))
        << allOutput(r);
    // Both returns opened a session: the second one simply came too late for the receipt.
    EXPECT_EQ(push_->requestsTo("players/" + push_->createdPlayers().at(0) + "/on_session").size(), 2u);
}

}  // namespace
