#pragma once
// Result<T>: the outcome of a serialization (or of anything else the client does that may fail):
// success with a T, or failure with an AnyError. A plain value; copies are independent.
//
// Not the platform's Result (platform/foundation/Error.h), whose value() raises on a failure: reading
// this one never raises. value() and error() answer pointers, null when the other case holds; only
// unwrap() raises.
//
// The client "throws" by raising ThrownError; catching() and the throwing transforms (flatMap,
// flatMapError) turn a ThrownError back into a failure. Other exceptions pass through untouched.
#include <concepts>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "Rivulet/Source/AnyError.h"
#include "platform/foundation/Value.h"

namespace rivulet {

// Standard textual representations of the values results carry.
inline std::string describe(const std::string& s) { return s; }
inline std::string describe(const platform::Value& v) { return v.description(); }
inline std::string describe(const platform::Bytes& b) { return std::to_string(b.size()) + " bytes"; }
inline std::string describe(const AnyError& e) { return e.description(); }
template <class T>
std::string describe(const T& value) requires requires(std::ostream& o) {
    o << value;
}
{
    std::ostringstream out;
    out << value;
    return out.str();
}

template <class T>
class [[nodiscard]] Result {
public:
    using ValueType = T;

    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(AnyError error) : v_(std::in_place_index<1>, std::move(error)) {}
    static Result success(T value) { return Result(std::move(value)); }
    static Result failure(AnyError error) { return Result(std::move(error)); }

    // Runs a closure that may throw ThrownError: success of its value or failure of the error.
    template <class F>
    static Result catching(F&& body) {
        try {
            return Result(body());
        } catch (const ThrownError& e) {
            return Result(e.error());
        }
    }

    bool isSuccess() const { return v_.index() == 0; }
    bool isFailure() const { return v_.index() == 1; }
    // The value, or nullptr on failure.
    [[nodiscard]] const T* value() const { return std::get_if<0>(&v_); }
    [[nodiscard]] T* value() { return std::get_if<0>(&v_); }
    // The error, or nullptr on success.
    [[nodiscard]] const AnyError* error() const { return std::get_if<1>(&v_); }

    // The success value, or raises the failure's error as ThrownError.
    const T& unwrap() const& {
        if (auto e = error()) throw ThrownError(*e);
        return std::get<0>(v_);
    }
    T unwrap() && {
        if (auto e = error()) throw ThrownError(*e);
        return std::get<0>(std::move(v_));
    }

    // On success, success of transform(value); on failure the same failure. The transform is not
    // called on a failure.
    template <class F>
    auto map(F&& transform) const -> Result<std::invoke_result_t<F, const T&>> {
        using U = std::invoke_result_t<F, const T&>;
        if (auto v = value()) return Result<U>(transform(*v));
        return Result<U>(*error());
    }
    // Like map, but the transform may raise ThrownError (that becomes the failure), or may answer a
    // Result itself.
    template <class F>
    auto flatMap(F&& transform) const {
        using R = std::invoke_result_t<F, const T&>;
        using Out = std::conditional_t<IsResult<R>::value, R, Result<R>>;
        if (auto e = error()) return Out(*e);
        try {
            return Out(transform(*value()));
        } catch (const ThrownError& thrown) {
            return Out(thrown.error());
        }
    }
    // On failure, failure of transform(error) (which answers an error); success stays.
    template <class F>
    Result mapError(F&& transform) const {
        if (auto e = error()) return Result(AnyError(transform(*e)));
        return *this;
    }
    // Like mapError, with a transform that may raise ThrownError.
    template <class F>
    Result flatMapError(F&& transform) const {
        if (auto e = error()) {
            try {
                return Result(AnyError(transform(*e)));
            } catch (const ThrownError& thrown) {
                return Result(thrown.error());
            }
        }
        return *this;
    }

    // Side effects that hand the result on; an exception of the closure passes to the caller.
    template <class F>
    const Result& withValue(F&& closure) const {
        if (auto v = value()) closure(*v);
        return *this;
    }
    template <class F>
    const Result& withError(F&& closure) const {
        if (auto e = error()) closure(*e);
        return *this;
    }
    template <class F>
    const Result& ifSuccess(F&& closure) const {
        if (isSuccess()) closure();
        return *this;
    }
    template <class F>
    const Result& ifFailure(F&& closure) const {
        if (isFailure()) closure();
        return *this;
    }

    // "SUCCESS" / "FAILURE".
    std::string description() const { return isSuccess() ? "SUCCESS" : "FAILURE"; }
    // "SUCCESS: <value>" / "FAILURE: <error>".
    std::string debugDescription() const {
        if (auto v = value()) return "SUCCESS: " + describe(*v);
        return "FAILURE: " + error()->description();
    }

private:
    template <class R>
    struct IsResult : std::false_type {};
    template <class R>
    struct IsResult<Result<R>> : std::true_type {};

    std::variant<T, AnyError> v_;
};

}  // namespace rivulet
