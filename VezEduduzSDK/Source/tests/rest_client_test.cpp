#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "VezEduduzSDK/Source/VERequests.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "demo/PushServiceStandIn.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/JSON.h"
#include "rest_test_support.h"
#include "testing/TestHttpServer.h"

namespace vezeduduz {
namespace {

using platform::Bytes;
using platform::Error;
using platform::Value;
using platform::dispatch::MainLoop;
using tesmar_demo::PushServiceStandIn;
using tesmar_testing::Gate;
using tesmar_testing::Reply;
using Kind = VezEduduzClient::AnswerOutcome::Kind;

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// What one request's blocks saw. Shared with the blocks, so an answer that arrives after a test
// has ended touches nothing that is gone.
struct Outcome {
    std::atomic<int> calls{0};
    std::optional<Value> result;
    std::optional<Error> error;
    bool onMain = false;
    static VEResultSuccessBlock success(const std::shared_ptr<Outcome>& self) {
        return [self](const Value& v) {
            self->result = v;
            self->onMain = MainLoop::isMainThread();
            ++self->calls;
        };
    }
    static VEFailureBlock failure(const std::shared_ptr<Outcome>& self) {
        return [self](const Error& e) {
            self->error = e;
            self->onMain = MainLoop::isMainThread();
            ++self->calls;
        };
    }
};
std::shared_ptr<Outcome> makeOutcome() { return std::make_shared<Outcome>(); }

TEST(RestAnswers, StatusAndBodyDecideTheOutcome) {
    auto transport = Error("NSURLErrorDomain", -1004);
    struct Case {
        std::string name;
        int status;
        std::string body;
        std::optional<Error> transport;
        int reattempts;
        Kind kind;
        std::string domain;
        int64_t code;
        std::string userInfoKey;  // "" for none
    } cases[] = {
        {"200 with object", 200, R"({"id":"p"})", {}, 0, Kind::success, "", 0, ""},
        {"200 empty", 200, "", {}, 0, Kind::success, "", 0, ""},
        {"200 array", 200, "[1,2]", {}, 0, Kind::success, "", 0, ""},
        {"200 not JSON", 200, "<html>", {}, 0, Kind::failure, "VezEduduz Error", 200, "returned"},
        {"201 is not success", 201, R"({})", {}, 0, Kind::failure, "VezEduduzError", 201, "returned"},
        {"204 empty", 204, "", {}, 0, Kind::failure, "VezEduduzError", 204, ""},
        {"404 body", 404, R"({"errors":["x"]})", {}, 0, Kind::failure, "VezEduduzError", 404, "returned"},
        {"503 first", 503, "", {}, 0, Kind::reattempt, "", 0, ""},
        {"503 second re-attempt", 503, "", {}, 1, Kind::reattempt, "", 0, ""},
        {"503 after two", 503, R"({"e":1})", {}, 2, Kind::failure, "VezEduduzError", 503, "returned"},
        {"503 not JSON never re-attempted", 503, "oops", {}, 0, Kind::failure, "VezEduduz Error", 503, "returned"},
        {"no answer", 0, "", transport, 0, Kind::reattempt, "", 0, ""},
        {"no answer after two", 0, "", transport, 2, Kind::failure, "VezEduduzError", 0, "error"},
        {"cut short after 200", 200, "", transport, 0, Kind::failure, "VezEduduzError", 200, "error"},
        {"JSON fragment", 200, "null", {}, 0, Kind::failure, "VezEduduz Error", 200, "returned"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VERequestGetTags request;
        request.reattemptCount = c.reattempts;
        auto outcome = VezEduduzClient::interpretAnswer(request, c.status, bytes(c.body), c.transport);
        EXPECT_EQ(outcome.kind, c.kind);
        if (c.kind != Kind::failure) continue;
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->domain, c.domain);
        EXPECT_EQ(outcome.error->code, c.code);
        if (c.userInfoKey.empty()) {
            EXPECT_TRUE(outcome.error->userInfo.empty());
        } else {
            EXPECT_EQ(outcome.error->userInfo.size(), 1u);
            EXPECT_TRUE(outcome.error->userInfo.contains(c.userInfoKey));
        }
    }
}

class RestClient : public ::testing::Test {
protected:
    void SetUp() override {
        // The re-attempt tests wait for the first delayed block; one left by an earlier suite (a late
        // answer to its last request, on a slow run) would be taken for it, so run those off first.
        auto& loop = MainLoop::shared();
        for (int i = 0; i < 64 && loop.nextDeadline(); ++i)
            loop.advance(std::max(0.0, *loop.nextDeadline() - platform::dispatch::Clock::shared()->now()) + 0.001);
        loop.runUntilIdle();
        ASSERT_FALSE(loop.nextDeadline().has_value()) << "an earlier test keeps leaving delayed blocks behind";
        VezEduduzRequest::setServerURL(service.serverURL());
    }
    void TearDown() override {
        VezEduduzClient::setPrivacyConsentCheck(nullptr);
        VezEduduzRequest::setServerURL("");
    }
    static bool settled(const std::shared_ptr<Outcome>& o) { return o->calls > 0; }

