#pragma once
// Method injection for the push client's hooks: copies a handler into a class under the system's
// selector, so the handler runs first and can reach the class's own implementation afterwards.
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

}  // namespace vezeduduz
