#include "platform/webkit/PageBackend.h"

#include <mutex>

#include "platform/dispatch/MainLoop.h"
#include "platform/webkit/PageEngine.h"
#include "platform/webkit/WebView.h"

namespace platform::webkit::webkit_detail {

namespace {
std::mutex factoryMutex;
PageBackendFactory& factory() {
    static auto* installed = new PageBackendFactory;  // never destroyed: views may outlive static teardown
    return *installed;
}

Error noScriptEngine() {
    return Error::withDescription(kWebKitErrorDomain, kWebKitErrorJavaScriptExceptionOccurred,
                                  "This web view has no script engine.");
}
}  // namespace

void PageBackend::evaluateJavaScript(const std::string&,
                                     std::function<void(const Value&, const std::optional<Error>&)> completion) {
    if (!completion) return;
    dispatch::MainLoop::shared().post([completion = std::move(completion)] { completion(Value(), noScriptEngine()); });
}

void PageBackend::clickLink(const std::string&, std::function<void(bool)> completion) {
    if (completion) dispatch::MainLoop::shared().post([completion = std::move(completion)] { completion(false); });
}

void PageBackend::snapshotPNG(
    std::function<void(const std::optional<Snapshot>&, const std::optional<Error>&)> completion) {
    if (!completion) return;
    dispatch::MainLoop::shared().post([completion = std::move(completion)] {
        completion(std::nullopt, Error::withDescription(kWebKitErrorDomain, 1, "This web view draws nothing."));
    });
}

void setPageBackendFactory(PageBackendFactory installed) {
    std::lock_guard lock(factoryMutex);
    factory() = std::move(installed);
}

std::shared_ptr<PageBackend> makePageBackend(const BackendRequest& request) {
    PageBackendFactory make;
    {
        std::lock_guard lock(factoryMutex);
        make = factory();
    }
    if (make)
        if (auto backend = make(request)) return backend;
    return std::make_shared<PageEngine>(request.store, request.client);
}

}  // namespace platform::webkit::webkit_detail
