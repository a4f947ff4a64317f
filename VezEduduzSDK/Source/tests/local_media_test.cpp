// Local notifications the push client builds itself: buttons, media attachments and the build itself.
#include <filesystem>
#include <fstream>
#include <future>

#include "VezEduduzSDK/Source/VELocalNotifications.h"
#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "testing/TestHttpServer.h"

namespace {

using namespace core_test;
namespace fs = std::filesystem;
namespace un = platform::usernotifications;
using tesmar_testing::Reply;

const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(64, 'p');

class LocalMediaTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        media.route("GET", "/img/pic.png", Reply::text(kPng, 200, "image/png"));
        media.route("GET", "/img/PIC.PNG", Reply::text(kPng, 200, "image/png"));
        media.route("GET", "/noext", Reply::text(kPng, 200, "image/png"));
        media.route("GET", "/octet", Reply::text(kPng, 200, "application/octet-stream"));
        media.route("GET", "/gone.png", Reply::text("not here", 404, "text/html"));
        media.route("GET", "/big.png", Reply::text(std::string(4096, 'b'), 200, "image/png"));
        media.route("GET", "/slow.png", Reply::text(kPng, 200, "image/png").after(std::chrono::milliseconds(1500)));
        VezEduduzHelper::setMediaDownloadLimits({});
    }
    void TearDown() override {
        VezEduduzHelper::setMediaDownloadLimits({});
        CoreTest::TearDown();
    }

    static std::shared_ptr<VENotificationPayload> payload(const Value& message) {
        return VENotificationPayload::parseWithApns(message);
    }
    // The display dictionary of a message the client shows itself: "m" text, "o" buttons, "at" media.
    static Value withButtons(const ValueArray& buttons) {
        return Value::dictionary({{"aps", Value::dictionary({{"content-available", 1}})},
                                  {"custom", Value::dictionary({{"i", "m1"}})},
                                  {"m", Value::dictionary({{"title", "T"}, {"body", "B"}})},
                                  {"o", Value(buttons)}});
    }
    static Value withAttachment(const std::string& value) {
        return Value::dictionary({{"aps", Value::dictionary({{"content-available", 1}})},
                                  {"custom", Value::dictionary({{"i", "m2"}})},
                                  {"m", "Look"},
                                  {"at", Value::dictionary({{"id1", value}})}});
    }
    std::vector<std::string> cachedFiles() const {
        std::vector<std::string> out;
        fs::path caches = fs::path(device.path()) / "Library/Caches";
        if (!fs::exists(caches)) return out;
        for (auto& e : fs::directory_iterator(caches))
            if (e.is_regular_file()) out.push_back(e.path().filename().string());
        return out;
    }

    tesmar_testing::TestHttpServer media;
};

TEST_F(LocalMediaTest, AttachmentsAreDownloadedNamedAndRecordedOrLeftOutWithoutLeftovers) {
    struct Case {
        std::string path;
        std::optional<std::string> extension;  // nullopt: no attachment
        int64_t maxBytes = 50 * 1024 * 1024;
        double timeout = 25;
    };
    const std::vector<Case> cases = {
        {"/img/pic.png", "png"},
        {"/noext", "png"},                     // from the MIME type
        {"/octet?filename=photo.jpg", "jpg"},  // from the query's file name
        {"/octet?filename=photo.exe", std::nullopt},
        {"/img/PIC.PNG", std::nullopt},             // extensions are case-sensitive
        {"/gone.png", std::nullopt},                // a 404 page is not media
        {"/big.png", std::nullopt, 1024},           // over the byte cap
        {"/slow.png", std::nullopt, 1 << 20, 0.3},  // past the deadline
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        VezEduduzHelper::setMediaDownloadLimits({c.timeout, c.maxBytes, std::nullopt});
        ASSERT_TRUE(store()->removeObjectForKey(kCachedMediaKey));
        for (auto& f : cachedFiles()) fs::remove(fs::path(device.path()) / "Library/Caches" / f);

        un::NotificationContent content;
        VezEduduzHelper::addAttachments(*payload(withAttachment(media.url(c.path))), content);
        auto files = cachedFiles();
        if (!c.extension) {
            EXPECT_TRUE(content.attachments.empty());
            EXPECT_TRUE(files.empty()) << files.front();
            EXPECT_FALSE(store()->arrayForKey(kCachedMediaKey));
            continue;
        }
        ASSERT_EQ(content.attachments.size(), 1u);
        EXPECT_EQ(content.attachments[0].identifier, "id1");
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].size(), 10 + 1 + c.extension->size());
        EXPECT_EQ(fs::path(files[0]).extension().string(), "." + *c.extension);
        EXPECT_EQ(content.attachments[0].url.lastPathComponent(), files[0]);
        EXPECT_EQ(store()->arrayForKey(kCachedMediaKey), ValueArray({Value(files[0])}));
    }
}

