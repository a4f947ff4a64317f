#pragma once
// The in-app alert: a notification received while the application is in front, shown as an alert with
// "Close" and one button per action button. Answering it opens the notification (action type 0 for
// "Close", 1 with the chosen button's id under "actionSelected" otherwise).
//
// Each alert keeps its own message, so answering one of two open alerts reports that alert's message.
//
// Threads: main loop only.
#include <functional>
#include <memory>

#include "VezEduduzSDK/Source/VENotification.h"
#include "platform/foundation/Value.h"

namespace vezeduduz {

// One per shown alert; lives (in a process-wide set) until its alert is answered.
class VezEduduzAlertViewDelegate : public std::enable_shared_from_this<VezEduduzAlertViewDelegate> {
public:
    explicit VezEduduzAlertViewDelegate(platform::Value messageDict) : message_(std::move(messageDict)) {}
    const platform::Value& messageDict() const { return message_; }
    // Index 0 is "Close"; n >= 1 is action button n. Indexes that match no button still open the
    // notification, without a selection.
    void clickedButtonAtIndex(long index);
    // The message with the id of the chosen button, as the alert showed it (the payload's buttons, or
    // those a notification the push client showed itself kept in "custom"."a"."actionButtons"), added
    // where the message's layout has the open look for it; unchanged when index names no shown button.
    static platform::Value messageWithSelection(const platform::Value& message, long index);

private:
    platform::Value message_;
};

class VezEduduzAlertView {
public:
    // (message, isActive, action type, display type). The facade installs its open handling here;
    // without one, the open goes straight to the dispatch with the selection as action id.
    using OpenHandler = std::function<void(const platform::Value& message, bool isActive, VENotificationActionType type,
                                           VEInFocusDisplayType displayType)>;
    static void setNotificationOpenedHandler(OpenHandler handler);

    // Shows the alert, then dispatches the notification as received with display type 1 (in-app alert).
    static void showInAppAlert(const platform::Value& message);
    // Alerts shown and not yet answered (tests).
    static size_t liveAlertCount();
};

}  // namespace vezeduduz
