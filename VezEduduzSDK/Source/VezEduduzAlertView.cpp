#include "VezEduduzSDK/Source/VezEduduzAlertView.h"

#include <set>

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

// The id at position `position` of an array of button dictionaries, under `idKey`, when it is a string.
std::optional<std::string> idAt(const Value* buttons, size_t position, const char* idKey) {
    if (!buttons || !buttons->isArray() || position >= buttons->size()) return std::nullopt;
    return payload_read::string(buttons->at(position), idKey);
}

std::optional<std::string> selectedAction(const Value& message) {
    if (const Value* custom = payload_read::dictionary(message, "custom"))
        if (const Value* a = payload_read::dictionary(*custom, "a"))
            if (auto s = payload_read::string(*a, "actionSelected")) return s;
    return payload_read::string(message, "actionSelected");
}

}  // namespace

Value VezEduduzAlertViewDelegate::messageWithSelection(const Value& message, long index) {
    if (index < 1 || !message.isDictionary()) return message;
    const size_t position = size_t(index - 1);
    Value out = message;
    const Value* veData = payload_read::dictionary(message, "ve_data");
    if (veData && !message.contains("actionbuttons")) {
        const Value* buttons = veData->find("buttons");
        std::optional<std::string> id =
            buttons && buttons->isDictionary() ? idAt(buttons->find("o"), position, "i") : idAt(buttons, position, "i");
        if (id) out.set("actionSelected", Value(*id));
        return out;
    }
    if (message.contains("buttons")) {
        if (auto id = idAt(message.find("buttons"), position, "i")) out.set("actionSelected", Value(*id));
        return out;
    }
    std::optional<std::string> id;
    const Value* custom = payload_read::dictionary(message, "custom");
    const Value* a = custom ? payload_read::dictionary(*custom, "a") : nullptr;
    if (const Value* listed = a ? payload_read::array(*a, "actionButtons") : nullptr)
        id = idAt(listed, position, "id");
    else if (const Value* o = payload_read::array(message, "o"))
        id = idAt(o, position, "i");
    else if (const Value* top = payload_read::array(message, "actionbuttons"))
        id = idAt(top, position, "i");
    if (id) {
        Value customCopy = custom ? *custom : Value::dictionary();
        Value aCopy = a ? *a : Value::dictionary();
        aCopy.set("actionSelected", Value(*id));
        customCopy.set("a", std::move(aCopy));
        out.set("custom", std::move(customCopy));
    }
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
    if (payload->actionButtons())
        for (const auto& button : *payload->actionButtons()) alert->addButtonWithTitle(button.text);
    alert->show();
    VezEduduzNotificationHelper::handleNotificationReceived(message, VEInFocusDisplayType::inAppAlert);
}

}  // namespace vezeduduz
