#pragma once
// Selector: an interned method name. Two selectors with the same name are the same selector, so
// comparison is a pointer comparison. The intern table lives for the whole process and is shared
// by every Runtime; interning is thread-safe.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace platform::objc {

class Selector {
public:
    Selector() = default;                          // the null selector
    static Selector named(std::string_view name);  // interns on first use

    const std::string& name() const;  // "" for the null selector
    bool isNull() const { return name_ == nullptr; }
    explicit operator bool() const { return name_ != nullptr; }
    // Stable identity for the life of the process (usable as an association key).
    const void* id() const { return name_; }

    friend bool operator==(Selector a, Selector b) { return a.name_ == b.name_; }
    friend bool operator!=(Selector a, Selector b) { return a.name_ != b.name_; }
    friend bool operator<(Selector a, Selector b) { return std::less<const std::string*>()(a.name_, b.name_); }

private:
    explicit Selector(const std::string* name) : name_(name) {}
    const std::string* name_ = nullptr;
};

// sel("application:didFinishLaunchingWithOptions:")
inline Selector sel(std::string_view name) { return Selector::named(name); }

}  // namespace platform::objc

template <>
struct std::hash<platform::objc::Selector> {
    size_t operator()(platform::objc::Selector s) const noexcept { return std::hash<const void*>()(s.id()); }
};
