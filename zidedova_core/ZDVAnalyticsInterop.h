#pragma once
// The call contract between the analytics facade (DOREdozadedo) and the measurement engine's facade
// (MSRAnalytics), which the app core reaches only through the object runtime by class name. Both sides
// use these types so every send matches the implementation's signature exactly.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"

namespace zidedova {

// A logged event as the engine hands it to its interceptor and listeners.
struct ZDVAnalyticsEvent {
    std::string origin;
    bool isPublic = true;
    std::string name;
    platform::Value parameters = platform::Value::dictionary();
    double timestamp = 0;  // seconds since 1970
    bool ignoreEnabled = false;
    bool ignoreInterceptor = false;
};

// Answers the event to log (possibly rewritten) or nullopt to drop it. Runs on "MSRAnalyticsQueue".
using ZDVLogEventInterceptor = std::function<std::optional<ZDVAnalyticsEvent>(ZDVAnalyticsEvent)>;
// Runs on the engine's operation queue after each logging.
using ZDVLogEventListener = std::function<void(const std::vector<ZDVAnalyticsEvent>&)>;
// Identifies one added listener; nullptr is "nil".
using ZDVLogEventListenerHandle = std::shared_ptr<const void>;
using ZDVOpenURLListener = std::function<void(const std::string& url)>;
// name -> {"origin", "value", "timestamp"}
using ZDVUserPropertiesCallback = std::function<void(const platform::ValueDictionary&)>;
using ZDVMaxUserPropertiesCallback = std::function<void(int64_t)>;
// A stored user attribute as {"origin", "name", "value", "timestamp"}, or null when there is none.
using ZDVUserAttributeCallback = std::function<void(const platform::Value&)>;
using ZDVBlock = std::function<void()>;
using ZDVOptionalQueue = std::optional<platform::dispatch::DispatchQueue>;

inline constexpr const char* kMSRAnalyticsClassName = "MSRAnalytics";
inline constexpr const char* kMSRMeasurementClassName = "MSRMeasurement";
inline constexpr const char* kMSRScreenViewReporterClassName = "MSRScreenViewReporter";

// Start-option keys.
inline constexpr const char* kZDVAnalyticsConfigurationKey = "ZIDEDOVA_ANALYTICS_CONFIGURATION";
inline constexpr const char* kZDVAnalyticsCollectionDeactivatedKey = "ZIDEDOVA_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* kZDVAnalyticsCollectionEnabledKey = "ZIDEDOVA_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kZDVMeasurementLogTagKey = "app_measurement_log_tag";
inline constexpr const char* kZDVSafelistedEventsKey = "safelisted_events";

}  // namespace zidedova