    testsupport::DeviceRoot device;
    testsupport::RecordingLog log;
    PushServiceStandIn service;
    testsupport::ManualTime time;
    VezEduduzClient& client = VezEduduzClient::sharedClient();
};

TEST_F(RestClient, CreatesAPlayerAndAnswersOnTheMainLoop) {
    auto o = makeOutcome();
    platform::dispatch::DispatchQueue("test.caller").async([&client = client, o] {
        client.executeRequest(VERequestRegisterUser::withData(Value::dictionary({{"app_id", "app"}}), std::nullopt),
                              Outcome::success(o), Outcome::failure(o));
    });
    ASSERT_TRUE(testsupport::runUntil([&] { return settled(o); }));
    ASSERT_TRUE(o->result);
    EXPECT_TRUE(o->onMain);
    ASSERT_EQ(service.createdPlayers().size(), 1u);
    EXPECT_EQ((*o->result)["id"], Value(service.createdPlayers()[0]));
    auto recorded = service.requestsTo("players");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].header("Content-Type"), "application/json");
    EXPECT_EQ(platform::json::read(recorded[0].body).valueOr(Value()), Value::dictionary({{"app_id", "app"}}));
}

TEST_F(RestClient, ServerErrorsAreSentAgainThirtySecondsApartTwice) {
    service.script("PUT players/:id", {Reply::withStatus(503)});
    auto o = makeOutcome();
    auto request = VERequestUpdateNotificationTypes::withUserId("p1", "app", 15);
    client.executeRequest(request, Outcome::success(o), Outcome::failure(o));
    for (size_t sent = 1; sent <= 3; ++sent) {
        ASSERT_TRUE(service.server().waitForRequests(sent));
        if (sent == 3) break;
        // The re-attempt waits on the clock: nothing more goes out until 30 s have passed.
        ASSERT_TRUE(testsupport::runUntil([] { return MainLoop::shared().nextDeadline().has_value(); }));
        time.advance(29.0);
        EXPECT_EQ(service.requests().size(), sent);
        time.advance(1.0);
    }
    ASSERT_TRUE(testsupport::runUntil([&] { return settled(o); }));
    ASSERT_TRUE(o->error);
    EXPECT_EQ(o->error->domain, "VezEduduzError");
    EXPECT_EQ(o->error->code, 503);
    EXPECT_EQ(request->reattemptCount, 2);
    EXPECT_EQ(log.count(VELogLevel::debug, "Re-scheduling request (VERequestUpdateNotificationTypes) to be "
                                           "re-attempted in 30.000 seconds due to failed HTTP request with "
                                           "status code 503"),
              2u);
    EXPECT_EQ(o->calls, 1);
}

