#include "zidedova_core/utilities/ZUTAppDelegateSwizzler.h"

#include <atomic>
#include <cstdio>
#include <exception>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/uikit/Classes.h"
#include "zidedova_core/utilities/ZUTAppEnvironmentUtil.h"
#include "zidedova_core/utilities/ZUTLogger.h"
#include "zidedova_core/utilities/ZUTMutableDictionary.h"

namespace zidedova {

namespace objc = platform::objc;
namespace uikit = platform::uikit;
using objc::AssociationKey;
using objc::Class;
using objc::Imp;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;
using platform::URL;
using platform::Value;

namespace {

constexpr const char* kOpenURLOptions = "application:openURL:options:";
constexpr const char* kOpenURLSourceApplication = "application:openURL:sourceApplication:annotation:";
constexpr const char* kContinueUserActivity = "application:continueUserActivity:restorationHandler:";
constexpr const char* kHandleBackgroundSession = "application:handleEventsForBackgroundURLSession:completionHandler:";

std::string code(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "I-SWZ%06d", n);
    return buf;
}

template <class... Args>
void logAt(int level, int n, std::string_view format, const Args&... args) {
    ZUTLoggerLog(level, kZUTAppDelegateSwizzlerService, false, code(n), format, args...);
}

std::string pointerText(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

struct ProxyState {
    platform::dispatch::Mutex mutex;
    ZUTMutableDictionary interceptors;  // id -> ZUTZeroingWeakContainer
    ObjectHandle proxied GUARDED_BY(mutex);
    bool proxyTried GUARDED_BY(mutex) = false;  // the once-only guard of proxyOriginalDelegate
};
void resetProxyState();

ProxyState& state() {
    static auto* s = [] {
        auto* made = new ProxyState();  // never destroyed: overrides may run during exit
        platform::ResetRegistry::add("zidedova.app-delegate-proxy", resetProxyState);
        return made;
    }();
    return *s;
}

// Back to the first state: no interceptors, nothing proxied, the once-only guard open again.
void resetProxyState() {
    ZUTAppDelegateObserver::sharedInstance().stopObserving();
    state().interceptors.removeAllObjects();
    (void)state().interceptors.count();  // waits for the removal
    ObjectHandle proxied;                // released outside the lock: its destructor may run anything
    platform::dispatch::MutexLock lock(state().mutex);
    proxied.swap(state().proxied);
    state().proxyTried = false;
}

Class* containerClass() {
    static Class* cls = [] {
        auto& rt = objc::Runtime::shared();
        if (Class* existing = rt.lookUpClass("ZUTZeroingWeakContainer")) return existing;
        return objc::ClassBuilder(rt, "ZUTZeroingWeakContainer", rt.rootClass()).registerClass();
    }();
    return cls;
}

Imp recordedImp(Object* self, const char* key) {
    return self->associatedValueAs<Imp>(AssociationKey::named(key)).value_or(nullptr);
}

// One interceptor failing must not keep the others, or the delegate itself, from hearing the call.
template <class F>
void eachInterceptor(Selector cmd, F&& call) {
    ZUTAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(cmd, [&](const ObjectHandle& interceptor) {
        try {
            call(interceptor);
        } catch (const std::exception& e) {
            logAt(ZUTLoggerLevelError, 1016, "AppDelegateProxy interceptor %@ failed in %@: %@",
                  pointerText(interceptor.get()), cmd.name(), e.what());
        }
    });
}

// The system's background-session completion, shared by every party that is handed it. Each party gets
// its own once-only wrapper; the first call from anyone reaches the system and later calls are dropped.
// When the last wrapper (and the override's own hold) is released without any call, nobody owned the
// session: the system's handler runs once then, so the system never waits forever.
class CompletionShare {
public:
    explicit CompletionShare(std::function<void()> handler) : handler_(std::move(handler)) {}
    ~CompletionShare() {
        if (called_.exchange(true) || !handler_) return;
        try {
            handler_();
        } catch (const std::exception& e) {
            logAt(ZUTLoggerLevelError, 1016, "Background URL session completion failed: %@", e.what());
        }
    }
    static std::function<void()> party(const std::shared_ptr<CompletionShare>& share) {
        return platform::dispatch::OnceHandler<>(
            kHandleBackgroundSession, [share] { share->call(); },
            platform::dispatch::OnceHandlerPolicy::IgnoreExtraCalls);
    }

private:
    void call() {
        if (called_.exchange(true)) return;
        if (handler_) handler_();
    }
    std::function<void()> handler_;
    std::atomic<bool> called_{false};
};

// --- the overrides copied into the delegate's subclass ---

bool openURLOptions(Object* self, Selector cmd, ObjectHandle app, URL url, Value options) {
    Imp own = recordedImp(self, kZUTOpenURLOptionsIMPKey);
    bool handled = false;
    eachInterceptor(cmd, [&](const ObjectHandle& i) {
        handled |= objc::send<bool, ObjectHandle, URL, Value>(i, cmd, app, url, options);
    });
    if (own) handled |= objc::callImp<bool, ObjectHandle, URL, Value>(own, self, cmd, app, url, options);
    return handled;
}

bool openURLSourceApplication(Object* self, Selector cmd, ObjectHandle app, URL url,
                              std::optional<std::string> sourceApplication, Value annotation) {
    using Sig = std::optional<std::string>;
    Imp own = recordedImp(self, kZUTOpenURLSourceApplicationAnnotationIMPKey);
    bool handled = false;
    eachInterceptor(cmd, [&](const ObjectHandle& i) {
        handled |= objc::send<bool, ObjectHandle, URL, Sig, Value>(i, cmd, app, url, sourceApplication, annotation);
    });
    if (own)
        handled |=
            objc::callImp<bool, ObjectHandle, URL, Sig, Value>(own, self, cmd, app, url, sourceApplication, annotation);
    return handled;
}

bool continueUserActivity(Object* self, Selector cmd, ObjectHandle app, std::shared_ptr<uikit::UserActivity> activity,
                          uikit::RestorationHandler restoration) {
    using Activity = std::shared_ptr<uikit::UserActivity>;
    Imp own = recordedImp(self, kZUTContinueUserActivityIMPKey);
    bool handled = false;
    eachInterceptor(cmd, [&](const ObjectHandle& i) {
        handled |=
            objc::send<bool, ObjectHandle, Activity, uikit::RestorationHandler>(i, cmd, app, activity, restoration);
    });
    if (own)
        handled |= objc::callImp<bool, ObjectHandle, Activity, uikit::RestorationHandler>(own, self, cmd, app, activity,
                                                                                          restoration);
    return handled;
}

void handleBackgroundSession(Object* self, Selector cmd, ObjectHandle app, std::string identifier,
                             std::function<void()> completion) {
    using Handler = std::function<void()>;
    Imp own = recordedImp(self, kZUTHandleBackgroundSessionIMPKey);
    auto share = std::make_shared<CompletionShare>(std::move(completion));
    eachInterceptor(cmd, [&](const ObjectHandle& i) {
        objc::send<void, ObjectHandle, std::string, Handler>(i, cmd, app, identifier, CompletionShare::party(share));
    });
    if (own)
        objc::callImp<void, ObjectHandle, std::string, Handler>(own, self, cmd, app, identifier,
                                                                CompletionShare::party(share));
    // Releasing the override's hold: when no party kept its wrapper, the system's handler runs now.
}

std::string fakeDescription(Object* self, Selector) {
    Class* real = self->associatedValueAs<Class*>(AssociationKey::named(kZUTRealClassKey)).value_or(nullptr);
    if (!real) real = self->getClass();
    return "<" + real->name() + ": " + pointerText(self) + ">";
}

void resetDelegate(const std::shared_ptr<uikit::Application>& app, const ObjectHandle& delegate) {
    // Held strongly by the caller across the nil so the delegate cannot go in between.
    if (app->delegate() != delegate) return;
    app->setDelegate(nullptr);
    app->setDelegate(delegate);
}

}  // namespace

// --- ZUTZeroingWeakContainer ---

ZUTZeroingWeakContainer::ZUTZeroingWeakContainer(const ObjectHandle& object)
    : Object(containerClass()), object_(object) {}

// --- switches and names ---

bool ZUTAppDelegateSwizzler::isAppDelegateProxyEnabled() {
    auto bundle = platform::Bundle::mainBundle();
    auto enabled = [&](const char* key) {
        const Value* v = bundle ? bundle->objectForInfoDictionaryKey(key) : nullptr;
        if (!v || !(v->isBool() || v->isNumber())) return true;
        return v->boolOr(true);
    };
    return enabled(kZUTAppDelegateProxyEnabledKey) && enabled(kZUTZidedovaAppDelegateProxyEnabledKey);
}

std::string ZUTAppDelegateSwizzler::correctAppDelegateProxyKey() {
    return objc::lookUpClass("ZDVCore") ? kZUTZidedovaAppDelegateProxyEnabledKey : kZUTAppDelegateProxyEnabledKey;
}

std::string ZUTAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated() {
    return objc::lookUpClass("ZDVCore")
               ? "To log deep link campaigns manually, call the methods in DOREdozadedo+AppDelegate"
               : "";
}

std::shared_ptr<uikit::Application> ZUTAppDelegateSwizzler::sharedApplication() {
    if (ZUTAppEnvironmentUtil::isAppExtension()) return nullptr;
    Class* cls = objc::lookUpClass("UIApplication");
    if (!cls || !objc::respondsToSelector(cls, sel("sharedApplication"))) return nullptr;
    return std::dynamic_pointer_cast<uikit::Application>(objc::send<ObjectHandle>(cls, sel("sharedApplication")));
}

// --- interceptors ---

std::optional<std::string> ZUTAppDelegateSwizzler::registerAppDelegateInterceptor(const ObjectHandle& interceptor) {
    if (!interceptor) {
        logAt(ZUTLoggerLevelError, 1000, "AppDelegateProxy cannot add nil interceptor.");
        return std::nullopt;
    }
    Class* cls = interceptor->getClass();
    if (!cls->runtime().conformsToProtocol(cls, uikit::applicationDelegateProtocol())) {
        logAt(ZUTLoggerLevelError, 1001, "AppDelegateProxy interceptor does not conform to UIApplicationDelegate");
        return std::nullopt;
    }
    std::string id = "ZUT_" + pointerText(interceptor.get());
    if (id.size() <= 4) {
        logAt(ZUTLoggerLevelError, 1002, "AppDelegateProxy cannot create Interceptor ID.");
        return std::nullopt;
    }
    state().interceptors.setObject(Value(ObjectHandle(std::make_shared<ZUTZeroingWeakContainer>(interceptor))), id);
    return id;
}

void ZUTAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(const std::string& interceptorID) {
    if (interceptorID.empty()) {
        logAt(ZUTLoggerLevelError, 1003, "AppDelegateProxy cannot unregister empty interceptor ID.");
        return;
    }
    auto entry = state().interceptors.objectForKey(interceptorID);
    auto container = entry ? std::dynamic_pointer_cast<ZUTZeroingWeakContainer>(entry->asObject()) : nullptr;
    if (!container || !container->object()) {
        logAt(ZUTLoggerLevelError, 1004,
              "AppDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID %@",
              interceptorID);
        return;
    }
    state().interceptors.removeObjectForKey(interceptorID, *entry);
}

std::map<std::string, ObjectHandle> ZUTAppDelegateSwizzler::interceptors() {
    std::map<std::string, ObjectHandle> out;
    for (const auto& [id, value] : state().interceptors.dictionary()) {
        auto container = std::dynamic_pointer_cast<ZUTZeroingWeakContainer>(value.asObject());
        if (auto object = container ? container->object() : nullptr) out.emplace(id, std::move(object));
    }
    return out;
}

void ZUTAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
    Selector selector, const std::function<void(const ObjectHandle&)>& callback) {
    for (const auto& [id, value] : state().interceptors.dictionary()) {
        auto container = std::dynamic_pointer_cast<ZUTZeroingWeakContainer>(value.asObject());
        ObjectHandle interceptor = container ? container->object() : nullptr;
        if (!interceptor) {
            logAt(ZUTLoggerLevelWarning, 1010,
                  "AppDelegateProxy cannot find interceptor with ID %@. Removing the interceptor.", id);
            // Only this very entry: a new interceptor at a reused address keeps its place.
            state().interceptors.removeObjectForKey(id, value);
            continue;
        }
        if (objc::respondsToSelector(interceptor, selector)) callback(interceptor);
    }
}

