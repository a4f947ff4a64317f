#pragma once
// The entry layer of the client: the shared dictionary types, the two conversions through which every
// caller hands in an address (URLConvertible) or a whole request (URLRequestConvertible), the request
// builder and the delayed dispatch used by retries.
//
// Conversions answer a Result instead of throwing; a failed address conversion is
// RVError.invalidURL carrying the text (or components) that did not convert. All of it is pure value
// code, usable from any thread.
#include <concepts>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "Rivulet/Source/HTTPMethod.h"
#include "Rivulet/Source/Result.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"

namespace rivulet {

// Request parameters: string keys to values of any kind (nested dictionaries and arrays included).
using Parameters = platform::ValueDictionary;
// Header field name -> value. Iterated in key order; see makeURLRequest for case clashes.
using HTTPHeaders = std::map<std::string, std::string>;

// Something that gives a URL: a string (parsed by the platform's URL parser), a URL (as it is),
// URL components (composed), or any type with `Result<platform::URL> asURL() const`.
class URLConvertible {
public:
    URLConvertible(std::string string) : v_(std::move(string)) {}
    URLConvertible(const char* string) : v_(std::string(string ? string : "")) {}
    URLConvertible(std::string_view string) : v_(std::string(string)) {}
    URLConvertible(platform::URL url) : v_(std::move(url)) {}
    URLConvertible(platform::URLComponents components) : v_(std::move(components)) {}
    template <class T>
    requires requires(const T& t) {
        { t.asURL() } -> std::convertible_to<Result<platform::URL>>;
    }
    URLConvertible(T custom)
        : v_(std::function<Result<platform::URL>()>(
              [c = std::move(custom)] { return Result<platform::URL>(c.asURL()); })) {}

    Result<platform::URL> asURL() const;

private:
    std::variant<std::string, platform::URL, platform::URLComponents, std::function<Result<platform::URL>()>> v_;
};

// Something that gives a whole URL request: a URLRequest (as it is), or any type with
// `Result<platform::URLRequest> asURLRequest() const` (a router, for instance).
class URLRequestConvertible {
public:
    URLRequestConvertible(platform::URLRequest request) : v_(std::move(request)) {}
    template <class T>
    requires(!std::same_as<std::remove_cvref_t<T>, URLRequestConvertible>) && requires(const T& t) {
        { t.asURLRequest() } -> std::convertible_to<Result<platform::URLRequest>>;
    }
    URLRequestConvertible(T custom)
        : v_(std::function<Result<platform::URLRequest>()>(
              [c = std::move(custom)] { return Result<platform::URLRequest>(c.asURLRequest()); })) {}
    static URLRequestConvertible fromFunction(std::function<Result<platform::URLRequest>()> make) {
        return URLRequestConvertible(std::move(make));
    }

    Result<platform::URLRequest> asURLRequest() const;
    // asURLRequest(), with a failure dropped.
    std::optional<platform::URLRequest> urlRequest() const;

private:
    explicit URLRequestConvertible(std::function<Result<platform::URLRequest>()> make) : v_(std::move(make)) {}
    std::variant<platform::URLRequest, std::function<Result<platform::URLRequest>()>> v_;
};

// Builds the request for an address: protocol cache policy, 60 s time-out, the method's raw value and
// each header (a later pair replaces an earlier one of the same name, letter case ignored). A failed
// address conversion is passed on unchanged and nothing else happens.
Result<platform::URLRequest> makeURLRequest(const URLConvertible& url, HTTPMethod method,
                                            const std::optional<HTTPHeaders>& headers = std::nullopt);

// Runs `block` on `queue` once `seconds` have passed on the dispatch clock; returns at once.
void after(const platform::dispatch::DispatchQueue& queue, double seconds, std::function<void()> block);

}  // namespace rivulet
