#include "testing/ProcessReset.h"

#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/uikit/Application.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace tesmar_testing {

void resetProcessState() {
    platform::ResetRegistry::runAll();
    platform::uikit::Application::resetShared();
    platform::usernotifications::UserNotificationCenter::resetCurrent();
    platform::Bundle::setMainBundlePath("");
}

void resetProcessState(std::initializer_list<std::string_view> names) {
    platform::ResetRegistry::run(std::vector<std::string_view>(names));
}

}  // namespace tesmar_testing
