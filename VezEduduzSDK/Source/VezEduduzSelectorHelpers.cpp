#include "VezEduduzSDK/Source/internal/VezEduduzSelectorHelpers.h"

#include <stdexcept>

namespace vezeduduz {

using platform::objc::Class;
using platform::objc::Imp;
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

}  // namespace vezeduduz