// --- methods ---

Imp ZUTAppDelegateSwizzler::implementationOfMethodSelector(Selector selector, const Class* fromClass) {
    return fromClass ? fromClass->runtime().methodImplementation(fromClass, selector) : nullptr;
}

bool ZUTAppDelegateSwizzler::addInstanceMethodWithSelector(Selector selector, Class* fromClass, Class* toClass) {
    return addInstanceMethodWithDestinationSelector(selector, selector, fromClass, toClass);
}

bool ZUTAppDelegateSwizzler::addInstanceMethodWithDestinationSelector(Selector destination, Selector source,
                                                                      Class* fromClass, Class* toClass) {
    Imp imp = implementationOfMethodSelector(source, fromClass);
    if (!imp || !toClass) return false;
    if (!toClass->runtime().addMethod(toClass, destination, imp)) {
        logAt(ZUTLoggerLevelWarning, 1009, "Cannot copy method to destination selector %@ as it already exists",
              destination.name());
        return false;
    }
    return true;
}

Class* ZUTAppDelegateSwizzler::runtimeClass() {
    static Class* cls = [] {
        auto& rt = objc::Runtime::shared();
        if (Class* existing = rt.lookUpClass("ZUTAppDelegateSwizzler")) return existing;
        return objc::ClassBuilder(rt, "ZUTAppDelegateSwizzler", rt.rootClass())
            .method(sel(kOpenURLOptions), objc::makeImp(&openURLOptions))
            .method(sel(kOpenURLSourceApplication), objc::makeImp(&openURLSourceApplication))
            .method(sel(kContinueUserActivity), objc::makeImp(&continueUserActivity))
            .method(sel(kHandleBackgroundSession), objc::makeImp(&handleBackgroundSession))
            .method(sel("fakeDescription"), objc::makeImp(&fakeDescription))
            .registerClass();
    }();
    return cls;
}

