#include "platform/objc/Class.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>

namespace platform::objc {

std::string typeName(const std::type_info& type) {
    int status = 0;
    char* readable = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string out = (status == 0 && readable) ? readable : type.name();
    std::free(readable);
    return out;
}

SignatureMismatch::SignatureMismatch(Selector cmd, const std::type_info& expected, const std::type_info& given)
    : std::logic_error("method " + cmd.name() + " has signature " + typeName(expected) + ", called as " +
                       typeName(given)) {}

bool Protocol::includes(const Protocol* other) const {
    if (other == this) return true;
    for (const Protocol* p : inherited_)
        if (p && p->includes(other)) return true;
    return false;
}

Class::Class(Runtime& runtime, std::string name, Class* superclass, bool isMeta, size_t instanceSize)
    : Object(RootTag{}), runtime_(&runtime), name_(std::move(name)), superclass_(superclass), isMeta_(isMeta),
      instanceSize_(instanceSize) {}

Class::~Class() {
    // The metaclass may be destroyed first; this object is not counted among its instances.
    class_.store(nullptr, std::memory_order_release);
}

bool Class::isSubclassOf(const Class* other) const {
    for (const Class* c = this; c; c = c->superclass_)
        if (c == other) return true;
    return false;
}

}  // namespace platform::objc
