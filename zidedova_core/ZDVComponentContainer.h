#pragma once
// ZDVComponentContainer: one per app. It asks every registrant for its components once, when made
// (the first registrant to offer a protocol wins), makes instances on demand (eager ones at once),
// caches those whose creation block allows it, and tells cached lifecycle maintainers when the app is
// deleted.
//
// Thread-safe: look-ups may come from any thread. The container's lock is never held while a creation
// block runs, so a block may look up other components; when two threads make the same cacheable
// component at once, both get the instance cached first. An instance that does not conform to the
// requested protocol is logged ("I-COR000030") and not returned.
//
// Registrants are registered by explicit calls at start-up (registerAsComponentRegistrant), before
// apps are configured; a container sees the registrants present when it was made.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "zidedova_core/ZDVComponent.h"

namespace zidedova {

class ZODOzi;

// An ordered set of registrant classes (registration order, no duplicates). Thread-safe.
class ZDVRegistrantSet {
public:
    void add(platform::objc::Class* cls);
    std::vector<platform::objc::Class*> classes() const;
    void clear();

private:
    mutable platform::dispatch::Mutex mutex_;
    std::vector<platform::objc::Class*> classes_ GUARDED_BY(mutex_);
};

class ZDVComponentContainer {
public:
    // The process-wide registrant set.
    static ZDVRegistrantSet& registrants();
    // Raises NSInvalidArgumentException for a class that does not conform to "ZDVComponentRegistrant"
    // or does not answer "componentsToRegister".
    static void registerAsComponentRegistrant(platform::objc::Class* cls);
    // A null set logs "I-COR000025" and stores nothing.
    static void registerAsComponentRegistrant(platform::objc::Class* cls, ZDVRegistrantSet* set);

    // Over the process-wide registrants.
    ZDVComponentContainer(std::weak_ptr<ZODOzi> app, bool isDefaultApp);
    ZDVComponentContainer(std::weak_ptr<ZODOzi> app, bool isDefaultApp,
                          const std::vector<platform::objc::Class*>& registrants);
    // Over given blocks, without registrants.
    ZDVComponentContainer(std::weak_ptr<ZODOzi> app, std::map<std::string, ZDVComponentCreationBlock> components);

    std::shared_ptr<ZODOzi> app() const { return app_.lock(); }

    // The cached instance, else a new one from the registered block; nullptr when nobody registered the
    // protocol or the block gave nothing usable.
    platform::ObjectHandle instanceForProtocol(const platform::objc::Protocol* protocol);
    platform::ObjectHandle instantiateInstanceForProtocol(const platform::objc::Protocol* protocol,
                                                          const ZDVComponentCreationBlock& block);
    // Lifecycle maintainers among the cached instances hear "appWillBeDeleted:" first; blocks stay.
    void removeAllCachedInstances();

private:
    void populate(bool isDefaultApp, const std::vector<platform::objc::Class*>& registrants);

    std::weak_ptr<ZODOzi> app_;
    platform::dispatch::Mutex mutex_;
    std::map<std::string, ZDVComponentCreationBlock> components_ GUARDED_BY(mutex_);
    std::map<std::string, platform::ObjectHandle> cachedInstances_ GUARDED_BY(mutex_);
};

// Typed look-up over a container.
struct ZDVComponentType {
    static platform::ObjectHandle instanceForProtocol(const platform::objc::Protocol* protocol,
                                                      ZDVComponentContainer& container) {
        return container.instanceForProtocol(protocol);
    }
};

}  // namespace zidedova
