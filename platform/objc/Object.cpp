#include "platform/objc/Object.h"

#include <stdexcept>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/objc/Class.h"

namespace platform::objc {

Object::Object(Class* cls) {
    if (!cls) throw std::invalid_argument("an object needs a class");
    cls->instances_.fetch_add(1, std::memory_order_relaxed);
    class_.store(cls, std::memory_order_release);
}

Object::~Object() {
    // Class objects clear this first: their metaclass may already be gone.
    if (Class* cls = class_.load(std::memory_order_acquire)) cls->instances_.fetch_sub(1, std::memory_order_relaxed);
}

Class* Object::setClass(Class* cls) {
    if (!cls) throw std::invalid_argument("an object needs a class");
    cls->instances_.fetch_add(1, std::memory_order_relaxed);
    Class* previous = class_.exchange(cls, std::memory_order_acq_rel);
    if (previous) previous->instances_.fetch_sub(1, std::memory_order_relaxed);
    return previous;
}

Class* setClass(Object* object, Class* cls) {
    if (!object || !cls) return nullptr;
    return object->setClass(cls);
}

void Object::setAssociatedObject(AssociationKey key, std::shared_ptr<Object> value, AssociationPolicy policy) {
    Association old;  // released outside the lock: its destructor may run arbitrary code
    dispatch::MutexLock lock(associationsMutex_);
    auto it = associations_.find(key);
    if (it != associations_.end()) {
        old = std::move(it->second);
        associations_.erase(it);
    }
    if (!value) return;
    Association a;
    if (policy == AssociationPolicy::Assign)
        a.weak = value;
    else
        a.strong = std::move(value);
    associations_.emplace(key, std::move(a));
}

std::shared_ptr<Object> Object::associatedObject(AssociationKey key) const {
    dispatch::MutexLock lock(associationsMutex_);
    auto it = associations_.find(key);
    if (it == associations_.end()) return nullptr;
    return it->second.strong ? it->second.strong : it->second.weak.lock();
}

void Object::setAssociatedValue(AssociationKey key, std::any value) {
    Association old;
    dispatch::MutexLock lock(associationsMutex_);
    auto it = associations_.find(key);
    if (it != associations_.end()) {
        old = std::move(it->second);
        associations_.erase(it);
    }
    if (!value.has_value()) return;
    Association a;
    a.value = std::move(value);
    associations_.emplace(key, std::move(a));
}

std::any Object::associatedValue(AssociationKey key) const {
    dispatch::MutexLock lock(associationsMutex_);
    auto it = associations_.find(key);
    return it == associations_.end() ? std::any() : it->second.value;
}

}  // namespace platform::objc
