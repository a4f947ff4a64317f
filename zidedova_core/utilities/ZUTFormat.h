#pragma once
// Message formatting for the coded logger: the printf conversions the analytics stack uses ("%@", "%s",
// "%d"/"%ld"/"%lld" with flags and width such as "%06ld", "%u", "%x", "%f", "%g", "%%").
//
// Arguments are kept as cheap views: building a ZUTFormatArg never formats, so a caller can collect
// them before deciding whether the message is written at all. A missing argument prints "(null)"; an
// argument of the wrong kind is converted sensibly (a string under "%ld" prints as is) instead of
// reading garbage. Never throws on a bad format: unknown conversions are copied verbatim.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "platform/foundation/Value.h"

namespace zidedova {

class ZUTFormatArg {
public:
    ZUTFormatArg(int v) : v_(int64_t(v)) {}
    ZUTFormatArg(long v) : v_(int64_t(v)) {}
    ZUTFormatArg(long long v) : v_(int64_t(v)) {}
    ZUTFormatArg(unsigned v) : v_(uint64_t(v)) {}
    ZUTFormatArg(unsigned long v) : v_(uint64_t(v)) {}
    ZUTFormatArg(unsigned long long v) : v_(uint64_t(v)) {}
    ZUTFormatArg(double v) : v_(v) {}
    ZUTFormatArg(const char* s) : v_(s ? std::string_view(s) : std::string_view("(null)")) {}
    ZUTFormatArg(std::string_view s) : v_(s) {}
    ZUTFormatArg(const std::string& s) : v_(std::string_view(s)) {}
    ZUTFormatArg(const platform::Value& v) : v_(&v) {}

    // The "%@" form: strings bare, numbers in decimal, other values by their description.
    std::string object() const;
    bool integer(int64_t& out) const;
    bool floating(double& out) const;

private:
    std::variant<int64_t, uint64_t, double, std::string_view, const platform::Value*> v_;
};

std::string ZUTFormat(std::string_view format, std::initializer_list<ZUTFormatArg> args);

}  // namespace zidedova
