#pragma once
// Network: tells the intranet site which push player belongs to the browser session, by posting
// {"player-id": id} to the registration endpoint with the web view's cookies. Main thread.
#include <vector>

#include "Rivulet/Source/Rivulet.h"
#include "platform/foundation/HTTPCookie.h"

namespace Tesmar {

class Network {
public:
    // At most one request, not waited for; nothing when the push client has no player id yet.
    static void registerDevice(const std::vector<platform::HTTPCookie>& cookies);
    static void registerDeviceResponseHandler(const rivulet::DataResponse<platform::Value>& response);
};

}  // namespace Tesmar
