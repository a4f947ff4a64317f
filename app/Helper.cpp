#include "app/Helper.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/systemconfiguration/Reachability.h"

namespace Tesmar {

bool Helper::isConnectedToNetwork() {
    // The all-zero address stands for the default route: the network at all, not one host.
    sockaddr_in zeroAddress;
    std::memset(&zeroAddress, 0, sizeof zeroAddress);
    zeroAddress.sin_family = AF_INET;

    auto reachability =
        platform::sc::NetworkReachability::createWithAddress(reinterpret_cast<const sockaddr*>(&zeroAddress));
    if (!reachability) return false;
    auto flags = reachability->getFlags();
    if (!flags) return false;
    using namespace platform::sc;
    return (*flags & (ReachabilityFlag::Reachable | ReachabilityFlag::ConnectionRequired)) ==
           ReachabilityFlag::Reachable;
}

}  // namespace Tesmar
