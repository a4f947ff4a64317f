#pragma once
// Imp: a method implementation, type-erased but typed. Each implementation keeps the signature it
// was made with, R(Args...) (arguments decayed, self and selector not included), and every call
// checks that the caller's R(Args...) is exactly that signature; a mismatch throws
// SignatureMismatch instead of calling through a wrong function type.
//
// Implementations take (Object* self, Selector cmd, Args...). Because self is passed explicitly, an
// interceptor can keep the Imp it replaced and call it later with the same self and selector:
//
//     Imp original = replaceMethod(cls, sel("applicationDidBecomeActive:"), makeImp(...));
//     ... inside the interceptor: callImp<void>(original, self, cmd, app);
//
// Implementations are immutable and shared; calling one takes no runtime lock.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "platform/objc/Selector.h"

namespace platform::objc {

class Object;

// Readable name of a type (demangled), for messages.
std::string typeName(const std::type_info& type);

// A call whose return or argument types differ from the implementation's.
class SignatureMismatch : public std::logic_error {
public:
    SignatureMismatch(Selector cmd, const std::type_info& expected, const std::type_info& given);
};

template <class R>
R zeroValue() {
    if constexpr (!std::is_void_v<R>) return R{};
}

class Implementation {
public:
    virtual ~Implementation() = default;
    Implementation(const Implementation&) = delete;
    Implementation& operator=(const Implementation&) = delete;

    // typeid(R(Args...)) of the implementation.
    const std::type_info& signature() const { return *signature_; }
    std::string signatureName() const { return typeName(*signature_); }  // the "type encoding"

    template <class R, class... Args>
    bool accepts() const {
        return *signature_ == typeid(R(Args...));
    }

    // Calls with exactly R(Args...); throws SignatureMismatch otherwise.
    template <class R, class... Args>
    R call(Object* self, Selector cmd, Args... args) const;

protected:
    explicit Implementation(const std::type_info& signature) : signature_(&signature) {}

private:
    const std::type_info* signature_;
};

using Imp = std::shared_ptr<const Implementation>;

template <class R, class... Args>
class TypedImplementation final : public Implementation {
public:
    static_assert(!std::is_reference_v<R>, "implementations return values, not references");
    using Function = std::function<R(Object*, Selector, Args...)>;

    explicit TypedImplementation(Function fn) : Implementation(typeid(R(Args...))), fn_(std::move(fn)) {}
    R invoke(Object* self, Selector cmd, Args... args) const { return fn_(self, cmd, std::move(args)...); }

private:
    Function fn_;
};

template <class R, class... Args>
R Implementation::call(Object* self, Selector cmd, Args... args) const {
    if (!accepts<R, Args...>()) throw SignatureMismatch(cmd, signature(), typeid(R(Args...)));
    return static_cast<const TypedImplementation<R, Args...>&>(*this).invoke(self, cmd, std::move(args)...);
}

namespace detail {

template <class R, class... Params>
struct ImpTraits;
template <class R, class Self, class Cmd, class... Params>
struct ImpTraits<R(Self, Cmd, Params...)> {
    static_assert(std::is_same_v<Self, Object*>, "an implementation's first parameter is Object* self");
    static_assert(std::is_same_v<std::decay_t<Cmd>, Selector>, "an implementation's second parameter is the selector");
    using Typed = TypedImplementation<R, std::decay_t<Params>...>;
};

template <class T>
struct CallableSignature;
template <class C, class R, class... P>
struct CallableSignature<R (C::*)(P...) const> {
    using type = R(P...);
};
template <class C, class R, class... P>
struct CallableSignature<R (C::*)(P...)> {
    using type = R(P...);
};

template <class F>
struct FunctionSignature {
    using type = typename CallableSignature<decltype(&F::operator())>::type;
};
template <class R, class... P>
struct FunctionSignature<R (*)(P...)> {
    using type = R(P...);
};

}  // namespace detail

// Makes an Imp from a lambda or function taking (Object* self, Selector cmd, Args...). The signature
// is deduced from the callable; argument types are decayed (const std::string& becomes std::string).
template <class F>
Imp makeImp(F fn) {
    using Sig = typename detail::FunctionSignature<std::decay_t<F>>::type;
    using Typed = typename detail::ImpTraits<Sig>::Typed;
    return std::make_shared<const Typed>(typename Typed::Function(std::move(fn)));
}

// Calls an implementation directly (the saved original of an intercepted method). A null Imp
// answers the zero value, as a message to nil does.
template <class R = void, class... Args>
R callImp(const Imp& imp, Object* self, Selector cmd, Args... args) {
    if (!imp) return zeroValue<R>();
    return imp->call<R, Args...>(self, cmd, std::move(args)...);
}

}  // namespace platform::objc
