#pragma once
// MSRAnalytics: the measurement engine's facade. Class operations only (over one process-wide state),
// reachable by name through the object runtime as the class "MSRAnalytics" once
// registerEngineClasses() has run.
//
// Threads: events and user properties are handled on the serial queue "MSRAnalyticsQueue" (the
// interceptor runs there); listeners are called through the operation queue
// "MSRAnalyticsOperationQueue" (one operation at a time), which stays suspended until start-up ends.
// Measurement starts once per process. Here events are kept in memory only: there is no database,
// upload or remote configuration behind this engine.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/uikit/UserActivity.h"
#include "zidedova_core/ZDVAnalyticsInterop.h"

namespace measurement {

using zidedova::ZDVAnalyticsEvent;

inline constexpr const char* kMSRLibraryVersion = "50300000";
inline constexpr const char* kMSRAnalyticsQueueLabel = "MSRAnalyticsQueue";
inline constexpr const char* kMSROperationQueueName = "MSRAnalyticsOperationQueue";

class MSRAnalytics {
public:
    // Collection is on unless the options deactivate it, the stored switch
    // ("/vodezu/measurement/measurement_enabled_state": 1 on, 2 off) says off, or, with no stored
    // switch, the options' enabled flag is NO. From then on the app core's configuration notifications
    // switch it at run time and set the session intervals. Start-up also registers the engine's
    // app-delegate interceptor and asks for the delegate proxy.
    static void startWithAppID(const std::string& appID, const std::string& origin, const platform::Value& options);
    static bool isStarted();
    static bool isMeasurementEnabled();
    // Seconds, as last set through the configuration notifications (0: never set).
    static double minimumSessionInterval();
    static double sessionTimeoutInterval();

    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const platform::Value& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const platform::Value& parameters);
    static void logEvent(ZDVAnalyticsEvent event);

    static void setUserPropertyString(const platform::Value& value, const std::string& name);
    static void setUserID(const platform::Value& userID);
    static void setInternalUserProperty(const platform::Value& value, const std::string& name,
                                        const std::string& origin = "auto");
    static void maxUserPropertiesForOrigin(const std::string& origin, const zidedova::ZDVOptionalQueue& queue,
                                           const zidedova::ZDVMaxUserPropertiesCallback& callback);
    static void userPropertiesIncludingInternal(bool includeInternal, const zidedova::ZDVOptionalQueue& queue,
                                                const zidedova::ZDVUserPropertiesCallback& callback);

    // Main thread only (else warning 25025).
    static void setScreenName(const std::optional<std::string>& name, const std::optional<std::string>& screenClass);
    static std::optional<std::string> appInstanceID();
    static void resetAnalyticsData();

    static void setLogEventInterceptor(zidedova::ZDVLogEventInterceptor interceptor);
    static zidedova::ZDVLogEventListenerHandle addLogEventListener(zidedova::ZDVLogEventListener listener);
    static void removeLogEventListener(const zidedova::ZDVLogEventListenerHandle& handle);
    static void notifyEventListeners(std::vector<ZDVAnalyticsEvent> events);
    static void setOpenURLListener(zidedova::ZDVOpenURLListener listener);
    static void handleOpenURL(const std::string& url);
    // The activity's web page URL is the deep link; an activity without one is ignored.
    static void handleUserActivity(const std::shared_ptr<platform::uikit::UserActivity>& activity);
    // Hands both to the app core's network utility, which keeps the handler for its own sessions.
    static void handleEventsForBackgroundURLSession(const std::string& identifier, zidedova::ZDVBlock completion);

    static void dispatchAsyncOnSerialQueue(zidedova::ZDVBlock block);
    static void queueOperationWithBlock(zidedova::ZDVBlock block);
    static void unsuspendOperationQueue();
    static double loadTimestamp();

    // Where screen names go (the screen-view reporter installs itself at registration).
    static void setScreenViewHandler(
        std::function<void(const std::optional<std::string>&, const std::optional<std::string>&)> handler);
};

// Registers "MSRAnalytics", "MSRMeasurement" and "MSRMonitor" with the shared runtime. Idempotent.
void registerEngineClasses();

}  // namespace measurement
