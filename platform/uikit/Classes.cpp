#include "platform/uikit/Classes.h"

#include <mutex>

#include "platform/uikit/Application.h"
#include "platform/uikit/Responder.h"

namespace platform::uikit {

using namespace platform::objc;

namespace {

struct Registered {
    Class* responder = nullptr;
    Class* application = nullptr;
    Class* view = nullptr;
    Class* window = nullptr;
    Class* viewController = nullptr;
    Class* navigationController = nullptr;
    Class* alertController = nullptr;
    const Protocol* appDelegateProtocol = nullptr;
};

Registered& registered() {
    static Registered r;
    return r;
}

Class* ensure(Runtime& rt, const char* name, Class* super) {
    if (Class* existing = rt.lookUpClass(name)) return existing;
    return rt.registerClass(name, super);
}

Application* nativeApp(Object* self) {
    auto* app = native<Application>(self);
    if (!app) throw std::logic_error("UIApplication method sent to an object that is not the application");
    return app;
}

void registerAll() {
    Runtime& rt = Runtime::shared();
    Registered& r = registered();

    r.responder = ensure(rt, "UIResponder", rt.rootClass());
    // A plain Responder of the receiving class; classes with native state override "alloc".
    rt.addMethod(r.responder->metaclass(), sel("alloc"), makeImp([](Object* self, Selector) -> ObjectHandle {
                     return std::make_shared<Responder>(static_cast<Class*>(self));
                 }));
    rt.addMethod(r.responder, sel("init"),
                 makeImp([](Object* self, Selector) -> ObjectHandle { return self->shared_from_this(); }));

    r.application = ensure(rt, "UIApplication", r.responder);
    rt.addMethod(r.application->metaclass(), sel("sharedApplication"),
                 makeImp([](Object*, Selector) -> ObjectHandle { return Application::shared(); }));
    rt.addMethod(r.application, sel("delegate"),
                 makeImp([](Object* self, Selector) -> ObjectHandle { return nativeApp(self)->delegate(); }));
    rt.addMethod(r.application, sel("setDelegate:"), makeImp([](Object* self, Selector, ObjectHandle delegate) {
                     nativeApp(self)->platformSetDelegate(std::move(delegate));
                 }));
    rt.addMethod(r.application, sel("applicationIconBadgeNumber"), makeImp([](Object* self, Selector) -> int64_t {
                     return nativeApp(self)->applicationIconBadgeNumber();
                 }));
    rt.addMethod(r.application, sel("setApplicationIconBadgeNumber:"),
                 makeImp([](Object* self, Selector, int64_t value) { nativeApp(self)->platformSetBadge(value); }));
    rt.addMethod(r.application, sel("applicationState"), makeImp([](Object* self, Selector) -> int64_t {
                     return int64_t(nativeApp(self)->applicationState());
                 }));

    r.view = ensure(rt, "UIView", r.responder);
    r.window = ensure(rt, "UIWindow", r.view);
    r.viewController = ensure(rt, "UIViewController", r.responder);
    r.navigationController = ensure(rt, "UINavigationController", r.viewController);
    r.alertController = ensure(rt, "UIAlertController", r.viewController);

    r.appDelegateProtocol = rt.lookUpProtocol("UIApplicationDelegate");
    if (!r.appDelegateProtocol) r.appDelegateProtocol = rt.registerProtocol("UIApplicationDelegate");
}

}  // namespace

void registerClasses() {
    static std::once_flag once;
    std::call_once(once, registerAll);
}

Class* responderClass() {
    registerClasses();
    return registered().responder;
}
Class* applicationClass() {
    registerClasses();
    return registered().application;
}
Class* viewClass() {
    registerClasses();
    return registered().view;
}
Class* windowClass() {
    registerClasses();
    return registered().window;
}
Class* viewControllerClass() {
    registerClasses();
    return registered().viewController;
}
Class* navigationControllerClass() {
    registerClasses();
    return registered().navigationController;
}
Class* alertControllerClass() {
    registerClasses();
    return registered().alertController;
}
const Protocol* applicationDelegateProtocol() {
    registerClasses();
    return registered().appDelegateProtocol;
}

Class* subclass(const char* name, Class* superclass) {
    registerClasses();
    Runtime& rt = Runtime::shared();
    if (Class* existing = rt.lookUpClass(name)) return existing;
    if (Class* made = rt.registerClass(name, superclass)) return made;
    return rt.lookUpClass(name);  // lost a race with another registration
}

}  // namespace platform::uikit