// --- proxying ---

ObjectHandle ZUTAppDelegateSwizzler::proxiedDelegate() {
    platform::dispatch::MutexLock lock(state().mutex);
    return state().proxied;
}

void ZUTAppDelegateSwizzler::proxyOriginalDelegate() {
    {
        platform::dispatch::MutexLock lock(state().mutex);
        if (state().proxyTried) return;
        state().proxyTried = true;
    }
    auto app = sharedApplication();
    proxyAppDelegate(app ? app->delegate() : nullptr);
}

void ZUTAppDelegateSwizzler::proxyAppDelegate(const ObjectHandle& delegate) {
    std::string alternative = correctAlternativeWhenAppDelegateProxyNotCreated();
    if (!isAppDelegateProxyEnabled()) {
        logAt(ZUTLoggerLevelNotice, 1011, "App Delegate Proxy is disabled. %@", alternative);
        return;
    }
    if (!delegate) {
        logAt(ZUTLoggerLevelError, 1012, "Cannot create App Delegate Proxy because App Delegate instance is nil. %@",
              alternative);
        return;
    }
    try {
        createSubclassWithObject(delegate);
    } catch (const std::exception&) {
        logAt(ZUTLoggerLevelError, 1013, "Cannot create App Delegate Proxy. %@", alternative);
    }
}

