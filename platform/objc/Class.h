#pragma once
// Class, metaclass and protocol records of the runtime.
//
// A Class is itself an Object: its class is its metaclass, whose method table holds the class
// methods, so class methods are sent exactly like instance methods (send(cls, sel, ...)). A root
// metaclass inherits from its root class, so classes answer the root's instance methods
// (respondsToSelector: and the like) too.
//
// Classes belong to one Runtime and live as long as it does (a disposed class pair is only
// unlisted, never freed, so a stale Class* never dangles). Name, superclass and metaclass never
// change; method tables, protocols and fields change only through the Runtime, under its lock.
#include <any>
#include <atomic>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/objc/Implementation.h"
#include "platform/objc/Object.h"
#include "platform/objc/Selector.h"

namespace platform::objc {

class Runtime;

// A protocol: a name, and the protocols it inherits. Immutable once registered.
class Protocol {
public:
    const std::string& name() const { return name_; }
    const std::vector<const Protocol*>& inheritedProtocols() const { return inherited_; }
    // True for this protocol and every protocol it inherits, directly or not.
    bool includes(const Protocol* other) const;

private:
    friend class Runtime;
    Protocol(std::string name, std::vector<const Protocol*> inherited)
        : name_(std::move(name)), inherited_(std::move(inherited)) {}
    std::string name_;
    std::vector<const Protocol*> inherited_;
};

// A snapshot of one method: taking it does not pin the class's table.
struct Method {
    Selector name;
    Imp imp;
    Class* owner = nullptr;  // the class whose table holds it
    std::string typeEncoding() const { return imp ? imp->signatureName() : std::string(); }
};

// A declared field, readable from an instance. typeEncoding starting with "@" marks an object field.
struct Ivar {
    std::string name;
    std::string typeEncoding;
    std::function<std::any(Object*)> read;
};

class Class final : public Object {
public:
    const std::string& name() const { return name_; }
    Class* superclass() const { return superclass_; }
    bool isMetaclass() const { return isMeta_; }
    // For a class its metaclass; for a metaclass the class it describes.
    Class* metaclass() const { return isMeta_ ? nullptr : partner_; }
    Class* instanceClass() const { return isMeta_ ? partner_ : const_cast<Class*>(this); }
    Runtime& runtime() const { return *runtime_; }
    size_t instanceSize() const { return instanceSize_; }
    bool isRegistered() const { return registered_.load(std::memory_order_acquire); }
    // Objects currently of exactly this class.
    long liveInstances() const { return instances_.load(std::memory_order_relaxed); }

    // This class or one of its superclasses is `other`.
    bool isSubclassOf(const Class* other) const;

    Class(Runtime& runtime, std::string name, Class* superclass, bool isMeta, size_t instanceSize);
    ~Class() override;

private:
    friend class Runtime;
    friend class Object;

    Runtime* runtime_;
    std::string name_;
    Class* superclass_;
    Class* partner_ = nullptr;
    bool isMeta_;
    size_t instanceSize_;
    std::atomic<bool> registered_{false};
    std::atomic<long> instances_{0};

    // Guarded by the runtime's lock.
    std::unordered_map<Selector, Imp> methods_;
    std::vector<Selector> methodOrder_;
    std::vector<const Protocol*> protocols_;
    std::vector<Ivar> ivars_;
    bool disposed_ = false;
};

}  // namespace platform::objc
