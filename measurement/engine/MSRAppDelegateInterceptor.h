#pragma once
// The engine's app-delegate interceptor: a runtime object (class "MSRAppDelegateInterceptor",
// conforming to UIApplicationDelegate) registered with the app core's delegate proxy, so URLs opened,
// activities continued and background URL-session events reach MSRAnalytics without the application
// forwarding them. It answers NO to every BOOL callback: it observes, it does not handle.
//
// MSRInstallAppDelegateProxy() registers the interceptor and asks for the proxy; the engine calls it
// once, at start-up, on the thread that starts measurement (the main thread at launch).
#include "platform/objc/Runtime.h"

namespace measurement {

platform::objc::Class* MSRAppDelegateInterceptorClass();
void MSRInstallAppDelegateProxy();

}  // namespace measurement
