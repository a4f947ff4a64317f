#pragma once
// Where Network::registerDevice hands its cookies instead of sending anything, so that a test can see
// which navigations register the device without a registration endpoint. Any thread.
#include <functional>
#include <vector>

#include "platform/foundation/HTTPCookie.h"

namespace Tesmar {

using NetworkRegistrationSink = std::function<void(const std::vector<platform::HTTPCookie>&)>;

// nullptr sends again.
void setNetworkRegistrationSink(NetworkRegistrationSink sink);

}  // namespace Tesmar
