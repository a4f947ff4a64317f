#include "demo/PushServiceStandIn.h"

#include <httplib.h>

#include "demo/Certificates.h"
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

PushServiceStandIn::PushServiceStandIn() : PushServiceStandIn(std::make_unique<HttpServer>(), "") {}

PushServiceStandIn::PushServiceStandIn(std::unique_ptr<HttpServer> server, std::string rootPath)
    : server_(std::move(server)), rootPath_(std::move(rootPath)) {
    install();
}

std::unique_ptr<PushServiceStandIn> PushServiceStandIn::secure(const std::string& directory) {
    auto pki = ServerPKI::make(kHostName);
    auto files = writeServerFiles(directory, pki.leaf, {&pki.intermediate}, "push-service");
    auto root = writePEMFile(directory + "/push-service-root.pem", pki.root.certificatePEM);
    auto server = std::make_unique<HttpServer>(files.certificateChainPath, files.privateKeyPath);
    return std::unique_ptr<PushServiceStandIn>(new PushServiceStandIn(std::move(server), root));
}

PushServiceStandIn::~PushServiceStandIn() { server_->stop(); }

std::pair<std::string, std::string> PushServiceStandIn::connectToEntry() const {
    return {std::string(kHostName) + ":443", "127.0.0.1:" + std::to_string(port())};
}

void PushServiceStandIn::install() {
    for (const auto& [method, pattern] : endpoints()) {
        std::string endpoint = method + " " + pattern;
        server_->routeRaw(method, kAPI + pattern,
                          [this, endpoint](const RecordedRequest& recorded, const httplib::Request& req,
                                           httplib::Response& res) { handle(endpoint, recorded, req, res); });
    }
    server_->setFallbackHandler(
        [this](const RecordedRequest& recorded, const httplib::Request& req, httplib::Response& res) {
            server_->answer(recorded, req, res, Reply::json(R"({"errors":["not found"]})", 404));
        });
}

void PushServiceStandIn::script(const std::string& endpoint, std::vector<Reply> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_[endpoint] = Script{std::move(replies), 0};
}

void PushServiceStandIn::clearScript(const std::string& endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_.erase(endpoint);
}

void PushServiceStandIn::setIosParams(std::string json) {
    std::lock_guard<std::mutex> lock(mutex_);
    iosParams_ = std::move(json);
}

std::vector<RecordedRequest> PushServiceStandIn::requestsTo(const std::string& apiPath) const {
    return server_->requestsTo(kAPI + apiPath);
}

std::vector<std::string> PushServiceStandIn::createdPlayers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return createdPlayers_;
}

void PushServiceStandIn::handle(const std::string& endpoint, const RecordedRequest& recorded,
                                const httplib::Request& req, httplib::Response& res) {
    std::optional<Reply> scripted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = scripts_.find(endpoint);
        if (it != scripts_.end() && !it->second.replies.empty()) {
            auto& script = it->second;
            scripted = script.replies[std::min(script.next, script.replies.size() - 1)];
            if (script.next < script.replies.size()) ++script.next;
        }
    }
    server_->answer(recorded, req, res, scripted ? std::move(*scripted) : defaultReply(endpoint, recorded));
}

void PushServiceStandIn::mergeTags(const std::string& playerId, const std::string& requestBody) {
    auto body = platform::json::read(requestBody);
    if (!body || !body->find("tags") || !body->find("tags")->isDictionary()) return;
    std::lock_guard<std::mutex> lock(mutex_);
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
        std::lock_guard<std::mutex> lock(mutex_);
        createdPlayers_.push_back(created);
        return Reply::json(R"({"success":true,"id":)" + jsonString(created) + "}");
    }
    if (endpoint == "POST players/:id/on_session") {
        mergeTags(id(), recorded.body);
        return Reply::json(R"({"success":true,"id":)" + jsonString(id()) + "}");
    }
    if (endpoint == "GET apps/:id/ios_params.js") {
        std::lock_guard<std::mutex> lock(mutex_);
        return Reply::json(iosParams_);
    }
    if (endpoint == "GET players/:id") {
        std::lock_guard<std::mutex> lock(mutex_);
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
