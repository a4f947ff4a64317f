#include "zidedova_core/ZDVConfiguration.h"

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "zidedova_core/ZDVLogger.h"

namespace zidedova {

platform::objc::Class* DOREdozadedoConfiguration::runtimeClass() {
    static platform::objc::Class* cls = [] {
        auto& runtime = platform::objc::Runtime::shared();
        if (auto* existing = runtime.lookUpClass("DOREdozadedoConfiguration")) return existing;
        return platform::objc::ClassBuilder(runtime, "DOREdozadedoConfiguration", runtime.rootClass()).registerClass();
    }();
    return cls;
}

std::shared_ptr<DOREdozadedoConfiguration> DOREdozadedoConfiguration::sharedInstance() {
    static auto instance = std::make_shared<DOREdozadedoConfiguration>(runtimeClass());
    return instance;
}

void DOREdozadedoConfiguration::postNotificationName(const std::string& name, const platform::Value& value) {
    if (name.empty() || value.isNull()) return;
    platform::ValueDictionary info;
    info[name] = value;
    platform::NotificationCenter::defaultCenter().postNotificationName(name, this, platform::Value(std::move(info)));
}

void DOREdozadedoConfiguration::setMinimumSessionInterval(double seconds) {
    postNotificationName(kDOREdozadedoConfigurationSetMinimumSessionIntervalNotification, seconds);
}

void DOREdozadedoConfiguration::setSessionTimeoutInterval(double seconds) {
    postNotificationName(kDOREdozadedoConfigurationSetSessionTimeoutIntervalNotification, seconds);
}

void DOREdozadedoConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) {
    if (persistSetting) {
        auto defaults = platform::UserDefaults::standard();
        platform::retriedByStore(defaults->setInteger(enabled ? 1 : 2, kMeasurementEnabledStateKey));
        defaults->synchronize();
    }
    postNotificationName(kDOREdozadedoConfigurationSetEnabledNotification, enabled);
}

ZDVConfiguration& ZDVConfiguration::sharedInstance() {
    static ZDVConfiguration* instance = new ZDVConfiguration();
    return *instance;
}

ZDVConfiguration::ZDVConfiguration() : analyticsConfiguration_(DOREdozadedoConfiguration::sharedInstance()) {}

std::shared_ptr<DOREdozadedoConfiguration> ZDVConfiguration::analyticsConfiguration() const {
    platform::dispatch::MutexLock lock(mutex_);
    return analyticsConfiguration_;
}

void ZDVConfiguration::setAnalyticsConfiguration(std::shared_ptr<DOREdozadedoConfiguration> configuration) {
    platform::dispatch::MutexLock lock(mutex_);
    analyticsConfiguration_ = std::move(configuration);
}

void ZDVConfiguration::setLoggerLevel(int level) { ZDVLoggerSetLevel(level); }

}  // namespace zidedova
