#include "zidedova_core/utilities/ZUTSwizzler.h"

#include "zidedova_core/utilities/ZUTLogger.h"

namespace zidedova {

namespace objc = platform::objc;
using objc::Class;
using objc::Imp;
using objc::Selector;

namespace {

constexpr const char* kService = "[VodezuUtilities/Swizzler]";

std::optional<objc::Method> findMethod(Class* cls, Selector selector, bool isClassSelector) {
    auto& runtime = cls->runtime();
    return isClassSelector ? runtime.classMethod(cls, selector) : runtime.instanceMethod(cls, selector);
}

}  // namespace

const platform::dispatch::DispatchQueue& ZUTSwizzler::queue() {
    static const auto* queue = new platform::dispatch::DispatchQueue(kZUTSwizzlerQueueLabel);
    return *queue;
}

bool ZUTSwizzler::replace(Class* cls, Selector selector, bool isClassSelector, Imp imp) {
    if (!cls || !selector || !imp) return false;
    bool replaced = false;
    queue().sync([&] {
        auto method = findMethod(cls, selector, isClassSelector);
        const char* kind = isClassSelector ? "+" : "-";
        if (!method) {
            ZUTLoggerLogError(kService, false, "I-SWZ001014", "Cannot swizzle %s[%@ %@]: no such method.", kind,
                              cls->name(), selector.name());
            return;
        }
        if (method->imp->signature() != imp->signature()) {
            ZUTLoggerLogError(kService, false, "I-SWZ001015",
                              "Cannot swizzle %s[%@ %@]: the method is %@, the replacement %@.", kind, cls->name(),
                              selector.name(), method->typeEncoding(), imp->signatureName());
            return;
        }
        Class* target = isClassSelector ? cls->metaclass() : cls;
        cls->runtime().replaceMethod(target, selector, std::move(imp));
        replaced = true;
    });
    return replaced;
}

Imp ZUTSwizzler::currentImplementationForClass(Class* cls, Selector selector, bool isClassSelector) {
    if (!cls || !selector) return nullptr;
    return queue().syncResult([&]() -> Imp {
        auto method = findMethod(cls, selector, isClassSelector);
        return method ? method->imp : nullptr;
    });
}

bool ZUTSwizzler::selectorExistsInClass(Selector selector, Class* cls, bool isClassSelector) {
    if (!cls || !selector) return false;
    return findMethod(cls, selector, isClassSelector).has_value();
}

std::vector<objc::ObjectHandle> ZUTSwizzler::ivarObjectsForObject(objc::Object* object) {
    std::vector<objc::ObjectHandle> out;
    Class* cls = objc::classOf(object);
    if (!cls) return out;
    for (const auto& ivar : cls->runtime().ivarList(cls)) {
        if (ivar.typeEncoding.empty() || ivar.typeEncoding[0] != '@' || !ivar.read) continue;
        std::any value = ivar.read(object);
        if (const auto* handle = std::any_cast<objc::ObjectHandle>(&value); handle && *handle) out.push_back(*handle);
    }
    return out;
}

}  // namespace zidedova
