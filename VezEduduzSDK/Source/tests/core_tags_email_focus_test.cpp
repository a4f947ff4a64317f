// Tags, outgoing notifications, switches, the e-mail subscription, focus tracking and what a
// registration replays, against the push-service stand-in on the manual clock.
#include <set>

#include "VezEduduzSDK/Source/internal/VezEduduzTracker.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "platform/urlsession/URLSession.h"

namespace core_test {
namespace {

using tesmar_testing::Reply;

struct Outcomes {
    std::vector<std::string> seen;  // "ok <label>" / "fail <label>", in call order
    VezEduduz::VEResultBlock ok(std::string label) {
        return [this, label](const Value&) { seen.push_back("ok " + label); };
    }
    VezEduduz::VEErrorBlock fail(std::string label) {
        return [this, label](const Error&) { seen.push_back("fail " + label); };
    }
    VezEduduz::VEEmailSuccessBlock done(std::string label) {
        return [this, label] { seen.push_back("ok " + label); };
    }
};

class PushCallsTest : public CoreTest {
protected:
    // A device registered as player "p1" of kAppId, last session long ago; the app id resolved.
    void registeredDevice() {
        ASSERT_TRUE(store()->setString(kAppId, "VD_APP_ID").ok());
        ASSERT_TRUE(store()->setString("p1", "VD_PLAYER_ID").ok());
        ASSERT_TRUE(store()->setDouble(kStart - 3600, "VD_LAST_CLOSED_TIME").ok());
        ASSERT_TRUE(VezEduduz::initAppId(Value(kAppId), Value::dictionary()));
    }
    // A fresh device: the app id resolved, no player yet.
    void newDevice() { ASSERT_TRUE(VezEduduz::initAppId(Value(kAppId), Value::dictionary())); }

