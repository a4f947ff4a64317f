#pragma once
// AnyError: the client's "some error" holder. A failed Result, a response record's error and the
// payloads of some RVError reasons carry one. It can hold an RVError, a platform::Error (what URL
// loading reports, passed on unchanged) or any other ErrorType a caller defines (an adapter's own
// error, for instance), and it bridges every one of them to a platform::Error.
//
// Immutable and cheap to copy (the error is shared); safe to hand between threads.
#include <concepts>
#include <exception>
#include <memory>
#include <string>

#include "platform/foundation/Error.h"

namespace rivulet {

// What every error type the client carries can do.
class ErrorType {
public:
    virtual ~ErrorType() = default;
    // The message for people.
    virtual std::string localizedDescription() const = 0;
    // The error's standard textual representation (for logs and "Error: ..." in messages).
    virtual std::string description() const = 0;
    // The error as the platform reports errors.
    virtual platform::Error bridged() const = 0;
};

// A platform::Error carried as it is.
class PlatformError final : public ErrorType {
public:
    explicit PlatformError(platform::Error error) : error_(std::move(error)) {}
    const platform::Error& error() const { return error_; }
    std::string localizedDescription() const override { return error_.localizedDescription(); }
    std::string description() const override { return error_.description(); }
    platform::Error bridged() const override { return error_; }

private:
    platform::Error error_;
};

class AnyError {
public:
    AnyError(platform::Error error) : e_(std::make_shared<const PlatformError>(std::move(error))) {}
    template <class E>
    requires std::derived_from<E, ErrorType> AnyError(E error) : e_(std::make_shared<const E>(std::move(error))) {}

    // The held error when it is an E, else nullptr.
    template <class E>
    const E* as() const {
        return dynamic_cast<const E*>(e_.get());
    }
    // The platform error when one is held as it is (not bridged).
    const platform::Error* platformError() const {
        auto p = as<PlatformError>();
        return p ? &p->error() : nullptr;
    }

    std::string localizedDescription() const { return e_->localizedDescription(); }
    std::string description() const { return e_->description(); }
    platform::Error bridged() const { return e_->bridged(); }
    const ErrorType& get() const { return *e_; }

private:
    std::shared_ptr<const ErrorType> e_;  // never null
};

// How the client "throws" an error: Result::unwrap() raises it and Result::catching() and the
// transforms of Result catch it back into a failure.
class ThrownError : public std::exception {
public:
    explicit ThrownError(AnyError error) : error_(std::move(error)), what_(error_.description()) {}
    const AnyError& error() const { return error_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    AnyError error_;
    std::string what_;
};

}  // namespace rivulet
