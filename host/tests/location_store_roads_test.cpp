// Location reporting and purchase tracking end to end: tesmar-sim runs the app with the location and store
// stand-ins against the push service stand-in, on the manual clock.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "host/tests/RoadFixture.h"
#include "platform/foundation/JSON.h"

namespace {

using platform::Value;
using namespace host_test;

constexpr const char* kPlayer = "7b1c2d3e-4f50-4a6b-8c7d-9e0f1a2b3c4d";

class LocationStoreRoads : public RoadFixture {
protected:
    LocationStoreRoads() : RoadFixture("location-store-roads") { settle_ = {"--settle-ms", "500"}; }

    // Every run starts on a device on which the push client registered earlier, so the player id is known.
    SimRun run(const std::string& script, std::vector<std::string> extra = {}) {
        deviceWithPlayer(kPlayer);
        return launchAgain(script, std::move(extra));
    }
    // A later launch on the device as the last run left it.
    SimRun launchAgain(const std::string& script, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"--clock", "manual"});
        return runRoad(
            script,
            writeBundle(appInfo(Value::dictionary({{"NSLocationWhenInUseUsageDescription", "To show nearby offices"}})),
                        siteConfig(true, false)),
            extra);
    }

    // Bodies of the location PUTs the player got.
    std::vector<Value> locationPuts() const {
        std::vector<Value> out;
        for (const auto& r : push_->requestsTo(std::string("players/") + kPlayer)) {
            auto body = platform::json::read(r.body);
            if (r.method == "PUT" && body.ok() && body.value().find("lat")) out.push_back(body.value());
        }
        return out;
    }
    std::vector<Value> purchasePosts() const {
        std::vector<Value> out;
        for (const auto& r : push_->requestsTo(std::string("players/") + kPlayer + "/on_purchase")) {
            auto body = platform::json::read(r.body);
            if (body.ok()) out.push_back(body.value());
        }
        return out;
    }
    static long count(const SimRun& r, const std::string& event) {
        long n = 0;
        for (const auto& e : simEvents(r)) n += e["event"] == Value(event);
        return n;
    }
};

