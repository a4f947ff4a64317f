#pragma once
// The exceptions the app core raises (configuration misuse). They are not caught inside the app core;
// the host reports one that reaches it, as an uncaught exception would be reported on the phone.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zidedova {

inline constexpr const char* kZDVErrorDomain = "com.zidedova.core";  // also the exception name
// kZDVErrorDomain codes of a failed configuration.
inline constexpr int64_t kZDVErrorCodeMissingOptions = -100;  // the options file could not be parsed
inline constexpr int64_t kZDVErrorCodeInvalidAppID = -101;
inline constexpr const char* kNSInvalidArgumentException = "NSInvalidArgumentException";

class Exception : public std::runtime_error {
public:
    Exception(std::string name, std::string reason)
        : std::runtime_error(name + ": " + reason), name_(std::move(name)), reason_(std::move(reason)) {}
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }

private:
    std::string name_;
    std::string reason_;
};

}  // namespace zidedova
