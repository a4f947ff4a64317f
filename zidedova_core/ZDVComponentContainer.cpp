#include "zidedova_core/ZDVComponentContainer.h"

#include <algorithm>

#include "platform/dispatch/ThreadChecks.h"
#include "zidedova_core/ZDVException.h"
#include "zidedova_core/ZDVLogger.h"
#include "zidedova_core/ZODOzi.h"

namespace zidedova {

using platform::objc::Class;
using platform::objc::Protocol;
using platform::objc::Runtime;
using platform::objc::sel;

const Protocol* protocolNamed(std::string_view name) {
    auto& runtime = Runtime::shared();
    if (const Protocol* p = runtime.lookUpProtocol(name)) return p;
    if (const Protocol* p = runtime.registerProtocol(name)) return p;
    return runtime.lookUpProtocol(name);  // another thread registered it meanwhile
}

std::shared_ptr<ZDVDependency> ZDVDependency::dependencyWithProtocol(const Protocol* protocol, bool isRequired) {
    return std::make_shared<ZDVDependency>(protocol, isRequired);
}

std::shared_ptr<ZDVComponent> ZDVComponent::componentWithProtocol(const Protocol* protocol,
                                                                  ZDVComponentCreationBlock creationBlock) {
    return componentWithProtocol(protocol, ZDVInstantiationTiming::Lazy, {}, std::move(creationBlock));
}

std::shared_ptr<ZDVComponent>
ZDVComponent::componentWithProtocol(const Protocol* protocol, ZDVInstantiationTiming timing,
                                    std::vector<std::shared_ptr<ZDVDependency>> dependencies,
                                    ZDVComponentCreationBlock creationBlock) {
    return std::make_shared<ZDVComponent>(protocol, timing, std::move(dependencies), std::move(creationBlock));
}

void ZDVRegistrantSet::add(Class* cls) {
    platform::dispatch::MutexLock lock(mutex_);
    if (std::find(classes_.begin(), classes_.end(), cls) == classes_.end()) classes_.push_back(cls);
}

std::vector<Class*> ZDVRegistrantSet::classes() const {
    platform::dispatch::MutexLock lock(mutex_);
    return classes_;
}

void ZDVRegistrantSet::clear() {
    platform::dispatch::MutexLock lock(mutex_);
    classes_.clear();
}

ZDVRegistrantSet& ZDVComponentContainer::registrants() {
    static ZDVRegistrantSet* set = new ZDVRegistrantSet();
    return *set;
}

void ZDVComponentContainer::registerAsComponentRegistrant(Class* cls) {
    registerAsComponentRegistrant(cls, &registrants());
}

void ZDVComponentContainer::registerAsComponentRegistrant(Class* cls, ZDVRegistrantSet* set) {
    if (!set) {
        ZDVLoggerLogWarning(kZDVLoggerService, "I-COR000025",
                            "Attempted to store registered components in an empty set.");
        return;
    }
    bool conforms =
        cls && cls->runtime().conformsToProtocol(cls, protocolNamed(kZDVComponentRegistrantProtocol)) &&
        platform::objc::respondsToSelector(static_cast<platform::objc::Object*>(cls), sel("componentsToRegister"));
    if (!conforms) {
        throw Exception(kNSInvalidArgumentException,
                        ZUTFormat("Class %@ attempted to register components, but it does not conform to "
                                  "`ZDVComponentRegistrant` or provide a `componentsToRegister:` method.",
                                  {cls ? cls->name() : std::string("(null)")}));
    }
    set->add(cls);
}

ZDVComponentContainer::ZDVComponentContainer(std::weak_ptr<ZODOzi> app, bool isDefaultApp)
    : ZDVComponentContainer(std::move(app), isDefaultApp, registrants().classes()) {}

ZDVComponentContainer::ZDVComponentContainer(std::weak_ptr<ZODOzi> app, bool isDefaultApp,
                                             const std::vector<Class*>& registrantClasses)
    : app_(std::move(app)) {
    populate(isDefaultApp, registrantClasses);
}

ZDVComponentContainer::ZDVComponentContainer(std::weak_ptr<ZODOzi> app,
                                             std::map<std::string, ZDVComponentCreationBlock> components)
    : app_(std::move(app)), components_(std::move(components)) {}

void ZDVComponentContainer::populate(bool isDefaultApp, const std::vector<Class*>& registrantClasses) {
    for (Class* cls : registrantClasses) {
        auto list = platform::objc::send<ZDVComponentList>(static_cast<platform::objc::Object*>(cls),
                                                           sel("componentsToRegister"));
        for (const auto& component : list) {
            if (!component || !component->protocol()) continue;
            const std::string& key = component->protocol()->name();
            {
                platform::dispatch::MutexLock lock(mutex_);
                if (components_.count(key)) {
                    ZDVLoggerLogError(kZDVLoggerService, "I-COR000029",
                                      "Attempted to register protocol %@, but it already has an implementation.", key);
                    continue;
                }
                components_[key] = component->creationBlock();
            }
            auto timing = component->instantiationTiming();
            if (timing == ZDVInstantiationTiming::AlwaysEager ||
                (timing == ZDVInstantiationTiming::EagerInDefaultApp && isDefaultApp))
                instantiateInstanceForProtocol(component->protocol(), component->creationBlock());
        }
    }
}

platform::ObjectHandle ZDVComponentContainer::instantiateInstanceForProtocol(const Protocol* protocol,
                                                                             const ZDVComponentCreationBlock& block) {
    if (!block || !protocol) return nullptr;
    bool cacheable = false;
    platform::ObjectHandle instance = block(*this, &cacheable);  // never under the lock
    if (!instance) return nullptr;
    Class* cls = instance->getClass();
    if (!cls->runtime().conformsToProtocol(cls, protocol)) {
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000030",
                          "An instance conforming to %@ was requested, but the instance provided does not conform "
                          "to the protocol",
                          protocol->name());
        return nullptr;
    }
    if (cacheable) {
        platform::dispatch::MutexLock lock(mutex_);
        auto [it, inserted] = cachedInstances_.emplace(protocol->name(), instance);
        return it->second;  // a racing maker's instance wins if it was cached first
    }
    return instance;
}

platform::ObjectHandle ZDVComponentContainer::instanceForProtocol(const Protocol* protocol) {
    if (!protocol) return nullptr;
    ZDVComponentCreationBlock block;
    {
        platform::dispatch::MutexLock lock(mutex_);
        if (auto it = cachedInstances_.find(protocol->name()); it != cachedInstances_.end()) return it->second;
        auto it = components_.find(protocol->name());
        if (it == components_.end()) return nullptr;
        block = it->second;
    }
    return instantiateInstanceForProtocol(protocol, block);
}

void ZDVComponentContainer::removeAllCachedInstances() {
    std::map<std::string, platform::ObjectHandle> cached;
    {
        platform::dispatch::MutexLock lock(mutex_);
        cached.swap(cachedInstances_);
    }
    const Protocol* maintainer = protocolNamed(kZDVComponentLifecycleMaintainerProtocol);
    auto app = app_.lock();
    for (auto& [name, instance] : cached) {
        Class* cls = instance->getClass();
        if (cls->runtime().conformsToProtocol(cls, maintainer) &&
            platform::objc::respondsToSelector(instance, sel("appWillBeDeleted:")))
            platform::objc::send<void, std::shared_ptr<ZODOzi>>(instance, sel("appWillBeDeleted:"), app);
    }
}

}  // namespace zidedova
