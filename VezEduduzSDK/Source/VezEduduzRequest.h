#pragma once
// VezEduduzRequest: one call to the push service's REST API (method, path after "api/v1/",
// parameters), and how it becomes a URLRequest by the service's wire conventions:
//   - URL = serverURL() + "api/v1/" + path; headers Content-Type and Accept "application/json";
//   - GET and DELETE carry parameters in the query string, POST and PUT as a pretty-printed JSON body,
//     other methods carry none.
// The query string escapes every key and value on its own, so "&", "=", "+" or "#" inside a value
// stay data; path ids are escaped by the factories (VERequests.h) the same way.
//
// Ownership and threads: requests are made by the factories in VERequests.h and handed around as
// std::shared_ptr; every field is set by the factory and only read afterwards, except
// reattemptCount, which the REST client raises (atomic, so any thread may read it).
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"

namespace vezeduduz {

enum class VEHTTPMethod : int32_t {
    GET = 0,
    POST = 1,
    HEAD = 2,
    PUT = 3,
    DELETE = 4,
    OPTIONS = 5,
    CONNECT = 6,
    TRACE = 7
};

// "GET", "POST", ... ; "GET" for a number out of range.
const char* VEHTTPMethodName(VEHTTPMethod method);

// The push service's host; the REST paths follow "api/v1/".
inline constexpr const char* kVezEduduzDefaultServerURL = "https://api.vezeduduz.test/";
inline constexpr const char* kVezEduduzAPIPath = "api/v1/";

class VezEduduzRequest {
public:
    VezEduduzRequest();
    virtual ~VezEduduzRequest() = default;
    VezEduduzRequest(const VezEduduzRequest&) = delete;
    VezEduduzRequest& operator=(const VezEduduzRequest&) = delete;

    // The service's base URL (https, ending in '/'). Tests and demos point it at a stand-in; "" restores
    // the default. Any thread.
    static std::string serverURL();
    static void setServerURL(std::string url);

    VEHTTPMethod method = VEHTTPMethod::GET;
    // Path after "api/v1/", no leading slash, already escaped. Absent when a factory lacked a required id:
    // such a request fails locally instead of going out.
    std::optional<std::string> path;
    // A dictionary, or absent (nil). Sent by the method's rule above.
    std::optional<platform::Value> parameters;
    std::atomic<int32_t> reattemptCount{0};
    // The push client's state the request was made in: once that state is reset, the request and its
    // re-attempts no longer go out.
    const uint64_t generation;
    bool disableLocalCaching = false;

    // The class name logs and errors name ("VERequestSendTagsToServer").
    virtual std::string className() const { return "VezEduduzRequest"; }

    // True unless parameters hold "app_id" as a non-empty string (a JSON null or a number is missing).
    virtual bool missingAppId() const;

    // The URL request for the current fields. Fails (domain "VezEduduz Error", code 0, user info
    // "error") when the path is absent, the URL cannot be made, or a POST/PUT body cannot be written as
    // JSON: a request never goes out with a body it could not encode.
    platform::Result<platform::URLRequest> urlRequest() const;

    // "k1=v1&k2=v2" in the dictionary's key order, each key and value escaped on its own; a string value
    // as is, any other value as its description (bools as 1/0). "" for an empty or non-dictionary value.
    static std::string queryStringForParameters(const platform::Value& parameters);
    // A path segment: everything but unreserved characters escaped (a '/' or '?' in an id stays data).
    static std::string escapedPathComponent(std::string_view id);
};

}  // namespace vezeduduz
