#include "platform/foundation/SystemIdentification.h"

#include "platform/foundation/PlatformConfig.h"

namespace platform {

UTSName uname() {
    auto settings = PlatformConfig::current();
    return UTSName{"Darwin", settings.deviceName, settings.deviceModel};
}

}  // namespace platform
