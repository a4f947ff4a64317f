#pragma once
// AlertView: the older stand-alone alert with a cancel button and further buttons, answered through
// a delegate. Button index 0 is the cancel button when there is one; the others follow in order.
// Main thread only.
//
// show() posts "alert.shown" like an alert controller and keeps the alert alive until answered
// (make it with std::make_shared). The
// user answers with tapButton(title) or tapButtonAtIndex: the delegate hears clickedButtonAtIndex,
// the alert goes away, then didDismissWithButtonIndex; "alert.dismissed" is posted.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::uikit {

class AlertView;

// Both callbacks may be empty.
struct AlertViewDelegate {
    std::function<void(AlertView&, long buttonIndex)> clickedButtonAtIndex;
    std::function<void(AlertView&, long buttonIndex)> didDismissWithButtonIndex;
};

class AlertView : public std::enable_shared_from_this<AlertView> {
public:
    AlertView(std::optional<std::string> title, std::optional<std::string> message, AlertViewDelegate delegate,
              std::optional<std::string> cancelButtonTitle, std::vector<std::string> otherButtonTitles = {});

    const std::optional<std::string>& title() const { return title_; }
    const std::optional<std::string>& message() const { return message_; }
    // Answers the new button's index.
    long addButtonWithTitle(std::string title);
    long numberOfButtons() const { return long(buttons_.size()); }
    long cancelButtonIndex() const { return hasCancel_ ? 0 : -1; }

    void show();
    bool isVisible() const { return visible_; }
    bool tapButtonAtIndex(long index);
    bool tapButton(const std::string& title);

private:
    std::optional<std::string> title_;
    std::optional<std::string> message_;
    AlertViewDelegate delegate_;
    std::vector<std::string> buttons_;
    bool hasCancel_ = false;
    bool visible_ = false;
};

// The user answers whatever alert is in front: the most recently shown alert view, else the top
// presented alert controller of the key window. False when no visible alert has that button.
bool tapAlertButton(const std::string& title);
// True while an alert view or alert controller is on screen.
bool isAlertVisible();

}  // namespace platform::uikit
