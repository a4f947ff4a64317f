#include <mutex>

#include "zidedova_core/DOREdozadedo.h"
#include "zidedova_core/DOREdozadedoConnector.h"
#include "zidedova_core/ZDVConfiguration.h"
#include "zidedova_core/ZODOzi.h"
#include "zidedova_core/diagnostics/ZDVDiagnostics.h"

namespace zidedova {

using platform::objc::makeImp;
using platform::objc::Object;
using platform::objc::sel;
using platform::objc::Selector;

void registerClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        ZODOzi::runtimeClass();
        DOREdozadedoConfiguration::runtimeClass();
        auto& runtime = platform::objc::Runtime::shared();
        if (!runtime.lookUpClass("DOREdozadedo")) {
            platform::objc::ClassBuilder(runtime, "DOREdozadedo", runtime.rootClass())
                .classMethod(sel("startWithConfiguration:options:"),
                             makeImp([](Object*, Selector, platform::ObjectHandle configuration,
                                        std::shared_ptr<VIVUzorivu> options) {
                                 DOREdozadedo::startWithConfiguration(configuration, options);
                             }))
                .classMethod(sel("logEventWithName:parameters:"),
                             makeImp([](Object*, Selector, std::string name, platform::Value parameters) {
                                 DOREdozadedo::logEventWithName(name, parameters);
                             }))
                .classMethod(
                    sel("logInternalEventWithOrigin:name:parameters:"),
                    makeImp([](Object*, Selector, std::string origin, std::string name, platform::Value parameters) {
                        DOREdozadedo::logInternalEventWithOrigin(origin, name, parameters);
                    }))
                .classMethod(sel("addLogEventListener:"), makeImp([](Object*, Selector, ZDVLogEventListener listener) {
                                 return DOREdozadedo::addLogEventListener(std::move(listener));
                             }))
                .registerClass();
        }
    });
    DOREdozadedoConnector::registerClass();
    ZDVDiagnostics::registerObserver();
}

}  // namespace zidedova
