// The push client end to end through tesmar-sim against the push-service stand-in: a push token that
// comes late.
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

}  // namespace
