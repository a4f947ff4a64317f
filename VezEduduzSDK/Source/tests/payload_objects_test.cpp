#include <gtest/gtest.h>

#include "VezEduduzSDK/Source/VENotification.h"
#include "platform/foundation/JSON.h"

namespace vezeduduz {
namespace {

using platform::Value;

Value J(const char* text) {
    auto v = platform::json::read(text);
    EXPECT_TRUE(v.ok()) << text;
    return v.ok() ? *v : Value();
}

std::shared_ptr<const VENotificationPayload> P(const char* text) {
    return VENotificationPayload::parseWithApns(J(text));
}

TEST(PayloadObjects, ShownInFocusSilentMatrix) {
    const char* loud = R"({"aps":{"alert":"hi"},"custom":{"i":"1"}})";
    const char* silent = R"({"aps":{"content-available":1},"custom":{"i":"1"}})";
    using D = VEInFocusDisplayType;
    const struct {
        const char* message;
        bool inFocus;
        D current;
        bool shown, silent;
    } cases[] = {
        {loud, true, D::none, false, false},         {loud, true, D::inAppAlert, true, false},
        {loud, true, D::notification, true, false},  {loud, false, D::none, true, false},
        {loud, false, D::notification, true, false}, {silent, true, D::notification, false, true},
        {silent, false, D::none, false, true},       {silent, false, D::inAppAlert, false, true},
    };
    for (const auto& c : cases) {
        VENotification n(P(c.message), D::notification, VENotificationEnvironment{c.inFocus, c.current});
        SCOPED_TRACE(testing::Message() << c.message << " focus=" << c.inFocus << " type=" << int(c.current));
        EXPECT_EQ(n.wasShown(), c.shown);
        EXPECT_EQ(n.isSilentNotification(), c.silent);
        EXPECT_EQ(n.wasAppInFocus(), c.inFocus);
    }
}

TEST(PayloadObjects, MutableContentNeedsTheNumberOneOrTrue) {
    const struct {
        const char* value;
        bool notification, payload;
    } cases[] = {{"1", true, true},      {"1.0", true, true},    {"0", false, true}, {"true", true, true},
                 {"false", false, true}, {"\"1\"", false, true}, {"2", false, true}};
    for (const auto& c : cases) {
        std::string msg = std::string(R"({"aps":{"alert":"a","mutable-content":)") + c.value + "}}";
        auto payload = P(msg.c_str());
        VENotification n(payload, VEInFocusDisplayType::none, {});
        EXPECT_EQ(n.hasMutableContent(), c.notification) << c.value;
        EXPECT_EQ(payload->mutableContent(), c.payload) << c.value;
    }
}

TEST(PayloadObjects, JsonForms) {
    auto payload = P(R"({"aps":{"alert":{"title":"T","body":"B"},"badge":2,"content-available":1},
                         "custom":{"i":"n1","u":"https://u","a":{"targetUrl":"https://t"}},
                         "buttons":[{"n":"Yes","i":"y"}]})");
    VENotification n(payload, VEInFocusDisplayType::inAppAlert,
                     VENotificationEnvironment{true, VEInFocusDisplayType::inAppAlert});
    auto text = n.stringify();
    ASSERT_TRUE(text);
    EXPECT_EQ(text->find('\n'), std::string::npos);  // compact
    Value v = J(text->c_str());
    EXPECT_EQ(v["displayType"], Value(1));
    EXPECT_EQ(v["shown"], Value(true));
    EXPECT_EQ(v["isAppInFocus"], Value(true));
    EXPECT_FALSE(v.contains("silentNotification"));
    const Value& p = v["payload"];
    EXPECT_EQ(p["notificationID"], Value("n1"));
    EXPECT_EQ(p["title"], Value("T"));
    EXPECT_EQ(p["badge"], Value(2));
    EXPECT_EQ(p["contentAvailable"], Value(true));
    EXPECT_EQ(p["launchURL"], Value("https://u"));
    EXPECT_EQ(p["additionalData"]["targetUrl"], Value("https://t"));
    EXPECT_EQ(p["actionButtons"], J(R"([{"id":"y","text":"Yes"}])"));
    EXPECT_EQ(p["rawPayload"], payload->rawPayload());
    for (const char* hidden : {"templateID", "category", "threadId", "attachments", "badgeIncrement"})
        EXPECT_FALSE(p.contains(hidden)) << hidden;

    // Zero badge, display type 0 and a plain open leave their keys out.
    auto plain = std::make_shared<const VENotification>(P(R"({"aps":{"alert":"a"},"custom":{"i":"2"}})"),
                                                        VEInFocusDisplayType::none, VENotificationEnvironment{});
    VENotificationOpenedResult opened(
        plain, std::make_shared<const VENotificationAction>(VENotificationActionType::Opened, std::nullopt));
    Value o = J(opened.stringify().value_or("null").c_str());
    EXPECT_EQ(o["action"], Value::dictionary());
    EXPECT_FALSE(o["notification"].contains("displayType"));
    EXPECT_FALSE(o["notification"]["payload"].contains("badge"));

    VENotificationOpenedResult taken(
        plain, std::make_shared<const VENotificationAction>(VENotificationActionType::ActionTaken, "b1"));
    EXPECT_EQ(J(taken.stringify().value_or("null").c_str())["action"],
              Value::dictionary({{"actionID", "b1"}, {"type", 1}}));
}

TEST(PayloadObjects, UnwritableRawPayloadIsReportedNotFaked) {
    Value msg = J(R"({"aps":{"alert":"a"},"custom":{"i":"1"}})");
    msg.set("blob", Value::data("\x01\x02", 2));  // a locally built message may hold data
    VENotification n(VENotificationPayload::parseWithApns(msg), VEInFocusDisplayType::none, {});
    EXPECT_FALSE(n.stringify());
    EXPECT_FALSE(VENotificationOpenedResult(std::make_shared<const VENotification>(n), nullptr).stringify());
    // Null parts never leave a null getter behind.
    VENotificationOpenedResult empty(nullptr, nullptr);
    ASSERT_TRUE(empty.notification() && empty.action());
    EXPECT_TRUE(empty.notification()->payload());
}

}  // namespace
}  // namespace vezeduduz
