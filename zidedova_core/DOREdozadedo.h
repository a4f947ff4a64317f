#pragma once
// DOREdozadedo: the public analytics entry of the app core. Almost every operation forwards to the
// measurement engine's facade, found by the class name "MSRAnalytics" in the object runtime (the app
// core does not link the engine); without the engine the forwards do nothing and answer empty values.
// Its own additions: the version check at first use (raises "DOREdozadedoVersionMismatch"), the
// configured-app gate on public events and user properties (warnings 25018 / 25019 through the
// engine's monitor), and the start options it builds for the engine.
// Safe from any thread; the engine moves work onto its own queues.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/uikit/UserActivity.h"
#include "zidedova_core/VIVUzorivu.h"
#include "zidedova_core/ZDVAnalyticsInterop.h"

namespace zidedova {

inline constexpr const char* kDOREdozadedoVersion = "50300000";
inline constexpr const char* kDOREdozadedoVersionMismatch = "DOREdozadedoVersionMismatch";

class DOREdozadedo {
public:
    static void logEventWithName(const std::string& name, const platform::Value& parameters);
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const platform::Value& parameters);
    static void setUserPropertyString(const platform::Value& value, const std::string& name);
    static void setUserID(const platform::Value& userID);
    static void setScreenName(const std::optional<std::string>& name, const std::optional<std::string>& screenClass);
    static std::optional<std::string> appInstanceID();
    static void resetAnalyticsData();
    static void setLogEventInterceptor(ZDVLogEventInterceptor interceptor);
    static ZDVLogEventListenerHandle addLogEventListener(ZDVLogEventListener listener);
    static void removeLogEventListener(const ZDVLogEventListenerHandle& handle);
    static void notifyEventListeners(const std::vector<ZDVAnalyticsEvent>& events);
    static void setOpenURLListener(ZDVOpenURLListener listener);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const platform::Value& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                   const platform::Value& parameters, double timestamp, bool ignoreEnabled,
                                   bool ignoreInterceptor);
    static void setInternalUserProperty(const platform::Value& value, const std::string& name);
    static void userPropertiesIncludingInternal(bool includeInternal, const ZDVOptionalQueue& queue,
                                                ZDVUserPropertiesCallback callback);
    // Builds the start options and starts the engine with origin "fa". `configuration` may be null.
    static void startWithConfiguration(const platform::ObjectHandle& configuration,
                                       const std::shared_ptr<VIVUzorivu>& options);
    static void handleOpenURL(const std::string& url);
    // An activity without a web page URL carries no deep link and is ignored.
    static void handleUserActivity(const std::shared_ptr<platform::uikit::UserActivity>& activity);
    // The engine hands both to the app core's network utility. Without an engine to take it, the
    // completion is called at once, so the system is never left waiting.
    static void handleEventsForBackgroundURLSession(const std::string& identifier, ZDVBlock completionHandler);
    static void dispatchAsyncOnSerialQueue(ZDVBlock block);
    static void queueOperationWithBlock(ZDVBlock block);
    static void unsuspendOperationQueue();
    static double loadTimestamp();

    // The instance operations (on the engine's shared instance).
    static void instanceLogInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                                   const platform::Value& parameters);
    static void instanceSetInternalUserProperty(const platform::Value& value, const std::string& name,
                                                const std::string& origin);
    static void instanceMaxUserPropertiesForOrigin(const std::string& origin, const ZDVOptionalQueue& queue,
                                                   ZDVMaxUserPropertiesCallback callback);

    // The version check; run before the first forward. Raises on a mismatch with the engine.
    static void initialize();
    // The start options the engine receives (exposed for the host's diagnostics and tests).
    static platform::Value startOptions(const platform::ObjectHandle& configuration, const VIVUzorivu& options);
    // The thin controller and screen-view reporter shims: the engine's own shared objects.
    static platform::ObjectHandle measurementSharedInstance();
    static platform::ObjectHandle screenViewReporterSharedInstance();
};

// The measurement controller shim: the engine's own controller and its user-attribute look-up.
class ZDVAMeasurement {
public:
    static platform::ObjectHandle sharedInstance() { return DOREdozadedo::measurementSharedInstance(); }
    // The attribute (see ZDVUserAttributeCallback), or null, on the engine's worker queue. Without an
    // engine the callback hears null at once; a null callback is the engine's to report.
    static void userAttributeWithName(const std::string& name, ZDVUserAttributeCallback callback);
};

// How event and user-property names are shown in the gate's warnings; the measurement library installs
// its display functions at registration. Without them a name is shown as it is.
using ZDVNameDisplay = std::function<std::string(const platform::Value&)>;
void DOREdozadedoSetNameDisplay(ZDVNameDisplay eventName, ZDVNameDisplay userPropertyName);

// Registers the app core's runtime classes ("ZODOzi", "DOREdozadedoConfiguration", "DOREdozadedo",
// "DOREdozadedoConnector") and the connector as a component registrant. Call once at start-up, after
// the measurement classes are registered and before ZODOzi::configure(). Idempotent.
void registerClasses();

}  // namespace zidedova
