#include "VezEduduzSDK/Source/VezEduduzServiceExtension.h"

#include <limits>

#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzTrackZidedovaAnalytics.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"

namespace vezeduduz {

using platform::Value;

namespace {

// Both processes write it: every write is one locked read-modify-write of the suite.
void storeBadge(const std::function<int64_t(int64_t)>& next) {
    platform::UserDefaults suite(VezEduduzExtensionBadgeHandler::appGroupName());
    platform::retriedByStore(suite.updateObjectForKey(
        kBadgeCountKey, [&](const std::optional<Value>& v) { return Value(next(v ? v->integerOr(0) : 0)); }));
}

}  // namespace

std::optional<std::string> VezEduduzExtensionBadgeHandler::primaryBundleIdentifier() {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return std::nullopt;
    platform::URL url = platform::URL::fileURL(bundle->bundlePath(), true);
    if (url.pathExtension() == "appex") {
        std::string path = bundle->bundlePath();
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        for (int up = 0; up < 2; ++up) {
            auto slash = path.rfind('/');
            if (slash == std::string::npos) return std::nullopt;
            path = path.substr(0, slash);
        }
        auto app = platform::Bundle::bundleWithPath(path);
        return app ? app->bundleIdentifier() : std::nullopt;
    }
    return bundle->bundleIdentifier();
}

std::string VezEduduzExtensionBadgeHandler::appGroupName() {
    std::string name;
    auto bundle = platform::Bundle::mainBundle();
    const Value* configured = bundle ? bundle->objectForInfoDictionaryKey(kAppGroupsInfoKey) : nullptr;
    if (configured && configured->isString())
        name = *configured->asString();
    else
        name = "group." + primaryBundleIdentifier().value_or("") + ".vezeduduz";
    return std::string(platform::trimmingASCIIWhitespace(name));
}

int64_t VezEduduzExtensionBadgeHandler::currentCachedBadgeValue() {
    platform::UserDefaults suite(appGroupName());
    return suite.integerForKey(kBadgeCountKey).value_or(0);
}

void VezEduduzExtensionBadgeHandler::updateCachedBadgeValue(int64_t value) {
    storeBadge([value](int64_t) { return value; });
}

void VezEduduzExtensionBadgeHandler::handleBadgeCountWithNotificationRequest(
    const platform::usernotifications::NotificationRequest&, const VENotificationPayload& payload,
    platform::usernotifications::NotificationContent& content) {
    if (int64_t increment = payload.badgeIncrement(); increment != 0) {
        int64_t shown = 0;
        storeBadge([&](int64_t current) {
            // Clamped as a message's own badge is; a sum past the 64-bit ends saturates first.
            int64_t sum = 0;
            if (__builtin_add_overflow(current, increment, &sum))
                sum = increment > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
            shown = int64_t(payload_read::clampedBadge(sum));
            return shown;
        });
        content.badge = shown;
    } else if (payload.hasBadge()) {
        updateCachedBadgeValue(int64_t(payload.badge()));
    }
}

VezEduduzNotificationServiceExtensionHandler::Content
VezEduduzNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(const Request& request,
                                                                                     const Content* given) {
    Content content = given ? *given : request.content;
    VENotificationPayload payload(request.content.userInfo);
    VezEduduzExtensionBadgeHandler::handleBadgeCountWithNotificationRequest(request, payload, content);
    VezEduduzTrackZidedovaAnalytics::trackReceivedEvent(payload);
    addActionButtonsToExtentionRequest(request, payload, content);
    VezEduduzHelper::addAttachments(payload, content);
    return content;
}

VezEduduzNotificationServiceExtensionHandler::Content
VezEduduzNotificationServiceExtensionHandler::serviceExtensionTimeWillExpireRequest(const Request& request,
                                                                                    const Content* given) {
    Content content = given ? *given : request.content;
    VENotificationPayload payload(request.content.userInfo);
    addActionButtonsToExtentionRequest(request, payload, content);
    return content;
}

VezEduduzNotificationServiceExtensionHandler::Content VezEduduz::didReceiveNotificationExtensionRequest(
    const VezEduduzNotificationServiceExtensionHandler::Request& request,
    const VezEduduzNotificationServiceExtensionHandler::Content* content) {
    return VezEduduzNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(request, content);
}

VezEduduzNotificationServiceExtensionHandler::Content
VezEduduz::serviceExtensionTimeWillExpireRequest(const VezEduduzNotificationServiceExtensionHandler::Request& request,
                                                 const VezEduduzNotificationServiceExtensionHandler::Content* content) {
    return VezEduduzNotificationServiceExtensionHandler::serviceExtensionTimeWillExpireRequest(request, content);
}

void VezEduduzNotificationServiceExtensionHandler::addActionButtonsToExtentionRequest(
    const Request& request, const VENotificationPayload& payload, Content& content) {
    if (!request.content.categoryIdentifier.empty()) return;
    VezEduduzHelper::addActionButtons(payload, content);
}

}  // namespace vezeduduz
