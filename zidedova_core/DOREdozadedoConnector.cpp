#include "zidedova_core/DOREdozadedoConnector.h"

#include <mutex>

#include "zidedova_core/DOREdozadedo.h"
#include "zidedova_core/ZDVComponentContainer.h"
#include "zidedova_core/internal/ZDVConnectorUtils.h"

namespace zidedova {

using platform::Value;
using platform::objc::makeImp;
using platform::objc::Object;
using platform::objc::sel;
using platform::objc::Selector;

void DOREdozadedoConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const Value& parameters) {
    if (!ZDVConnectorUtils::isOriginAllowed(origin) || !ZDVConnectorUtils::shouldLogEventWithName(name, parameters))
        return;
    Value copy = parameters.isDictionary() ? parameters : Value::dictionary();
    if (name == "_cmp") {
        if (origin == "vcm")
            copy.set("_cis", "vcm_integration");
        else if (origin == "vdl")
            copy.set("_cis", "vdl_integration");
        else if (origin == "viam")
            copy.set("_cis", "viam_integration");
    }
    DOREdozadedo::logInternalEventWithOrigin(origin, name, copy);
}

void DOREdozadedoConnector::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const Value& value) {
    if (!ZDVConnectorUtils::isOriginAllowed(origin) || !ZDVConnectorUtils::isUserPropertyAllowed(name, origin)) return;
    DOREdozadedo::instanceSetInternalUserProperty(value, name, origin);
}

platform::objc::Class* DOREdozadedoConnector::registerClass() {
    static platform::objc::Class* cls = [] {
        auto& runtime = platform::objc::Runtime::shared();
        if (auto* existing = runtime.lookUpClass("DOREdozadedoConnector")) return existing;
        const auto* interop = protocolNamed(kDOREdozadedoInteropProtocol);
        auto* made =
            platform::objc::ClassBuilder(runtime, "DOREdozadedoConnector", runtime.rootClass())
                .protocol(interop)
                .protocol(protocolNamed(kZDVComponentRegistrantProtocol))
                .classMethod(sel("componentsToRegister"), makeImp([interop](Object*, Selector) {
                                 // Lazy and never marked cacheable: each request gets a new connector.
                                 return ZDVComponentList{ZDVComponent::componentWithProtocol(
                                     interop, [](ZDVComponentContainer&, bool*) -> platform::ObjectHandle {
                                         return DOREdozadedoConnector::make();
                                     })};
                             }))
                .method(sel("logEventWithOrigin:name:parameters:"),
                        makeImp([](Object* self, Selector, std::string origin, std::string name, Value parameters) {
                            if (auto* c = platform::objc::native<DOREdozadedoConnector>(self))
                                c->logEventWithOrigin(origin, name, parameters);
                        }))
                .method(sel("setUserPropertyWithOrigin:name:value:"),
                        makeImp([](Object* self, Selector, std::string origin, std::string name, Value value) {
                            if (auto* c = platform::objc::native<DOREdozadedoConnector>(self))
                                c->setUserPropertyWithOrigin(origin, name, value);
                        }))
                .method(sel("setConditionalUserProperty:"), makeImp([](Object* self, Selector, Value property) {
                            if (auto* c = platform::objc::native<DOREdozadedoConnector>(self))
                                c->setConditionalUserProperty(property);
                        }))
                .method(sel("clearConditionalUserProperty:clearEventName:clearEventParameters:"),
                        makeImp([](Object* self, Selector, std::string name, std::string eventName, Value parameters) {
                            if (auto* c = platform::objc::native<DOREdozadedoConnector>(self))
                                c->clearConditionalUserProperty(name, eventName, parameters);
                        }))
                .method(sel("conditionalUserProperties:propertyNamePrefix:"),
                        makeImp([](Object* self, Selector, std::string origin,
                                   std::string prefix) -> std::optional<platform::ValueArray> {
                            auto* c = platform::objc::native<DOREdozadedoConnector>(self);
                            return c ? c->conditionalUserProperties(origin, prefix) : std::nullopt;
                        }))
                .method(sel("maxUserProperties:"), makeImp([](Object* self, Selector, std::string origin) {
                            auto* c = platform::objc::native<DOREdozadedoConnector>(self);
                            return c ? c->maxUserProperties(origin) : int64_t(-1);
                        }))
                .registerClass();
        return made;
    }();
    ZDVComponentContainer::registerAsComponentRegistrant(cls);
    return cls;
}

std::shared_ptr<DOREdozadedoConnector> DOREdozadedoConnector::make() {
    return std::make_shared<DOREdozadedoConnector>(registerClass());
}

}  // namespace zidedova
