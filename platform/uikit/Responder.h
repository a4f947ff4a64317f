#pragma once
// Responder: the native base of every runtime-visible UI object (runtime class "UIResponder").
// An application delegate is a C++ class deriving from Responder whose runtime class is a subclass
// of "UIResponder" registered by the app; the platform creates it by class name:
//     alloc (class method, ObjectHandle())  ->  init (instance method, ObjectHandle())
// UIResponder's own "alloc" makes a plain Responder of the receiving class and its "init" answers the
// object itself, so a class that keeps native state overrides "alloc" to make its C++ type.
#include <memory>

#include "platform/objc/Runtime.h"

namespace platform::uikit {

using objc::ObjectHandle;

class Responder : public objc::Object {
public:
    // cls must be "UIResponder" or a subclass of it (any registered class is accepted).
    explicit Responder(objc::Class* cls) : objc::Object(cls) {}
    // This object as a handle (it is always owned by a shared_ptr).
    ObjectHandle handle() { return shared_from_this(); }
};

}  // namespace platform::uikit