TEST_F(LocalMediaTest, ANotificationsDownloadsShareOneDeadline) {
    auto never = tesmar_testing::Gate::make();  // the server ends its held answers when it stops
    media.route("GET", "/stalled-a.png", Reply::text(kPng, 200, "image/png").heldBy(never));
    media.route("GET", "/stalled-b.png", Reply::text(kPng, 200, "image/png").heldBy(never));
    Value message = withAttachment(media.url("/stalled-a.png"));
    message.set("at", Value::dictionary({{"a", media.url("/stalled-a.png")}, {"b", media.url("/stalled-b.png")}}));

    // The first stalled download uses up the time of both: the second is never asked for.
    VezEduduzHelper::setMediaDownloadLimits({0.5, 1 << 20, std::nullopt});
    un::NotificationContent content;
    VezEduduzHelper::addAttachments(*payload(message), content);
    EXPECT_TRUE(content.attachments.empty());
    EXPECT_TRUE(media.requestsTo("/stalled-b.png").empty());
    EXPECT_TRUE(cachedFiles().empty());

    // A deadline already past (the extension's budget spent) asks for nothing, however long the time-out.
    VezEduduzHelper::setMediaDownloadLimits({25, 1 << 20, std::chrono::steady_clock::now()});
    VezEduduzHelper::addAttachments(*payload(withAttachment(media.url("/img/pic.png"))), content);
    EXPECT_TRUE(content.attachments.empty());
    EXPECT_TRUE(media.requestsTo("/img/pic.png").empty());
    EXPECT_TRUE(cachedFiles().empty());
}

TEST_F(LocalMediaTest, BundleResourcesAreFoundByNameAndExtension) {
    auto bundleDir = fs::path(Bundle::mainBundle()->bundlePath());
    { std::ofstream(bundleDir / "logo.v2.png") << kPng; }
    for (auto [value, found] : std::vector<std::pair<std::string, bool>>{
             {"logo.v2.png", true}, {"logo", false}, {"absent.png", false}, {"logo.v2.", false}}) {
        SCOPED_TRACE(value);
        un::NotificationContent content;
        VezEduduzHelper::addAttachments(*payload(withAttachment(value)), content);
        EXPECT_EQ(content.attachments.size(), found ? 1u : 0u);
    }
}

