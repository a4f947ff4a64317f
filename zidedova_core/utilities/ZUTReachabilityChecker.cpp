#include "zidedova_core/utilities/ZUTReachabilityChecker.h"

#include "platform/dispatch/ThreadChecks.h"
#include "zidedova_core/utilities/ZUTLogger.h"

namespace zidedova {

namespace sc = platform::sc;

namespace {

constexpr const char* kService = "[ZUTReachability]";

const char* statusWord(ZUTReachabilityStatus status) {
    switch (status) {
    case kZUTReachabilityUnknown:
        return "Unknown";
    case kZUTReachabilityNotReachable:
        return "Disconnected";
    default:
        return "Connected";
    }
}

const ZUTReachabilityApi kDefaultApi = {
    [](const std::string& host) { return sc::NetworkReachability::createWithName(host); },
    [](const ZUTReachabilityApi::Handle& h, sc::NetworkReachability::Callback cb) {
        return h->setCallback(std::move(cb));
    },
    [](const ZUTReachabilityApi::Handle& h) { return h->scheduleWithMainLoop(); },
    [](const ZUTReachabilityApi::Handle& h) { return h->unscheduleFromMainLoop(); },
    [](ZUTReachabilityApi::Handle& h) { h.reset(); },
};

}  // namespace

const ZUTReachabilityApi* ZUTReachabilityApi::defaultApi() { return &kDefaultApi; }

std::shared_ptr<ZUTReachabilityChecker> ZUTReachabilityChecker::make(std::weak_ptr<ZUTReachabilityDelegate> delegate,
                                                                     std::string host) {
    if (host.empty()) {
        ZUTLoggerLogError(kService, false, "I-REA902001", "Invalid host specified");
        return nullptr;
    }
    return std::shared_ptr<ZUTReachabilityChecker>(new ZUTReachabilityChecker(std::move(delegate), std::move(host)));
}

ZUTReachabilityChecker::ZUTReachabilityChecker(std::weak_ptr<ZUTReachabilityDelegate> delegate, std::string host)
    : host_(std::move(host)), api_(&kDefaultApi), delegate_(std::move(delegate)) {}

ZUTReachabilityChecker::~ZUTReachabilityChecker() {
    setReachabilityDelegate({});
    stop();
}

bool ZUTReachabilityChecker::start() {
    platform::dispatch::MutexLock lock(mutex_);
    if (!handle_) {
        handle_ = api_->createWithName(host_);
        if (!handle_) return false;
        std::weak_ptr<ZUTReachabilityChecker> weak = weak_from_this();
        bool ok = api_->setCallback(handle_, [weak](sc::NetworkReachability&, sc::ReachabilityFlags flags) {
            if (auto self = weak.lock()) self->reachabilityFlagsChanged(flags);
        });
        ok = ok && api_->scheduleWithMainLoop(handle_);
        if (!ok) {
            api_->release(handle_);
            handle_.reset();
            ZUTLoggerLogError(kService, false, "I-REA902002", "Failed to start reachability handle");
            return false;
        }
    }
    ZUTLoggerLogDebug(kService, false, "I-REA902003", "Monitoring the network status");
    return true;
}

void ZUTReachabilityChecker::stop() {
    platform::dispatch::MutexLock lock(mutex_);
    if (!handle_) return;
    status_ = kZUTReachabilityUnknown;
    api_->unscheduleFromMainLoop(handle_);
    api_->release(handle_);
    handle_.reset();
}

bool ZUTReachabilityChecker::isActive() const {
    platform::dispatch::MutexLock lock(mutex_);
    return handle_ != nullptr;
}

void ZUTReachabilityChecker::setReachabilityDelegate(std::weak_ptr<ZUTReachabilityDelegate> delegate) {
    platform::dispatch::MutexLock lock(mutex_);
    delegate_ = std::move(delegate);
}

void ZUTReachabilityChecker::setReachabilityApi(const ZUTReachabilityApi* api) {
    platform::dispatch::MutexLock lock(mutex_);
    if (handle_) {
        ZUTLoggerLogError(kService, false, "I-REA902000",
                          "Cannot change reachability API while reachability is running. Call stop first.");
        return;
    }
    if (api) api_ = api;
}

const ZUTReachabilityApi* ZUTReachabilityChecker::reachabilityApi() const {
    platform::dispatch::MutexLock lock(mutex_);
    return api_;
}

ZUTReachabilityStatus ZUTReachabilityChecker::statusForFlags(sc::ReachabilityFlags flags) {
    namespace F = sc::ReachabilityFlag;
    if (!(flags & F::Reachable)) return kZUTReachabilityNotReachable;
    const ZUTReachabilityStatus reachable = (flags & F::IsWWAN) ? kZUTReachabilityViaCellular : kZUTReachabilityViaWifi;
    if (!(flags & F::ConnectionRequired)) return reachable;
    // A connection made on demand or on traffic without the user's help still counts as reachable.
    if ((flags & (F::ConnectionOnDemand | F::ConnectionOnTraffic)) && !(flags & F::InterventionRequired))
        return reachable;
    return kZUTReachabilityNotReachable;
}

void ZUTReachabilityChecker::reachabilityFlagsChanged(sc::ReachabilityFlags flags) {
    const ZUTReachabilityStatus status = statusForFlags(flags);
    if (status_.exchange(status) == status) return;
    ZUTLoggerLogDebug(kService, false, "I-REA902004", "Network status has changed. Code:%@, status:%@", int(status),
                      statusWord(status));
    std::shared_ptr<ZUTReachabilityDelegate> delegate;
    {
        platform::dispatch::MutexLock lock(mutex_);
        delegate = delegate_.lock();
    }
    if (delegate) delegate->reachabilityStatusChanged(*this, status);
}

}  // namespace zidedova
