#pragma once
// NetworkReachability: can this device reach an address or a host name without first setting up a
// connection? Answers come from PlatformConfig::networkUp(), so transfers failing with "not connected"
// and reachability reporting down always agree.
//
// Flags carry the platform's bit values (ReachabilityFlag). Network up: Reachable, plus IsLocalAddress
// and IsDirect for loopback targets; network down: 0. Host names are not resolved: a name counts as
// reachable whenever the network is up (fixed names are mapped to local servers by the connect-to map).
//
// Notifications: after setCallback and scheduleWithMainLoop or setDispatchQueue, the callback runs on the
// main loop / that queue each time the target's flags change. A name target also reports its flags once
// right after it is scheduled, as a resolved name would. No callback starts after unscheduling or after
// the target is destroyed. Every member is thread-safe. Targets are owned by shared_ptr; destroying the
// last reference stops notifications and removes the network listener.
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"

namespace platform::sc {

using ReachabilityFlags = uint32_t;

namespace ReachabilityFlag {
inline constexpr ReachabilityFlags TransientConnection = 1u << 0;
inline constexpr ReachabilityFlags Reachable = 1u << 1;
inline constexpr ReachabilityFlags ConnectionRequired = 1u << 2;
inline constexpr ReachabilityFlags ConnectionOnTraffic = 1u << 3;
inline constexpr ReachabilityFlags InterventionRequired = 1u << 4;
inline constexpr ReachabilityFlags ConnectionOnDemand = 1u << 5;
inline constexpr ReachabilityFlags IsLocalAddress = 1u << 16;
inline constexpr ReachabilityFlags IsDirect = 1u << 17;
inline constexpr ReachabilityFlags IsWWAN = 1u << 18;
}  // namespace ReachabilityFlag

// Test controls, process-wide: tests set them to reach the failure paths of callers.
struct ReachabilityTestHooks {
    std::optional<ReachabilityFlags> flagsOverride;  // every target reports these instead
    bool flagsUnreadable = false;                    // getFlags fails
    bool creationFails = false;                      // createWithAddress / createWithName return null
    bool schedulingFails = false;                    // scheduleWithMainLoop / setDispatchQueue fail

    static ReachabilityTestHooks current();
    // Scheduled targets whose flags change through the new hooks are notified as for a network change.
    static void set(ReachabilityTestHooks hooks);
    static void reset() { set(ReachabilityTestHooks{}); }
};

class NetworkReachability : public std::enable_shared_from_this<NetworkReachability> {
public:
    using Callback = std::function<void(NetworkReachability& target, ReachabilityFlags flags)>;

    // IPv4 or IPv6 socket address (the zero address asks about the network in general). Null for a
    // null address or another family.
    static std::shared_ptr<NetworkReachability> createWithAddress(const sockaddr* address);
    // Null for an empty name.
    static std::shared_ptr<NetworkReachability> createWithName(const std::string& hostName);

    ~NetworkReachability();
    NetworkReachability(const NetworkReachability&) = delete;
    NetworkReachability& operator=(const NetworkReachability&) = delete;

    // Current flags; nullopt when they cannot be read.
    std::optional<ReachabilityFlags> getFlags() const;

    // Replaces the callback (an empty function clears it). Returns true.
    bool setCallback(Callback callback);
    // Delivers callbacks on the main loop. False when scheduling fails.
    bool scheduleWithMainLoop();
    bool unscheduleFromMainLoop();
    // Delivers callbacks on the queue; nullopt unschedules. False when scheduling fails.
    bool setDispatchQueue(std::optional<dispatch::DispatchQueue> queue);

    bool isScheduled() const;
    const std::string& hostName() const { return hostName_; }  // empty for address targets

    // Targets alive now (callers' tests check that every target made is released).
    static int liveCount();

private:
    NetworkReachability(std::string hostName, bool loopback);
    ReachabilityFlags flagsFor(bool networkUp) const;
    bool schedule(std::optional<dispatch::DispatchQueue> queue);  // nullopt: main loop
    void unschedule();
    void networkChanged();
    friend struct ReachabilityTestHooks;

    const std::string hostName_;
    const bool loopback_;
    mutable dispatch::Mutex mutex_;
    Callback callback_ GUARDED_BY(mutex_);
    std::optional<dispatch::DispatchQueue> queue_ GUARDED_BY(mutex_);
    bool scheduled_ GUARDED_BY(mutex_) = false;
    uint64_t generation_ GUARDED_BY(mutex_) = 0;  // bumped on every (un)schedule so stale deliveries are dropped
    int listenerId_ GUARDED_BY(mutex_) = 0;
    std::optional<ReachabilityFlags> lastFlags_ GUARDED_BY(mutex_);
};

}  // namespace platform::sc
