#pragma once
// ZUTReachabilityChecker: watches one host name through the platform's reachability service and tells
// its delegate when the coarse status changes (one call per change).
//
// Threads: start() and stop() may be called from any thread (the network utility calls them at its
// creation and release); the platform delivers flag changes on the main loop, and the delegate is called
// there. The platform's callback holds the checker weakly, so a change that arrives after the checker is
// gone does nothing.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/systemconfiguration/Reachability.h"

namespace zidedova {

enum ZUTReachabilityStatus : int32_t {
    kZUTReachabilityUnknown = 0,
    kZUTReachabilityNotReachable = 1,
    kZUTReachabilityViaWifi = 2,      // reachable, not over the cellular network
    kZUTReachabilityViaCellular = 3,  // reachable over the cellular network
};

class ZUTReachabilityChecker;

class ZUTReachabilityDelegate {
public:
    virtual ~ZUTReachabilityDelegate() = default;
    // Main loop.
    virtual void reachabilityStatusChanged(ZUTReachabilityChecker& checker, ZUTReachabilityStatus status) = 0;
};

// The platform calls the checker makes, replaceable while it is stopped (tests, another platform).
struct ZUTReachabilityApi {
    using Handle = std::shared_ptr<platform::sc::NetworkReachability>;
    Handle (*createWithName)(const std::string& host);
    bool (*setCallback)(const Handle& handle, platform::sc::NetworkReachability::Callback callback);
    bool (*scheduleWithMainLoop)(const Handle& handle);
    bool (*unscheduleFromMainLoop)(const Handle& handle);
    void (*release)(Handle& handle);

    static const ZUTReachabilityApi* defaultApi();
};

class ZUTReachabilityChecker : public std::enable_shared_from_this<ZUTReachabilityChecker> {
public:
    // Null (and the 902001 line) for an empty host. Made stopped, status unknown.
    static std::shared_ptr<ZUTReachabilityChecker> make(std::weak_ptr<ZUTReachabilityDelegate> delegate,
                                                        std::string host);
    ~ZUTReachabilityChecker();
    ZUTReachabilityChecker(const ZUTReachabilityChecker&) = delete;
    ZUTReachabilityChecker& operator=(const ZUTReachabilityChecker&) = delete;

    // Creates and schedules the platform handle. false (stopped) when either step fails.
    bool start();
    // Unschedules and releases the handle; the status returns to unknown.
    void stop();
    bool isActive() const;

    void setReachabilityDelegate(std::weak_ptr<ZUTReachabilityDelegate> delegate);
    // Refused with 902000 while running.
    void setReachabilityApi(const ZUTReachabilityApi* api);
    const ZUTReachabilityApi* reachabilityApi() const;

    ZUTReachabilityStatus reachabilityStatus() const { return status_.load(); }
    const std::string& host() const { return host_; }

    static ZUTReachabilityStatus statusForFlags(platform::sc::ReachabilityFlags flags);
    // What the platform's callback runs: a changed status is stored, logged and told to the delegate.
    void reachabilityFlagsChanged(platform::sc::ReachabilityFlags flags);

private:
    ZUTReachabilityChecker(std::weak_ptr<ZUTReachabilityDelegate> delegate, std::string host);

    const std::string host_;
    std::atomic<ZUTReachabilityStatus> status_{kZUTReachabilityUnknown};
    mutable platform::dispatch::Mutex mutex_;
    const ZUTReachabilityApi* api_ GUARDED_BY(mutex_);
    ZUTReachabilityApi::Handle handle_ GUARDED_BY(mutex_);
    std::weak_ptr<ZUTReachabilityDelegate> delegate_ GUARDED_BY(mutex_);
};

}  // namespace zidedova
