#include "VezEduduzSDK/Source/VELocalNotifications.h"

#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "platform/uikit/Application.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace vezeduduz {

using platform::Value;

bool carriesLocalButtons(const Value& message) {
    if (!message.isDictionary()) return false;
    if (const Value* aps = message.find("aps"); aps && aps->find("alert")) return false;
    if (const Value* veData = message.find("ve_data"); veData && veData->isDictionary())
        if (const Value* buttons = veData->find("buttons"); buttons && buttons->isDictionary()) return true;
    return message.find("at") || message.find("o");
}

bool showsLocalNotificationWithButtons(const Value& message,
                                       const std::function<void(platform::uikit::BackgroundFetchResult)>& completion) {
    if (!carriesLocalButtons(message)) return false;
    auto payload = VENotificationPayload::parseWithApns(message);
    if (!payload) return false;
    if (platform::usernotifications::UserNotificationCenter::current()) {
        VezEduduzHelper::addNotificationRequest(std::move(payload), completion);
        return true;
    }
    return false;
}

}  // namespace vezeduduz
