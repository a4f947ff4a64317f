#include "VezEduduzSDK/Source/internal/VezEduduzSelectorHelpers.h"

#include <stdexcept>

namespace vezeduduz {

using platform::objc::Class;
using platform::objc::Imp;
using platform::objc::lookUpImp;
using platform::objc::Protocol;
using platform::objc::Selector;

bool injectSelector(Class* source, Selector newSelector, Class* target, Selector systemSelector) {
    if (!source || !target) throw std::invalid_argument("injectSelector needs a source and a target class");
    auto& rt = target->runtime();
    Imp handler = rt.methodImplementation(source, newSelector);
    if (!handler) throw std::logic_error("injectSelector: the source class has no " + newSelector.name());
    Imp current = rt.methodImplementation(target, systemSelector);
    if (current == handler) return true;
    if (!current) {
        rt.addMethod(target, systemSelector, handler);
        return false;
    }
    // replaceMethod, not addMethod: the class may hold a stale copy from an earlier injection.
    rt.replaceMethod(target, newSelector, handler);
    rt.exchangeImplementations(target, systemSelector, newSelector);
    return true;
}

bool overridesSelector(const Class* cls, Selector selector) {
    if (!cls) return false;
    auto& rt = cls->runtime();
    Imp mine = rt.methodImplementation(cls, selector);
    Imp inherited = cls->superclass() ? rt.methodImplementation(cls->superclass(), selector) : nullptr;
    return mine && mine != inherited;
}

Class* classConformingToProtocolInHierarchy(Class* cls, const Protocol* protocol) {
    if (!cls) return nullptr;
    if (protocol)
        for (const Protocol* declared : cls->runtime().protocolList(cls))
            if (declared->includes(protocol)) return cls;
    if (!cls->superclass()) return nullptr;
    Class* above = classConformingToProtocolInHierarchy(cls->superclass(), protocol);
    return above ? above : cls;
}

std::vector<Class*> subclassesOfClass(const Class* cls) {
    std::vector<Class*> out;
    if (!cls) return out;
    for (Class* candidate : cls->runtime().classList())
        if (candidate->isSubclassOf(cls)) out.push_back(candidate);
    return out;
}

namespace {
Class* properClass(Selector systemSelector, const std::vector<Class*>& subclasses, Class* delegateClass) {
    for (Class* subclass : subclasses)
        if (overridesSelector(subclass, systemSelector)) return subclass;
    return delegateClass;
}
}  // namespace

void injectToProperClass(Selector newSelector, Selector systemSelector, const std::vector<Class*>& subclasses,
                         Class* source, Class* delegateClass) {
    injectSelector(source, newSelector, properClass(systemSelector, subclasses, delegateClass), systemSelector);
}

void injectToProperClassFor(Class* live, Selector newSelector, Selector systemSelector,
                            const std::vector<Class*>& subclasses, Class* source, Class* delegateClass) {
    Class* target = properClass(systemSelector, subclasses, delegateClass);
    if (live && target &&
        (!live->isSubclassOf(target) || lookUpImp(live, systemSelector) != lookUpImp(target, systemSelector)))
        target = live;
    injectSelector(source, newSelector, target, systemSelector);
}

}  // namespace vezeduduz
