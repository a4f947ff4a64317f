#include "VezEduduzSDK/Source/VezEduduzRequest.h"

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/URL.h"

namespace vezeduduz {
namespace {

platform::dispatch::Mutex serverURLMutex;
std::string configuredServerURL GUARDED_BY(serverURLMutex);

platform::Error buildError(const std::string& text) {
    return platform::Error("VezEduduz Error", 0, platform::Value::dictionary({{"error", text}}));
}

// Unreserved characters only: a key or value never changes the query's or path's structure.
const platform::CharacterSet& componentAllowed() {
    static const platform::CharacterSet set = platform::CharacterSet::alphanumerics().adding("-._~");
    return set;
}

std::string escapeComponent(std::string_view text) {
    auto escaped = platform::addingPercentEncoding(text, componentAllowed());
    if (escaped) return *escaped;
    // Not UTF-8: escape every byte that is not unreserved.
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (componentAllowed().contains(c)) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string valueText(const platform::Value& value) {
    if (const auto* s = value.asString()) return *s;
    if (value.isBool()) return *value.asBool() ? "1" : "0";
    return value.description();
}

}  // namespace

const char* VEHTTPMethodName(VEHTTPMethod method) {
    static const char* names[] = {"GET", "POST", "HEAD", "PUT", "DELETE", "OPTIONS", "CONNECT", "TRACE"};
    auto index = static_cast<int32_t>(method);
    return index >= 0 && index < 8 ? names[index] : "GET";
}

std::string VezEduduzRequest::serverURL() {
    platform::dispatch::MutexLock lock(serverURLMutex);
    return configuredServerURL.empty() ? std::string(kVezEduduzDefaultServerURL) : configuredServerURL;
}

VezEduduzRequest::VezEduduzRequest() : generation(currentGeneration()) {}

void VezEduduzRequest::setServerURL(std::string url) {
    if (!url.empty() && url.back() != '/') url += '/';
    platform::dispatch::MutexLock lock(serverURLMutex);
    configuredServerURL = std::move(url);
}

bool VezEduduzRequest::missingAppId() const {
    if (!parameters) return true;
    const auto* appId = parameters->find("app_id");
    const auto* text = appId ? appId->asString() : nullptr;
    return !text || text->empty();
}

std::string VezEduduzRequest::queryStringForParameters(const platform::Value& parameters) {
    const auto* dict = parameters.asDictionary();
    if (!dict) return "";
    std::string query;
    for (const auto& [key, value] : *dict) {
        if (!query.empty()) query += '&';
        query += escapeComponent(key);
        query += '=';
        query += escapeComponent(valueText(value));
    }
    return query;
}

std::string VezEduduzRequest::escapedPathComponent(std::string_view id) { return escapeComponent(id); }

platform::Result<platform::URLRequest> VezEduduzRequest::urlRequest() const {
    if (!path) return buildError("HTTP Request (" + className() + ") has no path: a required id is missing");
    std::string text = serverURL() + kVezEduduzAPIPath + *path;
    auto methodNumber = static_cast<int32_t>(method);
    std::optional<platform::Bytes> body;
    if ((method == VEHTTPMethod::GET || method == VEHTTPMethod::DELETE) && parameters) {
        auto query = queryStringForParameters(*parameters);
        if (!query.empty()) text += "?" + query;
    } else if ((method == VEHTTPMethod::POST || method == VEHTTPMethod::PUT) && parameters) {
        platform::json::WriteOptions options;
        options.prettyPrinted = true;
        auto written = parameters->isDictionary() ? platform::json::write(*parameters, options)
                                                  : platform::Result<std::string>(platform::Error("", 0));
        if (!written) {
            std::string message =
                "VezEduduz Attempted to make a request with an invalid JSON body: " + parameters->description();
            VezEduduzLogSink::log(VELogLevel::warn, message);
            return buildError(message);
        }
        body = platform::Bytes(written->begin(), written->end());
    }
    auto url = platform::URL::string(text);
    if (!url) return buildError("HTTP Request (" + className() + ") has an invalid URL: " + text);
    platform::URLRequest request(*url);
    request.setValue("application/json", "Content-Type");
    request.setValue("application/json", "Accept");
    request.setHTTPMethod(methodNumber >= 0 && methodNumber < 8 ? VEHTTPMethodName(method) : "GET");
    if (body) request.setHTTPBody(std::move(body));
    return request;
}

}  // namespace vezeduduz
