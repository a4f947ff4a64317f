// The user's answer to the notification prompt belongs to the device, as on a phone: it is kept in a
// file under the device's Library, read when the centre is made (at each launch) and written whenever
// the answer changes, so a relaunch asks nothing and the settings say what the user said. Only the app's
// process asks the user; other processes of the device read the answer. Without a device (not booted)
// the answer stays in memory.
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/PropertyList.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace platform::usernotifications {

namespace {

constexpr size_t kMaxAuthorizationFileBytes = 64 * 1024;

std::string authorizationPath() {
    auto library = FileManager::defaultManager().directory(SearchPathDirectory::Library);
    if (!library) return {};
    return *library + "/UserNotifications/authorization.plist";
}

}  // namespace

void UserNotificationCenter::loadAuthorization() {
    std::string path = authorizationPath();
    if (path.empty()) return;
    PendingWrites::removeStaleTemporaryFilesOnce(path);
    auto stored = plist::readFile(path, kMaxAuthorizationFileBytes);
    if (!stored) return;  // never asked, or a damaged file: not determined, so the user is asked again
    int64_t status = (*stored)["status"].integerOr(-1);
    if (status < int64_t(AuthorizationStatus::NotDetermined) || status > int64_t(AuthorizationStatus::Provisional))
        return;
    status_ = AuthorizationStatus(status);
    grantedOptions_ = (*stored)["options"].integerOr(0);
}

void UserNotificationCenter::storeAuthorization() {
    std::string path = authorizationPath();
    if (path.empty()) return;
    PendingWrites::Options options;
    options.makeFolder = true;
    Value stored = Value::dictionary({{"status", int64_t(status_)}, {"options", grantedOptions_}});
    if (auto bytes = plist::write(stored))
        (void)PendingWrites::write(path, std::move(*bytes), options);  // a failure is said and retried there
}

}  // namespace platform::usernotifications
