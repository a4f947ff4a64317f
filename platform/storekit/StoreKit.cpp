#include "platform/storekit/StoreKit.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/UUID.h"
#include "platform/objc/Runtime.h"

namespace platform::storekit {

using objc::Class;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;

namespace {

constexpr size_t kMaxStoredBytes = 1024 * 1024;

struct StoredTransaction {
    std::string identifier;
    TransactionSpec spec;
};

class PaymentObject : public Object {
public:
    PaymentObject(objc::Class* cls, std::string product, int64_t quantity)
        : Object(cls), productIdentifier(std::move(product)), quantity(quantity) {}
    const std::string productIdentifier;
    const int64_t quantity;
};

class TransactionObject : public Object {
public:
    TransactionObject(objc::Class* cls, StoredTransaction t, ObjectHandle payment)
        : Object(cls), stored(std::move(t)), payment(std::move(payment)) {}
    const StoredTransaction stored;
    const ObjectHandle payment;
};

class PriceLocaleObject : public Object {
public:
    PriceLocaleObject(objc::Class* cls, std::string code) : Object(cls), currencyCode(std::move(code)) {}
    const std::string currencyCode;
};

class ProductObject : public Object {
public:
    ProductObject(objc::Class* cls, Product p) : Object(cls), product(std::move(p)) {}
    const Product product;
};

class ResponseObject : public Object {
public:
    using Object::Object;
    std::vector<ObjectHandle> products;
    std::vector<std::string> invalid;
};

class RequestObject : public Object {
public:
    using Object::Object;
    dispatch::Mutex mutex;
    std::vector<std::string> identifiers GUARDED_BY(mutex);
    objc::Weak<Object> delegate GUARDED_BY(mutex);
    bool started GUARDED_BY(mutex) = false;
    bool cancelled GUARDED_BY(mutex) = false;
};

class QueueObject : public Object {
public:
    using Object::Object;
};

struct Store {
    dispatch::Mutex mutex;
    bool paymentsAllowed GUARDED_BY(mutex) = true;
    std::map<std::string, Product> catalogue GUARDED_BY(mutex);
    std::vector<StoredTransaction> unfinished GUARDED_BY(mutex);
    bool loaded GUARDED_BY(mutex) = false;  // unfinished read from the device
    std::vector<objc::Weak<Object>> observers GUARDED_BY(mutex);
    std::shared_ptr<QueueObject> defaultQueue GUARDED_BY(mutex);
};

void resetStore();

Store& store() {
    static Store* s = [] {
        ResetRegistry::add("storekit.device", resetStore);
        return new Store();  // lives for the process
    }();
    return *s;
}

void resetStore() {
    Store& s = store();
    dispatch::MutexLock lock(s.mutex);
    s.paymentsAllowed = true;
    s.catalogue.clear();
    s.unfinished.clear();
    s.loaded = false;
    s.observers.clear();
    s.defaultQueue.reset();
}

// The device's files of the store, under Library/StoreKit.
constexpr const char* kTransactionsFile = "transactions.json";
constexpr const char* kProductsFile = "products.json";

std::optional<std::string> storePath(const char* file) {
    auto library = FileManager::defaultManager().directory(SearchPathDirectory::Library);
    if (!library) return std::nullopt;
    return library.value() + "/StoreKit/" + file;
}

// One of the store's lists as the device keeps it; none when it is missing. A file that is not a list
// (cut short, random bytes) is set aside and the store goes on without it. Called under the store lock.
std::optional<ValueArray> readList(const char* file) {
    auto path = storePath(file);
    if (!path) return std::nullopt;
    PendingWrites::removeStaleTemporaryFilesOnce(*path);
    auto bytes = FileManager::defaultManager().contentsOfFile(*path, kMaxStoredBytes);
    if (!bytes) {
        if (bytes.error().code == kFileReadTooLargeError || FileManager::isSpecialFile(bytes.error()))
            (void)PendingWrites::setAsideDamagedFile(*path);
        return std::nullopt;
    }
    auto value = json::read(bytes.value());
    if (!value || !value->asArray()) {
        (void)PendingWrites::setAsideDamagedFile(*path);
        return std::nullopt;
    }
    return *value->asArray();
}

// Writes one of the store's lists; a failed write is said and tried again by the file layer.
void writeList(const char* file, ValueArray list) {
    auto path = storePath(file);
    if (!path) return;
    auto text = json::write(Value(std::move(list)));
    if (!text) return;
    PendingWrites::Options options;
    options.makeFolder = true;
    if (auto written = PendingWrites::write(*path, text.value(), options); !written)
        consoleLog(std::string("StoreKit: cannot keep ") + file + ": " + written.error().localizedDescription());
}

void loadLocked(Store& s) REQUIRES(s.mutex) {
    if (s.loaded) return;
    s.loaded = true;
    for (const Value& item : readList(kTransactionsFile).value_or(ValueArray())) {
        auto state = transactionStateNamed(item["state"].stringOr(""));
        auto quantity = item["quantity"].asInteger();
        if (!item["id"].isString() || !item["product"].isString() || !state || !quantity) continue;
        s.unfinished.push_back({item["id"].stringOr(""), {item["product"].stringOr(""), *quantity, *state}});
    }
    for (const Value& item : readList(kProductsFile).value_or(ValueArray())) {
        auto price = item["price"].asDouble();
        if (!item["id"].isString() || !item["currency"].isString() || !price) continue;
        Product product{item["id"].stringOr(""), *price, item["currency"].stringOr("")};
        s.catalogue.emplace(product.identifier, std::move(product));
    }
}

void saveTransactionsLocked(const Store& s) REQUIRES(s.mutex) {
    ValueArray list;
    for (const auto& t : s.unfinished)
        list.push_back(Value::dictionary({{"id", t.identifier},
                                          {"product", t.spec.productIdentifier},
                                          {"quantity", t.spec.quantity},
                                          {"state", transactionStateName(t.spec.state)}}));
    writeList(kTransactionsFile, std::move(list));
}

void saveProductsLocked(const Store& s) REQUIRES(s.mutex) {
    ValueArray list;
    for (const auto& [id, product] : s.catalogue)
        list.push_back(Value::dictionary({{"id", id}, {"price", product.price}, {"currency", product.currencyCode}}));
    writeList(kProductsFile, std::move(list));
}

ObjectHandle makeTransaction(const StoredTransaction& t) {
    auto payment =
        std::make_shared<PaymentObject>(objc::lookUpClass("SKPayment"), t.spec.productIdentifier, t.spec.quantity);
    return std::make_shared<TransactionObject>(objc::lookUpClass("SKPaymentTransaction"), t, std::move(payment));
}

Value describe(const std::vector<StoredTransaction>& batch) {
    ValueArray list;
    for (const auto& t : batch)
        list.push_back(Value::dictionary({{"id", t.identifier},
                                          {"product", t.spec.productIdentifier},
                                          {"quantity", t.spec.quantity},
                                          {"state", transactionStateName(t.spec.state)}}));
    return Value::dictionary({{"transactions", Value(std::move(list))}});
}

// Hands a batch to the given observers on the main loop.
void handOver(std::vector<objc::Weak<Object>> observers, std::vector<StoredTransaction> batch) {
    if (batch.empty() || observers.empty()) return;
    dispatch::MainLoop::shared().post([observers = std::move(observers), batch = std::move(batch)] {
        ObjectHandle queue;
        {
            dispatch::MutexLock lock(store().mutex);
            queue = store().defaultQueue;
        }
        DeviceEvents::post("store.transactions", describe(batch));
        Selector s = sel("paymentQueue:updatedTransactions:");
        for (const auto& weak : observers) {
            auto observer = weak.lock();
            if (!observer || !objc::respondsToSelector(observer, s)) continue;
            std::vector<ObjectHandle> transactions;
            for (const auto& t : batch) transactions.push_back(makeTransaction(t));
            objc::send<void, ObjectHandle, std::vector<ObjectHandle>>(observer, s, queue, std::move(transactions));
        }
    });
}

RequestObject* nativeRequest(Object* self) {
    auto* r = objc::native<RequestObject>(self);
    if (!r) throw std::logic_error("SKProductsRequest method sent to another object");
    return r;
}

void answerRequest(const std::shared_ptr<RequestObject>& request) {
    ObjectHandle delegate;
    std::vector<std::string> identifiers;
    {
        dispatch::MutexLock lock(request->mutex);
        if (request->cancelled) return;
        delegate = request->delegate.lock();
        identifiers = request->identifiers;
    }
    ValueArray asked;
    for (const auto& id : identifiers) asked.push_back(id);
    ObjectHandle self = request;
    if (!PlatformConfig::networkUp()) {
        DeviceEvents::post("store.products-request",
                           Value::dictionary({{"identifiers", Value(std::move(asked))}, {"outcome", "failed"}}));
        Selector s = sel("request:didFailWithError:");
        if (delegate && objc::respondsToSelector(delegate, s))
            objc::send<void, ObjectHandle, Error>(
                delegate, s, self,
                Error::withDescription("SKErrorDomain", 0, "Cannot connect to the store: the network is down."));
        return;
    }
    auto response = std::make_shared<ResponseObject>(objc::lookUpClass("SKProductsResponse"));
    {
        Store& s = store();
        dispatch::MutexLock lock(s.mutex);
        loadLocked(s);
        for (const auto& id : identifiers) {
            auto it = s.catalogue.find(id);
            if (it == s.catalogue.end())
                response->invalid.push_back(id);
            else
                response->products.push_back(
                    std::make_shared<ProductObject>(objc::lookUpClass("SKProduct"), it->second));
        }
    }
    DeviceEvents::post("store.products-request",
                       Value::dictionary({{"identifiers", Value(std::move(asked))},
                                          {"outcome", "answered"},
                                          {"found", static_cast<int64_t>(response->products.size())}}));
    if (!delegate) return;
    Selector received = sel("productsRequest:didReceiveResponse:");
    if (objc::respondsToSelector(delegate, received))
        objc::send<void, ObjectHandle, ObjectHandle>(delegate, received, self, ObjectHandle(response));
    Selector finished = sel("requestDidFinish:");
    if (objc::respondsToSelector(delegate, finished)) objc::send<void, ObjectHandle>(delegate, finished, self);
}

template <class T>
const T& nativeOf(Object* self, const char* what) {
    auto* o = objc::native<T>(self);
    if (!o) throw std::logic_error(std::string(what) + " method sent to another object");
    return *o;
}

void registerAll() {
    auto& rt = objc::Runtime::shared();
    Class* root = rt.rootClass();

    Class* payment = rt.registerClass("SKPayment", root);
    rt.addMethod(payment, sel("productIdentifier"), objc::makeImp([](Object* self, Selector) -> std::string {
                     return nativeOf<PaymentObject>(self, "SKPayment").productIdentifier;
                 }));
    rt.addMethod(payment, sel("quantity"), objc::makeImp([](Object* self, Selector) -> int64_t {
                     return nativeOf<PaymentObject>(self, "SKPayment").quantity;
                 }));

    Class* transaction = rt.registerClass("SKPaymentTransaction", root);
    rt.addMethod(transaction, sel("transactionState"), objc::makeImp([](Object* self, Selector) -> int64_t {
                     return static_cast<int64_t>(
                         nativeOf<TransactionObject>(self, "SKPaymentTransaction").stored.spec.state);
                 }));
    rt.addMethod(transaction, sel("transactionIdentifier"), objc::makeImp([](Object* self, Selector) -> std::string {
                     return nativeOf<TransactionObject>(self, "SKPaymentTransaction").stored.identifier;
                 }));
    rt.addMethod(transaction, sel("payment"), objc::makeImp([](Object* self, Selector) -> ObjectHandle {
                     return nativeOf<TransactionObject>(self, "SKPaymentTransaction").payment;
                 }));

    Class* locale = rt.registerClass("SKPriceLocale", root);
    rt.addMethod(locale, sel("currencyCode"), objc::makeImp([](Object* self, Selector) -> std::string {
                     return nativeOf<PriceLocaleObject>(self, "SKPriceLocale").currencyCode;
                 }));

    Class* product = rt.registerClass("SKProduct", root);
    rt.addMethod(product, sel("productIdentifier"), objc::makeImp([](Object* self, Selector) -> std::string {
                     return nativeOf<ProductObject>(self, "SKProduct").product.identifier;
                 }));
    rt.addMethod(product, sel("price"), objc::makeImp([](Object* self, Selector) -> double {
                     return nativeOf<ProductObject>(self, "SKProduct").product.price;
                 }));
    rt.addMethod(product, sel("priceLocale"), objc::makeImp([](Object* self, Selector) -> ObjectHandle {
                     return std::make_shared<PriceLocaleObject>(
                         objc::lookUpClass("SKPriceLocale"),
                         nativeOf<ProductObject>(self, "SKProduct").product.currencyCode);
                 }));

    Class* response = rt.registerClass("SKProductsResponse", root);
    rt.addMethod(response, sel("products"), objc::makeImp([](Object* self, Selector) -> std::vector<ObjectHandle> {
                     return nativeOf<ResponseObject>(self, "SKProductsResponse").products;
                 }));
    rt.addMethod(response, sel("invalidProductIdentifiers"),
                 objc::makeImp([](Object* self, Selector) -> std::vector<std::string> {
                     return nativeOf<ResponseObject>(self, "SKProductsResponse").invalid;
                 }));

    Class* request = rt.registerClass("SKProductsRequest", root);
    rt.addMethod(request->metaclass(), sel("alloc"), objc::makeImp([](Object* self, Selector) -> ObjectHandle {
                     return std::make_shared<RequestObject>(static_cast<Class*>(self));
                 }));
    rt.addMethod(request, sel("initWithProductIdentifiers:"),
                 objc::makeImp([](Object* self, Selector, std::vector<std::string> identifiers) -> ObjectHandle {
                     auto* r = nativeRequest(self);
                     std::sort(identifiers.begin(), identifiers.end());
                     identifiers.erase(std::unique(identifiers.begin(), identifiers.end()), identifiers.end());
                     dispatch::MutexLock lock(r->mutex);
                     r->identifiers = std::move(identifiers);
                     return self->shared_from_this();
                 }));
    rt.addMethod(request, sel("delegate"), objc::makeImp([](Object* self, Selector) -> ObjectHandle {
                     auto* r = nativeRequest(self);
                     dispatch::MutexLock lock(r->mutex);
                     return r->delegate.lock();
                 }));
    rt.addMethod(request, sel("setDelegate:"), objc::makeImp([](Object* self, Selector, ObjectHandle delegate) {
                     auto* r = nativeRequest(self);
                     dispatch::MutexLock lock(r->mutex);
                     r->delegate = delegate;
                 }));
    rt.addMethod(request, sel("start"), objc::makeImp([](Object* self, Selector) {
                     auto* r = nativeRequest(self);
                     {
                         dispatch::MutexLock lock(r->mutex);
                         if (r->started) return;
                         r->started = true;
                     }
                     // The request keeps itself alive until it has answered, as the store's does.
                     auto keep = std::static_pointer_cast<RequestObject>(self->shared_from_this());
                     dispatch::MainLoop::shared().post([keep] { answerRequest(keep); });
                 }));
    rt.addMethod(request, sel("cancel"), objc::makeImp([](Object* self, Selector) {
                     auto* r = nativeRequest(self);
                     dispatch::MutexLock lock(r->mutex);
                     r->cancelled = true;
                 }));

    Class* queue = rt.registerClass("SKPaymentQueue", root);
    rt.addMethod(queue->metaclass(), sel("canMakePayments"),
                 objc::makeImp([](Object*, Selector) -> bool { return paymentsAllowed(); }));
    rt.addMethod(queue->metaclass(), sel("defaultQueue"), objc::makeImp([](Object* self, Selector) -> ObjectHandle {
                     dispatch::MutexLock lock(store().mutex);
                     if (!store().defaultQueue)
                         store().defaultQueue = std::make_shared<QueueObject>(static_cast<Class*>(self));
                     return store().defaultQueue;
                 }));
    rt.addMethod(queue, sel("addTransactionObserver:"), objc::makeImp([](Object*, Selector, ObjectHandle observer) {
                     if (!observer) return;
                     std::vector<StoredTransaction> waiting;
                     {
                         Store& s = store();
                         dispatch::MutexLock lock(s.mutex);
                         for (const auto& o : s.observers)
                             if (o.refersTo(observer)) return;
                         s.observers.push_back(observer);
                         loadLocked(s);
                         waiting = s.unfinished;
                     }
                     handOver({objc::Weak<Object>(observer)}, std::move(waiting));
                 }));
    rt.addMethod(queue, sel("removeTransactionObserver:"), objc::makeImp([](Object*, Selector, ObjectHandle observer) {
                     Store& s = store();
                     dispatch::MutexLock lock(s.mutex);
                     auto& list = s.observers;
                     list.erase(std::remove_if(list.begin(), list.end(),
                                               [&](const auto& o) { return o.expired() || o.refersTo(observer); }),
                                list.end());
                 }));
    rt.addMethod(queue, sel("finishTransaction:"), objc::makeImp([](Object*, Selector, ObjectHandle transaction) {
                     auto* t = objc::native<TransactionObject>(transaction.get());
                     if (!t) return;
                     Store& s = store();
                     dispatch::MutexLock lock(s.mutex);
                     loadLocked(s);
                     auto& list = s.unfinished;
                     auto before = list.size();
                     list.erase(std::remove_if(list.begin(), list.end(),
                                               [&](const auto& u) { return u.identifier == t->stored.identifier; }),
                                list.end());
                     if (list.size() != before) saveTransactionsLocked(s);
                 }));
    rt.addMethod(queue, sel("transactions"), objc::makeImp([](Object*, Selector) -> std::vector<ObjectHandle> {
                     std::vector<StoredTransaction> copy;
                     {
                         Store& s = store();
                         dispatch::MutexLock lock(s.mutex);
                         loadLocked(s);
                         copy = s.unfinished;
                     }
                     std::vector<ObjectHandle> out;
                     for (const auto& t : copy) out.push_back(makeTransaction(t));
                     return out;
                 }));
}

}  // namespace

const char* transactionStateName(TransactionState state) {
    switch (state) {
    case TransactionState::Purchasing:
        return "purchasing";
    case TransactionState::Purchased:
        return "purchased";
    case TransactionState::Failed:
        return "failed";
    case TransactionState::Restored:
        return "restored";
    case TransactionState::Deferred:
        return "deferred";
    }
    return "purchasing";
}

std::optional<TransactionState> transactionStateNamed(const std::string& name) {
    for (auto s : {TransactionState::Purchasing, TransactionState::Purchased, TransactionState::Failed,
                   TransactionState::Restored, TransactionState::Deferred})
        if (name == transactionStateName(s)) return s;
    return std::nullopt;
}

void registerClasses() {
    static dispatch::Mutex m;
    dispatch::MutexLock lock(m);
    store();  // its reset is on the registry from the start
    if (objc::lookUpClass("SKPaymentQueue") || !PlatformConfig::current().optionalFrameworks.count(kFrameworkName))
        return;
    registerAll();
}

void setPaymentsAllowed(bool allowed) {
    dispatch::MutexLock lock(store().mutex);
    store().paymentsAllowed = allowed;
}

bool paymentsAllowed() {
    dispatch::MutexLock lock(store().mutex);
    return store().paymentsAllowed;
}

void addProduct(Product product) {
    Store& s = store();
    dispatch::MutexLock lock(s.mutex);
    loadLocked(s);
    s.catalogue[product.identifier] = std::move(product);
    saveProductsLocked(s);
}

std::vector<std::string> deliverTransactions(const std::vector<TransactionSpec>& batch) {
    std::vector<StoredTransaction> made;
    std::vector<objc::Weak<Object>> observers;
    {
        Store& s = store();
        dispatch::MutexLock lock(s.mutex);
        loadLocked(s);
        bool changed = false;
        for (const auto& spec : batch) {
            StoredTransaction t{UUID::random().uuidString(), spec};
            made.push_back(t);
            if (spec.state != TransactionState::Purchasing && spec.state != TransactionState::Deferred) {
                s.unfinished.push_back(t);
                changed = true;
            }
        }
        if (changed) saveTransactionsLocked(s);
        observers = s.observers;
    }
    std::vector<std::string> ids;
    for (const auto& t : made) ids.push_back(t.identifier);
    if (observers.empty()) {
        // Nobody listens: the batch is still seen on the device.
        DeviceEvents::post("store.transactions", describe(made));
        return ids;
    }
    handOver(std::move(observers), std::move(made));
    return ids;
}

std::vector<std::string> unfinishedTransactions() {
    Store& s = store();
    dispatch::MutexLock lock(s.mutex);
    loadLocked(s);
    std::vector<std::string> ids;
    for (const auto& t : s.unfinished) ids.push_back(t.identifier);
    return ids;
}

}  // namespace platform::storekit
