#pragma once
// Method injection for the push client's hooks: copies a handler into a class under the system's
// selector, so the handler runs first and can reach the class's own implementation afterwards.
#include <vector>

#include "platform/objc/Runtime.h"

namespace vezeduduz {

// Puts `source`'s method `newSelector` into `target` under `systemSelector`.
// When `target` answers `systemSelector` (its own method or an inherited one), the handler is added
// as `newSelector` and the two are exchanged: sending `newSelector` then runs the implementation the
// system selector had, and an inherited one is copied into `target` first, so its superclass and
// sibling classes keep theirs. Otherwise the handler is added under `systemSelector` alone.
// A target that already runs this very handler for `systemSelector` (a superclass was injected before)
// is left alone: exchanging again would make the handler call itself.
// Answers whether `target` answered `systemSelector` before.
bool injectSelector(platform::objc::Class* source, platform::objc::Selector newSelector, platform::objc::Class* target,
                    platform::objc::Selector systemSelector);

// Whether the class's own implementation of `selector` differs from what its superclass answers.
bool overridesSelector(const platform::objc::Class* cls, platform::objc::Selector selector);

// The class itself when it declares `protocol` (or one inheriting it); else the answer for its superclass
// when that is not null; else the class itself. Null only for a root class that does not declare it, so
// a hierarchy that never declares the protocol answers its topmost class below the root.
platform::objc::Class* classConformingToProtocolInHierarchy(platform::objc::Class* cls,
                                                            const platform::objc::Protocol* protocol);

// Every registered class whose superclass chain contains `cls` (itself included), in class-list order.
std::vector<platform::objc::Class*> subclassesOfClass(const platform::objc::Class* cls);

// injectSelector into the first of `subclasses` that overrides `systemSelector`, or into `delegateClass`
// when none does.
void injectToProperClass(platform::objc::Selector newSelector, platform::objc::Selector systemSelector,
                         const std::vector<platform::objc::Class*>& subclasses, platform::objc::Class* source,
                         platform::objc::Class* delegateClass);

// injectToProperClass for a delegate object of class `live`. When the class it would choose is not one
// whose method `live` runs for `systemSelector` (a sibling of `live`, or a class above one that `live`
// overrides), `live` gets the handler instead: the delegate in use is always hooked.
void injectToProperClassFor(platform::objc::Class* live, platform::objc::Selector newSelector,
                            platform::objc::Selector systemSelector,
                            const std::vector<platform::objc::Class*>& subclasses, platform::objc::Class* source,
                            platform::objc::Class* delegateClass);

}  // namespace vezeduduz
