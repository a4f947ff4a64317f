#include "platform/systemconfiguration/Reachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <set>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/PlatformConfig.h"

namespace platform::sc {

namespace {

struct Registry {
    dispatch::Mutex mutex;
    ReachabilityTestHooks hooks GUARDED_BY(mutex);
    std::set<NetworkReachability*> live GUARDED_BY(mutex);
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: targets may die during exit
    return *r;
}

bool isLoopbackAddress(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, address, sizeof in);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    sockaddr_in6 in6;
    std::memcpy(&in6, address, sizeof in6);
    return IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr);
}

bool isLoopbackName(const std::string& name) {
    if (name == "localhost" || name == "::1") return true;
    in_addr v4;
    return inet_pton(AF_INET, name.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

}  // namespace

ReachabilityTestHooks ReachabilityTestHooks::current() {
    dispatch::MutexLock lock(registry().mutex);
    return registry().hooks;
}

void ReachabilityTestHooks::set(ReachabilityTestHooks hooks) {
    std::vector<std::shared_ptr<NetworkReachability>> targets;
    {
        dispatch::MutexLock lock(registry().mutex);
        registry().hooks = std::move(hooks);
        for (auto* target : registry().live) {
            if (auto strong = target->weak_from_this().lock()) targets.push_back(std::move(strong));
        }
    }
    for (auto& target : targets) target->networkChanged();
}

std::shared_ptr<NetworkReachability> NetworkReachability::createWithAddress(const sockaddr* address) {
    if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6)) return nullptr;
    if (ReachabilityTestHooks::current().creationFails) return nullptr;
    return std::shared_ptr<NetworkReachability>(new NetworkReachability("", isLoopbackAddress(address)));
}

std::shared_ptr<NetworkReachability> NetworkReachability::createWithName(const std::string& hostName) {
    if (hostName.empty()) return nullptr;
    if (ReachabilityTestHooks::current().creationFails) return nullptr;
    return std::shared_ptr<NetworkReachability>(new NetworkReachability(hostName, isLoopbackName(hostName)));
}

NetworkReachability::NetworkReachability(std::string hostName, bool loopback)
    : hostName_(std::move(hostName)), loopback_(loopback) {
    dispatch::MutexLock lock(registry().mutex);
    registry().live.insert(this);
}

NetworkReachability::~NetworkReachability() {
    unschedule();
    dispatch::MutexLock lock(registry().mutex);
    registry().live.erase(this);
}

int NetworkReachability::liveCount() {
    dispatch::MutexLock lock(registry().mutex);
    return static_cast<int>(registry().live.size());
}

ReachabilityFlags NetworkReachability::flagsFor(bool networkUp) const {
    auto hooks = ReachabilityTestHooks::current();
    if (hooks.flagsOverride) return *hooks.flagsOverride;
    if (!networkUp) return 0;
    ReachabilityFlags flags = ReachabilityFlag::Reachable;
    if (loopback_) flags |= ReachabilityFlag::IsLocalAddress | ReachabilityFlag::IsDirect;
    return flags;
}

std::optional<ReachabilityFlags> NetworkReachability::getFlags() const {
    if (ReachabilityTestHooks::current().flagsUnreadable) return std::nullopt;
    return flagsFor(PlatformConfig::networkUp());
}

bool NetworkReachability::setCallback(Callback callback) {
    dispatch::MutexLock lock(mutex_);
    callback_ = std::move(callback);
    return true;
}

bool NetworkReachability::scheduleWithMainLoop() { return schedule(std::nullopt); }

bool NetworkReachability::unscheduleFromMainLoop() {
    unschedule();
    return true;
}

bool NetworkReachability::setDispatchQueue(std::optional<dispatch::DispatchQueue> queue) {
    if (!queue) {
        unschedule();
        return true;
    }
    return schedule(std::move(queue));
}

bool NetworkReachability::isScheduled() const {
    dispatch::MutexLock lock(mutex_);
    return scheduled_;
}

bool NetworkReachability::schedule(std::optional<dispatch::DispatchQueue> queue) {
    if (ReachabilityTestHooks::current().schedulingFails) return false;
    std::weak_ptr<NetworkReachability> weak = weak_from_this();
    int oldListener = 0;
    {
        dispatch::MutexLock lock(mutex_);
        oldListener = listenerId_;
        queue_ = queue ? std::move(queue) : dispatch::DispatchQueue::main();
        scheduled_ = true;
        ++generation_;
        // A name target reports once as soon as it is "resolved"; address targets only on change.
        lastFlags_ = hostName_.empty() ? std::optional(flagsFor(PlatformConfig::networkUp())) : std::nullopt;
        listenerId_ = PlatformConfig::addNetworkListener([weak](bool) {
            if (auto self = weak.lock()) self->networkChanged();
        });
    }
    if (oldListener) PlatformConfig::removeNetworkListener(oldListener);
    if (!hostName_.empty()) networkChanged();
    return true;
}

void NetworkReachability::unschedule() {
    int listener = 0;
    {
        dispatch::MutexLock lock(mutex_);
        listener = listenerId_;
        listenerId_ = 0;
        scheduled_ = false;
        queue_.reset();
        ++generation_;
    }
    if (listener) PlatformConfig::removeNetworkListener(listener);
}

void NetworkReachability::networkChanged() {
    ReachabilityFlags flags = flagsFor(PlatformConfig::networkUp());
    std::optional<dispatch::DispatchQueue> queue;
    uint64_t generation;
    {
        dispatch::MutexLock lock(mutex_);
        if (!scheduled_ || lastFlags_ == flags) return;
        lastFlags_ = flags;
        queue = queue_;
        generation = generation_;
    }
    std::weak_ptr<NetworkReachability> weak = weak_from_this();
    queue->async([weak, generation, flags] {
        auto self = weak.lock();
        if (!self) return;
        Callback callback;
        {
            dispatch::MutexLock lock(self->mutex_);
            if (!self->scheduled_ || self->generation_ != generation) return;
            callback = self->callback_;
        }
        if (callback) callback(*self, flags);
    });
}

}  // namespace platform::sc
