#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "VezEduduzSDK/Source/VezEduduzAlertView.h"
#include "VezEduduzSDK/Source/VezEduduzDialogController.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/JSON.h"
#include "platform/uikit/AlertView.h"
#include "rest_test_support.h"
#include "testing/ProcessReset.h"

namespace vezeduduz {
namespace {

using platform::Value;
using platform::dispatch::MainLoop;

Value J(const char* text) {
    auto v = platform::json::read(text);
    EXPECT_TRUE(v.ok()) << text;
    return v.ok() ? *v : Value();
}

TEST(InAppAlert, SelectionLayoutsAndRangeChecks) {
    using D = VezEduduzAlertViewDelegate;
    const struct {
        const char* message;
        long index;
        const char* selectedPath;  // "top" or "custom" or nullptr (nothing added)
        const char* expected;
    } cases[] = {
        {R"({"ve_data":{"i":"1","buttons":[{"n":"A","i":"a"},{"n":"B","i":"b"}]}})", 2, "top", "b"},
        {R"({"ve_data":{"i":"1","buttons":{"o":[{"n":"A","i":"a"}]}}})", 1, "top", "a"},
        {R"({"custom":{"i":"1"},"buttons":[{"n":"A","i":"a"},{"n":"B","i":"b"}]})", 2, "top", "b"},
        {R"({"custom":{"i":"1","a":{"k":"v"}},"m":"x","o":[{"n":"A","i":"oa"}]})", 1, "custom", "oa"},
        {R"({"ve_data":{"i":"1"},"actionbuttons":[{"n":"A","i":"ab"}]})", 1, "custom", "ab"},
        // Button n is the n-th button shown: entries without a text are not shown, and a button without
        // an id (or with one that is not text) goes by its text.
        {R"({"custom":{"i":"1"},"buttons":[{"i":"ghost"},{"n":"Yes","i":"yes"},{"n":"No","i":"no"}]})", 1, "top",
         "yes"},
        {R"({"custom":{"i":"1"},"buttons":[{"i":"ghost"},{"n":"Yes","i":"yes"},{"n":"No","i":"no"}]})", 2, "top", "no"},
        {R"({"custom":{"i":"1"},"buttons":[{"n":"Yes"}]})", 1, "top", "Yes"},
        {R"({"custom":{"i":"1"},"buttons":[{"n":"A","i":7}]})", 1, "top", "A"},
        {R"({"ve_data":{"i":"1","buttons":[{"i":"ghost"},{"n":"B"}]}})", 1, "top", "B"},
        {R"({"custom":{"i":"1"},"m":"x","o":[{"i":"ghost"},{"n":"Go"}]})", 1, "custom", "Go"},
        // A notification the push client showed itself comes back with its text as the alert and its
        // buttons, already read, in the additional data: those are shown, by the same rules; buttons
        // beside the alert still come first.
        {R"({"aps":{"alert":"x"},"custom":{"i":"1","a":{"k":"v","actionButtons":[{"text":"A","id":"x"}]}},"m":"x"})", 1,
         "custom", "x"},
        {R"({"aps":{"alert":"x"},"custom":{"i":"1","a":{"actionButtons":[{"id":"ghost"},{"text":"Go","id":7}]}}})", 1,
         "custom", "Go"},
        {R"({"custom":{"i":"1","a":{"actionButtons":[{"text":"A","id":"x"}]}},"buttons":[{"n":"B","i":"b"}]})", 1,
         "top", "b"},
        // Out of range (the ghost made the list shorter), no buttons shown, Close: nothing selected.
        {R"({"custom":{"i":"1"},"buttons":[{"i":"ghost"},{"n":"Yes","i":"yes"},{"n":"No","i":"no"}]})", 3, nullptr,
         nullptr},
        {R"({"custom":{"i":"1"},"buttons":[{"n":"A","i":"a"}]})", 5, nullptr, nullptr},
        {R"({"custom":{"i":"1"},"buttons":[{"n":"A","i":"a"}]})", -3, nullptr, nullptr},
        {R"({"ve_data":{"i":"1","buttons":"x"}})", 1, nullptr, nullptr},
        {R"({"custom":{"i":"1"},"buttons":{"0":{"i":"a"}}})", 1, nullptr, nullptr},
        {R"({"custom":{"i":"1"},"buttons":[{"n":"A","i":"a"}]})", 0, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        Value in = J(c.message);
        Value out = D::messageWithSelection(in, c.index);
        SCOPED_TRACE(testing::Message() << c.message << " @" << c.index);
        if (!c.selectedPath) {
            EXPECT_EQ(out, in);
        } else if (std::string(c.selectedPath) == "top") {
            EXPECT_EQ(out["actionSelected"], Value(c.expected));
        } else {
            EXPECT_EQ(out["custom"]["a"]["actionSelected"], Value(c.expected));
            EXPECT_EQ(out["custom"]["i"], in["custom"]["i"]);  // the rest stays
            EXPECT_EQ(out["custom"]["a"]["k"], in["custom"]["a"]["k"]);
        }
    }
}

TEST(InAppAlert, TwoOpenAlertsKeepTheirOwnMessages) {
    testsupport::DeviceRoot device;
    tesmar_testing::resetProcessState();
    VezEduduzNotificationHelper::setEnvironmentProvider([] {
        return VENotificationEnvironment{true, VEInFocusDisplayType::inAppAlert};
    });
    std::vector<std::string> receivedIds;
    VezEduduzNotificationHelper::notificationBlocks(
        [&](std::shared_ptr<VENotification> n) { receivedIds.push_back(n->payload()->notificationID().value_or("")); },
        nullptr);
    struct Open {
        Value message;
        VENotificationActionType type;
    };
    std::vector<Open> opens;
    // Alerts other tests left on screen stay underneath; only this test's two are counted.
    const size_t alreadyOpen = VezEduduzAlertView::liveAlertCount();
    VezEduduzAlertView::setNotificationOpenedHandler(
        [&](const Value& m, bool active, VENotificationActionType type, VEInFocusDisplayType d) {
            EXPECT_TRUE(active);
            EXPECT_EQ(d, VEInFocusDisplayType::inAppAlert);
            opens.push_back({m, type});
        });

    VezEduduzAlertView::showInAppAlert(
        J(R"({"aps":{"alert":"first"},"custom":{"i":"m1"},"buttons":[{"n":"Go","i":"go"}]})"));
    VezEduduzAlertView::showInAppAlert(J(R"({"aps":{"alert":"second"},"custom":{"i":"m2"},
                                              "buttons":[{"n":"A","i":"a"},{"n":"B","i":"b"}]})"));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(receivedIds, (std::vector<std::string>{"m1", "m2"}));
    EXPECT_EQ(VezEduduzAlertView::liveAlertCount(), alreadyOpen + 2);

    // The user answers the front alert (the second), then the first.
    ASSERT_TRUE(platform::uikit::tapAlertButton("B"));
    ASSERT_TRUE(platform::uikit::tapAlertButton("Close"));
    MainLoop::shared().runUntilIdle();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].message["custom"]["i"], Value("m2"));
    EXPECT_EQ(opens[0].message["actionSelected"], Value("b"));
    EXPECT_EQ(opens[0].type, VENotificationActionType::ActionTaken);
    EXPECT_EQ(opens[1].message["custom"]["i"], Value("m1"));
    EXPECT_FALSE(opens[1].message.contains("actionSelected"));
    EXPECT_EQ(opens[1].type, VENotificationActionType::Opened);
    EXPECT_EQ(VezEduduzAlertView::liveAlertCount(), alreadyOpen);

