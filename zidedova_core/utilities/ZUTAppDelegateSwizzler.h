#pragma once
// The app-delegate proxy: lets SDKs see the URLs, user activities and background URL-session events the
// system hands the application's delegate, without the application forwarding them.
//
// Once per process (proxyOriginalDelegate) the live delegate's class is switched to a runtime subclass
// "ZUT_<Class>-<ms>" that overrides
//   application:continueUserActivity:restorationHandler:
//   application:openURL:sourceApplication:annotation:
//   application:handleEventsForBackgroundURLSession:completionHandler:
//   application:openURL:options:            (only when the delegate had it)
//   description                             (still reads "<Class: 0x...>")
// Each override calls every registered interceptor that answers the selector first, then the delegate's
// own implementation; the BOOL answers are OR-ed. The background-session completion is shared out with
// a once-only wrapper per party: the first call reaches the system, later ones are dropped, and when
// nobody calls it by the time every party has let go of it, it is called once then.
//
// Interceptors are runtime objects conforming to "UIApplicationDelegate", held weakly under the id
// "ZUT_<address>"; one freed without unregistering is logged (I-SWZ001010) and dropped at the next
// callback. Off when the Info.plist sets "VodezuUtilitiesAppDelegateProxyEnabled" or
// "ZidedovaAppDelegateProxyEnabled" to NO. Failures are logged, never thrown.
//
// Threads: registration from any thread (the table is guarded). Proxying runs on the calling thread;
// the delegate's re-set (nil, then back) that makes the application read the new callbacks runs on the
// main thread (posted there when called elsewhere). The overrides run where the system calls them.
// Its process state (interceptors, proxied delegate, once-only guard) is reset through the platform's
// reset registry as "zidedova.app-delegate-proxy".
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/objc/Runtime.h"
#include "platform/uikit/Application.h"

namespace zidedova {

inline constexpr const char* kZUTAppDelegateProxyEnabledKey = "VodezuUtilitiesAppDelegateProxyEnabled";
inline constexpr const char* kZUTZidedovaAppDelegateProxyEnabledKey = "ZidedovaAppDelegateProxyEnabled";
inline constexpr const char* kZUTAppDelegateSwizzlerService = "[VodezuUtilities/AppDelegateSwizzler]";

// Association keys on the proxied delegate.
inline constexpr const char* kZUTContinueUserActivityIMPKey = "ZUT_continueUserActivityIMP";
inline constexpr const char* kZUTHandleBackgroundSessionIMPKey = "ZUT_handleBackgroundSessionIMP";
inline constexpr const char* kZUTOpenURLOptionsIMPKey = "ZUT_openURLOptionsIMP";
inline constexpr const char* kZUTOpenURLSourceApplicationAnnotationIMPKey = "ZUT_openURLSourceApplicationAnnotationIMP";
inline constexpr const char* kZUTRealClassKey = "ZUT_realClass";

// A weak box: object() reads null once the object is gone. Runtime class "ZUTZeroingWeakContainer".
class ZUTZeroingWeakContainer : public platform::objc::Object {
public:
    explicit ZUTZeroingWeakContainer(const platform::objc::ObjectHandle& object);
    platform::objc::ObjectHandle object() const { return object_.lock(); }

private:
    platform::objc::Weak<platform::objc::Object> object_;
};

class ZUTAppDelegateSwizzler {
public:
    static bool isAppDelegateProxyEnabled();

    // The id, or nullopt (nil, or not a UIApplicationDelegate: logged).
    static std::optional<std::string> registerAppDelegateInterceptor(const platform::objc::ObjectHandle& interceptor);
    // An empty id is "nil".
    static void unregisterAppDelegateInterceptorWithID(const std::string& interceptorID);

    static void proxyOriginalDelegate();
    static void proxyAppDelegate(const platform::objc::ObjectHandle& delegate);
    static void createSubclassWithObject(const platform::objc::ObjectHandle& delegate);

    // Null inside an app extension or before launch.
    static std::shared_ptr<platform::uikit::Application> sharedApplication();
    // id -> interceptor, the freed ones left out.
    static std::map<std::string, platform::objc::ObjectHandle> interceptors();
    // The delegate switched to the subclass, until the application replaces it.
    static platform::objc::ObjectHandle proxiedDelegate();

    static bool addInstanceMethodWithSelector(platform::objc::Selector selector, platform::objc::Class* fromClass,
                                              platform::objc::Class* toClass);
    static bool addInstanceMethodWithDestinationSelector(platform::objc::Selector destination,
                                                         platform::objc::Selector source,
                                                         platform::objc::Class* fromClass,
                                                         platform::objc::Class* toClass);
    static platform::objc::Imp implementationOfMethodSelector(platform::objc::Selector selector,
                                                              const platform::objc::Class* fromClass);
    // Calls `callback` with every live interceptor answering `selector` (a snapshot of the table).
    static void
    notifyInterceptorsWithMethodSelector(platform::objc::Selector selector,
                                         const std::function<void(const platform::objc::ObjectHandle&)>& callback);

    static std::string correctAppDelegateProxyKey();
    static std::string correctAlternativeWhenAppDelegateProxyNotCreated();

    // The runtime class carrying the overrides copied into the subclass.
    static platform::objc::Class* runtimeClass();
};

// Forgets the proxied delegate once the application replaces its delegate.
class ZUTAppDelegateObserver {
public:
    static ZUTAppDelegateObserver& sharedInstance();
    void observeUIApplication();
    bool isObserving() const;
    // The delegate change (old, new) as the application reports it.
    void delegateChanged(const platform::objc::ObjectHandle& oldDelegate,
                         const platform::objc::ObjectHandle& newDelegate);
    void stopObserving();

private:
    ZUTAppDelegateObserver() = default;
    mutable platform::dispatch::Mutex mutex_;
    bool isObserving_ GUARDED_BY(mutex_) = false;
    int observerID_ GUARDED_BY(mutex_) = 0;
    std::weak_ptr<platform::uikit::Application> application_ GUARDED_BY(mutex_);
};

}  // namespace zidedova
