#include "VezEduduzSDK/Source/VezEduduzAlertView.h"

#include <set>
#include <vector>

#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/uikit/AlertView.h"

namespace vezeduduz {

using platform::Value;

namespace {

struct AlertState {
    platform::dispatch::Mutex mutex;
    std::set<std::shared_ptr<VezEduduzAlertViewDelegate>> live GUARDED_BY(mutex);
    VezEduduzAlertView::OpenHandler openHandler GUARDED_BY(mutex);
};

AlertState& alertState() {
    static AlertState* s = new AlertState;
    return *s;
}

std::optional<std::string> selectedAction(const Value& message) {
    if (const Value* custom = payload_read::dictionary(message, "custom"))
        if (const Value* a = payload_read::dictionary(*custom, "a"))
            if (auto s = payload_read::string(*a, "actionSelected")) return s;
    return payload_read::string(message, "actionSelected");
}

// The buttons the alert shows: the payload's (entries without a text are not shown; a button without an
// id goes by its text). A notification the push client showed itself comes back standardised, its text
// moved into "aps"."alert" and its buttons kept, already read, in "custom"."a"."actionButtons"; the
// payload then looks for buttons beside the alert and finds none, so the alert shows the kept ones.
std::vector<VEActionButton> shownButtons(const Value& message, const VENotificationPayload& payload) {
    if (payload.actionButtons() && !payload.actionButtons()->empty()) return *payload.actionButtons();
    if (const Value* custom = payload_read::dictionary(message, "custom"))
        if (const Value* a = payload_read::dictionary(*custom, "a"))
            if (const Value* kept = payload_read::array(*a, "actionButtons"))
                return payload_read::buttons(*kept->asArray(), "text", "id");
    return {};
}

}  // namespace

Value VezEduduzAlertViewDelegate::messageWithSelection(const Value& message, long index) {
    if (index < 1 || !message.isDictionary()) return message;
    // Button n is the n-th button shown, whatever the raw lists hold at that place.
    const auto shown = shownButtons(message, VENotificationPayload(message));
    if (size_t(index) > shown.size()) return message;
    Value selected(shown[size_t(index - 1)].id);
    Value out = message;
    // Where the open looks for the choice depends on the message's layout.
    if ((payload_read::dictionary(message, "ve_data") && !message.contains("actionbuttons")) ||
        message.contains("buttons")) {
        out.set("actionSelected", std::move(selected));
        return out;
    }
    const Value* custom = payload_read::dictionary(message, "custom");
    const Value* a = custom ? payload_read::dictionary(*custom, "a") : nullptr;
    Value customCopy = custom ? *custom : Value::dictionary();
    Value aCopy = a ? *a : Value::dictionary();
    aCopy.set("actionSelected", std::move(selected));
    customCopy.set("a", std::move(aCopy));
    out.set("custom", std::move(customCopy));
    return out;
}

void VezEduduzAlertViewDelegate::clickedButtonAtIndex(long index) {
    auto self = shared_from_this();
    const auto type = index >= 1 ? VENotificationActionType::ActionTaken : VENotificationActionType::Opened;
    Value message = messageWithSelection(message_, index);
    VezEduduzAlertView::OpenHandler handler;
    {
        platform::dispatch::MutexLock lock(alertState().mutex);
        handler = alertState().openHandler;
        alertState().live.erase(self);
    }
    if (handler) {
        handler(message, true, type, VEInFocusDisplayType::inAppAlert);
        return;
    }
    std::optional<std::string> actionID;
    if (type == VENotificationActionType::ActionTaken) actionID = selectedAction(message);
    VezEduduzNotificationHelper::handleNotificationAction(message, type, actionID, VEInFocusDisplayType::inAppAlert);
}

void VezEduduzAlertView::setNotificationOpenedHandler(OpenHandler handler) {
    platform::dispatch::MutexLock lock(alertState().mutex);
    alertState().openHandler = std::move(handler);
}

size_t VezEduduzAlertView::liveAlertCount() {
    platform::dispatch::MutexLock lock(alertState().mutex);
    return alertState().live.size();
}

void VezEduduzAlertView::showInAppAlert(const Value& message) {
    auto payload = VENotificationPayload::parseWithApns(message);
    if (!payload) return;
    auto delegate = std::make_shared<VezEduduzAlertViewDelegate>(message);
    {
        platform::dispatch::MutexLock lock(alertState().mutex);
        alertState().live.insert(delegate);
    }
    platform::uikit::AlertViewDelegate callbacks;
    callbacks.clickedButtonAtIndex = [delegate](platform::uikit::AlertView&, long index) {
        delegate->clickedButtonAtIndex(index);
    };
    auto alert = std::make_shared<platform::uikit::AlertView>(payload->title(), payload->body(), std::move(callbacks),
                                                              VezEduduzHelper::localizedString("Close"));
    for (const auto& button : shownButtons(message, *payload)) alert->addButtonWithTitle(button.text);
    alert->show();
    VezEduduzNotificationHelper::handleNotificationReceived(message, VEInFocusDisplayType::inAppAlert);
}

}  // namespace vezeduduz
