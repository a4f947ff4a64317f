#pragma once
// The object runtime: classes found by name, method tables, method add/replace/exchange, runtime
// subclassing of live objects, protocols, and typed message sends. This is the area's public door.
//
// Promises:
// - Classes exist only once registered by an explicit call (ClassBuilder / allocateClassPair +
//   registerClassPair); lookUpClass answers null for any other name. classList() keeps
//   registration order.
// - One lock (a SharedMutex per Runtime) guards every table. It is never held while an
//   implementation runs: a send copies the Imp under the lock and calls it afterwards, so
//   implementations may freely send, register and exchange.
// - Everything here may be called from any thread.
// - A Runtime owns its classes; objects of its classes must die before it does. Runtime::shared()
//   is never destroyed; tests may make their own Runtime for a clean class list.
//
// Sending:
//     bool handled = send<bool>(delegate, sel("application:openURL:options:"), app, url, options);
// The argument types as passed (decayed) and R must equal the implementation's signature exactly, or
// SignatureMismatch is thrown; pass explicit template arguments to convert (send<bool, Selector>).
// Objects travel as ObjectHandle (std::shared_ptr<Object>) or Object*: a std::shared_ptr<AppDelegate>
// is another type, so convert it (ObjectHandle(delegate)) or name the type explicitly.
// A null receiver answers R{}; a selector no class in the chain implements throws
// UnrecognizedSelector.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/objc/Class.h"
#include "platform/objc/Implementation.h"
#include "platform/objc/Object.h"
#include "platform/objc/Selector.h"

namespace platform::objc {

// "-[Name sel]: unrecognized selector sent to instance 0x..." ("+[...] ... to class" for classes).
class UnrecognizedSelector : public std::logic_error {
public:
    UnrecognizedSelector(const Object* receiver, Selector cmd);
    Selector selector() const { return selector_; }

private:
    Selector selector_;
};

class ClassBuilder;

class Runtime {
public:
    // The name of the root class every Runtime starts with. It implements respondsToSelector:,
    // class, isKindOfClass:, isMemberOfClass:, conformsToProtocol:, description, and the class
    // methods instancesRespondToSelector: and conformsToProtocol:.
    static constexpr const char* kRootClassName = "NSObject";

    Runtime();
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // The process's runtime (made on first use, never destroyed). Tests may make their own.
    static Runtime& shared();

    Class* rootClass() const { return root_; }

    // --- classes ---
    Class* lookUpClass(std::string_view name) const;  // null when absent
    std::vector<Class*> classList() const;            // registered classes in registration order
    // A new class (and metaclass), not yet registered. Null when the name is taken (registered or
    // pending) or empty. superclass null makes a new root class; otherwise it must belong to this
    // runtime. instanceSize 0 inherits the superclass's.
    Class* allocateClassPair(Class* superclass, std::string_view name, size_t instanceSize = 0);
    // allocateClassPair + registerClassPair, for a class whose methods are added afterwards.
    Class* registerClass(std::string_view name, Class* superclass) {
        Class* cls = allocateClassPair(superclass, name);
        registerClassPair(cls);
        return cls;
    }
    void registerClassPair(Class* cls);
    // Unlists a class. Refused (false) while it has live instances or registered subclasses.
    bool disposeClassPair(Class* cls);

    // --- protocols ---
    // Null when the name is already taken.
    const Protocol* registerProtocol(std::string_view name, std::vector<const Protocol*> inherited = {});
    const Protocol* lookUpProtocol(std::string_view name) const;
    bool addProtocol(Class* cls, const Protocol* protocol);  // false when already declared
    // The class or a superclass declares the protocol or one inheriting it.
    bool conformsToProtocol(const Class* cls, const Protocol* protocol) const;
    std::vector<const Protocol*> protocolList(const Class* cls) const;  // declared by cls itself

    // --- methods (pass cls->metaclass() for class methods) ---
    // Adds to the class's own table. False when the class itself has the selector already (an
    // inherited method does not count: the new one overrides it).
    bool addMethod(Class* cls, Selector name, Imp imp);
    // Sets the class's own implementation; answers the one it had (null when it had none).
    Imp replaceMethod(Class* cls, Selector name, Imp imp);
    // Swaps two implementations as seen from cls. A method cls only inherits is first copied into
    // cls, so the superclass and sibling classes keep theirs. False when either is not found.
    bool exchangeImplementations(Class* cls, Selector a, Selector b);
    // Found through the superclass chain.
    std::optional<Method> instanceMethod(const Class* cls, Selector name) const;
    std::optional<Method> classMethod(const Class* cls, Selector name) const;
    Imp methodImplementation(const Class* cls, Selector name) const;  // null when not found
    std::vector<Method> methodList(const Class* cls) const;           // cls's own, in insertion order
    bool instancesRespondToSelector(const Class* cls, Selector name) const;

