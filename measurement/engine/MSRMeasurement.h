#pragma once
// MSRMeasurement: the measurement controller. Here it keeps the user attributes (on the worker queue
// "com.vodezu.msra.worker") and hands out the process-wide monitor. A runtime object of the class
// "MSRMeasurement"; made once, never released. Callbacks run on the worker queue.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "measurement/storage/MSRMonitor.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"

namespace measurement {

struct MSRUserAttribute {
    std::string origin;
    std::string name;
    platform::Value value;
    double lastSetTimestamp = 0;
};

class MSRMeasurement : public platform::objc::Object {
public:
    using AttributeCallback = std::function<void(std::optional<MSRUserAttribute>)>;

    // nullptr on an unsupported system version.
    static std::shared_ptr<MSRMeasurement> sharedInstance();
    static std::shared_ptr<MSRMonitor> monitor() { return MSRMonitor::shared(); }
    static platform::objc::Class* runtimeClass();

    // A null callback logs 23088.
    void userAttributeWithName(const std::string& name, AttributeCallback callback);
    // Writes on the worker queue; a null value removes the attribute.
    void setUserAttribute(MSRUserAttribute attribute);
    void removeUserAttribute(const std::string& name);
    void removeAllUserAttributes();
    // A snapshot taken on the worker queue.
    std::map<std::string, MSRUserAttribute> userAttributes() const;
    const platform::dispatch::DispatchQueue& workerQueue() const { return worker_; }

    explicit MSRMeasurement(platform::objc::Class* cls);

private:
    platform::dispatch::DispatchQueue worker_;
    std::shared_ptr<std::map<std::string, MSRUserAttribute>> attributes_;  // confined to worker_
};

bool MSRIsSupportedSystemVersion();

}  // namespace measurement
