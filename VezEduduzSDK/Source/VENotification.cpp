#include "VezEduduzSDK/Source/VENotification.h"

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "platform/foundation/JSON.h"
#include "platform/uikit/Application.h"

namespace vezeduduz {

using platform::Value;

namespace {
std::optional<std::string> writeCompact(const Value& value, const char* what) {
    auto text = platform::json::write(value);
    if (!text) {
        VezEduduzLogSink::log(VELogLevel::error,
                              std::string(what) + " cannot be written as JSON: " + text.error().description());
        return std::nullopt;
    }
    return std::move(*text);
}
}  // namespace

VENotificationEnvironment VENotificationEnvironment::current() {
    VENotificationEnvironment env;
    auto app = platform::uikit::Application::shared();
    env.appInFocus = app && app->applicationState() == platform::uikit::ApplicationState::Active;
    env.inFocusDisplayType = VezEduduz::inFocusDisplayType();
    return env;
}

VENotification::VENotification(std::shared_ptr<const VENotificationPayload> payload, VEInFocusDisplayType displayType)
    : VENotification(std::move(payload), displayType, VENotificationEnvironment::current()) {}

VENotification::VENotification(std::shared_ptr<const VENotificationPayload> payload, VEInFocusDisplayType displayType,
                               const VENotificationEnvironment& environment)
    : payload_(payload ? std::move(payload) : std::make_shared<const VENotificationPayload>(Value())),
      displayType_(displayType) {
    const Value& raw = payload_->rawPayload();
    silentNotification_ = VezEduduzNotificationHelper::isRemoteSilentNotification(raw);
    if (const Value* aps = payload_read::dictionary(raw, "aps")) {
        const Value* mutableContent = aps->find("mutable-content");
        // YES or a number equal to 1, as the platform compares a number with 1.
        mutableContent_ = mutableContent && mutableContent->asDouble() == 1.0;
    }
    isAppInFocus_ = environment.appInFocus;
    if (silentNotification_)
        shown_ = false;
    else if (isAppInFocus_ && environment.inFocusDisplayType == VEInFocusDisplayType::none)
        shown_ = false;
}

Value VENotification::jsonValue() const {
    Value out = Value::dictionary();
    out.set("payload", payload_->jsonValue());
    if (displayType_ != VEInFocusDisplayType::none)
        out.set("displayType", Value(static_cast<unsigned long long>(displayType_)));
    out.set("shown", Value(shown_));
    out.set("isAppInFocus", Value(isAppInFocus_));
    if (silentNotification_) out.set("silentNotification", Value(true));
    return out;
}

std::optional<std::string> VENotification::stringify() const { return writeCompact(jsonValue(), "Notification"); }

VENotificationOpenedResult::VENotificationOpenedResult(std::shared_ptr<const VENotification> notification,
                                                       std::shared_ptr<const VENotificationAction> action)
    : notification_(notification ? std::move(notification)
                                 : std::make_shared<const VENotification>(nullptr, VEInFocusDisplayType::none,
                                                                          VENotificationEnvironment{})),
      action_(action ? std::move(action)
                     : std::make_shared<const VENotificationAction>(VENotificationActionType::Opened, std::nullopt)) {}

Value VENotificationOpenedResult::jsonValue() const {
    Value action = Value::dictionary();
    if (action_->actionID()) action.set("actionID", Value(*action_->actionID()));
    if (action_->type() != VENotificationActionType::Opened)
        action.set("type", Value(static_cast<unsigned long long>(action_->type())));
    return Value::dictionary({{"action", std::move(action)}, {"notification", notification_->jsonValue()}});
}

std::optional<std::string> VENotificationOpenedResult::stringify() const {
    return writeCompact(jsonValue(), "Notification opened result");
}

}  // namespace vezeduduz
