#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ResetRegistry.h"

namespace vezeduduz {

using platform::Value;
using platform::ValueArray;

namespace {

struct DispatchState {
    platform::dispatch::Mutex mutex;
    Value lastMessage GUARDED_BY(mutex);
    VEHandleNotificationReceivedBlock receivedBlock GUARDED_BY(mutex);
    VEHandleNotificationActionBlock actionBlock GUARDED_BY(mutex);
    VezEduduzNotificationHelper::OpenEventTracker tracker GUARDED_BY(mutex);
    std::function<VENotificationEnvironment()> environment GUARDED_BY(mutex);
    std::optional<std::string> lastReceivedId GUARDED_BY(mutex) = std::string();
    std::optional<std::string> lastOpenedId GUARDED_BY(mutex);
};

void resetState();

DispatchState& state() {
    static DispatchState* s = [] {
        platform::ResetRegistry::add("vezeduduz.notification-helper", resetState);
        return new DispatchState;  // never destroyed: callers may run during exit
    }();
    return *s;
}

// Everything back to the launch state, blocks and tracker included.
void resetState() {
    platform::dispatch::MutexLock lock(state().mutex);
    state().lastMessage = Value();
    state().receivedBlock = nullptr;
    state().actionBlock = nullptr;
    state().tracker = nullptr;
    state().environment = nullptr;
    state().lastReceivedId = std::string();
    state().lastOpenedId.reset();
}

VENotificationEnvironment environmentNow() {
    std::function<VENotificationEnvironment()> provider;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        provider = state().environment;
    }
    return provider ? provider() : VENotificationEnvironment::current();
}

// A null id is never a repeat; otherwise compare and store in one step so two threads delivering the same
// id cannot both pass.
bool takeIfNew(std::optional<std::string>& stored, const std::optional<std::string>& id) {
    if (id && stored && *id == *stored) return false;
    stored = id;
    return true;
}

bool presentString(const Value& c, std::string_view key) {
    const Value* v = c.find(key);
    return v && v->isString();
}

Value buttonsForAdditionalData(const ValueArray& source) {
    ValueArray out;
    for (const auto& b : payload_read::buttons(source))
        out.push_back(Value::dictionary({{"text", b.text}, {"id", b.id}}));
    return Value(std::move(out));
}

}  // namespace

bool VezEduduzNotificationHelper::isVezEduduzPayload(const Value& message) {
    for (const char* format : {"custom", "ve_data"})
        if (const Value* f = payload_read::dictionary(message, format); f && presentString(*f, "i")) return true;
    return false;
}

bool VezEduduzNotificationHelper::isRemoteSilentNotification(const Value& message) {
    // Presence alone counts, whatever the value; only a dictionary "aps" or "ve_data" is looked into.
    const Value* aps = payload_read::dictionary(message, "aps");
    auto inAps = [aps](std::string_view key) { return aps && aps->contains(key); };
    if (message.contains("badge") || inAps("badge")) return false;
    if (message.contains("m") || message.contains("o") || message.contains("s")) return false;
    if (auto title = payload_read::string(message, "title"); title && !title->empty()) return false;
    if (message.contains("sound") || inAps("sound") || inAps("alert")) return false;
    if (const Value* veData = payload_read::dictionary(message, "ve_data"); veData && veData->contains("buttons"))
        return false;
    return true;
}

std::optional<Value>
VezEduduzNotificationHelper::formatApsPayloadIntoStandard(const Value& message,
                                                          const std::optional<std::string>& identifier) {
    const Value* veData = payload_read::dictionary(message, "ve_data");
    const Value* custom = payload_read::dictionary(message, "custom");
    if (!veData && !custom) return std::nullopt;

    Value result = message;
    Value additional = Value::dictionary();
    Value customPart;
    const ValueArray* buttonList = nullptr;
    bool arrayForm = false;
    const Value* veButtons = veData ? veData->find("buttons") : nullptr;

    if (veData) {
        if (veButtons && veButtons->isArray()) {
            buttonList = veButtons->asArray();
            arrayForm = true;
        } else if (veButtons && veButtons->isDictionary()) {
            if (const Value* o = payload_read::array(*veButtons, "o")) buttonList = o->asArray();
        }
    } else {
        customPart = *custom;
        if (const Value* a = payload_read::dictionary(*custom, "a")) additional = *a;
        if (const Value* o = payload_read::array(message, "o")) buttonList = o->asArray();
    }

    if (buttonList) additional.set("actionButtons", buttonsForAdditionalData(*buttonList));
    if (identifier && *identifier != kVEDefaultActionIdentifier) additional.set("actionSelected", Value(*identifier));

    if (!additional.empty()) {
        if (veData) {
            for (const auto& [key, value] : *additional.asDictionary()) result.set(key, value);
            // A buttons dictionary without "m" carries no text to rebuild "aps" from: keep the original.
            if (!arrayForm && veButtons && veButtons->isDictionary()) {
                if (const Value* m = payload_read::alertValue(*veButtons, "m"))
                    result.set("aps", Value::dictionary({{"alert", *m}}));
            }
        } else {
            customPart.set("a", std::move(additional));
            result.set("custom", std::move(customPart));
            if (const Value* m = payload_read::alertValue(result, "m")) {
                Value alert = *m;
                result.set("aps", Value::dictionary({{"alert", std::move(alert)}}));
            }
        }
    }
    return result;
}

