#pragma once
// DOREdozadedoConnector: what the component container hands out under the protocol
// "DOREdozadedoInterop": other SDKs log events and set user properties through it, filtered by
// ZDVConnectorUtils (refusals are silent). A new connector is made for every request (not cached).
// Callers reach the operations through the C++ interface (dynamic_cast of the instance) or by selector.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/objc/Runtime.h"

namespace zidedova {

inline constexpr const char* kDOREdozadedoInteropProtocol = "DOREdozadedoInterop";

class DOREdozadedoInterop {
public:
    virtual ~DOREdozadedoInterop() = default;
    virtual void setConditionalUserProperty(const platform::Value& property) = 0;
    virtual void clearConditionalUserProperty(const std::string& name, const std::string& clearEventName,
                                              const platform::Value& clearEventParameters) = 0;
    // nullopt ("nil") here.
    virtual std::optional<platform::ValueArray> conditionalUserProperties(const std::string& origin,
                                                                          const std::string& propertyNamePrefix) = 0;
    virtual int64_t maxUserProperties(const std::string& origin) = 0;
    virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                    const platform::Value& parameters) = 0;
    virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                           const platform::Value& value) = 0;
};

class DOREdozadedoConnector : public platform::objc::Object, public DOREdozadedoInterop {
public:
    // Registers the class (declaring "DOREdozadedoInterop" and "ZDVComponentRegistrant") and adds it
    // to the component registrants. Idempotent.
    static platform::objc::Class* registerClass();
    static std::shared_ptr<DOREdozadedoConnector> make();

    explicit DOREdozadedoConnector(platform::objc::Class* cls) : Object(cls) {}

    void setConditionalUserProperty(const platform::Value&) override {}
    void clearConditionalUserProperty(const std::string&, const std::string&, const platform::Value&) override {}
    std::optional<platform::ValueArray> conditionalUserProperties(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    int64_t maxUserProperties(const std::string&) override { return -1; }
    void logEventWithOrigin(const std::string& origin, const std::string& name,
                            const platform::Value& parameters) override;
    void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                   const platform::Value& value) override;
};

}  // namespace zidedova
