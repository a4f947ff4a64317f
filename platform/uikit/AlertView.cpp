#include "platform/uikit/AlertView.h"

#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/uikit/internal/AlertStack.h"

namespace platform::uikit {

namespace {

// The alerts on screen, held until answered (main thread only). Never destroyed, so an alert still
// showing at exit is reachable rather than kept alive by a reference to itself.
std::vector<std::shared_ptr<AlertView>>& shownAlerts() REQUIRES(dispatch::mainThread) {
    static auto* alerts = new std::vector<std::shared_ptr<AlertView>>;
    return *alerts;
}

std::shared_ptr<AlertView> takeShown(const AlertView* alert) REQUIRES(dispatch::mainThread) {
    auto& alerts = shownAlerts();
    for (auto it = alerts.begin(); it != alerts.end(); ++it)
        if (it->get() == alert) {
            auto kept = *it;
            alerts.erase(it);
            return kept;
        }
    return nullptr;
}

}  // namespace

namespace detail {

namespace {
std::vector<AlertEntry>& alertStack() REQUIRES(dispatch::mainThread) {
    static std::vector<AlertEntry> stack;
    return stack;
}

void prune() REQUIRES(dispatch::mainThread) {
    auto& s = alertStack();
    std::erase_if(s, [](const AlertEntry& e) { return e.owner.expired() || !e.visible(); });
}
}  // namespace

void pushAlert(AlertEntry entry) {
    dispatch::mainThread.assertOnThread();
    prune();
    alertStack().push_back(std::move(entry));
}

Value alertFields(const std::optional<std::string>& title, const std::optional<std::string>& message,
                  const std::vector<std::string>& buttons) {
    ValueArray actions;
    for (auto& b : buttons) actions.emplace_back(b);
    return Value::dictionary({{"title", title ? Value(*title) : Value()},
                              {"message", message ? Value(*message) : Value()},
                              {"actions", Value(std::move(actions))}});
}

}  // namespace detail

bool tapAlertButton(const std::string& title) {
    dispatch::mainThread.assertOnThread();
    detail::prune();
    auto stack = detail::alertStack();  // a handler may show another alert
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        auto keep = it->owner.lock();
        if (keep && it->visible() && it->tap(title)) return true;
    }
    return false;
}

bool isAlertVisible() {
    dispatch::mainThread.assertOnThread();
    detail::prune();
    return !detail::alertStack().empty();
}

AlertView::AlertView(std::optional<std::string> title, std::optional<std::string> message, AlertViewDelegate delegate,
                     std::optional<std::string> cancelButtonTitle, std::vector<std::string> otherButtonTitles)
    : title_(std::move(title)), message_(std::move(message)), delegate_(std::move(delegate)) {
    if (cancelButtonTitle) {
        buttons_.push_back(*cancelButtonTitle);
        hasCancel_ = true;
    }
    for (auto& b : otherButtonTitles) buttons_.push_back(std::move(b));
}

long AlertView::addButtonWithTitle(std::string title) {
    buttons_.push_back(std::move(title));
    return long(buttons_.size()) - 1;
}

void AlertView::show() {
    dispatch::mainThread.assertOnThread();
    if (visible_) return;
    visible_ = true;
    std::weak_ptr<AlertView> weak = weak_from_this();
    if (auto self = weak.lock()) {
        detail::pushAlert({std::static_pointer_cast<void>(self),
                           [weak] {
                               auto a = weak.lock();
                               return a && a->visible_;
                           },
                           [weak](const std::string& t) {
                               auto a = weak.lock();
                               return a && a->tapButton(t);
                           }});
        // Shown alerts stay alive until answered, as on the device.
        shownAlerts().push_back(self);
    }
    DeviceEvents::post("alert.shown", detail::alertFields(title_, message_, buttons_));
}

bool AlertView::tapButtonAtIndex(long index) {
    dispatch::mainThread.assertOnThread();
    if (!visible_ || index < 0 || index >= long(buttons_.size())) return false;
    auto keep = takeShown(this);
    if (delegate_.clickedButtonAtIndex) delegate_.clickedButtonAtIndex(*this, index);
    visible_ = false;
    DeviceEvents::post("alert.dismissed", Value::dictionary({{"title", title_ ? Value(*title_) : Value()},
                                                             {"action", buttons_[size_t(index)]}}));
    if (delegate_.didDismissWithButtonIndex) delegate_.didDismissWithButtonIndex(*this, index);
    return true;
}

bool AlertView::tapButton(const std::string& title) {
    for (size_t i = 0; i < buttons_.size(); ++i)
        if (buttons_[i] == title) return tapButtonAtIndex(long(i));
    return false;
}

}  // namespace platform::uikit