void VezEduduzNotificationHelper::lastMessageReceived(const Value& message) {
    platform::dispatch::MutexLock lock(state().mutex);
    state().lastMessage = message;
}

void VezEduduzNotificationHelper::notificationBlocks(VEHandleNotificationReceivedBlock received,
                                                     VEHandleNotificationActionBlock action) {
    platform::dispatch::MutexLock lock(state().mutex);
    state().receivedBlock = std::move(received);
    state().actionBlock = std::move(action);
}

void VezEduduzNotificationHelper::setOpenEventTracker(OpenEventTracker tracker) {
    platform::dispatch::MutexLock lock(state().mutex);
    state().tracker = std::move(tracker);
}

VezEduduzNotificationHelper::OpenEventTracker VezEduduzNotificationHelper::openEventTracker() {
    platform::dispatch::MutexLock lock(state().mutex);
    return state().tracker;
}

void VezEduduzNotificationHelper::setEnvironmentProvider(std::function<VENotificationEnvironment()> provider) {
    platform::dispatch::MutexLock lock(state().mutex);
    state().environment = std::move(provider);
}

void VezEduduzNotificationHelper::handleNotificationReceived(VEInFocusDisplayType displayType) {
    Value message;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        message = state().lastMessage;
    }
    handleNotificationReceived(message, displayType);
}

void VezEduduzNotificationHelper::handleNotificationReceived(const Value& message, VEInFocusDisplayType displayType) {
    {
        platform::dispatch::MutexLock lock(state().mutex);
        if (!state().receivedBlock) return;
    }
    if (!isVezEduduzPayload(message)) return;
    auto payload = VENotificationPayload::parseWithApns(message);
    auto notification = std::make_shared<VENotification>(payload, displayType, environmentNow());

    VEHandleNotificationReceivedBlock block;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        if (!takeIfNew(state().lastReceivedId, payload->notificationID())) return;
        block = state().receivedBlock;
    }
    if (block) block(notification);
}

void VezEduduzNotificationHelper::handleNotificationAction(VENotificationActionType type,
                                                           const std::optional<std::string>& actionID,
                                                           VEInFocusDisplayType displayType) {
    Value message;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        message = state().lastMessage;
    }
    handleNotificationAction(message, type, actionID, displayType);
}

void VezEduduzNotificationHelper::handleNotificationAction(const Value& message, VENotificationActionType type,
                                                           const std::optional<std::string>& actionID,
                                                           VEInFocusDisplayType displayType) {
    if (!isVezEduduzPayload(message)) return;
    auto action = std::make_shared<const VENotificationAction>(type, actionID);
    auto payload = VENotificationPayload::parseWithApns(message);
    auto notification = std::make_shared<const VENotification>(payload, displayType, environmentNow());
    auto result = std::make_shared<VENotificationOpenedResult>(notification, action);

    OpenEventTracker tracker;
    VEHandleNotificationActionBlock block;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        if (!takeIfNew(state().lastOpenedId, payload->notificationID())) return;
        tracker = state().tracker;
        block = state().actionBlock;
    }
    if (tracker) tracker(result);
    if (block) block(result);
}

void VezEduduzNotificationHelper::resetLocals() {
    platform::dispatch::MutexLock lock(state().mutex);
    state().lastMessage = Value();
    state().lastOpenedId.reset();
}

}  // namespace vezeduduz