void ZUTAppDelegateSwizzler::createSubclassWithObject(const ObjectHandle& delegate) {
    if (!delegate) return;
    Class* base = delegate->getClass();
    auto& rt = base->runtime();
    char millis[64];
    std::snprintf(millis, sizeof millis, "%0.0f", platform::Date::now().timeIntervalSince1970() * 1000);
    std::string name = "ZUT_" + base->name() + "-" + millis;

    if (Class* existing = rt.lookUpClass(name)) {
        logAt(ZUTLoggerLevelError, 1005,
              "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %@, "
              "subclass: %@",
              base->name(), existing->name());
        return;
    }
    Class* subclass = rt.allocateClassPair(base, name);
    if (!subclass) {
        logAt(ZUTLoggerLevelError, 1006,
              "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %@, "
              "subclass: Nil",
              base->name());
        return;
    }

    Class* source = runtimeClass();
    struct Override {
        const char* selector;
        const char* key;
        bool onlyWhenImplemented;
    };
    const Override overrides[] = {
        {kOpenURLOptions, kZUTOpenURLOptionsIMPKey, true},
        {kContinueUserActivity, kZUTContinueUserActivityIMPKey, false},
        {kOpenURLSourceApplication, kZUTOpenURLSourceApplicationAnnotationIMPKey, false},
        {kHandleBackgroundSession, kZUTHandleBackgroundSessionIMPKey, false},
    };
    std::vector<std::pair<const char*, Imp>> recorded;
    for (const auto& o : overrides) {
        Selector s = sel(o.selector);
        if (o.onlyWhenImplemented && !objc::respondsToSelector(delegate, s)) continue;
        recorded.emplace_back(o.key, implementationOfMethodSelector(s, base));
        addInstanceMethodWithSelector(s, source, subclass);
    }
    addInstanceMethodWithDestinationSelector(sel("description"), sel("fakeDescription"), source, subclass);

    for (auto& [key, imp] : recorded) delegate->setAssociatedValue(AssociationKey::named(key), std::any(imp));
    delegate->setAssociatedValue(AssociationKey::named(kZUTRealClassKey), std::any(base));

    if (base->instanceSize() != subclass->instanceSize()) {
        logAt(ZUTLoggerLevelError, 1007,
              "Cannot create subclass of App Delegate, because the created subclass is not the same size. %@",
              base->name());
        rt.disposeClassPair(subclass);
        return;
    }
    rt.registerClassPair(subclass);
    if (objc::setClass(delegate.get(), subclass))
        logAt(ZUTLoggerLevelDebug, 1008,
              "Successfully created App Delegate Proxy automatically. To disable the proxy, set the flag %@ "
              "to NO "
              "(Boolean) in the Info.plist",
              correctAppDelegateProxyKey());

    // The application reads once which optional callbacks its delegate has: set it again so it sees the
    // overrides. On the main thread, where the application lives.
    if (auto app = sharedApplication()) {
        if (platform::dispatch::MainLoop::isMainThread())
            resetDelegate(app, delegate);
        else
            platform::dispatch::MainLoop::shared().post([app, delegate] { resetDelegate(app, delegate); });
    }

    {
        platform::dispatch::MutexLock lock(state().mutex);
        state().proxied = delegate;
    }
    ZUTAppDelegateObserver::sharedInstance().observeUIApplication();
}

