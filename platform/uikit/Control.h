#pragma once
// Controls with target-actions: Control, Button, RefreshControl. Main thread only.
// Actions are blocks; a target that must not be kept alive is captured weakly by the caller.
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/uikit/View.h"

namespace platform::uikit {

enum ControlEvents : uint64_t {
    TouchUpInside = 1 << 6,
    ValueChanged = 1 << 12,  // 4096
    PrimaryActionTriggered = 1 << 13,
};

class Control : public View {
public:
    using Action = std::function<void(Control& sender)>;
    using View::View;

    // Actions run in the order they were added, for every event whose bit is in `events`.
    void addTarget(Action action, uint64_t events);
    void removeAllTargets() { targets_.clear(); }
    size_t targetCount() const { return targets_.size(); }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }

    // Runs the actions registered for `events` (a disabled control sends nothing).
    void sendActionsForControlEvents(uint64_t events);

private:
    struct Target {
        Action action;
        uint64_t events;
    };
    std::vector<Target> targets_;
    bool enabled_ = true;
};

class Button : public Control {
public:
    using Control::Control;
    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    // The user taps the button: touch-up-inside actions run (nothing when hidden or disabled).
    void tap();

private:
    std::string title_;
};

// Pull to refresh. A view with an eventName posts "view" {name, refreshing} when refreshing changes.
class RefreshControl : public Control {
public:
    using Control::Control;
    void endRefreshing();
    bool isRefreshing() const { return refreshing_; }
    // The user pulls: refreshing begins and the value-changed actions run. A pull while already
    // refreshing does nothing, as on the device.
    void pull();

private:
    void setRefreshing(bool refreshing);
    bool refreshing_ = false;
};

}  // namespace platform::uikit