TEST_F(LocalMediaTest, ButtonsGoIntoOneDynamicCategoryBesideTheOthers) {
    auto center = un::UserNotificationCenter::current();
    center->setNotificationCategories({{"app", {{"x", "X", 0}}, {}, 0}});
    auto button = [](const char* id, const char* text) { return Value::dictionary({{"i", id}, {"n", text}}); };

    un::NotificationContent two;
    VezEduduzHelper::addActionButtons(*payload(withButtons({button("a", "A"), button("b", "B")})), two);
    EXPECT_EQ(two.categoryIdentifier, kDynamicCategoryIdentifier);
    un::NotificationContent three;
    VezEduduzHelper::addActionButtons(*payload(withButtons({button("a", "A"), button("b", "B"), button("c", "C")})),
                                      three);
    un::NotificationContent none;
    VezEduduzHelper::addActionButtons(*payload(withButtons({})), none);
    EXPECT_EQ(none.categoryIdentifier, "");

    auto categories = center->notificationCategories();
    ASSERT_EQ(categories.size(), 2u);  // the old "__dynamic__" replaced, the app's own kept
    EXPECT_EQ(categories[0].identifier, "app");
    EXPECT_EQ(categories[1].identifier, kDynamicCategoryIdentifier);
    std::vector<std::string> ids;
    for (auto& a : categories[1].actions) {
        ids.push_back(a.identifier);
        EXPECT_EQ(a.options, un::NotificationActionForeground);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(categories[1].options, un::NotificationCategoryCustomDismissAction);

    // Two buttons show in reverse order.
    VezEduduzHelper::addActionButtons(*payload(withButtons({button("a", "A"), button("b", "B")})), two);
    auto again = center->notificationCategories();
    ASSERT_EQ(again.back().actions.size(), 2u);
    EXPECT_EQ(again.back().actions[0].identifier, "b");
}

TEST_F(LocalMediaTest, OverlappingBuildsEachCompleteOnceAndEndTheirOwnBackgroundTask) {
    launchApplication();
    auto app = uikit::Application::shared();
    Value message = withButtons({Value::dictionary({{"i", "a"}, {"n", "A"}})});
    std::atomic<int> completions{0};
    for (int i = 0; i < 3; ++i) {
        Value m = message;
        m.set("custom", Value::dictionary({{"i", "m" + std::to_string(i)}}));
        m.set("b", i == 0 ? 0 : 5);
        ASSERT_TRUE(showsLocalNotificationWithButtons(m, [&](uikit::BackgroundFetchResult r) {
            EXPECT_EQ(r, uikit::BackgroundFetchResult::NewData);
            ++completions;
        }));
    }
    auto center = un::UserNotificationCenter::current();
    ASSERT_TRUE(waitFor([&] { return completions.load() == 3 && app->backgroundTaskCount() == 0; }));
    auto pending = center->pendingNotificationRequests();
    ASSERT_EQ(pending.size(), 3u);
    for (auto& r : pending) {
        EXPECT_EQ(r.identifier.size(), 16u);
        ASSERT_TRUE(r.trigger);
        EXPECT_DOUBLE_EQ(r.trigger->timeInterval, 0.25);
        EXPECT_FALSE(r.trigger->repeats);
        EXPECT_EQ(r.content.categoryIdentifier, kDynamicCategoryIdentifier);
        EXPECT_EQ(r.content.title, "T");
        EXPECT_EQ(r.content.sound, "default");
        EXPECT_TRUE(r.content.userInfo.find("custom"));
        // A badge only when the message has one that is not 0.
        EXPECT_EQ(r.content.badge.has_value(), r.content.userInfo["b"].integerOr(0) != 0);
    }
    EXPECT_EQ(center->notificationCategories().size(), 1u);
}

TEST_F(LocalMediaTest, OnlyButtonMessagesWithoutASystemAlertAreShownLocally) {
    Value buttons = Value::dictionary({{"custom", Value::dictionary({{"i", "m"}})}, {"o", Value::array({})}});
    Value veData =
        Value::dictionary({{"ve_data", Value::dictionary({{"i", "m"}, {"buttons", Value::dictionary({{"x", "y"}})}})}});
    Value alerted = buttons;
    alerted.set("aps", Value::dictionary({{"alert", "shown by the system"}}));
    Value plain = Value::dictionary({{"custom", Value::dictionary({{"i", "m"}})}});
    EXPECT_TRUE(carriesLocalButtons(buttons));
    EXPECT_TRUE(carriesLocalButtons(veData));
    EXPECT_FALSE(carriesLocalButtons(alerted));
    EXPECT_FALSE(carriesLocalButtons(plain));
    EXPECT_FALSE(carriesLocalButtons(Value("not a message")));
}

}  // namespace
