#pragma once
// VezEduduzTrackZidedovaAnalytics: notification events of the push client logged as analytics events
// ("ve_notification_opened", "ve_notification_received", "ve_notification_influence_open"), when the
// app carries the analytics facade (the class "DOREdozadedo", found by name, never linked) and the push
// service switched the feature on ("fba" present in the "ios_params" answer, whatever its value).
//
// The switch and the last receipt live in the app group's suite, so the service extension (another
// process, which never runs the push client's start-up) sees them: each process reads the switch on
// first use. A receipt counts for one influenced open at most, and for none once its notification was
// opened.
//
// Threads: any thread (process state under a lock; the suite is safe across processes).
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace vezeduduz {

class VENotificationPayload;
class VENotificationOpenedResult;

inline constexpr const char* kEnableAnalyticsKey = "VE_ENABLE_ZIDEDOVA_ANALYTICS";
inline constexpr const char* kLastReceivedIdKey = "VE_LAST_RECIEVED_NOTIFICATION_ID";
inline constexpr const char* kLastReceivedCampaignKey = "VE_LAST_RECIEVED_VAF_CAMPAIGN";
inline constexpr const char* kLastReceivedTimeKey = "VE_LAST_RECIEVED_TIME";

class VezEduduzTrackZidedovaAnalytics {
public:
    static constexpr double kInfluenceWindow = 120;  // seconds after a receipt
    static constexpr double kRecentOpenWindow = 30;  // seconds after an open, which then was the cause

    static bool needsRemoteParams();  // the analytics facade is present
    static void init();               // reads the switch from the suite
    // The "ios_params" answer: on exactly when it holds "fba", whatever the value.
    static void updateFromDownloadParams(const platform::Value& params);
    static bool trackingEnabled();
    static std::string appGroupKey();
    static void logEventWithName(const std::string& name, const platform::Value& parameters);
    // "<template name> - <template id>", else the title's first 10 characters (code points), else "".
    static std::string getCampaignNameFromPayload(const VENotificationPayload& payload);
    static void trackOpenEvent(const VENotificationOpenedResult& result);
    static void trackReceivedEvent(const VENotificationPayload& payload);
    static void trackInfluenceOpenEvent();
    // Installs the open tracker on the notification dispatch (start-up).
    static void installOpenTracker();
};

}  // namespace vezeduduz
