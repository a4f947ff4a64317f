#include "zidedova_core/utilities/ZUTAppEnvironmentUtil.h"

#include <string_view>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/SystemIdentification.h"
#include "platform/uikit/Device.h"

namespace zidedova {

namespace {
bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}
}  // namespace

std::optional<std::string> ZUTAppEnvironmentUtil::deviceModel() {
    std::string model = platform::uname().machine;
    if (model.empty()) return std::nullopt;
    return model;
}

std::string ZUTAppEnvironmentUtil::systemVersion() { return platform::uikit::Device::currentDevice().systemVersion(); }

bool ZUTAppEnvironmentUtil::isSimulator() {
    auto model = deviceModel();
    return model && (*model == "x86_64" || *model == "i386");
}

bool ZUTAppEnvironmentUtil::isAppExtension() {
    return endsWith(platform::Bundle::mainBundle()->bundlePath(), ".appex");
}

bool ZUTAppEnvironmentUtil::isAppStoreReceiptSandbox() {
    auto bundle = platform::Bundle::mainBundle();
    if (const platform::Value* check = bundle->objectForInfoDictionaryKey("ZidedovaAppStoreReceiptURLCheckEnabled")) {
        if (check->isNumber() || check->isBool()) {
            if (!check->boolOr(true)) return false;
        }
    }
    if (!platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({7, 0, 0})) return false;
    std::string receipt = bundle->appStoreReceiptPath();
    auto slash = receipt.find_last_of('/');
    std::string last = slash == std::string::npos ? receipt : receipt.substr(slash + 1);
    return last == "sandboxReceipt";
}

bool ZUTAppEnvironmentUtil::isFromAppStore() {
    if (isSimulator()) return false;
    if (isAppStoreReceiptSandbox()) return false;
    auto bundle = platform::Bundle::mainBundle();
    if (platform::FileManager::defaultManager().fileExists(bundle->bundlePath() + "/SC_Info")) return true;
    constexpr bool executableEncrypted = false;  // no Mach-O images on this platform
    if (!executableEncrypted) return false;
    return !bundle->pathForResource("embedded", "mobileprovision");
}

}  // namespace zidedova
