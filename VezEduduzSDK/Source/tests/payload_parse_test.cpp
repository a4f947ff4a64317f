#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VEStringExtensions.h"
#include "platform/foundation/JSON.h"

namespace vezeduduz {
namespace {

using platform::Value;

Value J(const char* text) {
    auto v = platform::json::read(text);
    EXPECT_TRUE(v.ok()) << text;
    return v.ok() ? *v : Value();
}

std::string opt(const std::optional<std::string>& s) { return s ? *s : "<nil>"; }

std::string buttons(const VENotificationPayload& p) {
    if (!p.actionButtons()) return "<nil>";
    std::string out;
    for (const auto& b : *p.actionButtons()) out += b.id + "=" + b.text + ";";
    return out;
}

struct ParseCase {
    const char* name;
    const char* message;
    const char* id;
    const char* title;
    const char* body;
    uint64_t badge;
    const char* sound;
    const char* buttons;  // "id=text;" per button, "<nil>" when absent
    const char* launchURL;
};

TEST(PayloadParse, BothFormatsTable) {
    const ParseCase cases[] = {
        {"custom with aps alert string", R"({"aps":{"alert":"hi","badge":3,"sound":"s.caf"},
            "custom":{"i":"n1","u":"https://x/y"},"buttons":[{"n":"Yes","i":"y"},{"n":"No"},{"i":"orphan"}]})",
         "n1", "<nil>", "hi", 3, "s.caf", "y=Yes;No=No;", "https://x/y"},
        {"custom alert dictionary", R"({"aps":{"alert":{"title":"T","subtitle":"S","body":"B"}},"custom":{"i":"n2"}})",
         "n2", "T", "B", 0, "<nil>", "", "<nil>"},
        {"custom display dictionary when aps has no alert",
         R"({"aps":{"badge":9},"custom":{"i":"n3"},"m":{"title":"MT","body":"MB"},"b":4,"s":"m.caf",
             "o":[{"n":"Go","i":"go"}],"buttons":[{"n":"ignored"}],"att":{"x":"https://ignored"}})",
         "n3", "MT", "MB", 4, "m.caf", "go=Go;", "<nil>"},
        {"custom with alert ignores m b s o",
         R"({"aps":{"alert":"A"},"custom":{"i":"n4"},"m":"M","b":7,"s":"x","o":[{"n":"O"}]})", "n4", "<nil>", "A", 0,
         "<nil>", "", "<nil>"},
        {"ve_data array buttons",
         R"({"aps":{"alert":"A"},"ve_data":{"i":"v1","u":"u1","buttons":[{"n":"One","i":"1"}]}})", "v1", "<nil>", "A",
         0, "<nil>", "1=One;", "u1"},
        {"ve_data buttons dictionary with o",
         R"({"aps":{"alert":"A"},"ve_data":{"i":"v2","buttons":{"o":[{"n":"Two"}]}}})", "v2", "<nil>", "A", 0, "<nil>",
         "Two=Two;", "<nil>"},
        {"ve_data top-level actionbuttons",
         R"({"aps":{"alert":"A"},"ve_data":{"i":"v3"},"actionbuttons":[{"n":"T","i":"t"}]})", "v3", "<nil>", "A", 0,
         "<nil>", "t=T;", "<nil>"},
        {"ve_data without a button source has none", R"({"aps":{"alert":"A"},"ve_data":{"i":"v4","buttons":"junk"}})",
         "v4", "<nil>", "A", 0, "<nil>", "<nil>", "<nil>"},
        {"ve_data display dictionary",
         R"({"aps":{},"ve_data":{"i":"v5","buttons":{"m":"shown","b":2,"s":"d","o":[{"n":"K"}]}}})", "v5", "<nil>",
         "shown", 2, "d", "K=K;", "<nil>"},
        {"neither format: only aps fields", R"({"aps":{"alert":"plain","badge":1}})", "<nil>", "<nil>", "plain", 1,
         "<nil>", "", "<nil>"},
        // Texts of the wrong type count as missing; a number may be written as text; an alert of any type is
        // an alert, so "m" is not read.
        {"wrong types everywhere", R"({"aps":{"alert":5,"badge":"3","sound":["x"]},"custom":{"i":7,"u":false},
            "m":"not read","buttons":[{"n":1,"i":"a"},{"n":"ok","i":2},"str",null]})",
         "<nil>", "<nil>", "<nil>", 3, "<nil>", "ok=ok;", "<nil>"},
        {"aps not a dictionary", R"({"aps":"x","custom":{"i":"n9"},"m":"from m"})", "n9", "<nil>", "from m", 0, "<nil>",
         "", "<nil>"},
        {"ve_data not a dictionary is the custom format", R"({"aps":{"alert":"A"},"ve_data":[1],"custom":{"i":"c"}})",
         "c", "<nil>", "A", 0, "<nil>", "", "<nil>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VENotificationPayload p(J(c.message));
        EXPECT_EQ(opt(p.notificationID()), c.id);
        EXPECT_EQ(opt(p.title()), c.title);
        EXPECT_EQ(opt(p.body()), c.body);
        EXPECT_EQ(p.badge(), c.badge);
        EXPECT_EQ(opt(p.sound()), c.sound);
        EXPECT_EQ(buttons(p), c.buttons);
        EXPECT_EQ(opt(p.launchURL()), c.launchURL);
    }
}

