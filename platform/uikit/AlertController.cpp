#include "platform/uikit/AlertController.h"

#include "platform/foundation/DeviceEvents.h"
#include "platform/uikit/Classes.h"
#include "platform/uikit/internal/AlertStack.h"

namespace platform::uikit {

AlertController::AlertController(std::optional<std::string> title, std::optional<std::string> message,
                                 AlertControllerStyle style, objc::Class* cls)
    : ViewController(cls ? cls : alertControllerClass()), alertTitle_(std::move(title)), message_(std::move(message)),
      style_(style) {}

std::shared_ptr<AlertController> AlertController::alertControllerWithTitle(std::optional<std::string> title,
                                                                           std::optional<std::string> message,
                                                                           AlertControllerStyle style) {
    return std::make_shared<AlertController>(std::move(title), std::move(message), style);
}

void AlertController::addAction(AlertAction action) { actions_.push_back(std::move(action)); }

void AlertController::announcePresented() {
    std::vector<std::string> titles;
    for (auto& a : actions_) titles.push_back(a.title);
    std::weak_ptr<AlertController> weak = std::static_pointer_cast<AlertController>(shared_from_this());
    detail::pushAlert({std::static_pointer_cast<void>(weak.lock()),
                       [weak] {
                           auto a = weak.lock();
                           return a && a->presentingViewController() != nullptr;
                       },
                       [weak](const std::string& t) {
                           auto a = weak.lock();
                           return a && a->tapAction(t);
                       }});
    DeviceEvents::post("alert.shown", detail::alertFields(alertTitle_, message_, titles));
}

bool AlertController::tapAction(const std::string& title) {
    if (!presentingViewController()) return false;
    for (auto& a : actions_) {
        if (a.title != title || !a.enabled) continue;
        AlertAction chosen = a;  // the handler may change the alert
        auto keep = shared_from_this();
        dismissViewController(true);
        DeviceEvents::post("alert.dismissed", Value::dictionary({{"title", alertTitle_ ? Value(*alertTitle_) : Value()},
                                                                 {"action", chosen.title}}));
        if (chosen.handler) chosen.handler(chosen);
        return true;
    }
    return false;
}

}  // namespace platform::uikit
