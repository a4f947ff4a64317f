#pragma once
// Object: the root of every runtime object. An object is held by std::shared_ptr and knows its
// runtime class, which may change while the object lives (setClass, e.g. to switch a live delegate
// to a runtime subclass); reading and changing the class are atomic. C++ subclasses carry native
// state (class AppDelegate : public Object) while the runtime class supplies the methods.
//
// Associated values live in the object and are released with it. Weak<T> reads null once the
// object is gone.
#include <any>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/objc/Selector.h"

namespace platform::objc {

class Class;

// The key of an associated value: any stable address, or an interned name.
class AssociationKey {
public:
    AssociationKey(const void* address) : id_(address) {}
    AssociationKey(Selector selector) : id_(selector.id()) {}
    static AssociationKey named(std::string_view name) { return AssociationKey(Selector::named(name)); }
    const void* id() const { return id_; }
    friend bool operator<(AssociationKey a, AssociationKey b) { return std::less<const void*>()(a.id_, b.id_); }

private:
    const void* id_;
};

enum class AssociationPolicy {
    Assign,  // held weakly: reads null once the value object is gone (never dangles)
    RetainNonatomic,
    Retain,
    CopyNonatomic,  // objects are shared handles here: copy policies retain
    Copy,
};

class Object : public std::enable_shared_from_this<Object> {
public:
    // cls must not be null. Create with std::make_shared<T>(cls, ...).
    explicit Object(Class* cls);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Class* getClass() const { return class_.load(std::memory_order_acquire); }
    // Switches the runtime class; answers the previous one. cls must not be null.
    Class* setClass(Class* cls);

    // Associations. Setting an empty value (null handle / empty std::any) removes the key.
    void setAssociatedObject(AssociationKey key, std::shared_ptr<Object> value, AssociationPolicy policy);
    std::shared_ptr<Object> associatedObject(AssociationKey key) const;
    // Any other value (a boxed Imp, a Class*, a dictionary...), retained.
    void setAssociatedValue(AssociationKey key, std::any value);
    std::any associatedValue(AssociationKey key) const;
    template <class T>
    std::optional<T> associatedValueAs(AssociationKey key) const {
        std::any v = associatedValue(key);
        if (const T* p = std::any_cast<T>(&v)) return *p;
        return std::nullopt;
    }

protected:
    struct RootTag {};
    explicit Object(RootTag) {}  // a class object whose metaclass is set afterwards

private:
    friend class Runtime;
    friend class Class;
    std::atomic<Class*> class_{nullptr};

    struct Association {
        std::shared_ptr<Object> strong;
        std::weak_ptr<Object> weak;
        std::any value;
    };
    mutable dispatch::Mutex associationsMutex_;
    std::map<AssociationKey, Association> associations_ GUARDED_BY(associationsMutex_);
};

using ObjectHandle = std::shared_ptr<Object>;

// The class of an object, or null for a null object.
inline Class* classOf(const Object* object) { return object ? object->getClass() : nullptr; }
// object_setClass: answers the previous class (null for a null object or class).
Class* setClass(Object* object, Class* cls);

// The native C++ part of an object, or null when it is of another C++ type.
template <class T>
T* native(Object* object) {
    return dynamic_cast<T*>(object);
}

// A weak reference: lock() answers null once the object has been destroyed.
template <class T = Object>
class Weak {
public:
    Weak() = default;
    template <class U>
    Weak(const std::shared_ptr<U>& object) : ref_(object) {}
    Weak& operator=(const std::shared_ptr<T>& object) {
        ref_ = object;
        return *this;
    }
    std::shared_ptr<T> lock() const { return ref_.lock(); }
    bool expired() const { return ref_.expired(); }
    // Identity without reviving: the same object as `other` (false once either is gone).
    bool refersTo(const std::shared_ptr<T>& other) const {
        auto mine = ref_.lock();
        return mine && mine == other;
    }

private:
    std::weak_ptr<T> ref_;
};

}  // namespace platform::objc