    VezEduduzAlertView::setNotificationOpenedHandler(nullptr);
    tesmar_testing::resetProcessState();
}

TEST(InAppDialogs, QueueShowsOneAtATimeAndCompletesAfterADelay) {
    testsupport::DeviceRoot device;
    platform::PlatformConfig::update([](auto& s) { s.systemVersion = {7, 1, 0}; });  // the stand-alone alert
    auto clock = std::make_shared<platform::dispatch::ManualClock>();
    platform::dispatch::ScopedClock scoped(clock);
    auto& dialogs = VezEduduzDialogController::sharedInstance();
    std::vector<std::pair<int, bool>> results;
    for (int i = 0; i < 3; ++i)
        dialogs.presentDialogWithTitle("T" + std::to_string(i), "m",
                                       i == 2 ? std::nullopt : std::optional<std::string>("Do"), "Cancel",
                                       [&results, i](bool ok) {
                                           results.push_back({i, ok});
                                       });
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(dialogs.queuedCount(), 3u);

    ASSERT_TRUE(platform::uikit::tapAlertButton("Do"));
    MainLoop::shared().runUntilIdle();
    EXPECT_TRUE(results.empty());                             // not before 0.25 s
    EXPECT_FALSE(platform::uikit::tapAlertButton("Cancel"));  // the next one is not up yet
    MainLoop::shared().advance(0.25);
    ASSERT_EQ(results.size(), 1u);

    ASSERT_TRUE(platform::uikit::tapAlertButton("Cancel"));
    MainLoop::shared().advance(0.25);
    EXPECT_FALSE(platform::uikit::tapAlertButton("Do"));  // the third has no action button
    ASSERT_TRUE(platform::uikit::tapAlertButton("Cancel"));
    MainLoop::shared().advance(0.25);
    EXPECT_EQ(results, (std::vector<std::pair<int, bool>>{{0, true}, {1, false}, {2, false}}));
    EXPECT_EQ(dialogs.queuedCount(), 0u);
}

TEST(InAppDialogs, NoScreenCompletesWithNoInsteadOfStalling) {
    testsupport::DeviceRoot device;  // modern system, no application launched
    auto clock = std::make_shared<platform::dispatch::ManualClock>();
    platform::dispatch::ScopedClock scoped(clock);
    std::vector<bool> results;
    auto present = VezEduduzDialogController::sharedInstance().presenter();
    present("A", "m", "Open", "Cancel", [&](bool ok) { results.push_back(ok); });
    present("B", "m", "", "Cancel", [&](bool ok) { results.push_back(ok); });
    MainLoop::shared().runUntilIdle();
    MainLoop::shared().advance(0.25);
    MainLoop::shared().advance(0.25);
    EXPECT_EQ(results, (std::vector<bool>{false, false}));
    EXPECT_EQ(VezEduduzDialogController::sharedInstance().queuedCount(), 0u);
}

// With visual logging every line becomes a dialog: the line saying a dialog had no screen must not feed
// the queue dialogs that have none either, for as long as the screen is missing.
TEST(InAppDialogs, NoScreenIsSaidOnceWhenLinesBecomeDialogs) {
    testsupport::DeviceRoot device;  // no application launched
    auto clock = std::make_shared<platform::dispatch::ManualClock>();
    platform::dispatch::ScopedClock scoped(clock);
    auto present = VezEduduzDialogController::sharedInstance().presenter();
    std::vector<std::string> said;
    VezEduduzLogSink::setSink([&](VELogLevel, const std::string& message) {
        said.push_back(message);
        present("ERROR: ", message, "", "Close", nullptr);
    });
    for (const char* title : {"A", "B"}) {
        present(title, "m", "", "Cancel", nullptr);
        for (int i = 0; i < 8; ++i) {
            MainLoop::shared().runUntilIdle();
            MainLoop::shared().advance(0.25);
        }
        EXPECT_EQ(VezEduduzDialogController::sharedInstance().queuedCount(), 0u) << title;
    }
    VezEduduzLogSink::setSink(nullptr);
    // Once for each run of dialogs that found no screen.
    EXPECT_EQ(said, (std::vector<std::string>{"Cannot show the dialog \"A\": no screen to present it",
                                              "Cannot show the dialog \"B\": no screen to present it"}));
}

TEST(InAppQuery, FirstValueOfANamedParameter) {
    auto url = platform::URL::string("https://h/p?a=1&b=x%20y&a=2&flag");
    ASSERT_TRUE(url);
    EXPECT_EQ(valueFromQueryParameter(*url, "a"), "1");
    EXPECT_EQ(valueFromQueryParameter(*url, "b"), "x y");
    EXPECT_EQ(valueFromQueryParameter(*url, "flag"), std::nullopt);
    EXPECT_EQ(valueFromQueryParameter(*url, "A"), std::nullopt);
    EXPECT_EQ(valueFromQueryParameter(*platform::URL::string("https://h/p"), "a"), std::nullopt);
}

}  // namespace
}  // namespace vezeduduz
