#include "platform/webkit/PageBackend.h"

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/webkit/PageEngine.h"
#include "platform/webkit/WebView.h"

namespace platform::webkit::webkit_detail {

namespace {
dispatch::Mutex factoryMutex;
PageBackendFactory& factory() REQUIRES(factoryMutex) {
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

void PageBackend::clickLink(const std::string&, std::function<void(const std::optional<std::string>&)> completion) {
    if (completion)
        dispatch::MainLoop::shared().post(
            [completion = std::move(completion)] { completion(std::string("no page is shown to click in")); });
}

void PageBackend::snapshotPNG(
    std::function<void(const std::optional<Snapshot>&, const std::optional<Error>&)> completion) {
    if (!completion) return;
    dispatch::MainLoop::shared().post([completion = std::move(completion)] {
        completion(std::nullopt,
                   Error::withDescription(kWebKitErrorDomain, kWebKitErrorUnknown, "This web view draws nothing."));
    });
}

void setPageBackendFactory(PageBackendFactory installed) {
    dispatch::MutexLock lock(factoryMutex);
    factory() = std::move(installed);
}

std::shared_ptr<PageBackend> makePageBackend(const BackendRequest& request) {
    PageBackendFactory make;
    {
        dispatch::MutexLock lock(factoryMutex);
        make = factory();
    }
    if (make)
        if (auto backend = make(request)) return backend;
    return std::make_shared<PageEngine>(request.store, request.client);
}

}  // namespace platform::webkit::webkit_detail