TEST(PayloadParse, BadgeReadsAsAnIntegerClampedToInt32Range) {
    const struct {
        const char* badge;
        uint64_t expected;
    } cases[] = {{"-1", 0},
                 {"0", 0},
                 {"42", 42},
                 {"2147483647", 2147483647u},
                 {"2147483648", 2147483647u},
                 {"9223372036854775807", 2147483647u},
                 {"18446744073709551615", 2147483647u},
                 {"-9223372036854775808", 0},
                 {"1e300", 2147483647u},
                 {"-1e300", 0},
                 {"3.9", 3},
                 {"true", 1},
                 {"\"5\"", 5},
                 {"\" +12 apples\"", 12},
                 {"\"-4\"", 0},
                 {"\"99999999999999999999\"", 2147483647u},
                 {"\"five\"", 0},
                 {"[5]", 0}};
    for (const auto& c : cases) {
        std::string msg = std::string(R"({"aps":{"alert":"a","badge":)") + c.badge + "}}";
        EXPECT_EQ(VENotificationPayload(J(msg.c_str())).badge(), c.expected) << c.badge;
    }
    EXPECT_EQ(VENotificationPayload(J(R"({"custom":{"i":"x","badge_inc":-3}})")).badgeIncrement(), -3);
    EXPECT_EQ(VENotificationPayload(J(R"({"custom":{"i":"x","badge_inc":"2"}})")).badgeIncrement(), 2);
    EXPECT_EQ(VENotificationPayload(J(R"({"custom":{"i":"x","badge_inc":"-99999999999999999999"}})")).badgeIncrement(),
              std::numeric_limits<int64_t>::min());
}

TEST(PayloadParse, AdditionalDataAndActionSelectedMerge) {
    // custom: only "custom"."a" counts; a top-level targetUrl does not.
    VENotificationPayload custom(J(R"({"aps":{"alert":"a"},"custom":{"i":"1","a":{"targetUrl":"https://t","k":1}},
                                        "targetUrl":"https://top"})"));
    ASSERT_TRUE(custom.additionalData());
    EXPECT_EQ((*custom.additionalData())["targetUrl"], Value("https://t"));

    VENotificationPayload selectedOnly(J(R"({"custom":{"i":"1"},"actionSelected":"b1"})"));
    EXPECT_EQ(selectedOnly.additionalData(), Value::dictionary({{"actionSelected", "b1"}}));

    VENotificationPayload replaced(
        J(R"({"custom":{"i":"1","a":{"actionSelected":"old","x":2}},"actionSelected":"new"})"));
    EXPECT_EQ(replaced.additionalData(), Value::dictionary({{"actionSelected", "new"}, {"x", 2}}));

    VENotificationPayload notADict(J(R"({"custom":{"i":"1","a":["x"]},"actionSelected":7})"));
    EXPECT_FALSE(notADict.additionalData());

    // ve_data: every top-level key but aps and ve_data, actionSelected included.
    VENotificationPayload ve(
        J(R"({"aps":{"alert":"a"},"ve_data":{"i":"1"},"targetUrl":"https://t","actionSelected":"s"})"));
    EXPECT_EQ(ve.additionalData(), Value::dictionary({{"targetUrl", "https://t"}, {"actionSelected", "s"}}));
}

TEST(PayloadParse, ApnsFlagsAttachmentsAndRaw) {
    Value msg = J(R"({"aps":{"alert":"a","content-available":0,"mutable-content":0,"thread-id":"t","category":"c"},
                      "custom":{"i":"1","ti":"tid","tn":"tname"},"att":{"img":"https://i/x.png","bad":3}})");
    VENotificationPayload p(msg);
    EXPECT_TRUE(p.contentAvailable());
    EXPECT_TRUE(p.mutableContent());
    EXPECT_EQ(opt(p.threadId()), "t");
    EXPECT_EQ(opt(p.category()), "c");
    EXPECT_EQ(opt(p.templateID()), "tid");
    EXPECT_EQ(opt(p.templateName()), "tname");
    EXPECT_EQ(p.attachments(), Value::dictionary({{"img", "https://i/x.png"}}));
    EXPECT_EQ(p.rawPayload(), msg);

    EXPECT_EQ(VENotificationPayload::parseWithApns(Value()), nullptr);
    EXPECT_EQ(VENotificationPayload::parseWithApns(Value("text")), nullptr);
    EXPECT_FALSE(VENotificationPayload(Value::array({1})).notificationID());
}

TEST(PayloadStrings, VersionsAndExtensions) {
    EXPECT_EQ(one_getSemanticVersion("020809"), "2.8.9");
    EXPECT_EQ(one_getSemanticVersion("100000"), "10.0.0");
    EXPECT_EQ(one_getSemanticVersion("0208"), "0208");  // short: unchanged, no out-of-range read
    EXPECT_EQ(one_getSemanticVersion(""), "");
    EXPECT_EQ(one_getVersionForRange("05", 0, 2), "5");
    EXPECT_EQ(one_getVersionForRange("00", 0, 2), "0");
    EXPECT_EQ(one_getVersionForRange("0", 0, 2), std::nullopt);
    EXPECT_EQ(one_getVersionForRange("0123", 3, 2), std::nullopt);
    EXPECT_EQ(one_substringAfter("a/b/c", "/"), "b/c");
    EXPECT_EQ(one_substringAfter("abc", "/"), "abc");

    EXPECT_EQ(supportedFileExtension("pic.jpg"), "jpg");
    EXPECT_EQ(supportedFileExtension("a.b.m4v"), "m4v");
    EXPECT_EQ(supportedFileExtension("pic.JPG"), std::nullopt);
    EXPECT_EQ(supportedFileExtension("jpg"), std::nullopt);
    EXPECT_EQ(fileExtensionForMimeType("audio/x-wav"), "wav");
    EXPECT_EQ(fileExtensionForMimeType("audio/wav"), std::nullopt);
    EXPECT_EQ(fileExtensionForMimeType("image/jpeg"), "jpeg");
}

}  // namespace
}  // namespace vezeduduz
