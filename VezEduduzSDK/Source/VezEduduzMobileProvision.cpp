#include "VezEduduzSDK/Source/VezEduduzMobileProvision.h"

#include <algorithm>
#include <string_view>

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"

namespace vezeduduz {
namespace {

platform::dispatch::Mutex cacheMutex;
std::optional<platform::Value> cachedProfile GUARDED_BY(cacheMutex);

// A signed profile is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxProfileBytes = 4 * 1024 * 1024;

}  // namespace

void VezEduduzMobileProvision::logInvalidMobileProvisionError(const std::string& message) {
    VezEduduzLogSink::log(VELogLevel::error, message);
}

void VezEduduzMobileProvision::resetCache() {
    platform::dispatch::MutexLock lock(cacheMutex);
    cachedProfile.reset();
}

std::optional<platform::Value> VezEduduzMobileProvision::getMobileProvision() {
    {
        platform::dispatch::MutexLock lock(cacheMutex);
        if (cachedProfile) return cachedProfile;
    }
    auto bundle = platform::Bundle::mainBundle();
    auto path = bundle ? bundle->pathForResource("embedded", "mobileprovision") : std::nullopt;
    if (!path) return platform::Value::dictionary();

    // Read as ISO Latin-1, where every byte is a character: the markers are found in the raw bytes and
    // the slice between them goes to the property-list reader unchanged.
    auto contents = platform::FileManager::defaultManager().contentsOfFile(*path, kMaxProfileBytes);
    if (!contents) return std::nullopt;
    std::string_view text(reinterpret_cast<const char*>(contents->data()), contents->size());
    auto begin = text.find("<plist");
    if (begin == std::string_view::npos || begin == 0) {
        logInvalidMobileProvisionError("unable to find beginning of plist");
        return std::nullopt;
    }
    auto end = text.find("</plist>", begin);
    if (end == std::string_view::npos) {
        logInvalidMobileProvisionError("unable to find end of plist");
        return std::nullopt;
    }
    std::string plistText(text.substr(begin, end - begin));
    plistText += "</plist>";
    auto parsed = platform::plist::read(plistText);
    if (!parsed) {
        logInvalidMobileProvisionError("error parsing extracted plist - " + parsed.error().description());
        return std::nullopt;
    }
    platform::dispatch::MutexLock lock(cacheMutex);
    cachedProfile = std::move(*parsed);
    return cachedProfile;
}

VEReleaseMode VezEduduzMobileProvision::releaseMode() {
    auto profile = getMobileProvision();
    if (profile) {
        VezEduduzLogSink::log(VELogLevel::debug, "mobileProvision: " + profile->description());
    } else {
        VezEduduzLogSink::log(VELogLevel::debug, "mobileProvision not found");
        return VEReleaseMode::undetermined;
    }
    if (!profile->isDictionary() || profile->empty()) return VEReleaseMode::store;
    if (const auto* all = profile->find("ProvisionsAllDevices"); all && all->isBool() && *all->asBool()) {
        return VEReleaseMode::enterprise;
    }
    const auto* environment = (*profile)["Entitlements"].find("aps-environment");
    if (environment && environment->stringOr("") == "development") return VEReleaseMode::development;
    return VEReleaseMode::store;
}

}  // namespace vezeduduz
