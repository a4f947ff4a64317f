// The push client end to end through tesmar-sim against the push-service stand-in: a push token that
// comes late, and what the client hands the app as a notification opens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/tests/RoadFixture.h"
#include "platform/foundation/JSON.h"

namespace {

using platform::Value;
using namespace host_test;

// The token the device answers with (PlatformSettings' default), as the service sees it.
constexpr const char* kToken = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

class PushClientRoads : public RoadFixture {
protected:
    PushClientRoads() : RoadFixture("push-client-roads") { onDevice_ = false; }

    // "push-receive" of a push the client shows itself, with a first button that has no text: in the
    // "ve_data" form, or with its text and buttons at the top.
    static std::string pushWithButtons(const std::string& id) {
        return R"(push-receive {"aps": {}, "ve_data": {"i": ")" + id +
               R"(", "buttons": {"m": "Lunch at noon?", "o": )" + kButtons + "}}}\n";
    }
    static std::string topLevelPushWithButtons(const std::string& id) {
        return R"(push-receive {"aps": {}, "custom": {"i": ")" + id + R"("}, "m": "Lunch at noon?", "o": )" + kButtons +
               "}\n";
    }
    static constexpr const char* kButtons = R"([{"i": "ghost"}, {"n": "Yes", "i": "yes"}, {"n": "No", "i": "no"}])";
};

// A phone offline at launch: the client gives up waiting for the token after 25 s and asks for a player
// without it at 30 s; the service refuses (503), and the token comes at 45 s, while the create waits to
// be sent again at 60 s. The player made then must still get the token.
TEST_F(PushClientRoads, ATokenThatComesWhileTheFirstCreateWaitsReachesTheService) {
    push_->script("POST players",
                  {tesmar_demo::Reply::withStatus(503), tesmar_demo::Reply::json(R"({"id":"p-late"})")});
    SimRun r = runRoad("wait 35\nwait 20\nwait 10\n", writeBundle(), {"--clock", "manual", "--push-token-delay", "45"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto creates = push_->requestsTo("players");
    ASSERT_EQ(creates.size(), 2u) << allOutput(r);
    for (const auto& create : creates)
        EXPECT_FALSE(platform::json::read(create.body).valueOr(Value()).contains("identifier")) << create.body;
    std::vector<std::string> carried;
    for (const auto& request : push_->requests())
        if (platform::json::read(request.body).valueOr(Value())["identifier"] == Value(kToken))
            carried.push_back(request.method + " " + request.path);
    EXPECT_EQ(carried, std::vector<std::string>{"PUT /api/v1/players/p-late"}) << allOutput(r);
}

// The id the app is handed is the one of the button the user saw and chose: on the in-app alert below
// system 10 (whose buttons leave out the one without a text), and as the shown notification's action
// from 10 on, in either form of the push; a plain open and the alert's Close name none.
TEST_F(PushClientRoads, AnOpenedNotificationNamesTheButtonChosen) {
    auto opened = [](const char* id, const char* action = nullptr) {
        Value line = Value::dictionary({{"event", "notification.opened"}, {"id", id}});
        if (action) line.set("action", action);
        return line;
    };
    const struct {
        const char* system;
        std::string script;
        std::vector<Value> opened;
    } roads[] = {
        {"9.3",
         pushWithButtons("n-yes") + "alert Yes\n" + pushWithButtons("n-close") + "alert Close\n" +
             topLevelPushWithButtons("n-top") + "alert No\n",
         {opened("n-yes", "yes"), opened("n-close"), opened("n-top", "no")}},
        {"17",
         pushWithButtons("n-action") + "notification-tap last yes\n" + pushWithButtons("n-plain") +
             "notification-tap last\n" + topLevelPushWithButtons("n-top") + "notification-tap last no\n",
         {opened("n-action", "yes"), opened("n-plain"), opened("n-top", "no")}},
    };
    for (const auto& road : roads) {
        SimRun r = runRoad(road.script, writeBundle(), {"--system-version", road.system});
        ASSERT_EQ(r.status, 0) << allOutput(r);
        EXPECT_EQ(eventsNamed(simEvents(r), "notification.opened"), road.opened) << allOutput(r);
    }
}

}  // namespace