    std::vector<tesmar_testing::RecordedRequest> requests(const std::string& method, const std::string& path) const {
        std::vector<tesmar_testing::RecordedRequest> out;
        for (auto& r : service.requestsTo(path))
            if (r.method == method) out.push_back(r);
        return out;
    }
    std::vector<Value> bodies(const std::string& method, const std::string& path) const {
        std::vector<Value> out;
        for (auto& r : requests(method, path)) out.push_back(bodyOf(r));
        return out;
    }
    // Bodies of PUT players/p1 that carry `key`.
    std::vector<Value> playerPuts(const std::string& key, const std::string& player = "p1") const {
        std::vector<Value> out;
        for (auto& b : bodies("PUT", "players/" + player))
            if (b.contains(key)) out.push_back(b);
        return out;
    }
    // Lets the network answer (real time) without moving the clock.
    void settle() {
        auto& loop = MainLoop::shared();
        loop.runUntilIdle();
        loop.runUntil([] { return URLSession::tasksInFlight() == 0; }, 10);
        loop.runUntilIdle();
        loop.runUntil([] { return URLSession::tasksInFlight() == 0; }, 10);
        loop.runUntilIdle();
    }
    void advance(double seconds) {
        MainLoop::shared().advance(seconds);
        settle();
    }
    // Registers the fresh device (no token, prompt never answered does not matter here).
    void registerNow() {
        VezEduduz::registerUser();
        ASSERT_TRUE(waitFor([] { return !VezEduduz::registrationInFlight(); }));
        settle();
    }
    static std::set<std::string> keysOf(const Value& body) {
        std::set<std::string> keys;
        if (auto* d = body.asDictionary())
            for (auto& [k, v] : *d) keys.insert(k);
        return keys;
    }
};

// ---- tags ----

TEST_F(PushCallsTest, TagCallsWithinTheWindowMergeAndShareOneOutcome) {
    struct Case {
        const char* name;
        int status;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"accepted", 200, {"ok 1", "ok 2", "ok 3"}},
        {"refused", 400, {"fail 1", "fail 2", "fail 3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        relaunch();
        registeredDevice();
        service.script("PUT players/:id", {Reply::json(R"({"success":true})", c.status)});
        size_t before = playerPuts("tags").size();
        Outcomes out;
        VezEduduz::sendTag("a", "1", out.ok("1"), out.fail("1"));
        advance(3);
        VezEduduz::sendTags(Value::dictionary({{"a", "2"}, {"b", 3}}), out.ok("2"), out.fail("2"));
        advance(3);
        VezEduduz::deleteTags({"b", "c"}, out.ok("3"), out.fail("3"));
        VezEduduz::sendTag("d", std::nullopt);  // no value: nothing to merge
        advance(4.9);
        EXPECT_EQ(playerPuts("tags").size(), before) << "5 quiet seconds first";
        advance(0.2);
        auto puts = playerPuts("tags");
        ASSERT_EQ(puts.size(), before + 1);
        // "b" was still waiting with 3: its delete is sent anyway, the service may hold an older value.
        EXPECT_EQ(puts.back()["tags"], Value::dictionary({{"a", "2"}, {"b", ""}, {"c", ""}}));
        EXPECT_EQ(out.seen, c.expected);
        service.clearScript("PUT players/:id");
    }
}

TEST_F(PushCallsTest, RefusedTagCallsLeaveNothingPendingAndAreNotAnswered) {
    registeredDevice();
    Outcomes out;
    VezEduduz::sendTags(Value::dictionary({{"x", Value::dictionary({{"y", 1}})}}), out.ok("nested"),
                        out.fail("nested"));
    VezEduduz::sendTags(Value::dictionary({{"when", Date::now()}}), out.ok("date"), out.fail("date"));
    VezEduduz::sendTagsWithJsonString("[1,2]");
    VezEduduz::deleteTagsWithJsonString("{\"a\":1}");
    advance(6);
    EXPECT_TRUE(playerPuts("tags").empty());
    EXPECT_TRUE(out.seen.empty());
    EXPECT_EQ(linesContaining("sendTags Tags JSON must not contain nested objects"), 1u);
    EXPECT_EQ(linesContaining("sendTags JSON Invalid: The following key/value pairs"), 1u);
    EXPECT_EQ(linesContaining("sendTags JSON Parse Error, JSON: [1,2]"), 1u);
    EXPECT_EQ(linesContaining("deleteTags JSON Parse Error, JSON: {\"a\":1}"), 1u);
}

TEST_F(PushCallsTest, TheEmailPlayerGetsItsOwnTagRequestWithItsHash) {
    registeredDevice();
    auto email = VezEduduz::currentEmailSubscriptionState();
    email->setEmailUserId("e1");
    email->setEmailAuthCode("hash1");
    VezEduduz::sendTags(Value::dictionary({{"a", "1"}}));
    advance(5.1);
    auto puts = playerPuts("tags", "e1");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0]["email_auth_hash"], Value("hash1"));
    EXPECT_FALSE(playerPuts("tags").at(0).contains("email_auth_hash"));
}

TEST_F(PushCallsTest, GetTagsWaitsForThePlayerAndPostNotificationSendsDatesAsText) {
    newDevice();
    std::vector<Value> got;
    VezEduduz::getTags([&](const Value& tags) { got.push_back(tags); });
    settle();
    EXPECT_TRUE(requests("GET", "players/" + std::string("p1")).empty());
    registerNow();
    ASSERT_TRUE(waitFor([&] { return !got.empty(); }));
    EXPECT_TRUE(got[0].isDictionary());

    Date when = Date::fromTimeIntervalSince1970(1'700'000'000);
    VezEduduz::postNotification(Value::dictionary({{"contents", Value::dictionary({{"en", "hi"}})},
                                                   {"send_after", when},
                                                   {"include_player_ids", Value::array({"p2"})}}));
    settle();
    auto posted = bodies("POST", "notifications");
    ASSERT_EQ(posted.size(), 1u);
    const std::string* text = posted[0]["send_after"].asString();
    ASSERT_TRUE(text);
    // "yyyy-MM-ddTHH:mm:ss+hh:mm" in local time.
    ASSERT_EQ(text->size(), 25u) << *text;
    EXPECT_EQ((*text)[10], 'T');
    EXPECT_EQ((*text)[22], ':');
    EXPECT_EQ(posted[0]["app_id"], Value(kAppId));
}

// ---- requests ----

TEST_F(PushCallsTest, EachCallSendsItsMethodPathAndBodyKeys) {
    registeredDevice();
    auto email = VezEduduz::currentEmailSubscriptionState();
    struct Case {
        const char* name;
        std::function<void()> call;
        std::string method, path;
        std::set<std::string> keys;
        bool sentByTheRowBefore = false;
    };
    const Case cases[] = {
        {"sendTags",
         [&] {
             VezEduduz::sendTags(Value::dictionary({{"a", "1"}}));
             advance(5.1);
         },
         "PUT",
         "players/p1",
         {"app_id", "net_type", "tags"}},
        {"getTags", [] { VezEduduz::getTags([](const Value&) {}); }, "GET", "players/p1", {}},
        {"postNotification",
         [] {
             VezEduduz::postNotification(Value::dictionary({{"contents", Value::dictionary({{"en", "x"}})}}));
         },
         "POST",
         "notifications",
         {"app_id", "contents"}},
        {"setSubscription",
         [] { VezEduduz::setSubscription(false); },
         "PUT",
         "players/p1",
         {"app_id", "notification_types"}},
        {"syncHashedEmail",
         [] { VezEduduz::syncHashedEmail(" ann@tesmar.example "); },
         "PUT",
         "players/p1",
         {"app_id", "em_m", "em_s", "net_type"}},
        {"setEmail: create",
         [] { VezEduduz::setEmail("ann@tesmar.example", std::nullopt); },
         "POST",
         "players",
         {"app_id", "device_player_id", "device_type", "email_auth_hash", "identifier"}},
        {"setEmail: link",
         [] {},
         "PUT",
         "players/p1",
         {"app_id", "email", "notification_types", "parent_player_id"},
         true},
        {"setEmail: update",
         [&] { VezEduduz::setEmail("bob@tesmar.example", std::nullopt); },
         "PUT",
         "players/@email",
         {"app_id", "identifier"}},
        {"logoutEmail",
         [] { VezEduduz::logoutEmail(); },
         "POST",
         "players/p1/email_logout",
         {"app_id", "email_auth_hash", "parent_player_id"}},
        {"focus ping",
         [&] {
             VezEduduzTracker::onFocus(false);
             clock->advance(31);
             VezEduduzTracker::onFocus(true);
         },
         "POST",
         "players/p1/on_focus",
         {"active_time", "app_id", "net_type", "state", "type"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = c.path;
        if (path == "players/@email") path = "players/" + email->emailUserId().value_or("?");
        size_t before = requests(c.method, path).size();
        c.call();
        settle();
        if (path == "players/@email") path = "players/" + email->emailUserId().value_or("?");
        auto sent = requests(c.method, path);
        if (!c.sentByTheRowBefore) {
            ASSERT_GT(sent.size(), before);
        }
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(keysOf(bodyOf(sent.back())), c.keys) << sent.back().body;
    }
}

// ---- registration replays ----

TEST_F(PushCallsTest, WhatWaitedForThePlayerGoesAfterASuccessfulRegistration) {
    newDevice();
    Outcomes out;
    VezEduduz::sendTags(Value::dictionary({{"a", "1"}}), out.ok("tags"), out.fail("tags"));
    VezEduduz::setEmail("ann@tesmar.example", std::nullopt, out.done("email"), out.fail("email"));
    VezEduduz::syncHashedEmail("ann@tesmar.example");
    VezEduduz::getTags(out.ok("getTags"), out.fail("getTags"));
    advance(6);
    EXPECT_EQ(service.requests().size(), 0u) << "everything waits for the player";

    registerNow();
    ASSERT_TRUE(waitFor([&] { return out.seen.size() == 3; })) << ::testing::PrintToString(out.seen);
    std::string player = service.createdPlayers().at(0);
    struct Replay {
        const char* what;
        std::string method, path;
        std::string key;
    };
    const Replay replays[] = {
        {"tags ride in the create body", "POST", "players", "tags"},
        {"the parked setEmail creates the e-mail player", "POST", "players", "device_player_id"},
        {"the parked hashed e-mail", "PUT", "players/" + player, "em_m"},
        {"the parked getTags", "GET", "players/" + player, ""},
    };
    for (const auto& r : replays) {
        SCOPED_TRACE(r.what);
        auto sent = requests(r.method, r.path);
        bool found = false;
        for (auto& s : sent) found = found || r.key.empty() || bodyOf(s).contains(r.key);
        EXPECT_TRUE(found);
    }
    // The tag callbacks hear first (at once), the e-mail and getTags when their requests come back.
    EXPECT_EQ(out.seen.at(0), "ok tags");
    EXPECT_EQ(std::set<std::string>(out.seen.begin() + 1, out.seen.end()),
              (std::set<std::string>{"ok email", "ok getTags"}));
}

// Without a player nothing would send tags later or read them: each batch and each tag read hears the
// failure once, those given before the registration, while it was out, and after it until one is sent
// again. The rest waits for the player.
TEST_F(PushCallsTest, AFailedFirstRegistrationFailsTheTagCallsAndKeepsWhatWaited) {
    newDevice();
    service.script("POST players", {Reply::json(R"({"errors":["no"]})", 400), Reply::json(R"({"id":"p9"})")});
    Outcomes out;
    VezEduduz::sendTags(Value::dictionary({{"a", "1"}}), out.ok("before"), out.fail("before"));
    VezEduduz::syncHashedEmail("ann@tesmar.example");
    VezEduduz::getTags(out.ok("getTags"), out.fail("getTags"));
    VezEduduz::registerUser();
    ASSERT_TRUE(VezEduduz::registrationInFlight());
    VezEduduz::sendTags(Value::dictionary({{"b", "1"}}), out.ok("during"), out.fail("during"));
    ASSERT_TRUE(waitFor([] { return !VezEduduz::registrationInFlight(); }));
    settle();
    VezEduduz::sendTags(Value::dictionary({{"c", "1"}}), out.ok("after"), out.fail("after"));
    VezEduduz::getTags(out.ok("getTags after"), out.fail("getTags after"));
    settle();
    EXPECT_EQ(out.seen, (std::vector<std::string>{"fail before", "fail during", "fail getTags", "fail after",
                                                  "fail getTags after"}));
    EXPECT_EQ(linesContaining("Encountered error during push registration with VezEduduz"), 1u);
    EXPECT_TRUE(VezEduduz::isHighPriorityCall());

    registerNow();
    auto creates = bodies("POST", "players");
    ASSERT_EQ(creates.size(), 2u);
    EXPECT_EQ(creates[0]["tags"], Value::dictionary({{"a", "1"}}));
    EXPECT_FALSE(creates[1].contains("tags")) << "their callers heard they failed";
    EXPECT_TRUE(requests("GET", "players/p9").empty()) << "the reads were answered already";
    EXPECT_EQ(out.seen.size(), 5u);
    EXPECT_EQ(playerPuts("em_m", "p9").size(), 1u);
}

TEST_F(PushCallsTest, ASessionAnswerWithoutAnIdStillConfirmsThePlayer) {
    registeredDevice();
    service.script("POST players/:id/on_session", {Reply::json(R"({"success":true})")});
    Outcomes out;
    VezEduduz::syncHashedEmail("ann@tesmar.example");  // the player exists: sent at once
    VezEduduz::sendTags(Value::dictionary({{"a", "1"}}), out.ok("tags"), out.fail("tags"));
    MainLoop::shared().cancel("VezEduduz.sendTagsToServer");  // ride along instead
    registerNow();
    EXPECT_EQ(out.seen, (std::vector<std::string>{"ok tags"}));
    EXPECT_EQ(VezEduduz::mUserId(), "p1");
}

TEST_F(PushCallsTest, TagsGivenDuringARegistrationGoFiveSecondsAfterIt) {
    newDevice();
    VezEduduz::registerUser();
    ASSERT_TRUE(VezEduduz::registrationInFlight());
    VezEduduz::sendTags(Value::dictionary({{"late", "1"}}));
    ASSERT_TRUE(waitFor([] { return !VezEduduz::registrationInFlight(); }));
    settle();
    std::string player = service.createdPlayers().at(0);
    EXPECT_FALSE(bodies("POST", "players").at(0).contains("tags"));
    advance(4.9);
    EXPECT_TRUE(playerPuts("tags", player).empty());
    advance(0.2);
    ASSERT_EQ(playerPuts("tags", player).size(), 1u);
    EXPECT_EQ(playerPuts("tags", player)[0]["tags"], Value::dictionary({{"late", "1"}}));
}

TEST_F(PushCallsTest, ANewEmailPlayerIdFromASessionIsLinkedAgain) {
    registeredDevice();
    auto email = VezEduduz::currentEmailSubscriptionState();
    email->setEmailUserId("e1");
    email->setEmailAddress("ann@tesmar.example");
    email->setEmailAuthCode("h1");
    email->persist();
    service.script("POST players/:id/on_session",
                   {Reply::dynamic([](const tesmar_testing::RecordedRequest& r, Reply& reply) {
                       bool emailPlayer = r.path.find("/e1/") != std::string::npos;
                       reply.body = emailPlayer ? R"({"success":true,"id":"e2"})" : R"({"success":true,"id":"p1"})";
                   })});
    registerNow();
    EXPECT_EQ(bodies("POST", "players/e1/on_session").at(0)["email_auth_hash"], Value("h1"));
    EXPECT_EQ(VezEduduz::mEmailUserId(), "e2");
    EXPECT_EQ(store()->stringForKey("VD_EMAIL_PLAYER_ID"), "e2");
    auto links = playerPuts("parent_player_id");
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0]["parent_player_id"], Value("e2"));
    EXPECT_EQ(links[0]["email_auth_hash"], Value("h1"));
    EXPECT_EQ(links[0]["email"], Value("ann@tesmar.example"));
}

// ---- switches ----

TEST_F(PushCallsTest, SubscriptionSwitchStoresAndReleasesObserversWithoutARequest) {
    newDevice();  // no player: no update goes out
    VezEduduz::setSubscription(false);
    EXPECT_EQ(store()->stringForKey("VEZEDUDUZ_SUBSCRIPTION"), "no");
    EXPECT_FALSE(VezEduduz::shouldDelaySubscriptionSettingsUpdate());
    VezEduduz::setSubscription(true);
    EXPECT_FALSE(store()->objectForKey("VEZEDUDUZ_SUBSCRIPTION"));
    VezEduduz::enableInAppLaunchURL(false);
    EXPECT_EQ(store()->objectForKey("VEZEDUDUZ_INAPP_LAUNCH_URL"), Value(false));
    VezEduduz::setLocationShared(false);
    EXPECT_FALSE(VezEduduz::locationShared());
}

// ---- e-mail ----

TEST_F(PushCallsTest, SetEmailRefusesParksAndShortcuts) {
    registeredDevice();
    auto email = VezEduduz::currentEmailSubscriptionState();
    Outcomes out;
    VezEduduz::setEmail("not an address", std::nullopt, out.done("invalid"), out.fail("invalid"));
    email->setRequiresEmailAuth(true);
    VezEduduz::setEmail("ann@tesmar.example", "", out.done("no hash"), out.fail("no hash"));
    EXPECT_EQ(out.seen, (std::vector<std::string>{"fail invalid", "fail no hash"}));
    EXPECT_EQ(linesContaining("Invalid email (not an address) passed to setEmail"), 1u);

    // With a hash before the parameters: parked (and the parameters asked for); a second parked call
    // replaces the first, which is told so.
    service.setIosParams(R"({"require_email_auth":true})");
    VezEduduz::setEmail("ann@tesmar.example", "h1", out.done("first"), out.fail("first"));
    VezEduduz::setEmail("ann@tesmar.example", "h2", out.done("second"), out.fail("second"));
    EXPECT_EQ(out.seen.back(), "fail first");
    EXPECT_TRUE(requests("POST", "players").empty());
    ASSERT_TRUE(waitFor([&] { return out.seen.back() == "ok second"; })) << ::testing::PrintToString(out.seen);
    EXPECT_EQ(requests("POST", "players").size(), 1u);
    EXPECT_TRUE(VezEduduz::iosParamsReceived());
    EXPECT_EQ(email->emailAddress(), "ann@tesmar.example");
    EXPECT_EQ(email->emailAuthCode(), "h2");
    EXPECT_EQ(store()->stringForKey("EMAIL_ADDRESS"), "ann@tesmar.example");

    size_t sent = service.requests().size();
    VezEduduz::setEmail("ann@tesmar.example", "h2", out.done("again"), out.fail("again"));
    EXPECT_EQ(out.seen.back(), "ok again");
    settle();
    EXPECT_EQ(service.requests().size(), sent);
}

TEST_F(PushCallsTest, EmailStateChangesOnlyWhenTheServiceAgreed) {
    registeredDevice();
    auto email = VezEduduz::currentEmailSubscriptionState();
    struct Case {
        const char* name;
        const char* endpoint;
        Reply reply;
        bool kept;  // the e-mail player is this device's afterwards
    };
    Case cases[] = {
        {"create answer without id", "POST players", Reply::json(R"({"success":true})"), false},
        {"link refused: the created player stays", "PUT players/:id", Reply::json(R"({"errors":["no"]})", 400), true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        service.script(c.endpoint, {c.reply});
        Outcomes out;
        VezEduduz::setEmail("ann@tesmar.example", std::nullopt, out.done("set"), out.fail("set"));
        ASSERT_TRUE(waitFor([&] { return !out.seen.empty(); }));
        EXPECT_EQ(out.seen[0], "fail set");
        EXPECT_EQ(email->emailAddress().has_value(), c.kept);
        EXPECT_EQ(email->emailUserId().has_value(), c.kept);
        service.clearScript(c.endpoint);
    }
    // The same address again, in a later process, only tries the link again; once linked, a further call
    // sends nothing.
    relaunch();
    ASSERT_TRUE(VezEduduz::initAppId(Value(kAppId), Value::dictionary()));
    email = VezEduduz::currentEmailSubscriptionState();
    size_t creates = requests("POST", "players").size();
    Outcomes out;
    VezEduduz::setEmail("ann@tesmar.example", out.done("link"), nullptr);
    ASSERT_TRUE(waitFor([&] { return !out.seen.empty(); }));
    VezEduduz::setEmail("ann@tesmar.example", out.done("again"), nullptr);
    EXPECT_EQ(out.seen, (std::vector<std::string>{"ok link", "ok again"}));
    settle();
    EXPECT_EQ(requests("POST", "players").size(), creates);
    auto links = playerPuts("parent_player_id");
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[1]["parent_player_id"], Value(*email->emailUserId()));
    VezEduduz::setEmail("bob@tesmar.example", out.done("update"), nullptr);
    ASSERT_TRUE(waitFor([&] { return out.seen.size() == 3; }));
    EXPECT_EQ(email->emailAddress(), "bob@tesmar.example");
    EXPECT_EQ(store()->stringForKey("EMAIL_ADDRESS"), "bob@tesmar.example");

    // A new app id leaves nothing of the old e-mail player behind.
    relaunch();
    ASSERT_TRUE(VezEduduz::initAppId(Value(kOtherAppId), Value::dictionary()));
    EXPECT_FALSE(VezEduduz::mEmailUserId());
    EXPECT_FALSE(store()->objectForKey("VD_EMAIL_PLAYER_ID"));
    EXPECT_FALSE(store()->objectForKey("EMAIL_ADDRESS"));
}

TEST_F(PushCallsTest, AParkedHashedEmailHearsWhenTheParametersFail) {
    registeredDevice();
    service.script("GET apps/:id/ios_params.js", {Reply::json(R"({"errors":["no"]})", 400)});
    Outcomes out;
    VezEduduz::downloadIOSParamsWithAppId(kAppId);
    VezEduduz::setEmail("ann@tesmar.example", "h1", out.done("set"), out.fail("set"));
    ASSERT_TRUE(waitFor([&] { return !out.seen.empty(); }));
    EXPECT_EQ(out.seen[0], "fail set");
    // The parameters are asked for again by the next hashed call.
    service.clearScript("GET apps/:id/ios_params.js");
    VezEduduz::setEmail("ann@tesmar.example", "h1", out.done("retry"), out.fail("retry"));
    ASSERT_TRUE(waitFor([&] { return out.seen.size() == 2; }));
    EXPECT_EQ(out.seen[1], "ok retry");
    EXPECT_EQ(VezEduduz::sdk_semantic_version(), "2.8.9");
}

// ---- focus ----

TEST_F(PushCallsTest, ForegroundSpellsAddUpUntilTheyAreReported) {
    struct Step {
        bool toBackground;
        double after;  // seconds before this step
    };
    struct Case {
        const char* name;
        bool registered;
        std::vector<Step> steps;
        double closedAgo;            // VD_LAST_CLOSED_TIME: this long before the end
        double stored;               // VD_UNSENT_ACTIVE_TIME after the steps
        std::vector<double> pinged;  // active_time of each ping
    };
    const Case cases[] = {
        {"two spells reach 30 s", true, {{false, 0}, {true, 10}, {false, 5}, {true, 25}}, 0, 0, {36}},
        {"resign then terminate count once", true, {{false, 0}, {true, 10}, {true, 1}}, 1, 10.5, {}},
        {"a day-long spell is dropped", true, {{false, 0}, {true, 90000}}, 0, 0, {}},
        {"without a player the time waits", false, {{false, 0}, {true, 40}}, 0, 40.5, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        relaunch();
        (void)store()->removeObjectForKey("VD_UNSENT_ACTIVE_TIME");
        (void)store()->removeObjectForKey("VD_PLAYER_ID");
        if (c.registered)
            registeredDevice();
        else
            newDevice();
        size_t before = requests("POST", "players/p1/on_focus").size();
        for (const auto& step : c.steps) {
            clock->advance(step.after);
            VezEduduzTracker::onFocus(step.toBackground);
        }
        settle();
        EXPECT_EQ(store()->objectForKey("VD_UNSENT_ACTIVE_TIME").value_or(Value(0.0)).doubleOr(-1), c.stored);
        auto pings = bodies("POST", "players/p1/on_focus");
        ASSERT_EQ(pings.size() - before, c.pinged.size());
        for (size_t i = 0; i < c.pinged.size(); ++i)
            EXPECT_EQ(pings[before + i]["active_time"].doubleOr(-1), c.pinged[i]);
        EXPECT_DOUBLE_EQ(store()->doubleForKey("VD_LAST_CLOSED_TIME").value_or(0), clock->now() - c.closedAgo);
    }
}

TEST_F(PushCallsTest, APingTheServiceRefusedIsAddedBack) {
    registeredDevice();
    launchApplication();
    service.script("POST players/:id/on_focus", {Reply::json(R"({"errors":["no"]})", 400)});
    VezEduduzTracker::onFocus(false);
    clock->advance(40);
    VezEduduzTracker::onFocus(true);
    ASSERT_TRUE(waitFor([&] { return VezEduduzTracker::getUnsentActiveTime() == 40.5; }));
    EXPECT_EQ(uikit::Application::shared()->backgroundTaskCount(), 0u) << "the ping's task ended with its answer";
}

TEST_F(PushCallsTest, ConsentMissingMeansNoFocusWork) {
    registeredDevice();
    VezEduduz::setRequiresUserPrivacyConsent(true);
    VezEduduzTracker::onFocus(false);
    clock->advance(40);
    VezEduduzTracker::onFocus(true);
    EXPECT_DOUBLE_EQ(store()->doubleForKey("VD_LAST_CLOSED_TIME").value_or(0), kStart - 3600);
    EXPECT_FALSE(store()->objectForKey("VD_UNSENT_ACTIVE_TIME"));
}

TEST_F(PushCallsTest, WithoutConsentEachFormNamesItselfAndDoesNothing) {
    registeredDevice();
    VezEduduz::setRequiresUserPrivacyConsent(true);
    auto ok = [](const Value&) {};
    auto fail = [](const Error&) {};
    auto done = [] {};
    const std::pair<std::function<void()>, const char*> forms[] = {
        {[] {
             VezEduduz::sendTags(Value::dictionary({{"a", "1"}}));
         },
         "sendTags:"},
        {[&] {
             VezEduduz::sendTags(Value::dictionary({{"a", "1"}}), ok, fail);
         },
         "sendTags:onSuccess:onFailure:"},
        {[] { VezEduduz::sendTagsWithJsonString("not json"); }, "sendTagsWithJsonString:"},
        {[] { VezEduduz::sendTag("a", "1"); }, "sendTag:value:"},
        {[&] { VezEduduz::sendTag("a", "1", ok, fail); }, "sendTag:value:onSuccess:onFailure:"},
        {[&] { VezEduduz::getTags(ok); }, "getTags:"},
        {[&] { VezEduduz::getTags(ok, fail); }, "getTags:onFailure:"},
        {[] { VezEduduz::deleteTags({"a"}); }, "deleteTags:"},
        {[] { VezEduduz::deleteTag("a"); }, "deleteTag:"},
        {[&] { VezEduduz::deleteTag("a", ok, fail); }, "deleteTag:onSuccess:onFailure:"},
        {[] { VezEduduz::deleteTagsWithJsonString("[1"); }, "deleteTagsWithJsonString:"},
        {[] { VezEduduz::postNotification(Value::dictionary()); }, "postNotification:"},
        {[&] { VezEduduz::postNotification(Value::dictionary(), ok, fail); }, "postNotification:onSuccess:onFailure:"},
        {[] { VezEduduz::postNotificationWithJsonString("{"); }, "postNotificationWithJsonString:onSuccess:onFailure:"},
        {[] { VezEduduz::setEmail("ann@tesmar.example"); }, "setEmail:"},
        {[&] { VezEduduz::setEmail("ann@tesmar.example", done, fail); }, "setEmail:withSuccess:withFailure:"},
        {[] { VezEduduz::setEmail("ann@tesmar.example", "h"); }, "setEmail:withEmailAuthHashToken:"},
        {[&] { VezEduduz::setEmail("ann@tesmar.example", "h", done, fail); },
         "setEmail:withEmailAuthHashToken:withSuccess:withFailure:"},
        {[] { VezEduduz::logoutEmail(); }, "logoutEmail"},
        {[&] { VezEduduz::logoutEmail(done, fail); }, "logoutEmailWithSuccess:withFailure:"},
    };
    for (const auto& [call, name] : forms) {
        SCOPED_TRACE(name);
        size_t warnings = linesContaining("before the user granted privacy permission");
        call();
        settle();
        EXPECT_EQ(linesContaining("before the user granted privacy permission"), warnings + 1);
        EXPECT_EQ(linesContaining(std::string("Your application has called ") + name + " before"), 1u);
    }
    EXPECT_EQ(linesContaining("Parse Error"), 0u) << "refused before the text is read";
    advance(6);
    EXPECT_TRUE(service.requests().empty());
}

// ---- start-up ----

TEST_F(PushCallsTest, ShortStartUpFormUsesTheDefaultSettingsAndWarnsAboutDeprecatedDelegateMethods) {
    objc::ClassBuilder b(objc::Runtime::shared(), "DeprecatedLocalDelegate", uikit::responderClass());
    b.method(objc::sel("application:didReceiveLocalNotification:"),
             objc::makeImp([](objc::Object*, objc::Selector, ObjectHandle, Value) {}));
    b.registerClass();
    auto app = uikit::launchApplication("UIApplication", "DeprecatedLocalDelegate");
    ASSERT_TRUE(app.ok());
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), [](std::shared_ptr<VENotificationOpenedResult>) {});
    MainLoop::shared().runUntilIdle();
    EXPECT_TRUE(VezEduduz::autoPrompt());
    EXPECT_EQ(linesContaining("implements a deprecated method (application:didReceiveLocalNotification:)"), 1u);
    EXPECT_EQ(linesContaining("deprecated method (application:handleActionWithIdentifier:"), 0u);
}

}  // namespace
}  // namespace core_test