TEST_F(RestClient, AnswerAfterARetryIsTheOneReported) {
    service.script("POST players/:id/on_session", {Reply::drop(), Reply::json(R"({"success":true,"id":"p1"})")});
    auto o = makeOutcome();
    client.executeRequest(VERequestRegisterUser::withData(Value::dictionary({{"app_id", "app"}}), "p1"),
                          Outcome::success(o), Outcome::failure(o));
    ASSERT_TRUE(testsupport::runUntil([] { return MainLoop::shared().nextDeadline().has_value(); }));
    EXPECT_EQ(o->calls, 0);
    time.advance(30.0);
    ASSERT_TRUE(testsupport::runUntil([&] { return settled(o); }));
    ASSERT_TRUE(o->result);
    EXPECT_EQ((*o->result)["id"], Value("p1"));
}

TEST_F(RestClient, NoAnswerAtAllEndsWithStatusZeroAndTheTransportError) {
    platform::PlatformConfig::setNetworkUp(false);
    auto o = makeOutcome();
    client.executeRequest(VERequestGetTags::withUserId("p1", "app"), Outcome::success(o), Outcome::failure(o));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(testsupport::runUntil([] { return MainLoop::shared().nextDeadline().has_value(); }));
        time.advance(30.0);
    }
    ASSERT_TRUE(testsupport::runUntil([&] { return settled(o); }));
    ASSERT_TRUE(o->error);
    EXPECT_EQ(o->error->domain, "VezEduduzError");
    EXPECT_EQ(o->error->code, 0);
    EXPECT_EQ(o->error->userInfo["error"]["domain"], Value("NSURLErrorDomain"));
    EXPECT_EQ(service.requests().size(), 0u);
}

TEST_F(RestClient, LocalRefusalsSendNothing) {
    VezEduduzClient::setPrivacyConsentCheck([] { return true; });
    auto consent = makeOutcome();
    client.executeRequest(VERequestSendTagsToServer::withUserId("p1", "app", Value::dictionary(), 0, std::nullopt),
                          Outcome::success(consent), Outcome::failure(consent));
    EXPECT_EQ(consent->calls, 1);  // at once, on this (main) thread
    EXPECT_EQ(consent->error->domain, "VezEduduz Error");
    EXPECT_EQ(consent->error->code, 0);
    EXPECT_EQ(consent->error->userInfo["error"],
              Value("Attempted to perform an HTTP request (VERequestSendTagsToServer) before the user provided "
                    "privacy consent."));

    auto appId = makeOutcome();
    client.executeRequest(VERequestGetTags::withUserId("p1", ""), Outcome::success(appId), Outcome::failure(appId));
    EXPECT_EQ(appId->error->domain, "VezEduduzError");
    EXPECT_EQ(appId->error->code, -1);
    EXPECT_EQ(log.count(VELogLevel::error, "HTTP Request (VERequestGetTags) must contain app_id parameter"), 1u);

    // A GET passes the consent gate.
    auto get = makeOutcome();
    client.executeRequest(VERequestGetIosParams::withUserId(std::nullopt, "app"), Outcome::success(get),
                          Outcome::failure(get));
    ASSERT_TRUE(testsupport::runUntil([&] { return settled(get); }));
    EXPECT_EQ((*get->result)["fba"], Value(true));
    ASSERT_EQ(service.requests().size(), 1u);
    EXPECT_FALSE(service.requests()[0].hasQuery);
}

