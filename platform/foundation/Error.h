#pragma once
// Error: the form every subsystem reports failures in (domain, integer code, user-info dictionary),
// and Result<T>, the carrier of expected failures. Exceptions are kept for the few places the system
// itself raises; queue boundaries catch what user code throws.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "platform/foundation/Value.h"

namespace platform {

// The usual user-info keys.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr const char* kFilePathErrorKey = "NSFilePath";

// Domains the platform layer itself reports in.
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";

struct Error {
    std::string domain;
    int64_t code = 0;
    Value userInfo = Value::dictionary();

    Error() = default;
    Error(std::string domain, int64_t code, Value userInfo = Value::dictionary());
    // Convenience: an error whose user info carries only a description.
    static Error withDescription(std::string domain, int64_t code, const std::string& description);

    // The description from user info, or "The operation couldn't be completed. (domain error code.)".
    std::string localizedDescription() const;
    std::string description() const;  // "Error Domain=... Code=... \"...\""

    bool operator==(const Error& other) const;
};

// Thrown by Result::value() on a failure; carries the error. (The HTTP client's rivulet::Result is
// another type: its value() answers null on a failure instead.)
class ResultError : public std::runtime_error {
public:
    explicit ResultError(Error e) : std::runtime_error(e.description()), error(std::move(e)) {}
    Error error;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        if (!ok()) throw ResultError(std::get<1>(v_));
        return std::get<0>(v_);
    }
    const T& value() const& {
        if (!ok()) throw ResultError(std::get<1>(v_));
        return std::get<0>(v_);
    }
    T&& value() && {
        if (!ok()) throw ResultError(std::get<1>(v_));
        return std::get<0>(std::move(v_));
    }
    T valueOr(T fallback) const { return ok() ? std::get<0>(v_) : std::move(fallback); }
    const Error& error() const {
        if (ok()) throw std::logic_error("Result::error() on a success");
        return std::get<1>(v_);
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}
    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    void value() const {
        if (failed_) throw ResultError(error_);
    }
    const Error& error() const {
        if (!failed_) throw std::logic_error("Result::error() on a success");
        return error_;
    }

private:
    Error error_;
    bool failed_ = false;
};

}  // namespace platform