// --- ZUTAppDelegateObserver ---

ZUTAppDelegateObserver& ZUTAppDelegateObserver::sharedInstance() {
    static auto* observer = new ZUTAppDelegateObserver();
    return *observer;
}

void ZUTAppDelegateObserver::observeUIApplication() {
    auto app = ZUTAppDelegateSwizzler::sharedApplication();
    if (!app) return;
    platform::dispatch::MutexLock lock(mutex_);
    if (isObserving_) return;
    observerID_ = app->addDelegateObserver([](ObjectHandle oldDelegate, ObjectHandle newDelegate) {
        sharedInstance().delegateChanged(oldDelegate, newDelegate);
    });
    application_ = app;
    isObserving_ = true;
}

bool ZUTAppDelegateObserver::isObserving() const {
    platform::dispatch::MutexLock lock(mutex_);
    return isObserving_;
}

void ZUTAppDelegateObserver::delegateChanged(const ObjectHandle& oldDelegate, const ObjectHandle& newDelegate) {
    if (oldDelegate == newDelegate) return;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        if (!oldDelegate || oldDelegate != state().proxied) return;
        // The subclass and the associations stay on the object; only the proxy forgets it (the caller
        // still holds it, so it does not go here, under the lock).
        state().proxied = nullptr;
    }
    stopObserving();
}

void ZUTAppDelegateObserver::stopObserving() {
    std::shared_ptr<platform::uikit::Application> app;
    int id = 0;
    {
        platform::dispatch::MutexLock lock(mutex_);
        if (!isObserving_) return;
        isObserving_ = false;
        app = application_.lock();
        id = observerID_;
        application_.reset();
    }
    if (app) app->removeDelegateObserver(id);
}

}  // namespace zidedova
