#include "demo/KitServiceStandIn.h"

#include "platform/foundation/JSON.h"

namespace tesmar_demo {

using platform::Value;

namespace {

struct Endpoint {
    const char* name;
    const char* method;
    const char* pattern;
};
constexpr Endpoint kEndpoints[] = {
    {"GET settings", "GET", "/v1/apps/:bundle/settings"},
    {"POST apps", "POST", "/v1/apps"},
    {"POST reports", "POST", "/v1/apps/:bundle/reports"},
};

bool nonEmptyString(const Value& value) { return value.isString() && !value.asString()->empty(); }

}  // namespace

KitServiceStandIn::KitServiceStandIn(const std::string& directory)
    : ServiceStandIn(kHostName, directory, "kit-service") {
    for (const auto& endpoint : kEndpoints) {
        std::string name = endpoint.name;
        route(name, endpoint.method, endpoint.pattern,
              [this, name](const RecordedRequest& recorded) { return defaultReply(name, recorded); });
    }
}

std::unique_ptr<KitServiceStandIn> KitServiceStandIn::secure(const std::string& directory) {
    return std::unique_ptr<KitServiceStandIn>(new KitServiceStandIn(directory));
}

KitServiceStandIn::~KitServiceStandIn() { server().stop(); }

void KitServiceStandIn::setCacheDuration(int64_t seconds) {
    std::lock_guard lock(mutex_);
    cacheDuration_ = seconds;
}

void KitServiceStandIn::setKnown(const std::string& bundleIdentifier) {
    std::lock_guard lock(mutex_);
    known_.insert(bundleIdentifier);
}

std::vector<RecordedRequest> KitServiceStandIn::requestsFor(const std::string& endpoint) const {
    std::vector<RecordedRequest> out;
    for (auto& request : server().requests()) {
        bool settings = request.method == "GET" && request.path.size() > 9 &&
                        request.path.compare(request.path.size() - 9, 9, "/settings") == 0;
        bool apps = request.method == "POST" && request.path == "/v1/apps";
        bool reports = request.method == "POST" && request.path.size() > 8 &&
                       request.path.compare(request.path.size() - 8, 8, "/reports") == 0;
        if ((endpoint == "GET settings" && settings) || (endpoint == "POST apps" && apps) ||
            (endpoint == "POST reports" && reports))
            out.push_back(std::move(request));
    }
    return out;
}

std::vector<RecordedRequest> KitServiceStandIn::settingsRequests() const { return requestsFor("GET settings"); }
std::vector<RecordedRequest> KitServiceStandIn::registrations() const { return requestsFor("POST apps"); }
std::vector<RecordedRequest> KitServiceStandIn::reportUploads() const { return requestsFor("POST reports"); }

std::vector<Value> KitServiceStandIn::acceptedReports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

Reply KitServiceStandIn::defaultReply(const std::string& endpoint, const RecordedRequest& recorded) {
    if (recorded.header("X-Kit-API-Key").value_or("").empty())
        return Reply::json(R"({"error":"missing API key"})", 401);
    auto param = [&](const char* name) {
        auto it = recorded.pathParams.find(name);
        return it == recorded.pathParams.end() ? std::string() : it->second;
    };
    if (endpoint == "GET settings") {
        if (recorded.queryItem("installation_id").value_or("").empty())
            return Reply::json(R"({"error":"installation_id is required"})", 400);
        std::lock_guard lock(mutex_);
        Value settings = Value::dictionary({{"app_status", known_.count(param("bundle")) ? "known" : "new"},
                                            {"cache_duration", cacheDuration_},
                                            {"features", Value::dictionary({{"crash_reporting", true}})}});
        return Reply::json(platform::json::write(settings).valueOr("{}"));
    }
    auto body = platform::json::read(recorded.body);
    if (endpoint == "POST apps") {
        bool ok = body && body->isDictionary() && nonEmptyString((*body)["bundle_id"]) &&
                  nonEmptyString((*body)["installation_id"]) && (*body)["display_version"].isString() &&
                  (*body)["build_version"].isString();
        if (!ok) return Reply::json(R"({"error":"bad registration"})", 400);
        std::lock_guard lock(mutex_);
        known_.insert(*(*body)["bundle_id"].asString());
        return Reply::json(R"({"status":"registered"})", 201);
    }
    if (endpoint == "POST reports") {
        if (!body || !body->isDictionary() || !nonEmptyString((*body)["report_id"]))
            return Reply::json(R"({"error":"bad report"})", 400);
        std::lock_guard lock(mutex_);
        reports_.push_back(std::move(body).value());
        return Reply::json(R"({"status":"accepted"})", 202);
    }
    return Reply::json(R"({"error":"not found"})", 404);
}

}  // namespace tesmar_demo
