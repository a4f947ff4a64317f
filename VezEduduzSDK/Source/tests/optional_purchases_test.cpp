// The purchase tracker over the platform's store: what is counted, what waits for the store's answer, and
// what is never reported twice.
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzTrackIAP.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "platform/storekit/StoreKit.h"

namespace core_test {
namespace {

namespace sk = platform::storekit;
using sk::TransactionState;
using tesmar_demo::Reply;

class PurchasesTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        PlatformConfig::update([](PlatformSettings& s) { s.optionalFrameworks.insert(sk::kFrameworkName); });
        sk::registerClasses();
        sk::addProduct({"gems", 0.99, "EUR"});
        sk::addProduct({"coins", 2.5, "USD"});
    }

    void start() {
        mainThread.assertOnThread();
        launchApplication();
        VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr,
                                         Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}));
        ASSERT_TRUE(waitFor([&] { return VezEduduz::mUserId().has_value(); }));
        settleRegistration();
        ASSERT_TRUE(statics().purchaseTracker);
    }

    std::vector<Value> posts() {
        auto id = VezEduduz::mUserId();
        std::vector<Value> out;
        if (!id) return out;
        for (const auto& r : service.requestsTo("players/" + *id + "/on_purchase")) out.push_back(bodyOf(r));
        return out;
    }
    bool waitForPosts(size_t n) {
        return waitFor([&] { return posts().size() >= n; }, 10) && posts().size() == n;
    }
    // Whether the tracker keeps `id` as reported (the service took it, or the store does not know it).
    static bool reported(const std::string& id) {
        auto list = defaults::object(VezEduduzTrackIAP::kReportedIdsKey).value_or(Value());
        return list.asArray() && std::count(list.asArray()->begin(), list.asArray()->end(), Value(id)) > 0;
    }
    static std::map<std::string, Value> bySku(const Value& post) {
        std::map<std::string, Value> out;
        if (auto* list = post["purchases"].asArray())
            for (const Value& p : *list) out[p["sku"].stringOr("")] = p;
        return out;
    }
};

TEST_F(PurchasesTest, ABatchIsSummedPerProductAndOnlyPurchasesCount) {
    struct Row {
        const char* name;
        std::vector<sk::TransactionSpec> batch;
        std::map<std::string, std::optional<int64_t>> expected;  // sku -> "count" (nullopt: absent)
    };
    const Row rows[] = {
        {"one unit carries no count", {{"gems", 1, TransactionState::Purchased}}, {{"gems", std::nullopt}}},
        {"quantities 1 and 2 of one product",
         {{"gems", 1, TransactionState::Purchased}, {"gems", 2, TransactionState::Purchased}},
         {{"gems", 3}}},
        {"restored and failed give nothing",
         {{"coins", 1, TransactionState::Restored},
          {"coins", 1, TransactionState::Failed},
          {"gems", 4, TransactionState::Purchased}},
         {{"gems", 4}}},
        {"an unknown product is left out",
         {{"ghost", 1, TransactionState::Purchased}, {"coins", 2, TransactionState::Purchased}},
         {{"coins", 2}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        settleRegistration();
        tesmar_testing::resetProcessState();
        SetUp();
        start();
        size_t before = posts().size();
        auto ids = sk::deliverTransactions(row.batch);
        ASSERT_TRUE(waitFor([&] { return posts().size() > before; }, 5));
        // Taken: the next row's launch does not send them again.
        for (size_t i = 0; i < ids.size(); ++i) {
            if (row.batch[i].state == TransactionState::Purchased) {
                ASSERT_TRUE(waitFor([&] { return reported(ids[i]); }));
            }
        }
        auto got = bySku(posts().back());
        ASSERT_EQ(got.size(), row.expected.size());
        for (const auto& [sku, count] : row.expected) {
            ASSERT_TRUE(got.count(sku)) << sku;
            EXPECT_EQ(got[sku]["count"].asInteger(), count) << sku;
            EXPECT_TRUE(got[sku]["amount"].isNumber());
        }
        EXPECT_EQ(got.begin()->second["iso"], Value(got.begin()->first == "gems" ? "EUR" : "USD"));
    }
}

TEST_F(PurchasesTest, NothingPurchasedOrNothingKnownSendsNothing) {
    mainThread.assertOnThread();
    start();
    sk::deliverTransactions({{"gems", 1, TransactionState::Failed}});
    MainLoop::shared().runUntilIdle();
    EXPECT_FALSE(statics().purchaseTracker->waitingUnits().size());
    sk::deliverTransactions({{"ghost", 1, TransactionState::Purchased}});
    EXPECT_FALSE(waitForPosts(1));
}

TEST_F(PurchasesTest, AFailedLookUpKeepsThePurchasesForTheNextBatch) {
    mainThread.assertOnThread();
    start();
    PlatformConfig::setNetworkUp(false);
    sk::deliverTransactions({{"gems", 2, TransactionState::Purchased}});
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(statics().purchaseTracker->waitingUnits(), (std::map<std::string, int32_t>{{"gems", 2}}));
    PlatformConfig::setNetworkUp(true);
    sk::deliverTransactions({{"gems", 1, TransactionState::Purchased}, {"coins", 1, TransactionState::Purchased}});
    ASSERT_TRUE(waitForPosts(1));
    auto got = bySku(posts()[0]);
    EXPECT_EQ(got["gems"]["count"], Value(3));
    EXPECT_EQ(got["coins"]["amount"], Value(2.5));
    EXPECT_TRUE(statics().purchaseTracker->waitingUnits().empty());
}

TEST_F(PurchasesTest, UnfinishedTransactionsComingBackAreNotReportedAgain) {
    mainThread.assertOnThread();
    start();
    auto id = sk::deliverTransactions({{"gems", 1, TransactionState::Purchased}})[0];
    ASSERT_TRUE(waitForPosts(1));
    ASSERT_TRUE(waitFor([&] { return reported(id); }));
    // The next launch: the store hands the unfinished transaction to the new tracker.
    relaunch();
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr,
                                     Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}));
    MainLoop::shared().runUntilIdle();
    ASSERT_TRUE(statics().purchaseTracker);
    EXPECT_EQ(sk::unfinishedTransactions().size(), 1u);
    EXPECT_FALSE(waitForPosts(2));
    EXPECT_TRUE(statics().purchaseTracker->waitingUnits().empty());
}

