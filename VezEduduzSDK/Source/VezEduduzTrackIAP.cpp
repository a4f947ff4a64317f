// Purchase tracking, and the facade's sendPurchases that reports what the tracker found.
#include "VezEduduzSDK/Source/VezEduduzTrackIAP.h"

#include "VezEduduzSDK/Source/VERequests.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/objc/Runtime.h"

namespace vezeduduz {

namespace objc = platform::objc;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;
using platform::Value;

namespace {

constexpr const char* kClassName = "VezEduduzTrackIAP";
constexpr int64_t kStatePurchased = 1;

VezEduduzTrackIAP* tracker(Object* self) {
    auto* t = objc::native<VezEduduzTrackIAP>(self);
    if (!t) throw std::logic_error("VezEduduzTrackIAP method sent to another object");
    return t;
}

objc::Class* trackerClass() {
    auto& rt = objc::Runtime::shared();
    if (objc::Class* cls = rt.lookUpClass(kClassName)) return cls;
    objc::ClassBuilder b(rt, kClassName, rt.rootClass());
    b.method(sel("paymentQueue:updatedTransactions:"),
             objc::makeImp([](Object* self, Selector, ObjectHandle, std::vector<ObjectHandle> transactions) {
                 tracker(self)->paymentQueueUpdatedTransactions(transactions);
             }));
    b.method(sel("productsRequest:didReceiveResponse:"),
             objc::makeImp([](Object* self, Selector, ObjectHandle, ObjectHandle response) {
                 tracker(self)->productsRequestDidReceiveResponse(response);
             }));
    b.method(sel("request:didFailWithError:"), objc::makeImp([](Object* self, Selector, ObjectHandle, platform::Error) {
                 tracker(self)->requestDidFail();
             }));
    if (objc::Class* cls = b.registerClass()) return cls;
    return rt.lookUpClass(kClassName);
}

objc::Class* paymentQueueClass() {
    objc::Class* cls = objc::lookUpClass("SKPaymentQueue");
    if (!cls || !objc::respondsToSelector(cls, sel("canMakePayments"))) return nullptr;
    return cls;
}

ObjectHandle defaultQueue(objc::Class* cls) {
    return cls ? objc::send<ObjectHandle>(cls, sel("defaultQueue")) : nullptr;
}

}  // namespace

bool VezEduduzTrackIAP::canTrack() {
    objc::Class* cls = paymentQueueClass();
    return cls && objc::send<bool>(cls, sel("canMakePayments"));
}

std::shared_ptr<VezEduduzTrackIAP> VezEduduzTrackIAP::make() {
    if (!canTrack()) return nullptr;
    auto made = std::make_shared<VezEduduzTrackIAP>(trackerClass());
    made->start();
    return made;
}

VezEduduzTrackIAP::VezEduduzTrackIAP(objc::Class* cls) : Object(cls) {
    if (auto stored = defaults::object(kReportedIdsKey); stored && stored->asArray())
        for (const Value& id : *stored->asArray())
            if (const std::string* text = id.asString(); text && reportedSet_.insert(*text).second)
                reported_.push_back(*text);
}

void VezEduduzTrackIAP::start() {
    paymentQueueClass_ = paymentQueueClass();
    // Unfinished transactions of earlier launches arrive at once, as one batch.
    objc::send<void, ObjectHandle>(defaultQueue(paymentQueueClass_), sel("addTransactionObserver:"),
                                   shared_from_this());
}

VezEduduzTrackIAP::~VezEduduzTrackIAP() {
    // shared_from_this is gone here: the queue holds observers weakly and drops expired ones itself.
    if (productsRequest_) {
        objc::send<void, ObjectHandle>(productsRequest_, sel("setDelegate:"), nullptr);
        objc::send<void>(productsRequest_, sel("cancel"));
    }
}

void VezEduduzTrackIAP::paymentQueueUpdatedTransactions(const std::vector<ObjectHandle>& transactions) {
    bool added = false;
    for (const auto& transaction : transactions) {
        if (!transaction || objc::send<int64_t>(transaction, sel("transactionState")) != kStatePurchased) continue;
        std::string id = objc::send<std::string>(transaction, sel("transactionIdentifier"));
        if (alreadyReported(id) || sending_.count(id)) continue;
        ObjectHandle payment = objc::send<ObjectHandle>(transaction, sel("payment"));
        if (!payment) continue;
        std::string sku = objc::send<std::string>(payment, sel("productIdentifier"));
        int64_t quantity = objc::send<int64_t>(payment, sel("quantity"));
        auto& waiting = skusToTrack_[sku];
        bool seen = false;
        for (const auto& known : waiting.transactionIds) seen = seen || known == id;
        if (seen) continue;  // the same batch delivered again before it was reported
        waiting.count = static_cast<int32_t>(static_cast<uint32_t>(waiting.count) + static_cast<uint32_t>(quantity));
        waiting.transactionIds.push_back(id);
        added = true;
    }
    // Products still waiting from a failed look-up are asked for again with any later batch.
    if (skusToTrack_.empty() || (!added && productsRequest_)) return;
    std::vector<std::string> skus;
    for (const auto& [sku, waiting] : skusToTrack_) skus.push_back(sku);
    getProductInfo(skus);
}

void VezEduduzTrackIAP::getProductInfo(const std::vector<std::string>& productIdentifiers) {
    objc::Class* cls = objc::lookUpClass("SKProductsRequest");
    if (!cls) return;
    if (productsRequest_) {
        // The new look-up asks for every waiting product, the old one's too.
        objc::send<void, ObjectHandle>(productsRequest_, sel("setDelegate:"), nullptr);
        objc::send<void>(productsRequest_, sel("cancel"));
    }
    productsRequest_ = objc::send<ObjectHandle, std::vector<std::string>>(
        objc::send<ObjectHandle>(cls, sel("alloc")), sel("initWithProductIdentifiers:"), productIdentifiers);
    if (!productsRequest_) return;
    objc::send<void, ObjectHandle>(productsRequest_, sel("setDelegate:"), shared_from_this());
    objc::send<void>(productsRequest_, sel("start"));
}

void VezEduduzTrackIAP::productsRequestDidReceiveResponse(const ObjectHandle& response) {
    productsRequest_.reset();
    if (!response) return;
    platform::ValueArray purchases;
    std::vector<std::string> reportedIds;
    std::map<std::string, Waiting> answered;
    for (const auto& product : objc::send<std::vector<ObjectHandle>>(response, sel("products"))) {
        std::string sku = objc::send<std::string>(product, sel("productIdentifier"));
        auto it = skusToTrack_.find(sku);
        if (it == skusToTrack_.end()) continue;
        Value record = Value::dictionary();
        if (it->second.count != 1) record.set("count", it->second.count);
        record.set("sku", sku);
        record.set("amount", objc::send<double>(product, sel("price")));
        ObjectHandle locale = objc::send<ObjectHandle>(product, sel("priceLocale"));
        record.set("iso", locale ? objc::send<std::string>(locale, sel("currencyCode")) : std::string());
        purchases.push_back(std::move(record));
        answered.insert(*it);
        skusToTrack_.erase(it);
    }
    // Products the store does not know are not reported: they would never get a price.
    if (objc::respondsToSelector(response, sel("invalidProductIdentifiers")))
        for (const auto& sku : objc::send<std::vector<std::string>>(response, sel("invalidProductIdentifiers"))) {
            auto it = skusToTrack_.find(sku);
            if (it == skusToTrack_.end()) continue;
            VezEduduz::vezeduduz_Log(VELogLevel::warn, "The store does not know the purchased product " + sku);
            remember(it->second.transactionIds);
            skusToTrack_.erase(it);
        }
    if (purchases.empty()) return;
    // The ids count as reported only once the service has taken their request: a failed request, or a
    // process ended before the answer, leaves them to go again (at worst twice, never not at all).
    std::weak_ptr<Object> weak = shared_from_this();
    for (const auto& [sku, waiting] : answered)
        sending_.insert(waiting.transactionIds.begin(), waiting.transactionIds.end());
    bool queued = VezEduduz::sendPurchases(Value(std::move(purchases)), [weak, answered](bool taken) {
        if (auto self = std::static_pointer_cast<VezEduduzTrackIAP>(weak.lock())) self->sent(answered, taken);
    });
    // Not sent (no player yet, or no consent): they stay waiting for the next batch.
    if (!queued) sent(answered, false);
}

void VezEduduzTrackIAP::sent(const std::map<std::string, Waiting>& purchases, bool taken) {
    for (const auto& [sku, waiting] : purchases)
        for (const auto& id : waiting.transactionIds) sending_.erase(id);
    if (taken) {
        for (const auto& [sku, waiting] : purchases) remember(waiting.transactionIds);
        return;
    }
    for (const auto& [sku, waiting] : purchases) {
        auto& w = skusToTrack_[sku];
        w.count = static_cast<int32_t>(static_cast<uint32_t>(w.count) + static_cast<uint32_t>(waiting.count));
        w.transactionIds.insert(w.transactionIds.end(), waiting.transactionIds.begin(), waiting.transactionIds.end());
    }
}

void VezEduduzTrackIAP::requestDidFail() {
    // The purchases stay waiting; the next batch asks again for them.
    productsRequest_.reset();
    VezEduduz::vezeduduz_Log(VELogLevel::warn, "The store's product look-up failed; purchases wait for the next one");
}

std::map<std::string, int32_t> VezEduduzTrackIAP::waitingUnits() const {
    std::map<std::string, int32_t> out;
    for (const auto& [sku, waiting] : skusToTrack_) out[sku] = waiting.count;
    return out;
}

bool VezEduduzTrackIAP::alreadyReported(const std::string& id) const { return reportedSet_.count(id) > 0; }

void VezEduduzTrackIAP::remember(const std::vector<std::string>& ids) {
    for (const auto& id : ids) {
        if (!reportedSet_.insert(id).second) continue;
        reported_.push_back(id);
    }
    while (reported_.size() > kMaxReportedIds) {
        reportedSet_.erase(reported_.front());
        reported_.pop_front();
    }
    platform::ValueArray stored;
    for (const auto& id : reported_) stored.push_back(id);
    defaults::set(kReportedIdsKey, Value(std::move(stored)));
}

// ---- the facade's part ----

bool VezEduduz::sendPurchases(const Value& purchases) { return sendPurchases(purchases, nullptr); }

bool VezEduduz::sendPurchases(const Value& purchases, std::function<void(bool taken)> answered) {
    if (!platform::dispatch::MainLoop::isMainThread())
        return answerOnMainLoop([&] { return sendPurchases(purchases, answered); });
    mainThread.assertOnThread();
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return false;
    auto userId = mUserId();
    if (!userId) return false;
    VERequestGroup requests;
    requests["push"] = VERequestSendPurchases::withUserId(userId, statics().app_id, purchases);
    auto email = currentEmailSubscriptionState();
    if (email->emailUserId())
        requests["email"] = VERequestSendPurchases::withUserId(email->emailUserId(), email->emailAuthCode(),
                                                               statics().app_id, purchases);
    VEMultipleSuccessBlock onSuccess;
    VEMultipleFailureBlock onFailure;
    if (answered) {
        onSuccess = [answered](const std::map<std::string, Value>&) { answered(true); };
        // The player's request is what counts; the e-mail player's failing alone is only said.
        onFailure = [answered](const std::map<std::string, platform::Error>& errors) {
            for (const auto& [key, error] : errors)
                vezeduduz_Log(VELogLevel::warn, "The service did not take the purchases (" + key +
                                                    " player): " + error.localizedDescription());
            answered(!errors.count("push"));
        };
    }
    VezEduduzClient::sharedClient().executeSimultaneousRequests(requests, onSuccess, onFailure);
    return true;
}

}  // namespace vezeduduz
