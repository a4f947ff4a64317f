#include "demo/PushServiceStandIn.h"

#include <httplib.h>

#include "platform/foundation/JSON.h"
#include "platform/foundation/UUID.h"

namespace tesmar_demo {
namespace {

constexpr const char* kAPI = "/api/v1/";

// Endpoint name -> route (method, pattern under /api/v1/).
const std::vector<std::pair<std::string, std::string>>& endpoints() {
    static const std::vector<std::pair<std::string, std::string>> list = {
        {"POST", "players"},
        {"GET", "players/:id"},
        {"PUT", "players/:id"},
        {"POST", "players/:id/on_session"},
        {"POST", "players/:id/on_focus"},
        {"POST", "players/:id/on_purchase"},
        {"POST", "players/:id/email_logout"},
        {"POST", "notifications"},
        {"PUT", "notifications/:id"},
        {"GET", "apps/:id/ios_params.js"},
    };
    return list;
}

std::string jsonString(const std::string& text) {
    auto written = platform::json::write(platform::Value(text), {.allowFragments = true});
    return written ? *written : "\"\"";
}

}  // namespace

PushServiceStandIn::PushServiceStandIn(const std::string& directory)
    : ServiceStandIn(kHostName, directory, "push-service") {
    for (const auto& [method, pattern] : endpoints()) {
        std::string endpoint = method + " " + pattern;
        route(endpoint, method, kAPI + pattern,
              [this, endpoint](const RecordedRequest& recorded) { return defaultReply(endpoint, recorded); });
    }
    server().setFallbackHandler(
        [this](const RecordedRequest& recorded, const httplib::Request& req, httplib::Response& res) {
            server().answer(recorded, req, res, Reply::json(R"({"errors":["not found"]})", 404));
        });
}

std::unique_ptr<PushServiceStandIn> PushServiceStandIn::secure(const std::string& directory) {
    return std::unique_ptr<PushServiceStandIn>(new PushServiceStandIn(directory));
}

PushServiceStandIn::~PushServiceStandIn() { server().stop(); }

void PushServiceStandIn::setIosParams(std::string json) {
    std::lock_guard lock(mutex_);
    iosParams_ = std::move(json);
}

std::vector<RecordedRequest> PushServiceStandIn::requestsTo(const std::string& apiPath) const {
    return server().requestsTo(kAPI + apiPath);
}

std::vector<std::string> PushServiceStandIn::createdPlayers() const {
    std::lock_guard lock(mutex_);
    return createdPlayers_;
}

void PushServiceStandIn::mergeTags(const std::string& playerId, const std::string& requestBody) {
    auto body = platform::json::read(requestBody);
    if (!body || !body->find("tags") || !body->find("tags")->isDictionary()) return;
    std::lock_guard lock(mutex_);
    platform::Value merged = platform::Value::dictionary();
    if (auto old = playerTags_.find(playerId); old != playerTags_.end())
        merged = platform::json::read(old->second).valueOr(platform::Value::dictionary());
    for (const auto& [key, value] : *(*body)["tags"].asDictionary()) {
        // An empty value deletes the tag, as the service does.
        if (value.isString() && value.asString()->empty())
            merged.erase(key);
        else
            merged.set(key, value);
    }
    playerTags_[playerId] = platform::json::write(merged).valueOr("{}");
}

Reply PushServiceStandIn::defaultReply(const std::string& endpoint, const RecordedRequest& recorded) {
    auto id = [&] {
        auto it = recorded.pathParams.find("id");
        return it == recorded.pathParams.end() ? std::string() : it->second;
    };
    if (endpoint == "POST players") {
        auto created = platform::UUID::random().uuidString();
        mergeTags(created, recorded.body);
        std::lock_guard lock(mutex_);
        createdPlayers_.push_back(created);
        return Reply::json(R"({"success":true,"id":)" + jsonString(created) + "}");
    }
    if (endpoint == "POST players/:id/on_session") {
        mergeTags(id(), recorded.body);
        return Reply::json(R"({"success":true,"id":)" + jsonString(id()) + "}");
    }
    if (endpoint == "GET apps/:id/ios_params.js") {
        std::lock_guard lock(mutex_);
        return Reply::json(iosParams_);
    }
    if (endpoint == "GET players/:id") {
        std::lock_guard lock(mutex_);
        auto tags = playerTags_.find(id());
        return Reply::json(R"({"id":)" + jsonString(id()) + R"(,"tags":)" +
                           (tags == playerTags_.end() ? std::string("{}") : tags->second) + "}");
    }
    if (endpoint == "PUT players/:id") {
        mergeTags(id(), recorded.body);
        return Reply::json(R"({"success":true})");
    }
    if (endpoint == "POST notifications") {
        return Reply::json(R"({"id":)" + jsonString(platform::UUID::random().uuidString()) + R"(,"recipients":1})");
    }
    return Reply::json(R"({"success":true})");
}

}  // namespace tesmar_demo
