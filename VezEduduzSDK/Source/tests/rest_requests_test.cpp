#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "VezEduduzSDK/Source/VERequests.h"
#include "platform/foundation/Digest.h"
#include "platform/foundation/JSON.h"
#include "rest_test_support.h"

namespace vezeduduz {
namespace {

using platform::Value;
using D = std::initializer_list<std::pair<const std::string, Value>>;

struct EndpointCase {
    std::string name;
    std::shared_ptr<VezEduduzRequest> request;
    std::string className;
    VEHTTPMethod method;
    std::string path;
    std::optional<Value> parameters;
};

TEST(RestRequests, EveryEndpointHasItsMethodPathAndKeys) {
    Value tags = Value::dictionary({{"level", "3"}});
    Value purchases = Value::array({Value::dictionary({{"sku", "a"}})});
    Value notification = Value::dictionary({{"contents", Value::dictionary({{"en", "hi"}})}});
    Value registration = Value::dictionary({{"app_id", "app"}, {"device_type", 0}});
    std::vector<EndpointCase> cases = {
        {"get tags", VERequestGetTags::withUserId("p1", "app"), "VERequestGetTags", VEHTTPMethod::GET, "players/p1",
         Value::dictionary({{"app_id", "app"}})},
        {"ios params with player", VERequestGetIosParams::withUserId("p1", "app"), "VERequestGetIosParams",
         VEHTTPMethod::GET, "apps/app/ios_params.js", Value::dictionary({{"player_id", "p1"}})},
        {"ios params without player", VERequestGetIosParams::withUserId(std::nullopt, "app"), "VERequestGetIosParams",
         VEHTTPMethod::GET, "apps/app/ios_params.js", std::nullopt},
        {"send tags", VERequestSendTagsToServer::withUserId("p1", "app", tags, 0, std::nullopt),
         "VERequestSendTagsToServer", VEHTTPMethod::PUT, "players/p1",
         Value::dictionary({{"app_id", "app"}, {"tags", tags}, {"net_type", 0}})},
        {"send tags with empty hash", VERequestSendTagsToServer::withUserId("e1", "app", tags, 1, ""),
         "VERequestSendTagsToServer", VEHTTPMethod::PUT, "players/e1",
         Value::dictionary({{"app_id", "app"}, {"tags", tags}, {"net_type", 1}})},
        {"send tags with hash", VERequestSendTagsToServer::withUserId("e1", "app", tags, 1, "h"),
         "VERequestSendTagsToServer", VEHTTPMethod::PUT, "players/e1",
         Value::dictionary({{"app_id", "app"}, {"tags", tags}, {"net_type", 1}, {"email_auth_hash", "h"}})},
        {"update token, token only",
         VERequestUpdateDeviceToken::withUserId("p1", "app", "tok", Value(15), std::nullopt, std::nullopt,
                                                std::nullopt),
         "VERequestUpdateDeviceToken", VEHTTPMethod::PUT, "players/p1",
         Value::dictionary({{"app_id", "app"}, {"identifier", "tok"}, {"notification_types", 15}})},
        {"update token, e-mail link",
         VERequestUpdateDeviceToken::withUserId("p1", "app", std::nullopt, std::nullopt, "e1", "h", "a@b.co"),
         "VERequestUpdateDeviceToken", VEHTTPMethod::PUT, "players/p1",
         Value::dictionary(
             {{"app_id", "app"}, {"parent_player_id", "e1"}, {"email_auth_hash", "h"}, {"email", "a@b.co"}})},
        {"create device, all null",
         VERequestCreateDevice::withAppId("app", 11, std::nullopt, std::nullopt, std::nullopt), "VERequestCreateDevice",
         VEHTTPMethod::POST, "players",
         Value::dictionary({{"app_id", "app"},
                            {"device_type", 11},
                            {"identifier", nullptr},
                            {"email_auth_hash", nullptr},
                            {"device_player_id", nullptr}})},
        {"create device, empty hash kept", VERequestCreateDevice::withAppId("app", 11, "a@b.co", "p1", ""),
         "VERequestCreateDevice", VEHTTPMethod::POST, "players",
         Value::dictionary({{"app_id", "app"},
                            {"device_type", 11},
                            {"identifier", "a@b.co"},
                            {"email_auth_hash", ""},
                            {"device_player_id", "p1"}})},
        {"logout email", VERequestLogoutEmail::withAppId("app", std::nullopt, "p1", std::nullopt),
         "VERequestLogoutEmail", VEHTTPMethod::POST, "players/p1/email_logout",
         Value::dictionary({{"app_id", "app"}, {"parent_player_id", nullptr}, {"email_auth_hash", nullptr}})},
        {"notification types", VERequestUpdateNotificationTypes::withUserId("p1", "app", -2),
         "VERequestUpdateNotificationTypes", VEHTTPMethod::PUT, "players/p1",
         Value::dictionary({{"app_id", "app"}, {"notification_types", -2}})},
        {"purchases", VERequestSendPurchases::withUserId("p1", "app", purchases), "VERequestSendPurchases",
         VEHTTPMethod::POST, "players/p1/on_purchase",
         Value::dictionary({{"app_id", "app"}, {"purchases", purchases}})},
        {"purchases, e-mail form", VERequestSendPurchases::withUserId("e1", std::nullopt, "app", purchases),
         "VERequestSendPurchases", VEHTTPMethod::POST, "players/e1/on_purchase",
         Value::dictionary({{"app_id", "app"}, {"purchases", purchases}, {"email_auth_hash", nullptr}})},
        {"notification opened", VERequestSubmitNotificationOpened::withUserId(std::nullopt, "app", true, "n1"),
         "VERequestSubmitNotificationOpened", VEHTTPMethod::PUT, "notifications/n1",
         Value::dictionary({{"player_id", nullptr}, {"app_id", "app"}, {"opened", true}})},
        {"register, new player", VERequestRegisterUser::withData(registration, std::nullopt), "VERequestRegisterUser",
         VEHTTPMethod::POST, "players", registration},
        {"register, new session", VERequestRegisterUser::withData(registration, "p1"), "VERequestRegisterUser",
         VEHTTPMethod::POST, "players/p1/on_session", registration},
        {"location", VERequestSendLocation::withUserId("p1", "app", {1.5, 2.5, 3.0, 4.0}, 0, true, std::nullopt),
         "VERequestSendLocation", VEHTTPMethod::PUT, "players/p1",
         Value::dictionary({{"app_id", "app"},
                            {"lat", 1.5},
                            {"long", 2.5},
                            {"loc_acc_vert", 3.0},
                            {"loc_acc", 4.0},
                            {"net_type", 0},
                            {"loc_bg", true}})},
        {"badge on focus", VERequestOnFocus::withUserId("p1", "app", Value(0), std::nullopt), "VERequestOnFocus",
         VEHTTPMethod::PUT, "players/p1", Value::dictionary({{"app_id", "app"}, {"badgeCount", 0}})},
        {"focus ping", VERequestOnFocus::withUserId("p1", "app", "ping", Value(1), Value(42.0), Value(1), "h"),
         "VERequestOnFocus", VEHTTPMethod::POST, "players/p1/on_focus",
         Value::dictionary({{"app_id", "app"},
                            {"state", "ping"},
                            {"type", 1},
                            {"active_time", 42.0},
                            {"net_type", 1},
                            {"email_auth_hash", "h"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.request->className(), c.className);
        EXPECT_EQ(c.request->method, c.method);
        EXPECT_EQ(c.request->path, c.path);
        EXPECT_EQ(c.request->parameters, c.parameters);
        auto built = c.request->urlRequest();
        ASSERT_TRUE(built.ok()) << built.error().description();
        EXPECT_EQ(built->HTTPMethod(), VEHTTPMethodName(c.method));
        EXPECT_EQ(built->valueForHTTPHeaderField("Content-Type"), "application/json");
        EXPECT_EQ(built->valueForHTTPHeaderField("Accept"), "application/json");
        auto url = built->url()->absoluteString();
        EXPECT_EQ(url.rfind("https://api.vezeduduz.test/api/v1/" + c.path, 0), 0u) << url;
        if (c.method == VEHTTPMethod::GET) {
            EXPECT_FALSE(built->HTTPBody());
        } else {
            ASSERT_TRUE(built->HTTPBody());
            auto body = platform::json::read(*built->HTTPBody());
            ASSERT_TRUE(body.ok());
            EXPECT_EQ(*body, *c.parameters);  // JSON null arrives as null, absent keys stay absent
        }
    }
}

TEST(RestRequests, QueryAndPathKeepEveryValueAsData) {
    struct Case {
        Value parameters;
        std::string query;
    } cases[] = {
        {Value::dictionary(), ""},
        {Value::dictionary({{"app_id", "a b"}}), "app_id=a%20b"},
        {Value::dictionary({{"app_id", "x&y=z"}}), "app_id=x%26y%3Dz"},
        {Value::dictionary({{"app_id", "1+1#2"}, {"n", 3}, {"t", true}}), "app_id=1%2B1%232&n=3&t=1"},
        {Value::dictionary({{"k", "\xc3\xa9"}}), "k=%C3%A9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VezEduduzRequest::queryStringForParameters(c.parameters), c.query);
        auto request = VERequestGetTags::withUserId("p", "app");
        request->parameters = c.parameters;
        auto built = request->urlRequest();
        ASSERT_TRUE(built.ok());
        auto expected = "https://api.vezeduduz.test/api/v1/players/p" + (c.query.empty() ? "" : "?" + c.query);
        EXPECT_EQ(built->url()->absoluteString(), expected);
    }
    // An id is one path segment, whatever it holds.
    auto request = VERequestGetTags::withUserId("../x/y?z", "app");
    EXPECT_EQ(request->path, "players/..%2Fx%2Fy%3Fz");
}

TEST(RestRequests, AppIdCountsOnlyAsANonEmptyString) {
    struct Case {
        std::optional<Value> parameters;
        bool missing;
    } cases[] = {
        {std::nullopt, true},
        {Value::dictionary(), true},
        {Value::dictionary({{"app_id", ""}}), true},
        {Value::dictionary({{"app_id", nullptr}}), true},
        {Value::dictionary({{"app_id", 7}}), true},
        {Value::array({"app_id"}), true},
        {Value::dictionary({{"app_id", "a"}}), false},
    };
    for (const auto& c : cases) {
        VERequestGetTags request;
        request.parameters = c.parameters;
        EXPECT_EQ(request.missingAppId(), c.missing) << (c.parameters ? c.parameters->description() : "nil");
    }
    VERequestGetIosParams params;
    EXPECT_FALSE(params.missingAppId());
    EXPECT_TRUE(VERequestGetTags::withUserId("p", std::nullopt)->missingAppId());
}

TEST(RestRequests, PostedNotificationGainsOrKeepsItsAppId) {
    Value mine = Value::dictionary({{"contents", "x"}});
    auto request = VERequestPostNotification::withAppId("app", mine);
    EXPECT_EQ(mine["app_id"], Value("app"));  // the caller's dictionary gains the key
    EXPECT_EQ((*request->parameters)["app_id"], Value("app"));

    Value theirs = Value::dictionary({{"app_id", "other"}});
    request = VERequestPostNotification::withAppId("app", theirs);
    EXPECT_EQ((*request->parameters)["app_id"], Value("other"));
}

TEST(RestRequests, BodiesThatCannotBeWrittenFailLocally) {
    testsupport::RecordingLog log;
    std::vector<Value> bad = {Value::dictionary({{"x", std::numeric_limits<double>::quiet_NaN()}}),
                              Value::dictionary({{"d", Value::data("ab", 2)}}), Value::array({1})};
    for (const auto& parameters : bad) {
        auto request = VERequestRegisterUser::withData(parameters, "p1");
        auto built = request->urlRequest();
        ASSERT_FALSE(built.ok());
        EXPECT_EQ(built.error().domain, "VezEduduz Error");
    }
    EXPECT_EQ(log.count(VELogLevel::warn, "VezEduduz Attempted to make a request with an invalid JSON body"), 3u);
    // A required id that is missing leaves no path: the request cannot go out to a wrong place.
    EXPECT_FALSE(VERequestGetTags::withUserId(std::nullopt, "app")->urlRequest().ok());
}

TEST(RestRequests, HashedEmailSendsOnlyDigestsOfTheLowerCasedAddress) {
    auto request = VERequestSyncHashedEmail::withUserId("p1", "app", "Someone@Example.COM", 0);
    const auto& p = *request->parameters;
    EXPECT_EQ(p["em_m"], Value(platform::md5Hex("someone@example.com")));
    EXPECT_EQ(p["em_s"], Value(platform::sha1Hex("someone@example.com")));
    EXPECT_EQ(p["em_m"].asString()->size(), 32u);
    EXPECT_EQ(p["em_s"].asString()->size(), 40u);
    auto body = request->urlRequest();
    ASSERT_TRUE(body.ok());
    std::string text(body->HTTPBody()->begin(), body->HTTPBody()->end());
    EXPECT_EQ(text.find("example"), std::string::npos);
}

}  // namespace
}  // namespace vezeduduz