TEST_F(LocationStoreRoads, GrantedPermissionSendsTheFixAtOnceAndAgainAfterFiveMinutes) {
    auto r = run("wait 3\nwait 290\n", {"--location-permission", "when-in-use", "--location", "52.52,13.405,12,20"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto puts = locationPuts();
    ASSERT_EQ(puts.size(), 1u) << "one send at the fix, none before the 300 s are up\n" << allOutput(r);
    EXPECT_DOUBLE_EQ(puts[0]["lat"].doubleOr(0), 52.52);
    EXPECT_DOUBLE_EQ(puts[0]["long"].doubleOr(0), 13.405);
    EXPECT_DOUBLE_EQ(puts[0]["loc_acc"].doubleOr(0), 12);
    EXPECT_DOUBLE_EQ(puts[0]["loc_acc_vert"].doubleOr(0), 20);
    EXPECT_EQ(puts[0]["loc_bg"], Value(false));
    EXPECT_TRUE(puts[0]["net_type"].isNumber());
    EXPECT_EQ(count(r, "location.updates"), 2) << "started, then stopped after one fix\n" << allOutput(r);

    auto again = run("wait 3\nwait 300\n", {"--location-permission", "when-in-use", "--location", "52.52,13.405"});
    ASSERT_EQ(again.status, 0) << allOutput(again);
    EXPECT_EQ(locationPuts().size(), 3u) << "the second run sends at its fix and once more at 300 s\n"
                                         << allOutput(again);
}

TEST_F(LocationStoreRoads, SharingTurnedOffSendsNothingAndThePromptAsksOnce) {
    auto off = run("app-call setLocationShared {\"shared\":false}\nwait 3\nwait 400\n",
                   {"--location-permission", "when-in-use", "--location", "1,2"});
    ASSERT_EQ(off.status, 0) << allOutput(off);
    EXPECT_TRUE(locationPuts().empty()) << allOutput(off);

    auto prompted = run("wait 3\napp-call promptLocation\nwait 1\n", {"--location", "3,4"});
    ASSERT_EQ(prompted.status, 0) << allOutput(prompted);
    EXPECT_EQ(count(prompted, "location.prompt"), 1) << allOutput(prompted);
    ASSERT_EQ(locationPuts().size(), 1u) << "granted at the prompt, then the fix\n" << allOutput(prompted);
    EXPECT_DOUBLE_EQ(locationPuts()[0]["lat"].doubleOr(0), 3);
}

TEST_F(LocationStoreRoads, UndeterminedPermissionStartsNothingWithoutAPrompt) {
    auto r = run("wait 3\nlocation 10 20\nwait 400\n", {"--location", "1,2"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    EXPECT_TRUE(locationPuts().empty()) << allOutput(r);
    EXPECT_EQ(count(r, "location.prompt"), 0) << allOutput(r);
    EXPECT_EQ(count(r, "location.updates"), 0) << allOutput(r);
}

TEST_F(LocationStoreRoads, PurchasesOfOneBatchGoUpInOneRequestWithPricesAndCurrencies) {
    auto r = run("store-product gems 0.99 EUR\n"
                 "store-product coins 4.5 USD\n"
                 "purchases [{\"sku\":\"gems\",\"quantity\":2},{\"sku\":\"coins\"},{\"sku\":\"gems\"},"
                 "{\"sku\":\"ghost\"},{\"sku\":\"coins\",\"state\":\"failed\"}]\n"
                 "wait 1\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto posts = purchasePosts();
    ASSERT_EQ(posts.size(), 1u) << allOutput(r);
    const Value& list = posts[0]["purchases"];
    ASSERT_TRUE(list.asArray()) << allOutput(r);
    ASSERT_EQ(list.asArray()->size(), 2u) << "the unknown product is left out\n" << allOutput(r);
    std::map<std::string, Value> bySku;
    for (const Value& p : *list.asArray()) bySku[p["sku"].stringOr("")] = p;
    EXPECT_DOUBLE_EQ(bySku["gems"]["amount"].doubleOr(0), 0.99);
    EXPECT_EQ(bySku["gems"]["iso"], Value("EUR"));
    EXPECT_EQ(bySku["gems"]["count"], Value(3));
    EXPECT_DOUBLE_EQ(bySku["coins"]["amount"].doubleOr(0), 4.5);
    EXPECT_EQ(bySku["coins"]["iso"], Value("USD"));
    EXPECT_FALSE(bySku["coins"].find("count")) << "one unit carries no count";
    EXPECT_EQ(count(r, "store.products-request"), 1) << allOutput(r);
    EXPECT_EQ(count(r, "store.transactions"), 1) << allOutput(r);

    // The app never finishes them: they come back at the next launch, where the store still knows their
    // products, and are not reported again.
    auto next = launchAgain("wait 1\n");
    ASSERT_EQ(next.status, 0) << allOutput(next);
    EXPECT_EQ(count(next, "store.transactions"), 1) << allOutput(next);
    EXPECT_EQ(purchasePosts().size(), 1u) << allOutput(next);
}

TEST_F(LocationStoreRoads, APurchaseTheServiceDidNotTakeGoesAtTheNextLaunch) {
    push_->script("POST players/:id/on_purchase", {tesmar_demo::Reply::withStatus(503)});
    auto r = run("store-product gems 0.99 EUR\npurchase gems 2\nwait 40\nwait 40\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    ASSERT_EQ(purchasePosts().size(), 3u) << "the first try and two re-attempts\n" << allOutput(r);

    // The service is back; the store still knows the product, so the purchase goes up.
    push_->clearScript("POST players/:id/on_purchase");
    auto next = launchAgain("wait 1\n");
    ASSERT_EQ(next.status, 0) << allOutput(next);
    auto posts = purchasePosts();
    ASSERT_EQ(posts.size(), 4u) << allOutput(next);
    const auto* list = posts.back()["purchases"].asArray();
    ASSERT_TRUE(list && list->size() == 1u) << allOutput(next);
    EXPECT_EQ((*list)[0]["count"], Value(2));
    EXPECT_EQ(launchAgain("wait 1\n").status, 0);
    EXPECT_EQ(purchasePosts().size(), 4u) << "taken: not sent again";
}

TEST_F(LocationStoreRoads, WithoutTheFrameworksNothingIsTrackedAndNothingCrashes) {
    auto r = run("store-product gems 0.99 EUR\npurchase gems 2\nlocation 1 2\nwait 400\n",
                 {"--without", "StoreKit", "--without", "CoreLocation", "--location-permission", "always"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    EXPECT_TRUE(purchasePosts().empty()) << allOutput(r);
    EXPECT_TRUE(locationPuts().empty()) << allOutput(r);
    EXPECT_EQ(count(r, "location.updates"), 0) << allOutput(r);
    EXPECT_EQ(count(r, "store.products-request"), 0) << allOutput(r);

    auto disallowed = run("store-product gems 0.99 EUR\npurchase gems\nwait 1\n", {"--payments", "disallowed"});
    ASSERT_EQ(disallowed.status, 0) << allOutput(disallowed);
    EXPECT_TRUE(purchasePosts().empty()) << allOutput(disallowed);
}

}  // namespace
