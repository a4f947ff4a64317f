#pragma once
// The background message the push client shows itself: a push without a system alert whose content
// ("ve_data"."buttons", or top-level "at" / "o") only the client can show.
#include <functional>

#include "platform/foundation/Value.h"

namespace platform::uikit {
enum class BackgroundFetchResult : int64_t;
}

namespace vezeduduz {

// Whether the message is one the push client shows itself: buttons as above and no "aps"."alert" (a
// message with a system alert is already shown by the system, and would appear twice).
bool carriesLocalButtons(const platform::Value& message);

// For such a message: on system 10 and later builds and shows the local notification (the completion
// is called once, after it was handed over) and answers true; below 10 schedules the older local
// notification and answers false (the caller completes). Any other message: false, nothing done.
bool showsLocalNotificationWithButtons(const platform::Value& message,
                                       const std::function<void(platform::uikit::BackgroundFetchResult)>& completion);

}  // namespace vezeduduz
