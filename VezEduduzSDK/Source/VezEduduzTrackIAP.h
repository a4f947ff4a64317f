#pragma once
// VezEduduzTrackIAP: reports the app's completed in-app purchases to the push service. It watches the
// platform's payment queue (looked up by the name "SKPaymentQueue" and called by selector: an app without
// store support still runs), sums purchased units per product, asks the store ("SKProductsRequest") for
// each product's price and currency, and hands one record per product to VezEduduz::sendPurchases:
//   {"sku": id, "amount": price of one unit, "iso": currency code, "count": units (only when not 1)}
//
// Purchases wait until the store has answered for their product: a later batch is merged with what is
// still waiting, and a failed look-up keeps them for the next batch. Products the store does not know
// are left out. Transactions come back while the app has not finished them; the ids the service has
// taken are kept in the user defaults (the newest kMaxReportedIds), so none is reported twice. An id counts
// as reported only once the service answered its request with success: until then (a request that failed
// after its re-attempts, or a process ended before the answer) its purchase waits again and goes with the
// next batch or at the next launch, so a purchase may reach the service twice but is never lost.
//
// Threads: the store calls the tracker on the main loop; all its state lives there.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/objc/Object.h"

namespace vezeduduz {

class VezEduduzTrackIAP : public platform::objc::Object {
public:
    static constexpr const char* kReportedIdsKey = "VEZEDUDUZ_REPORTED_PURCHASE_IDS";
    static constexpr size_t kMaxReportedIds = 500;

    // The store class exists, answers canMakePayments, and payments are allowed.
    static bool canTrack();
    // A tracker observing the default payment queue; null when canTrack() is false.
    static std::shared_ptr<VezEduduzTrackIAP> make();
    ~VezEduduzTrackIAP() override;

    // The store's callbacks (also reachable by selector).
    void paymentQueueUpdatedTransactions(const std::vector<platform::objc::ObjectHandle>& transactions);
    void getProductInfo(const std::vector<std::string>& productIdentifiers);
    void productsRequestDidReceiveResponse(const platform::objc::ObjectHandle& response);
    void requestDidFail();

    // Units waiting for their product's price, by product (tests).
    std::map<std::string, int32_t> waitingUnits() const;

    explicit VezEduduzTrackIAP(platform::objc::Class* cls);

private:
    struct Waiting {
        int32_t count = 0;
        std::vector<std::string> transactionIds;
    };
    void start();
    bool alreadyReported(const std::string& id) const;
    // The service's answer to a request carrying `purchases`: taken, they are remembered as reported;
    // else they wait again.
    void sent(const std::map<std::string, Waiting>& purchases, bool taken);
    void remember(const std::vector<std::string>& ids);

    platform::objc::Class* paymentQueueClass_ = nullptr;
    platform::objc::ObjectHandle productsRequest_;
    std::map<std::string, Waiting> skusToTrack_;
    std::deque<std::string> reported_;  // oldest first
    std::set<std::string> reportedSet_;
    std::set<std::string> sending_;  // ids whose request the service has not answered yet
};

}  // namespace vezeduduz
