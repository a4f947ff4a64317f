#include "platform/objc/Runtime.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace platform::objc {
namespace {

std::string pointerText(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::string unrecognizedText(const Object* receiver, Selector cmd) {
    const Class* cls = receiver->getClass();
    bool isClass = cls && cls->isMetaclass();
    std::string name = cls ? cls->name() : "?";
    return std::string(isClass ? "+[" : "-[") + name + " " + cmd.name() + "]: unrecognized selector sent to " +
           (isClass ? "class " : "instance ") + pointerText(receiver);
}

}  // namespace

UnrecognizedSelector::UnrecognizedSelector(const Object* receiver, Selector cmd)
    : std::logic_error(unrecognizedText(receiver, cmd)), selector_(cmd) {}

Runtime::Runtime() {
    root_ = newPair(nullptr, kRootClassName, 0);
    registerClassPair(root_);
    installRootMethods();
}

Runtime::~Runtime() = default;

Runtime& Runtime::shared() {
    static auto* runtime = new Runtime;  // never destroyed: objects may outlive static destruction
    return *runtime;
}

void Runtime::installRootMethods() {
    Class* root = root_;
    Class* meta = root_->metaclass();
    addMethod(root, sel("respondsToSelector:"), makeImp([](Object* self, Selector, Selector name) {
                  return lookUpImp(self->getClass(), name) != nullptr;
              }));
    addMethod(root, sel("class"), makeImp([](Object* self, Selector) { return self->getClass(); }));
    addMethod(root, sel("isKindOfClass:"),
              makeImp([](Object* self, Selector, Class* cls) { return isKindOfClass(self, cls); }));
    addMethod(root, sel("isMemberOfClass:"),
              makeImp([](Object* self, Selector, Class* cls) { return cls && self->getClass() == cls; }));
    addMethod(root, sel("conformsToProtocol:"), makeImp([](Object* self, Selector, const Protocol* protocol) {
                  const Class* cls = self->getClass();
                  // A class object answers for the class it describes.
                  return cls->runtime().conformsToProtocol(cls->instanceClass(), protocol);
              }));
    addMethod(root, sel("description"), makeImp([](Object* self, Selector) {
                  const Class* cls = self->getClass();
                  if (cls->isMetaclass()) return cls->name();
                  return "<" + cls->name() + ": " + pointerText(self) + ">";
              }));
    addMethod(meta, sel("class"), makeImp([](Object* self, Selector) { return static_cast<Class*>(self); }));
    addMethod(meta, sel("instancesRespondToSelector:"), makeImp([](Object* self, Selector, Selector name) {
                  auto* cls = static_cast<Class*>(self);
                  return cls->runtime().instancesRespondToSelector(cls, name);
              }));
}

// ----- classes -----

Class* Runtime::newPair(Class* superclass, std::string_view name, size_t instanceSize) {
    if (instanceSize == 0) instanceSize = superclass ? superclass->instanceSize() : sizeof(Object);
    Class* superMeta = superclass ? superclass->metaclass() : nullptr;
    auto cls = std::make_shared<Class>(*this, std::string(name), superclass, false, instanceSize);
    auto meta = std::make_shared<Class>(*this, std::string(name), nullptr, true, sizeof(Class));
    // A root metaclass inherits from its root class, so classes answer the root's instance methods.
    meta->superclass_ = superMeta ? superMeta : cls.get();
    cls->partner_ = meta.get();
    meta->partner_ = cls.get();
    const Class* root = cls.get();
    while (root->superclass_) root = root->superclass_;
    Class* rootMeta = root->partner_;
    cls->class_.store(meta.get(), std::memory_order_release);
    meta->class_.store(rootMeta, std::memory_order_release);
    Class* out = cls.get();
    storage_.push_back(std::move(cls));
    storage_.push_back(std::move(meta));
    pending_.emplace(std::string(name), out);
    return out;
}

Class* Runtime::allocateClassPair(Class* superclass, std::string_view name, size_t instanceSize) {
    if (name.empty()) return nullptr;
    if (superclass && (&superclass->runtime() != this || superclass->isMetaclass())) return nullptr;
    dispatch::WriterMutexLock lock(mutex_);
    if (superclass && superclass->disposed_) return nullptr;
    std::string key(name);
    if (byName_.count(key) || pending_.count(key)) return nullptr;
    return newPair(superclass, name, instanceSize);
}

void Runtime::registerClassPair(Class* cls) {
    if (!cls || cls->isMetaclass()) return;
    dispatch::WriterMutexLock lock(mutex_);
    auto it = pending_.find(cls->name());
    if (it == pending_.end() || it->second != cls) return;  // registered already, or disposed
    pending_.erase(it);
    byName_.emplace(cls->name(), cls);
    order_.push_back(cls);
    cls->registered_.store(true, std::memory_order_release);
}

bool Runtime::disposeClassPair(Class* cls) {
    if (!cls || cls->isMetaclass() || cls == root_) return false;
    dispatch::WriterMutexLock lock(mutex_);
    if (cls->disposed_ || cls->liveInstances() > 0) return false;
    for (auto& other : storage_)
        if (!other->disposed_ && !other->isMetaclass() && other->superclass_ == cls) return false;
    auto erase = [&](std::unordered_map<std::string, Class*>& map) {
        auto it = map.find(cls->name());
        if (it != map.end() && it->second == cls) map.erase(it);
    };
    erase(byName_);
    erase(pending_);
    order_.erase(std::remove(order_.begin(), order_.end(), cls), order_.end());
    cls->disposed_ = true;
    cls->partner_->disposed_ = true;
    cls->registered_.store(false, std::memory_order_release);
    return true;
}

Class* Runtime::lookUpClass(std::string_view name) const {
    dispatch::ReaderMutexLock lock(mutex_);
    auto it = byName_.find(std::string(name));
    return it == byName_.end() ? nullptr : it->second;
}

std::vector<Class*> Runtime::classList() const {
    dispatch::ReaderMutexLock lock(mutex_);
    return order_;
}

// ----- protocols -----

const Protocol* Runtime::registerProtocol(std::string_view name, std::vector<const Protocol*> inherited) {
    if (name.empty()) return nullptr;
    inherited.erase(std::remove(inherited.begin(), inherited.end(), nullptr), inherited.end());
    dispatch::WriterMutexLock lock(mutex_);
    std::string key(name);
    if (protocols_.count(key)) return nullptr;
    auto* p = new Protocol(key, std::move(inherited));
    protocols_.emplace(key, std::unique_ptr<Protocol>(p));
    return p;
}

const Protocol* Runtime::lookUpProtocol(std::string_view name) const {
    dispatch::ReaderMutexLock lock(mutex_);
    auto it = protocols_.find(std::string(name));
    return it == protocols_.end() ? nullptr : it->second.get();
}

bool Runtime::addProtocol(Class* cls, const Protocol* protocol) {
    if (!cls || !protocol) return false;
    dispatch::WriterMutexLock lock(mutex_);
    auto& list = cls->protocols_;
    if (std::find(list.begin(), list.end(), protocol) != list.end()) return false;
    list.push_back(protocol);
    return true;
}

bool Runtime::conformsToProtocol(const Class* cls, const Protocol* protocol) const {
    if (!protocol) return false;
    dispatch::ReaderMutexLock lock(mutex_);
    for (const Class* c = cls; c; c = c->superclass_)
        for (const Protocol* p : c->protocols_)
            if (p->includes(protocol)) return true;
    return false;
}

std::vector<const Protocol*> Runtime::protocolList(const Class* cls) const {
    if (!cls) return {};
    dispatch::ReaderMutexLock lock(mutex_);
    return cls->protocols_;
}

// ----- methods -----

const Imp* Runtime::findLocked(const Class* cls, Selector name, const Class** owner) const {
    for (const Class* c = cls; c; c = c->superclass_) {
        auto it = c->methods_.find(name);
        if (it != c->methods_.end()) {
            if (owner) *owner = c;
            return &it->second;
        }
    }
    return nullptr;
}

bool Runtime::addMethod(Class* cls, Selector name, Imp imp) {
    if (!cls || !name || !imp) return false;
    dispatch::WriterMutexLock lock(mutex_);
    if (!cls->methods_.emplace(name, std::move(imp)).second) return false;
    cls->methodOrder_.push_back(name);
    return true;
}

Imp Runtime::replaceMethod(Class* cls, Selector name, Imp imp) {
    if (!cls || !name || !imp)
        throw std::invalid_argument("replaceMethod needs a class, a selector and an implementation");
    dispatch::WriterMutexLock lock(mutex_);
    auto [it, added] = cls->methods_.try_emplace(name, imp);
    if (added) {
        cls->methodOrder_.push_back(name);
        return nullptr;
    }
    std::swap(it->second, imp);
    return imp;
}

bool Runtime::exchangeImplementations(Class* cls, Selector a, Selector b) {
    if (!cls || !a || !b) return false;
    dispatch::WriterMutexLock lock(mutex_);
    const Imp* impA = findLocked(cls, a, nullptr);
    const Imp* impB = findLocked(cls, b, nullptr);
    if (!impA || !impB) return false;
    if (a == b) return true;
    Imp first = *impA, second = *impB;
    for (Selector s : {a, b})
        if (!cls->methods_.count(s)) cls->methodOrder_.push_back(s);
    cls->methods_[a] = std::move(second);
    cls->methods_[b] = std::move(first);
    return true;
}

std::optional<Method> Runtime::instanceMethod(const Class* cls, Selector name) const {
    if (!cls) return std::nullopt;
    dispatch::ReaderMutexLock lock(mutex_);
    const Class* owner = nullptr;
    const Imp* imp = findLocked(cls, name, &owner);
    if (!imp) return std::nullopt;
    return Method{name, *imp, const_cast<Class*>(owner)};
}

std::optional<Method> Runtime::classMethod(const Class* cls, Selector name) const {
    if (!cls) return std::nullopt;
    return instanceMethod(cls->isMetaclass() ? cls : cls->metaclass(), name);
}

Imp Runtime::methodImplementation(const Class* cls, Selector name) const {
    if (!cls) return nullptr;
    dispatch::ReaderMutexLock lock(mutex_);
    const Imp* imp = findLocked(cls, name, nullptr);
    return imp ? *imp : nullptr;
}

std::vector<Method> Runtime::methodList(const Class* cls) const {
    if (!cls) return {};
    dispatch::ReaderMutexLock lock(mutex_);
    std::vector<Method> out;
    out.reserve(cls->methodOrder_.size());
    for (Selector s : cls->methodOrder_) out.push_back(Method{s, cls->methods_.at(s), const_cast<Class*>(cls)});
    return out;
}

bool Runtime::instancesRespondToSelector(const Class* cls, Selector name) const {
    return methodImplementation(cls, name) != nullptr;
}

// ----- fields and images -----

void Runtime::addIvar(Class* cls, Ivar ivar) {
    if (!cls) return;
    dispatch::WriterMutexLock lock(mutex_);
    cls->ivars_.push_back(std::move(ivar));
}

std::vector<Ivar> Runtime::ivarList(const Class* cls) const {
    if (!cls) return {};
    dispatch::ReaderMutexLock lock(mutex_);
    return cls->ivars_;
}

// ----- builder -----

ClassBuilder::ClassBuilder(Runtime& runtime, std::string_view name, Class* superclass, size_t instanceSize)
    : runtime_(&runtime), cls_(runtime.allocateClassPair(superclass, name, instanceSize)) {}

ClassBuilder::ClassBuilder(ClassBuilder&& other) noexcept
    : runtime_(other.runtime_), cls_(other.cls_), registered_(other.registered_) {
    other.cls_ = nullptr;
}

ClassBuilder::~ClassBuilder() {
    if (cls_ && !registered_) runtime_->disposeClassPair(cls_);
}

ClassBuilder& ClassBuilder::method(Selector name, Imp imp) {
    if (cls_) runtime_->addMethod(cls_, name, std::move(imp));
    return *this;
}

ClassBuilder& ClassBuilder::classMethod(Selector name, Imp imp) {
    if (cls_) runtime_->addMethod(cls_->metaclass(), name, std::move(imp));
    return *this;
}

ClassBuilder& ClassBuilder::protocol(const Protocol* protocol) {
    if (cls_) runtime_->addProtocol(cls_, protocol);
    return *this;
}

ClassBuilder& ClassBuilder::ivar(Ivar ivar) {
    if (cls_) runtime_->addIvar(cls_, std::move(ivar));
    return *this;
}

Class* ClassBuilder::registerClass() {
    if (!cls_) return nullptr;
    runtime_->registerClassPair(cls_);
    registered_ = true;
    return cls_;
}

// ----- free functions -----

Imp lookUpImp(const Class* cls, Selector name) {
    return cls ? cls->runtime().methodImplementation(cls, name) : nullptr;
}

bool isSubclassOf(const Class* cls, const Class* superclass) {
    return cls && superclass && cls->isSubclassOf(superclass);
}

bool isKindOfClass(const Object* object, const Class* cls) { return object && isSubclassOf(object->getClass(), cls); }

bool respondsToSelector(Object* object, Selector name) {
    if (!object) return false;
    static const Selector responds = sel("respondsToSelector:");
    Imp imp = lookUpImp(object->getClass(), responds);
    if (!imp) return lookUpImp(object->getClass(), name) != nullptr;
    return imp->call<bool, Selector>(object, responds, name);
}

}  // namespace platform::objc
