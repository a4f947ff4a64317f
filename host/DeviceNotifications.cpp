// The device's side of notifications the app's own extension amends, what the push client hands the app
// when one is opened, and the preferences the host can show.
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "host/Device.h"
#include "host/Extension.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/usernotifications/Delivery.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace tesmar_host {

using platform::Value;

namespace {

// Says "notification.opened" for each opened result the push client hands on, then passes it to the
// tracker that was in place.
struct PrintOpened {
    vezeduduz::VezEduduzNotificationHelper::OpenEventTracker next;
    void operator()(const std::shared_ptr<vezeduduz::VENotificationOpenedResult>& result) const {
        if (result && result->notification()) {
            Value fields = Value::dictionary();
            if (auto id = result->notification()->payload()->notificationID()) fields.set("id", *id);
            if (result->action() && result->action()->actionID()) fields.set("action", *result->action()->actionID());
            platform::DeviceEvents::post("notification.opened", fields);
        }
        if (next) next(result);
    }
};

}  // namespace

void Device::printNotificationOpens() {
    using Helper = vezeduduz::VezEduduzNotificationHelper;
    auto tracker = Helper::openEventTracker();
    if (!tracker.target<PrintOpened>()) Helper::setOpenEventTracker(PrintOpened{std::move(tracker)});
}

void Device::deliverPush(const Value& payload) {
    bool mutableContent = payload["aps"]["mutable-content"].integerOr(0) == 1;
    if (mutableContent && platform::usernotifications::UserNotificationCenter::current()) {
        if (auto extension = findServiceExtension(root_ / "Bundle")) {
            if (auto content = runServiceExtension(options_, root_, *extension, payload)) {
                platform::usernotifications::deliverRemoteNotification(payload, *content);
                return;
            }
        }
    }
    platform::usernotifications::deliverRemoteNotification(payload);
}

void Device::printPreferences(const std::string& suite, const std::string& key) {
    auto defaults =
        suite == "standard" ? platform::UserDefaults::standard() : std::make_shared<platform::UserDefaults>(suite);
    std::string name = suite == "standard" ? defaults->domainName() : suite;
    platform::ValueArray unsaved;
    for (const auto& unsavedKey : defaults->unsavedKeys())
        if (key.empty() || unsavedKey == key) unsaved.push_back(Value(unsavedKey));
    if (!key.empty()) {
        auto value = defaults->objectForKey(key);
        platform::DeviceEvents::post("prefs", Value::dictionary({{"suite", name},
                                                                 {"key", key},
                                                                 {"value", value ? *value : Value()},
                                                                 {"unsaved", Value(std::move(unsaved))}}));
        return;
    }
    platform::DeviceEvents::post("prefs", Value::dictionary({{"suite", name},
                                                             {"values", Value(defaults->persistentDomain())},
                                                             {"unsaved", Value(std::move(unsaved))}}));
}

}  // namespace tesmar_host
