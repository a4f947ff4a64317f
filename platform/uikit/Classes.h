#pragma once
// The UI runtime classes, registered on Runtime::shared() by an explicit call at boot.
//
// registerClasses() is idempotent and thread-safe; the accessors below call it, so a native
// constructor can always find its class. Registered (superclass first):
//   UIResponder : NSObject            (class "alloc", instance "init")
//   UIApplication : UIResponder       (see Application.h for its runtime methods)
//   UIView : UIResponder, UIWindow : UIView
//   UIViewController : UIResponder, UINavigationController, UIAlertController : UIViewController
// Protocol "UIApplicationDelegate" is registered too (an app delegate class declares it).
#include "platform/objc/Runtime.h"

namespace platform::uikit {

void registerClasses();

objc::Class* responderClass();
objc::Class* applicationClass();
objc::Class* viewClass();
objc::Class* windowClass();
objc::Class* viewControllerClass();
objc::Class* navigationControllerClass();
objc::Class* alertControllerClass();
const objc::Protocol* applicationDelegateProtocol();

// Registers a runtime class `name` under `superclass` for a native subclass (e.g. the app's
// "ViewController" under UIViewController), or answers the one already registered under that name.
objc::Class* subclass(const char* name, objc::Class* superclass);

}  // namespace platform::uikit
