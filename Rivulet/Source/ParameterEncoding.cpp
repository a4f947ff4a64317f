#include "Rivulet/Source/ParameterEncoding.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string_view>

#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"

namespace rivulet {

namespace {

using platform::URLRequest;
using platform::Value;

// The query-allowed set without the general and sub-delimiters: what is left can never be mistaken
// for structure in a query ("&", "=", "+", ...). A byte table, because escaping runs over every byte
// of every parameter.
constexpr std::string_view kUnescapedQueryCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/?";

constexpr std::array<bool, 256> kEscapedBytes = [] {
    std::array<bool, 256> escaped{};
    escaped.fill(true);
    for (char c : kUnescapedQueryCharacters) escaped[static_cast<unsigned char>(c)] = false;
    return escaped;
}();

// Appends `text` percent-encoded to `out`, sized once. Bytes outside the set (UTF-8 or not) are written
// as %XX, so nothing reaches the query unescaped whatever the input is.
void appendEscaped(std::string_view text, std::string& out) {
    size_t escapedCount = 0;
    for (char c : text) escapedCount += kEscapedBytes[static_cast<unsigned char>(c)];
    const size_t at = out.size();
    out.resize(at + text.size() + 2 * escapedCount);
    char* to = out.data() + at;
    if (escapedCount == 0) {
        if (!text.empty()) std::memcpy(to, text.data(), text.size());
        return;
    }
    static constexpr char hex[] = "0123456789ABCDEF";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (!kEscapedBytes[c]) {
            *to++ = ch;
        } else {
            to[0] = '%';
            to[1] = hex[c >> 4];
            to[2] = hex[c & 15];
            to += 3;
        }
    }
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
    std::string out;
    appendEscaped(string, out);
    return out;
}

// Calls `sink(key, text)` for every scalar under `value`, in order; keys are not yet escaped.
template <class Sink>
void URLEncoding::visitComponents(const std::string& key, const Value& value, Sink& sink) const {
    if (auto dictionary = value.asDictionary()) {
        for (const auto& [nestedKey, nestedValue] : *dictionary) {
            visitComponents(key + "[" + nestedKey + "]", nestedValue, sink);
        }
        return;
    }
    if (auto array = value.asArray()) {
        const std::string arrayKey = arrayEncoding_ == ArrayEncoding::brackets ? key + "[]" : key;
        for (const auto& element : *array) visitComponents(arrayKey, element, sink);
        return;
    }
    if (auto s = value.asString()) return sink(key, std::string_view(*s));
    std::string text;
    if (value.isBool()) {
        const bool b = *value.asBool();
        text = boolEncoding_ == BoolEncoding::numeric ? (b ? "1" : "0") : (b ? "true" : "false");
    } else if (value.isNumber()) {
        text = numberText(value);
    } else {
        text = value.description();
    }
    sink(key, std::string_view(text));
}

std::vector<std::pair<std::string, std::string>> URLEncoding::queryComponents(const std::string& key,
                                                                              const Value& value) const {
    std::vector<std::pair<std::string, std::string>> out;
    auto sink = [&out](const std::string& k, std::string_view text) { out.emplace_back(escape(k), escape(text)); };
    visitComponents(key, value, sink);
    return out;
}

std::string URLEncoding::query(const Parameters& parameters) const {
    // Parameters is a sorted map already: keys come out in ascending order. Every pair is escaped
    // straight into the one result.
    std::string out;
    auto sink = [&out](const std::string& key, std::string_view text) {
        if (!out.empty()) out += '&';
        appendEscaped(key, out);
        out += '=';
        appendEscaped(text, out);
    };
    for (const auto& [key, value] : parameters) visitComponents(key, value, sink);
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