TEST_F(PurchasesTest, APurchaseTheServiceDidNotTakeGoesAgainLater) {
    struct Row {
        const char* name;
        const char* sku;
        Reply reply;
        bool relaunch;  // else the next batch carries it
    };
    const Row rows[] = {
        {"5xx after its re-attempts, then the next launch", "gems", Reply::withStatus(503), true},
        {"the connection dropped, then the next batch", "coins", Reply::drop(), false},
        {"refused, then the next batch", "stars", Reply::withStatus(400), false},
    };
    mainThread.assertOnThread();
    sk::addProduct({"stars", 5, "EUR"});
    start();
    auto& loop = MainLoop::shared();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        service.script("POST players/:id/on_purchase", {row.reply});
        const double groupDeadline = clock->now() + VezEduduzClient::kGroupTimeout;
        size_t sent = posts().size();
        const std::string id = sk::deliverTransactions({{row.sku, 1, TransactionState::Purchased}})[0];
        ASSERT_TRUE(waitFor([&] { return posts().size() > sent; }));
        auto back = [&] {
            mainThread.assertOnThread();
            return statics().purchaseTracker->waitingUnits().count(row.sku) > 0;
        };
        // Over the client's re-attempts only: the group's time-out must not be what ends it.
        for (int round = 0; round < 5 && !back(); ++round) {
            ASSERT_TRUE(waitFor([&] { return back() || loop.nextDeadline().value_or(groupDeadline) < groupDeadline; }));
            if (!back()) loop.advance(*loop.nextDeadline() - clock->now());
        }
        ASSERT_TRUE(back());
        EXPECT_FALSE(reported(id)) << "not taken, not remembered";

        service.clearScript("POST players/:id/on_purchase");
        size_t before = posts().size();
        if (row.relaunch) {
            relaunch();
            VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr,
                                             Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}));
        } else {
            sk::deliverTransactions({{"gems", 1, TransactionState::Failed}});
        }
        ASSERT_TRUE(waitFor([&] { return reported(id); }));
        ASSERT_EQ(posts().size(), before + 1);
        EXPECT_EQ(bySku(posts().back()).count(row.sku), 1u);
        EXPECT_TRUE(statics().purchaseTracker->waitingUnits().empty());
    }
}

TEST_F(PurchasesTest, NoTrackerWhenPaymentsAreNotAllowed) {
    mainThread.assertOnThread();
    sk::setPaymentsAllowed(false);
    EXPECT_FALSE(VezEduduzTrackIAP::canTrack());
    launchApplication();
    VezEduduz::initWithLaunchOptions(Value(), Value(kAppId), nullptr, nullptr,
                                     Value::dictionary({{kOSSettingsKeyAutoPrompt, true}}));
    MainLoop::shared().runUntilIdle();
    EXPECT_FALSE(statics().purchaseTracker);
}

TEST_F(PurchasesTest, PurchasesBeforeThePlayerWaitForIt) {
    launchApplication();
    auto tracker = VezEduduzTrackIAP::make();
    ASSERT_TRUE(tracker);
    sk::deliverTransactions({{"gems", 2, TransactionState::Purchased}});
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(tracker->waitingUnits(), (std::map<std::string, int32_t>{{"gems", 2}})) << "no player: kept";
}

}  // namespace
}  // namespace core_test
