#pragma once
// A user activity handed to the app, e.g. a universal link (activity type
// "NSUserActivityTypeBrowsingWeb" with the page's URL). Plain value, passed as
// std::shared_ptr<UserActivity> in application:continueUserActivity:restorationHandler:.
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace platform::uikit {

inline constexpr const char* kUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

struct UserActivity {
    std::string activityType;
    std::optional<URL> webpageURL;  // http or https only: the application refuses an activity with another
    Value userInfo;
};

// Whether `url` can be an activity's web page: its scheme is http or https.
inline bool isWebpageURL(const URL& url) {
    auto scheme = url.scheme();
    return scheme == "http" || scheme == "https";
}

// The restoration handler of application:continueUserActivity:restorationHandler:.
using RestorationHandler = std::function<void(ValueArray restorableObjects)>;

}  // namespace platform::uikit
