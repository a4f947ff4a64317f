#pragma once
// Process-wide configuration singletons of the app core.
//
// DOREdozadedoConfiguration carries no state: its setters post notifications that the measurement
// engine observes (and persist the collection switch when asked). It is a runtime object of the class
// "DOREdozadedoConfiguration" so it can travel in start options. ZDVConfiguration holds the analytics
// configuration and forwards the logger level. Both are made once and safe from any thread.
#include <memory>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Value.h"
#include "platform/objc/Runtime.h"

namespace zidedova {

inline constexpr const char* kDOREdozadedoConfigurationSetEnabledNotification =
    "DOREdozadedoConfigurationSetEnabledNotification";
inline constexpr const char* kDOREdozadedoConfigurationSetMinimumSessionIntervalNotification =
    "DOREdozadedoConfigurationSetMinimumSessionIntervalNotification";
inline constexpr const char* kDOREdozadedoConfigurationSetSessionTimeoutIntervalNotification =
    "DOREdozadedoConfigurationSetSessionTimeoutIntervalNotification";
inline constexpr const char* kMeasurementEnabledStateKey = "/vodezu/measurement/measurement_enabled_state";

class DOREdozadedoConfiguration : public platform::objc::Object {
public:
    static std::shared_ptr<DOREdozadedoConfiguration> sharedInstance();
    static platform::objc::Class* runtimeClass();

    void setMinimumSessionInterval(double seconds);
    void setSessionTimeoutInterval(double seconds);
    // Persists 1 (enabled) or 2 (disabled) under "/vodezu/measurement/measurement_enabled_state".
    void setAnalyticsCollectionEnabled(bool enabled) { setAnalyticsCollectionEnabled(enabled, true); }
    void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting);
    // Posts only for a non-empty name and a non-null value.
    void postNotificationName(const std::string& name, const platform::Value& value);

    explicit DOREdozadedoConfiguration(platform::objc::Class* cls) : Object(cls) {}
};

class ZDVConfiguration {
public:
    static ZDVConfiguration& sharedInstance();

    std::shared_ptr<DOREdozadedoConfiguration> analyticsConfiguration() const;
    void setAnalyticsConfiguration(std::shared_ptr<DOREdozadedoConfiguration> configuration);
    void setLoggerLevel(int level);

private:
    ZDVConfiguration();
    mutable platform::dispatch::Mutex mutex_;
    std::shared_ptr<DOREdozadedoConfiguration> analyticsConfiguration_ GUARDED_BY(mutex_);
};

}  // namespace zidedova
