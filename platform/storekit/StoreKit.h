#pragma once
// The store framework stand-in: runtime classes "SKPaymentQueue", "SKProductsRequest" and the objects they
// hand out ("SKPaymentTransaction", "SKPayment", "SKProductsResponse", "SKProduct" and its price locale,
// "SKPriceLocale"), registered by registerClasses() only when PlatformConfig lists "StoreKit" among the
// optional frameworks. Callers that do not link this area use the selectors below with exactly these
// signatures.
//
// "SKPaymentQueue"
//   +canMakePayments                  bool()     (the device setting; see setPaymentsAllowed)
//   +defaultQueue                     ObjectHandle()
//   -addTransactionObserver:          void(ObjectHandle)   held weakly; unfinished transactions are
//                                     delivered to a new observer at once, as one batch
//   -removeTransactionObserver:       void(ObjectHandle)
//   -finishTransaction:               void(ObjectHandle transaction)   the device forgets it
//   -transactions                     std::vector<ObjectHandle>()      the unfinished ones
// Observers hear, on the main loop:
//   paymentQueue:updatedTransactions: void(ObjectHandle queue, std::vector<ObjectHandle> transactions)
// "SKPaymentTransaction": -transactionState int64_t() (TransactionState), -transactionIdentifier
//   std::string(), -payment ObjectHandle(). "SKPayment": -productIdentifier std::string(), -quantity int64_t().
//
// "SKProductsRequest"
//   +alloc                            ObjectHandle()
//   -initWithProductIdentifiers:      ObjectHandle(std::vector<std::string>)
//   -delegate / -setDelegate:         ObjectHandle() / void(ObjectHandle)   (held weakly)
//   -start / -cancel                  void()
// The answer comes on the main loop, each call only when the delegate answers its selector:
//   productsRequest:didReceiveResponse:  void(ObjectHandle request, ObjectHandle response), then
//   requestDidFinish:                    void(ObjectHandle request); or, while the network is down,
//   request:didFailWithError:            void(ObjectHandle request, Error)
// "SKProductsResponse": -products std::vector<ObjectHandle>(), -invalidProductIdentifiers
//   std::vector<std::string>(). "SKProduct": -productIdentifier std::string(), -price double() (one unit),
//   -priceLocale ObjectHandle() whose -currencyCode is std::string().
//
// Unfinished transactions are kept on the device (Library/StoreKit/transactions.json), so they come back
// at the next launch as on a phone; so is the catalogue (Library/StoreKit/products.json), which the store
// knows across launches. A file that holds something else is set aside ("storage.corrupt") and the store
// starts without it; a failed write is said and tried again (PendingWrites). Each products request posts
// DeviceEvents "store.products-request" {identifiers, outcome}; each batch handed to observers posts
// "store.transactions" {transactions}. The device state is guarded by one lock; every function may be
// called from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform::storekit {

enum class TransactionState : int64_t { Purchasing = 0, Purchased = 1, Failed = 2, Restored = 3, Deferred = 4 };
// "purchasing", "purchased", "failed", "restored", "deferred".
const char* transactionStateName(TransactionState state);
std::optional<TransactionState> transactionStateNamed(const std::string& name);

inline constexpr const char* kFrameworkName = "StoreKit";

struct Product {
    std::string identifier;
    double price = 0;
    std::string currencyCode;
};

struct TransactionSpec {
    std::string productIdentifier;
    int64_t quantity = 1;
    TransactionState state = TransactionState::Purchased;
};

// Registers the classes when the framework is present. Idempotent.
void registerClasses();

// --- the device (host and tests) ---
void setPaymentsAllowed(bool allowed);
bool paymentsAllowed();
// The store's catalogue: products requests answer from it. Kept on the device; a product given again
// replaces the one of that identifier.
void addProduct(Product product);
// New transactions (each with a fresh identifier), handed to the observers as one batch on the main loop.
// Purchased, failed and restored transactions stay unfinished on the device until finished. Answers the
// identifiers given.
std::vector<std::string> deliverTransactions(const std::vector<TransactionSpec>& batch);
// Identifiers of the unfinished transactions.
std::vector<std::string> unfinishedTransactions();

}  // namespace platform::storekit
