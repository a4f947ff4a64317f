#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "platform/foundation/JSON.h"
#include "testing/ProcessReset.h"

namespace vezeduduz {
namespace {

using platform::Value;
using H = VezEduduzNotificationHelper;
using D = VEInFocusDisplayType;

Value J(const char* text) {
    auto v = platform::json::read(text);
    EXPECT_TRUE(v.ok()) << text;
    return v.ok() ? *v : Value();
}

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        tesmar_testing::resetProcessState();
        H::setEnvironmentProvider([] { return VENotificationEnvironment{false, D::notification}; });
        H::notificationBlocks([this](std::shared_ptr<VENotification> n) { received.push_back(n); },
                              [this](std::shared_ptr<VENotificationOpenedResult> r) { opened.push_back(r); });
        H::setOpenEventTracker([this](const std::shared_ptr<VENotificationOpenedResult>&) { ++tracked; });
    }
    void TearDown() override { tesmar_testing::resetProcessState(); }

    std::vector<std::shared_ptr<VENotification>> received;
    std::vector<std::shared_ptr<VENotificationOpenedResult>> opened;
    int tracked = 0;
};

TEST(DispatchRecognition, PushServiceAndSilentTables) {
    const struct {
        const char* message;
        bool fromService;
    } recognition[] = {{R"({"custom":{"i":"1"}})", true},   {R"({"ve_data":{"i":"1"}})", true},
                       {R"({"custom":{"u":"x"}})", false},  {R"({"custom":{"i":1}})", false},
                       {R"({"custom":"i"})", false},        {R"({"aps":{"alert":"a"}})", false},
                       {R"([{"custom":{"i":"1"}}])", false}};
    for (const auto& c : recognition) EXPECT_EQ(H::isVezEduduzPayload(J(c.message)), c.fromService) << c.message;
    EXPECT_FALSE(H::isVezEduduzPayload(Value()));

    const struct {
        const char* message;
        bool silent;
    } silent[] = {{R"({"aps":{"content-available":1}})", true},
                  {R"({"aps":{"content-available":1,"sound":"s"}})", false},
                  {R"({"aps":{"badge":0}})", false},
                  {R"({"badge":1})", false},
                  {R"({"m":"text"})", false},
                  {R"({"o":[]})", false},
                  {R"({"s":"x"})", false},
                  {R"({"title":""})", true},
                  {R"({"title":"t"})", false},
                  {R"({"sound":"x"})", false},
                  {R"({"aps":{"alert":{"body":"b"}}})", false},
                  {R"({"ve_data":{"buttons":{"o":[]}}})", false},
                  // A key counts whatever its value; only a dictionary "aps" or "ve_data" is looked into.
                  {R"({"aps":{"badge":"5"}})", false},
                  {R"({"aps":{"alert":7}})", false},
                  {R"({"m":null})", false},
                  {R"({"ve_data":{"buttons":"no"}})", false},
                  {R"({"title":5})", true},
                  {R"({"aps":[{"alert":"a"}],"ve_data":[{"buttons":1}]})", true},
                  {R"("not a dictionary")", true}};
    for (const auto& c : silent) {
        auto v = platform::json::read(c.message, {.allowFragments = true});
        ASSERT_TRUE(v.ok());
        EXPECT_EQ(H::isRemoteSilentNotification(*v), c.silent) << c.message;
    }
}

