#pragma once
// Lets a test see which interceptor the engine registered with the app core's delegate proxy.
#include "platform/objc/Runtime.h"

namespace measurement {

// The interceptor MSRInstallAppDelegateProxy() made; null before start-up. Any thread.
platform::objc::ObjectHandle MSRAppDelegateInterceptor();

}  // namespace measurement
