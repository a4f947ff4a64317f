#pragma once
// AlertController: an alert or action sheet with buttons (runtime class "UIAlertController"),
// shown with presentViewController. Main thread only.
//
// Presenting one posts DeviceEvents "alert.shown" {title, message, actions:[titles]} (title and
// message null when absent). The user answers with tapAction(title): the alert is dismissed first,
// then the action's handler runs once; "alert.dismissed" {title, action} is posted.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/ViewController.h"

namespace platform::uikit {

enum class AlertControllerStyle { ActionSheet = 0, Alert = 1 };
enum class AlertActionStyle { Default = 0, Cancel = 1, Destructive = 2 };

class AlertController;

struct AlertAction {
    std::string title;
    AlertActionStyle style = AlertActionStyle::Default;
    std::function<void(const AlertAction&)> handler;  // may be empty
    bool enabled = true;

    static AlertAction make(std::string title, AlertActionStyle style,
                            std::function<void(const AlertAction&)> handler = {}) {
        return AlertAction{std::move(title), style, std::move(handler), true};
    }
};

class AlertController : public ViewController {
public:
    AlertController(std::optional<std::string> title, std::optional<std::string> message, AlertControllerStyle style,
                    objc::Class* cls = nullptr);
    static std::shared_ptr<AlertController> alertControllerWithTitle(std::optional<std::string> title,
                                                                     std::optional<std::string> message,
                                                                     AlertControllerStyle style);

    const std::optional<std::string>& alertTitle() const { return alertTitle_; }
    const std::optional<std::string>& message() const { return message_; }
    AlertControllerStyle preferredStyle() const { return style_; }

    void addAction(AlertAction action);
    const std::vector<AlertAction>& actions() const { return actions_; }

    // The user taps the first enabled action with this title. False (nothing happens) when the alert
    // is not presented or has no such action.
    bool tapAction(const std::string& title);

protected:
    void announcePresented() override;
    void announceDismissed() override {}

private:
    std::optional<std::string> alertTitle_;
    std::optional<std::string> message_;
    AlertControllerStyle style_;
    std::vector<AlertAction> actions_;
};

}  // namespace platform::uikit