    // --- fields ---
    void addIvar(Class* cls, Ivar ivar);
    std::vector<Ivar> ivarList(const Class* cls) const;  // cls's own, in declaration order

private:
    friend class Class;
    Class* newPair(Class* superclass, std::string_view name, size_t instanceSize) REQUIRES(mutex_);
    const Imp* findLocked(const Class* cls, Selector name, const Class** owner) const REQUIRES_SHARED(mutex_);
    void installRootMethods();

    mutable dispatch::SharedMutex mutex_;
    std::vector<std::shared_ptr<Class>> storage_ GUARDED_BY(mutex_);  // every class and metaclass ever made
    std::unordered_map<std::string, Class*> byName_ GUARDED_BY(mutex_);
    std::unordered_map<std::string, Class*> pending_ GUARDED_BY(mutex_);  // allocated, not registered yet
    std::vector<Class*> order_ GUARDED_BY(mutex_);
    std::unordered_map<std::string, std::unique_ptr<Protocol>> protocols_ GUARDED_BY(mutex_);
    Class* root_ = nullptr;  // set once by the constructor
};

// Builds and registers a class by explicit call:
//     Class* cls = ClassBuilder(runtime, "AppDelegate", runtime.rootClass())
//                      .method(sel("applicationDidBecomeActive:"), makeImp(...))
//                      .protocol(appDelegateProtocol)
//                      .registerClass();
// registerClass() answers null (and registers nothing) when the name is taken.
class ClassBuilder {
public:
    ClassBuilder(Runtime& runtime, std::string_view name, Class* superclass, size_t instanceSize = 0);
    ClassBuilder(ClassBuilder&&) noexcept;
    ~ClassBuilder();  // disposes the pair if never registered

    bool valid() const { return cls_ != nullptr; }
    Class* cls() const { return cls_; }
    ClassBuilder& method(Selector name, Imp imp);
    ClassBuilder& classMethod(Selector name, Imp imp);
    ClassBuilder& protocol(const Protocol* protocol);
    ClassBuilder& ivar(Ivar ivar);
    Class* registerClass();

private:
    Runtime* runtime_;
    Class* cls_;
    bool registered_ = false;
};

// --- free functions over the shared runtime / a class's own runtime ---

inline Class* lookUpClass(std::string_view name) { return Runtime::shared().lookUpClass(name); }
inline Selector selectorFromString(std::string_view name) { return Selector::named(name); }
// The implementation a send of `name` to an instance of cls would run; null when none.
Imp lookUpImp(const Class* cls, Selector name);
bool isSubclassOf(const Class* cls, const Class* superclass);
bool isKindOfClass(const Object* object, const Class* cls);
// respondsToSelector: sent to the object, so a class that overrides it is honoured. A null object
// answers false; an object whose root does not implement respondsToSelector: is answered from its
// method table.
bool respondsToSelector(Object* object, Selector name);
inline bool respondsToSelector(const std::shared_ptr<Object>& object, Selector name) {
    return respondsToSelector(object.get(), name);
}

// --- sending ---

template <class R = void, class... Args>
R send(Object* receiver, Selector cmd, Args... args) {
    if (!receiver) return zeroValue<R>();
    Imp imp = lookUpImp(receiver->getClass(), cmd);
    if (!imp) throw UnrecognizedSelector(receiver, cmd);
    return imp->call<R, Args...>(receiver, cmd, std::move(args)...);
}

// Keeps the receiver alive for the duration of the call.
template <class R = void, class... Args, class T>
R send(const std::shared_ptr<T>& receiver, Selector cmd, Args... args) {
    std::shared_ptr<T> keep = receiver;
    return send<R, Args...>(static_cast<Object*>(keep.get()), cmd, std::move(args)...);
}

// Sends to the implementation of `cls`'s superclass (a runtime subclass calling "super").
template <class R = void, class... Args>
R sendSuper(Object* receiver, const Class* cls, Selector cmd, Args... args) {
    if (!receiver) return zeroValue<R>();
    Imp imp = cls ? lookUpImp(cls->superclass(), cmd) : nullptr;
    if (!imp) throw UnrecognizedSelector(receiver, cmd);
    return imp->call<R, Args...>(receiver, cmd, std::move(args)...);
}

}  // namespace platform::objc
