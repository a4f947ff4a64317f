// The store stand-in as a caller sees it through the runtime: transactions kept until finished (also
// across launches), handed to each new observer, and products requests answered from the catalogue, which
// the device keeps too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/objc/Runtime.h"
#include "platform/storekit/StoreKit.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

using namespace platform;
namespace sk = platform::storekit;
using objc::ObjectHandle;
using objc::sel;

class PaymentQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        tesmar_testing::resetProcessState();
        PlatformConfig::update([](PlatformSettings& s) { s.optionalFrameworks.insert(sk::kFrameworkName); });
        sk::registerClasses();
    }
    void TearDown() override { tesmar_testing::resetProcessState(); }

    ObjectHandle observer(std::vector<std::string>* seen) {
        auto& rt = objc::Runtime::shared();
        objc::ClassBuilder b(rt, "StoreObserver" + std::to_string(classes_++), rt.rootClass());
        b.method(sel("paymentQueue:updatedTransactions:"),
                 objc::makeImp([seen](objc::Object*, objc::Selector, ObjectHandle, std::vector<ObjectHandle> list) {
                     for (auto& t : list) seen->push_back(objc::send<std::string>(t, sel("transactionIdentifier")));
                 }));
        b.method(sel("productsRequest:didReceiveResponse:"),
                 objc::makeImp([seen](objc::Object*, objc::Selector, ObjectHandle, ObjectHandle response) {
                     for (auto& p : objc::send<std::vector<ObjectHandle>>(response, sel("products")))
                         seen->push_back(objc::send<std::string>(p, sel("productIdentifier")));
                     for (auto& id : objc::send<std::vector<std::string>>(response, sel("invalidProductIdentifiers")))
                         seen->push_back("invalid:" + id);
                 }));
        b.method(sel("request:didFailWithError:"), objc::makeImp([seen](objc::Object*, objc::Selector, ObjectHandle,
                                                                        Error) { seen->push_back("failed"); }));
        return std::make_shared<objc::Object>(b.registerClass());
    }
    // What a products request for `identifiers` hands its delegate.
    std::vector<std::string> ask(const std::vector<std::string>& identifiers) {
        std::vector<std::string> seen;
        auto d = observer(&seen);
        objc::Class* cls = objc::lookUpClass("SKProductsRequest");
        ObjectHandle request = objc::send<ObjectHandle, std::vector<std::string>>(
            objc::send<ObjectHandle>(cls, sel("alloc")), sel("initWithProductIdentifiers:"), identifiers);
        objc::send<void, ObjectHandle>(request, sel("setDelegate:"), d);
        objc::send<void>(request, sel("start"));
        request.reset();  // the store keeps it until it has answered
        dispatch::MainLoop::shared().runUntilIdle();
        return seen;
    }
    // A new launch on the same device.
    static void relaunch() {
        tesmar_testing::resetProcessState();
        PlatformConfig::update([](PlatformSettings& s) { s.optionalFrameworks.insert(sk::kFrameworkName); });
    }
    ObjectHandle queue() { return objc::send<ObjectHandle>(objc::lookUpClass("SKPaymentQueue"), sel("defaultQueue")); }

    tesmar_testing::TemporaryDeviceRoot device{"storekit-test"};
    static inline int classes_ = 0;
};

TEST_F(PaymentQueueTest, UnfinishedTransactionsComeBackUntilFinished) {
    std::vector<std::string> first;
    auto o = observer(&first);
    objc::send<void, ObjectHandle>(queue(), sel("addTransactionObserver:"), o);
    auto ids = sk::deliverTransactions(
        {{"gems", 2, sk::TransactionState::Purchased}, {"gems", 1, sk::TransactionState::Purchasing}});
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(first, ids) << "one batch to the observer";
    EXPECT_EQ(sk::unfinishedTransactions(), std::vector<std::string>{ids[0]}) << "purchasing is not kept";

    // The next launch reads them from the device; a new observer gets them at once.
    relaunch();
    std::vector<std::string> second;
    auto o2 = observer(&second);
    objc::send<void, ObjectHandle>(queue(), sel("addTransactionObserver:"), o2);
    dispatch::MainLoop::shared().runUntilIdle();
    ASSERT_EQ(second, std::vector<std::string>{ids[0]});

    auto kept = objc::send<std::vector<ObjectHandle>>(queue(), sel("transactions"));
    ASSERT_EQ(kept.size(), 1u);
    ObjectHandle payment = objc::send<ObjectHandle>(kept[0], sel("payment"));
    EXPECT_EQ(objc::send<int64_t>(payment, sel("quantity")), 2);
    objc::send<void, ObjectHandle>(queue(), sel("finishTransaction:"), kept[0]);
    EXPECT_TRUE(sk::unfinishedTransactions().empty());
    tesmar_testing::resetProcessState();
    EXPECT_TRUE(sk::unfinishedTransactions().empty()) << "finished is forgotten on the device too";
}

TEST_F(PaymentQueueTest, ProductsRequestsAnswerFromTheCatalogueOrFailWhileOffline) {
    sk::addProduct({"gems", 0.99, "EUR"});
    struct Row {
        const char* name;
        bool network;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"online", true, {"gems", "invalid:ghost"}},
        {"offline", false, {"failed"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PlatformConfig::setNetworkUp(row.network);
        EXPECT_EQ(ask({"ghost", "gems", "gems"}), row.expected);
    }
    PlatformConfig::setNetworkUp(true);
}

TEST_F(PaymentQueueTest, TheCatalogueIsKeptOnTheDevice) {
    const std::string file = device.path() + "/Library/StoreKit/products.json";
    struct Row {
        const char* name;
        std::optional<std::string> contents;  // written over the file before the next launch
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"as given", std::nullopt, {"coins", "gems"}},
        {"damaged: set aside", "[{\"id\":", {"invalid:coins", "invalid:gems"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sk::addProduct({"gems", 0.99, "EUR"});
        sk::addProduct({"coins", 2.5, "USD"});
        if (row.contents) std::ofstream(file, std::ios::trunc) << *row.contents;
        relaunch();
        EXPECT_EQ(ask({"coins", "gems"}), row.expected);
        EXPECT_EQ(std::filesystem::exists(file + ".corrupt"), row.contents.has_value());
    }
}

TEST_F(PaymentQueueTest, PaymentsSwitch) {
    objc::Class* cls = objc::lookUpClass("SKPaymentQueue");
    EXPECT_TRUE(objc::send<bool>(cls, sel("canMakePayments")));
    sk::setPaymentsAllowed(false);
    EXPECT_FALSE(objc::send<bool>(cls, sel("canMakePayments")));
}

}  // namespace