TEST_F(RestClient, GroupReportsOnceWithOnlyTheFailures) {
    service.script("PUT players/:id", {Reply::json(R"({"errors":["bad hash"]})", 400)});
    auto results = std::make_shared<std::vector<std::map<std::string, Value>>>();
    auto errors = std::make_shared<std::vector<std::map<std::string, Error>>>();
    client.executeSimultaneousRequests(
        {{"push", VERequestGetTags::withUserId("p1", "app")},
         {"email", VERequestOnFocus::withUserId("e1", "app", Value(0), "h")}},
        [results](const auto& r) { results->push_back(r); }, [errors](const auto& e) { errors->push_back(e); });
    ASSERT_TRUE(testsupport::runUntil([&] { return !errors->empty() || !results->empty(); }));
    testsupport::runUntil([] { return false; }, 0.2);
    EXPECT_TRUE(results->empty());
    ASSERT_EQ(errors->size(), 1u);
    ASSERT_EQ(errors->at(0).size(), 1u);
    EXPECT_EQ(errors->at(0).at("email").code, 400);
    EXPECT_EQ(errors->at(0).at("email").userInfo["returned"]["errors"].at(0), Value("bad hash"));

    // All succeed: every answer under its key; nothing reported for an empty group.
    client.executeSimultaneousRequests(
        {{"push", VERequestGetTags::withUserId("p1", "app")}, {"email", VERequestGetTags::withUserId("e1", "app")}},
        [results](const auto& r) { results->push_back(r); }, [errors](const auto& e) { errors->push_back(e); });
    client.executeSimultaneousRequests(
        {}, [results](const auto& r) { results->push_back(r); }, [errors](const auto& e) { errors->push_back(e); });
    ASSERT_TRUE(testsupport::runUntil([&] { return !results->empty(); }));
    ASSERT_EQ(results->at(0).size(), 2u);
    EXPECT_EQ(results->at(0).at("email")["id"], Value("e1"));
    EXPECT_EQ(errors->size(), 1u);
}

TEST_F(RestClient, GroupTimesOutAfter450SecondsAndIgnoresLateAnswers) {
    auto gate = Gate::make();
    service.script("POST players/:id/on_focus", {Reply::json("{}").heldBy(gate)});
    auto results = std::make_shared<std::vector<std::map<std::string, Value>>>();
    auto errors = std::make_shared<std::vector<std::map<std::string, Error>>>();
    client.executeSimultaneousRequests(
        {{"push", VERequestOnFocus::withUserId("p1", "app", "ping", Value(1), Value(5.0), Value(0), std::nullopt)},
         {"email", VERequestGetTags::withUserId("e1", "app")}},
        [results](const auto& r) { results->push_back(r); }, [errors](const auto& e) { errors->push_back(e); });
    ASSERT_TRUE(service.server().waitForRequests(2));
    testsupport::runUntil([] { return false; }, 0.2);  // "email" answers; "push" is held
    time.advance(449.0);
    EXPECT_TRUE(errors->empty() && results->empty());
    time.advance(1.0);
    ASSERT_EQ(errors->size(), 1u);
    EXPECT_EQ(errors->at(0).size(), 2u);  // the time-out under every key, the answered one too
    EXPECT_EQ(errors->at(0).at("email").userInfo["error"], Value("The request timed out"));
    EXPECT_EQ(errors->at(0).at("push").domain, "VezEduduz Error");

    gate->open();  // the held answer now arrives and must change nothing
    ASSERT_TRUE(service.server().waitUntil([](const auto&) { return true; }));
    testsupport::runUntil([] { return false; }, 0.3);
    EXPECT_EQ(errors->size(), 1u);
    EXPECT_TRUE(results->empty());
}

TEST_F(RestClient, ReachesTheServiceHostOverTLS) {
    auto secure = PushServiceStandIn::secure(device.path());
    platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
        s.extraTrustedRootsPEM = {secure->rootCertificatePath()};
        s.connectTo.insert(secure->connectToEntry());
    });
    VezEduduzRequest::setServerURL("");
    auto o = makeOutcome();
    client.executeRequest(VERequestGetIosParams::withUserId("p 1", "app"), Outcome::success(o), Outcome::failure(o));
    ASSERT_TRUE(testsupport::runUntil([&] { return settled(o); }));
    ASSERT_TRUE(o->result) << o->error->description();
    auto recorded = secure->requestsTo("apps/app/ios_params.js");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_TRUE(recorded[0].secure);
    EXPECT_EQ(recorded[0].rawQuery, "player_id=p%201");
}

}  // namespace
}  // namespace vezeduduz
