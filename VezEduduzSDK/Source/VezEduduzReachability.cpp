#include "VezEduduzSDK/Source/VezEduduzReachability.h"

#include <netinet/in.h>

#include <cstring>

#include "platform/systemconfiguration/Reachability.h"

namespace vezeduduz {

namespace Flag = platform::sc::ReachabilityFlag;

VezEduduzReachability::VezEduduzReachability(std::shared_ptr<platform::sc::NetworkReachability> target)
    : target_(std::move(target)) {}

std::shared_ptr<VezEduduzReachability> VezEduduzReachability::reachabilityWithAddress(const sockaddr* address) {
    auto target = platform::sc::NetworkReachability::createWithAddress(address);
    if (!target) return nullptr;
    return std::make_shared<VezEduduzReachability>(std::move(target));
}

std::shared_ptr<VezEduduzReachability> VezEduduzReachability::reachabilityForInternetConnection() {
    sockaddr_in zero;
    std::memset(&zero, 0, sizeof zero);
    zero.sin_family = AF_INET;
    return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&zero));
}

VENetworkStatus VezEduduzReachability::networkStatusForFlags(uint32_t flags) {
    if (!(flags & Flag::Reachable)) return VENetworkStatus::NotReachable;
    auto status = VENetworkStatus::NotReachable;
    if (!(flags & Flag::ConnectionRequired)) status = VENetworkStatus::ReachableViaWiFi;
    if ((flags & (Flag::ConnectionOnDemand | Flag::ConnectionOnTraffic)) && !(flags & Flag::InterventionRequired)) {
        status = VENetworkStatus::ReachableViaWiFi;
    }
    if (flags & Flag::IsWWAN) status = VENetworkStatus::ReachableViaWWAN;
    return status;
}

VENetworkStatus VezEduduzReachability::localWiFiStatusForFlags(uint32_t flags) {
    return (flags & Flag::Reachable) && (flags & Flag::IsDirect) ? VENetworkStatus::ReachableViaWiFi
                                                                 : VENetworkStatus::NotReachable;
}

VENetworkStatus VezEduduzReachability::currentReachabilityStatus() const {
    auto flags = target_ ? target_->getFlags() : std::nullopt;
    if (!flags) return VENetworkStatus::NotReachable;
    return alwaysReturnLocalWiFiStatus ? localWiFiStatusForFlags(*flags) : networkStatusForFlags(*flags);
}

bool VezEduduzReachability::connectionRequired() const {
    auto flags = target_ ? target_->getFlags() : std::nullopt;
    return flags && (*flags & Flag::ConnectionRequired);
}

}  // namespace vezeduduz