TEST(DispatchStandardise, Table) {
    const char* def = kVEDefaultActionIdentifier;
    const struct {
        const char* name;
        const char* message;
        std::optional<std::string> identifier;
        const char* expected;  // nullptr: no result
    } cases[] = {
        {"ve_data, default action, no buttons: unchanged", R"({"aps":{"alert":"a"},"ve_data":{"i":"1"}})", def,
         R"({"aps":{"alert":"a"},"ve_data":{"i":"1"}})"},
        {"custom with m and a button id", R"({"aps":{"x":1},"custom":{"i":"1","a":{"k":"v"}},"m":"hello"})",
         std::string("b1"),
         R"({"aps":{"alert":"hello"},"custom":{"i":"1","a":{"k":"v","actionSelected":"b1"}},"m":"hello"})"},
        {"custom buttons from o", R"({"custom":{"i":"1"},"o":[{"n":"Yes","i":"y"},{"n":"No"},{"i":"x"}]})", def,
         R"({"custom":{"i":"1","a":{"actionButtons":[{"text":"Yes","id":"y"},{"text":"No","id":"No"}]}},
             "o":[{"n":"Yes","i":"y"},{"n":"No"},{"i":"x"}]})"},
        {"ve_data display dictionary with m",
         R"({"aps":{"y":1},"ve_data":{"i":"1","buttons":{"m":"M","o":[{"n":"A","i":"a"}]}}})", std::string("a"),
         R"({"aps":{"alert":"M"},"ve_data":{"i":"1","buttons":{"m":"M","o":[{"n":"A","i":"a"}]}},
             "actionButtons":[{"text":"A","id":"a"}],"actionSelected":"a"})"},
        {"ve_data buttons dictionary without m keeps aps", R"({"aps":{"y":1},"ve_data":{"i":"1","buttons":{"o":[]}}})",
         std::string("z"),
         R"({"aps":{"y":1},"ve_data":{"i":"1","buttons":{"o":[]}},"actionButtons":[],"actionSelected":"z"})"},
        {"ve_data array form keeps aps", R"({"aps":{"y":1},"ve_data":{"i":"1","buttons":[{"n":"A"}]}})", std::nullopt,
         R"({"aps":{"y":1},"ve_data":{"i":"1","buttons":[{"n":"A"}]},"actionButtons":[{"text":"A","id":"A"}]})"},
        {"custom with a non-dictionary a", R"({"custom":{"i":"1","a":"junk"}})", std::string("q"),
         R"({"custom":{"i":"1","a":{"actionSelected":"q"}}})"},
        {"neither format", R"({"aps":{"alert":"a"}})", std::string("b"), nullptr},
        {"custom not a dictionary", R"({"custom":"x"})", std::string("b"), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto out = H::formatApsPayloadIntoStandard(J(c.message), c.identifier);
        if (!c.expected) {
            EXPECT_FALSE(out);
            continue;
        }
        ASSERT_TRUE(out);
        EXPECT_EQ(*out, J(c.expected));
    }
}

TEST_F(DispatchTest, ReceivedOncePerId) {
    Value m1 = J(R"({"aps":{"alert":"a"},"custom":{"i":"r1"}})");
    H::lastMessageReceived(m1);
    H::handleNotificationReceived(D::notification);
    H::handleNotificationReceived(D::notification);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0]->payload()->notificationID(), "r1");
    EXPECT_EQ(received[0]->displayType(), D::notification);

    H::handleNotificationReceived(J(R"({"aps":{"alert":"a"},"custom":{"i":"r2"}})"), D::none);
    H::handleNotificationReceived(m1, D::none);  // a new id in between: passes again
    EXPECT_EQ(received.size(), 3u);

    // Not from the push service: never dispatched.
    H::handleNotificationReceived(J(R"({"aps":{"alert":"a"},"custom":{"u":"x"}})"), D::none);
    EXPECT_EQ(received.size(), 3u);
    // resetLocals keeps the last received id.
    H::resetLocals();
    H::handleNotificationReceived(m1, D::none);
    EXPECT_EQ(received.size(), 3u);
}

TEST_F(DispatchTest, OpenedOncePerIdWithTrackerAndReset) {
    Value m = J(R"({"aps":{"alert":"a"},"custom":{"i":"o1","a":{"targetUrl":"https://t"}}})");
    H::lastMessageReceived(m);
    H::handleNotificationAction(VENotificationActionType::ActionTaken, "b", D::notification);
    H::handleNotificationAction(VENotificationActionType::ActionTaken, "b", D::notification);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(tracked, 1);
    EXPECT_EQ(opened[0]->action()->actionID(), "b");
    EXPECT_EQ(opened[0]->action()->type(), VENotificationActionType::ActionTaken);
    EXPECT_EQ((*opened[0]->notification()->payload()->additionalData())["targetUrl"], Value("https://t"));

    H::resetLocals();
    H::handleNotificationAction(m, VENotificationActionType::Opened, std::nullopt, D::notification);
    EXPECT_EQ(opened.size(), 2u);

    // Ids that are absent never count as repeats; the tracker runs without an action block.
    H::notificationBlocks(nullptr, nullptr);
    Value noId = J(R"({"ve_data":{"i":"x"}})");
    H::handleNotificationAction(noId, VENotificationActionType::Opened, std::nullopt, D::none);
    H::handleNotificationAction(noId, VENotificationActionType::Opened, std::nullopt, D::none);
    EXPECT_EQ(tracked, 3);
    EXPECT_EQ(opened.size(), 2u);
}

TEST_F(DispatchTest, ConcurrentDeliveriesOfOneIdPassOnce) {
    Value m = J(R"({"aps":{"alert":"a"},"custom":{"i":"same"}})");
    std::atomic<int> calls{0};
    H::notificationBlocks([&](std::shared_ptr<VENotification>) { ++calls; },
                          [&](std::shared_ptr<VENotificationOpenedResult>) { ++calls; });
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            H::handleNotificationReceived(m, D::notification);
            H::handleNotificationAction(m, VENotificationActionType::Opened, std::nullopt, D::notification);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(calls.load(), 2);
}

}  // namespace
}  // namespace vezeduduz
