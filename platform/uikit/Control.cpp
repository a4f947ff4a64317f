#include "platform/uikit/Control.h"

#include "platform/foundation/DeviceEvents.h"

namespace platform::uikit {

void Control::addTarget(Action action, uint64_t events) {
    if (action && events) targets_.push_back({std::move(action), events});
}

void Control::sendActionsForControlEvents(uint64_t events) {
    if (!enabled_) return;
    auto keep = shared_from_this();  // an action may release the control
    auto targets = targets_;
    for (auto& t : targets)
        if (t.events & events) t.action(*this);
}

void Button::tap() {
    if (isHidden() || !isEnabled()) return;
    sendActionsForControlEvents(TouchUpInside | PrimaryActionTriggered);
}

void RefreshControl::setRefreshing(bool refreshing) {
    if (refreshing == refreshing_) return;
    refreshing_ = refreshing;
    if (!eventName().empty())
        DeviceEvents::post("view", Value::dictionary({{"name", eventName()}, {"refreshing", refreshing}}));
}

void RefreshControl::endRefreshing() { setRefreshing(false); }

void RefreshControl::pull() {
    if (refreshing_ || !isEnabled()) return;
    setRefreshing(true);
    sendActionsForControlEvents(ValueChanged);
}

}  // namespace platform::uikit
