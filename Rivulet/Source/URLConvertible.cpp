#include "Rivulet/Source/URLConvertible.h"

#include "Rivulet/Source/RVError.h"

namespace rivulet {

Result<platform::URL> URLConvertible::asURL() const {
    struct Visitor {
        Result<platform::URL> operator()(const std::string& s) const {
            if (auto url = platform::URL::string(s)) return *url;
            return AnyError(RVError::invalidURL(s));
        }
        Result<platform::URL> operator()(const platform::URL& url) const { return url; }
        Result<platform::URL> operator()(const platform::URLComponents& c) const {
            if (auto url = c.url()) return *url;
            return AnyError(RVError::invalidURL(c));
        }
        Result<platform::URL> operator()(const std::function<Result<platform::URL>()>& f) const { return f(); }
    };
    return std::visit(Visitor{}, v_);
}

Result<platform::URLRequest> URLRequestConvertible::asURLRequest() const {
    if (auto request = std::get_if<platform::URLRequest>(&v_)) return *request;
    return std::get<1>(v_)();
}

std::optional<platform::URLRequest> URLRequestConvertible::urlRequest() const {
    auto result = asURLRequest();
    if (auto* request = result.value()) return std::move(*request);
    return std::nullopt;
}

Result<platform::URLRequest> makeURLRequest(const URLConvertible& url, HTTPMethod method,
                                            const std::optional<HTTPHeaders>& headers) {
    auto converted = url.asURL();
    if (auto* error = converted.error()) return *error;
    platform::URLRequest request(std::move(*converted.value()), platform::URLRequestCachePolicy::UseProtocolCachePolicy,
                                 60.0);
    request.setHTTPMethod(rawValue(method));
    if (headers) {
        for (const auto& [name, value] : *headers) request.setValue(value, name);
    }
    return request;
}

void after(const platform::dispatch::DispatchQueue& queue, double seconds, std::function<void()> block) {
    queue.asyncAfter(seconds, std::move(block));
}

}  // namespace rivulet
