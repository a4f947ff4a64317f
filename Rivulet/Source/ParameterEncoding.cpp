#include "Rivulet/Source/ParameterEncoding.h"

#include <algorithm>
#include <charconv>

#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"

namespace rivulet {

namespace {

using platform::URLRequest;
using platform::Value;

// The query-allowed set without the general and sub-delimiters: what is left can never be mistaken
// for structure in a query ("&", "=", "+", ...).
const platform::CharacterSet& allowedQueryCharacters() {
    static const platform::CharacterSet set = platform::CharacterSet::URLQueryAllowed().removing(":#[]@!$&'()*+,;=");
    return set;
}

std::string numberText(const Value& value) {
    if (auto i = value.asInteger(); value.isInteger() && i) return std::to_string(*i);
    double d = value.doubleOr(0);
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
    if (ec != std::errc()) return value.description();
    return std::string(buffer, end);
}

void setContentTypeIfAbsent(URLRequest& request, const char* contentType) {
    if (!request.valueForHTTPHeaderField("Content-Type")) request.setValue(std::string(contentType), "Content-Type");
}

Result<URLRequest> convert(const URLRequestConvertible& request) { return request.asURLRequest(); }

}  // namespace

std::string URLEncoding::escape(std::string_view string) {
    if (auto encoded = platform::addingPercentEncoding(string, allowedQueryCharacters())) return std::move(*encoded);
    // Not valid UTF-8: still escape every byte, so nothing reaches the query unescaped.
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(string.size() * 3);
    for (unsigned char c : string) {
        if (allowedQueryCharacters().contains(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

void URLEncoding::appendComponents(const std::string& key, const Value& value,
                                   std::vector<std::pair<std::string, std::string>>& out) const {
    if (auto dictionary = value.asDictionary()) {
        for (const auto& [nestedKey, nestedValue] : *dictionary) {
            appendComponents(key + "[" + nestedKey + "]", nestedValue, out);
        }
        return;
    }
    if (auto array = value.asArray()) {
        const std::string arrayKey = arrayEncoding_ == ArrayEncoding::brackets ? key + "[]" : key;
        for (const auto& element : *array) appendComponents(arrayKey, element, out);
        return;
    }
    std::string text;
    if (value.isBool()) {
        const bool b = *value.asBool();
        text = boolEncoding_ == BoolEncoding::numeric ? (b ? "1" : "0") : (b ? "true" : "false");
    } else if (value.isNumber()) {
        text = numberText(value);
    } else if (auto s = value.asString()) {
        text = *s;
    } else {
        text = value.description();
    }
    out.emplace_back(escape(key), escape(text));
}

std::vector<std::pair<std::string, std::string>> URLEncoding::queryComponents(const std::string& key,
                                                                              const Value& value) const {
    std::vector<std::pair<std::string, std::string>> out;
    appendComponents(key, value, out);
    return out;
}

std::string URLEncoding::query(const Parameters& parameters) const {
    // Parameters is a sorted map already: keys come out in ascending order.
    std::vector<std::pair<std::string, std::string>> components;
    for (const auto& [key, value] : parameters) appendComponents(key, value, components);
    std::string out;
    for (size_t i = 0; i < components.size(); ++i) {
        if (i) out += '&';
        out += components[i].first;
        out += '=';
        out += components[i].second;
    }
    return out;
}

Result<URLRequest> URLEncoding::encode(const URLRequestConvertible& convertible,
                                       const std::optional<Parameters>& parameters) const {
    auto converted = convert(convertible);
    if (!parameters || converted.isFailure()) return converted;
    URLRequest request = std::move(converted).unwrap();

    const std::string& methodText = request.HTTPMethod().empty() ? std::string("GET") : request.HTTPMethod();
    const auto method = HTTPMethodFromRawValue(methodText);
    bool useQuery = false;
    if (method) {
        if (destination_ == Destination::queryString) {
            useQuery = true;
        } else if (destination_ == Destination::methodDependent) {
            useQuery = *method == HTTPMethod::get || *method == HTTPMethod::head || *method == HTTPMethod::delete_;
        }
    }

    if (useQuery) {
        if (!request.url()) {
            return AnyError(RVError::parameterEncodingFailed(RVError::ParameterEncodingFailureReason::missingURL()));
        }
        auto components = platform::URLComponents::fromURL(*request.url(), false);
        if (!components || parameters->empty()) return request;
        const auto& existing = components->percentEncodedQuery();
        std::string newQuery = existing ? *existing + "&" : std::string();
        newQuery += query(*parameters);
        if (components->setPercentEncodedQuery(newQuery)) {
            if (auto url = components->url()) request.setURL(*url);
        }
        return request;
    }

    setContentTypeIfAbsent(request, "application/x-www-form-urlencoded; charset=utf-8");
    const std::string body = query(*parameters);
    request.setHTTPBody(platform::Bytes(body.begin(), body.end()));
    return request;
}

Result<URLRequest> JSONEncoding::encode(const URLRequestConvertible& request,
                                        const std::optional<Parameters>& parameters) const {
    if (!parameters) return convert(request);
    return encodeJSONObject(request, Value(*parameters));
}

Result<URLRequest> JSONEncoding::encodeJSONObject(const URLRequestConvertible& convertible,
                                                  const std::optional<Value>& jsonObject) const {
    auto converted = convert(convertible);
    if (!jsonObject || converted.isFailure()) return converted;
    URLRequest request = std::move(converted).unwrap();

    platform::json::WriteOptions options;
    options.prettyPrinted = (options_.rawValue & JSONWritingOptions::prettyPrinted) != 0;
    options.allowFragments = false;  // only arrays and dictionaries make a JSON body
    auto written = platform::json::write(*jsonObject, options);
    if (!written) {
        return AnyError(RVError::parameterEncodingFailed(
            RVError::ParameterEncodingFailureReason::jsonEncodingFailed(written.error())));
    }
    setContentTypeIfAbsent(request, "application/json");
    const std::string& text = *written;
    request.setHTTPBody(platform::Bytes(text.begin(), text.end()));
    return request;
}

Result<URLRequest> PropertyListEncoding::encode(const URLRequestConvertible& convertible,
                                                const std::optional<Parameters>& parameters) const {
    auto converted = convert(convertible);
    if (!parameters || converted.isFailure()) return converted;
    URLRequest request = std::move(converted).unwrap();

    auto written = platform::plist::write(Value(*parameters), format_ == PropertyListFormat::binary
                                                                  ? platform::plist::Format::Binary
                                                                  : platform::plist::Format::XML);
    if (!written) {
        return AnyError(RVError::parameterEncodingFailed(
            RVError::ParameterEncodingFailureReason::propertyListEncodingFailed(written.error())));
    }
    setContentTypeIfAbsent(request, "application/x-plist");
    request.setHTTPBody(std::move(written).value());
    return request;
}

}  // namespace rivulet
