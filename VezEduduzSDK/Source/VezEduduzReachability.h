#pragma once
// VezEduduzReachability: the network path the device would use now, over the platform's
// NetworkReachability. The helper turns it into the "net_type" the REST requests carry.
//
// Status: 0 not reachable, 1 reachable through Wi-Fi (or any path not marked cellular), 2 cellular.
// Made by the factories only (never without a target); owned by shared_ptr; any thread.
#include <sys/socket.h>

#include <cstdint>
#include <memory>

namespace platform::sc {
class NetworkReachability;
}

namespace vezeduduz {

enum class VENetworkStatus : int { NotReachable = 0, ReachableViaWiFi = 1, ReachableViaWWAN = 2 };

class VezEduduzReachability {
public:
    // nullptr when no target can be made for the address.
    static std::shared_ptr<VezEduduzReachability> reachabilityWithAddress(const sockaddr* address);
    // The zero IPv4 address: the network in general.
    static std::shared_ptr<VezEduduzReachability> reachabilityForInternetConnection();

    bool alwaysReturnLocalWiFiStatus = false;

    // NotReachable when the flags cannot be read.
    VENetworkStatus currentReachabilityStatus() const;
    // The connection-required bit; false when the flags cannot be read.
    bool connectionRequired() const;
    static VENetworkStatus networkStatusForFlags(uint32_t flags);
    static VENetworkStatus localWiFiStatusForFlags(uint32_t flags);

    explicit VezEduduzReachability(std::shared_ptr<platform::sc::NetworkReachability> target);

private:
    std::shared_ptr<platform::sc::NetworkReachability> target_;
};

}  // namespace vezeduduz
