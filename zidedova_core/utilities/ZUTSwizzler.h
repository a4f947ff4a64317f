#pragma once
// ZUTSwizzler: replaces the implementation of an instance or class method with a block, and answers
// questions about methods and object fields. Every replacement and current-implementation look-up runs
// one at a time on the serial queue "com.vodezu.ZUTSwizzler" (entered with a synchronous dispatch), so
// concurrent callers never race on a class's method table. Do not call it from a block already running
// on that queue.
//
// The block receives the receiver first, then the method's arguments (no selector):
//     ZUTSwizzler::swizzleClass(cls, sel("applicationDidBecomeActive:"), false,
//                               [](Object* self, ObjectHandle app) { ... });
// A swizzle is refused (logged, nothing replaced, false answered) when the method does not exist or the
// block's signature is not the method's: a wrong replacement would only fail later, at a call site.
#include <memory>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/objc/Runtime.h"

namespace zidedova {

inline constexpr const char* kZUTSwizzlerQueueLabel = "com.vodezu.ZUTSwizzler";

class ZUTSwizzler {
public:
    template <class Block>
    static bool swizzleClass(platform::objc::Class* cls, platform::objc::Selector selector, bool isClassSelector,
                             Block block) {
        using Sig = typename platform::objc::detail::FunctionSignature<std::decay_t<Block>>::type;
        return replace(cls, selector, isClassSelector, Adapter<Sig>::make(std::move(block)));
    }

    // Null when the class or the selector is null, or the method is not found.
    static platform::objc::Imp currentImplementationForClass(platform::objc::Class* cls,
                                                             platform::objc::Selector selector, bool isClassSelector);
    static bool selectorExistsInClass(platform::objc::Selector selector, platform::objc::Class* cls,
                                      bool isClassSelector);
    // The object's own (not inherited) object-typed fields, in declaration order; nil fields are skipped.
    static std::vector<platform::objc::ObjectHandle> ivarObjectsForObject(platform::objc::Object* object);
    // Kept for callers that undo their hooks: replacements stay, and no original is remembered.
    static void unswizzleClass(platform::objc::Class*, platform::objc::Selector, bool) {}
    static platform::objc::Imp originalImplementationForClass(platform::objc::Class*, platform::objc::Selector, bool) {
        return nullptr;
    }

    // The queue the swizzler serializes on.
    static const platform::dispatch::DispatchQueue& queue();

private:
    template <class Sig>
    struct Adapter;
    template <class R, class... Args>
    struct Adapter<R(platform::objc::Object*, Args...)> {
        template <class Block>
        static platform::objc::Imp make(Block block) {
            return platform::objc::makeImp([block = std::move(block)](platform::objc::Object* self,
                                                                      platform::objc::Selector,
                                                                      std::decay_t<Args>... args) -> R {
                return block(self, std::move(args)...);
            });
        }
    };

    static bool replace(platform::objc::Class* cls, platform::objc::Selector selector, bool isClassSelector,
                        platform::objc::Imp imp);
};

}  // namespace zidedova
