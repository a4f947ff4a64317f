#include "measurement/engine/MSRAppDelegateInterceptor.h"

#include "measurement/engine/MSRAnalytics.h"
#include "measurement/engine/internal/MSRAppDelegateInterceptorInstance.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Classes.h"
#include "zidedova_core/utilities/ZUTAppDelegateSwizzler.h"

namespace measurement {

namespace objc = platform::objc;
namespace uikit = platform::uikit;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;
using platform::URL;
using platform::Value;

namespace {

platform::dispatch::Mutex gMutex;
ObjectHandle gInterceptor GUARDED_BY(gMutex);  // held strongly here: the proxy holds it weakly

}  // namespace

objc::Class* MSRAppDelegateInterceptorClass() {
    static objc::Class* cls = [] {
        auto& rt = objc::Runtime::shared();
        if (objc::Class* existing = rt.lookUpClass("MSRAppDelegateInterceptor")) return existing;
        return objc::ClassBuilder(rt, "MSRAppDelegateInterceptor", rt.rootClass())
            .protocol(uikit::applicationDelegateProtocol())
            .method(sel("application:openURL:options:"),
                    objc::makeImp([](Object*, Selector, ObjectHandle, URL url, Value) {
                        MSRAnalytics::handleOpenURL(url.absoluteString());
                        return false;
                    }))
            .method(sel("application:openURL:sourceApplication:annotation:"),
                    objc::makeImp([](Object*, Selector, ObjectHandle, URL url, std::optional<std::string>, Value) {
                        MSRAnalytics::handleOpenURL(url.absoluteString());
                        return false;
                    }))
            .method(sel("application:continueUserActivity:restorationHandler:"),
                    objc::makeImp([](Object*, Selector, ObjectHandle, std::shared_ptr<uikit::UserActivity> activity,
                                     uikit::RestorationHandler) {
                        MSRAnalytics::handleUserActivity(activity);
                        return false;
                    }))
            .method(sel("application:handleEventsForBackgroundURLSession:completionHandler:"),
                    objc::makeImp(
                        [](Object*, Selector, ObjectHandle, std::string identifier, std::function<void()> completion) {
                            MSRAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completion));
                        }))
            .registerClass();
    }();
    return cls;
}

void MSRInstallAppDelegateProxy() {
    ObjectHandle interceptor;
    {
        platform::dispatch::MutexLock lock(gMutex);
        if (!gInterceptor) gInterceptor = std::make_shared<Object>(MSRAppDelegateInterceptorClass());
        interceptor = gInterceptor;
    }
    zidedova::ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
    zidedova::ZUTAppDelegateSwizzler::proxyOriginalDelegate();
}

ObjectHandle MSRAppDelegateInterceptor() {
    platform::dispatch::MutexLock lock(gMutex);
    return gInterceptor;
}

}  // namespace measurement
