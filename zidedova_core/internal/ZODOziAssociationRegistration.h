#pragma once
// One object per (host, key), made by a creation block on first request and kept on the host (as an
// associated value) for the host's life. A creation block that asks for the same host and key again
// raises "Reentering registeredObjectWithHost:key:creationBlock: not allowed"; a block that throws
// leaves no entry behind, so a later request makes the object again. Thread-safe (one recursive lock).
#include <functional>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/objc/Runtime.h"

namespace zidedova {

class ZODOziAssociationRegistration {
public:
    static platform::ObjectHandle
    registeredObjectWithHost(const platform::ObjectHandle& host, const std::string& key,
                             const std::function<platform::ObjectHandle()>& creationBlock);
};

}  // namespace zidedova
