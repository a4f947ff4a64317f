#pragma once
// PushServiceStandIn: the push service's REST API on an HttpServer, for tests and the demo.
//
// Endpoints (under /api/v1/):
//   POST players                   creates a player: {"success":true,"id":"<new uuid>"}
//   GET  players/:id               {"id":..., "tags":{...}} (tags kept from earlier PUTs and registrations)
//   PUT  players/:id               {"success":true}; "tags" in the body are merged into the player
//   POST players/:id/on_session    {"success":true,"id":":id"}
//   POST players/:id/on_focus      {"success":true}
//   POST players/:id/on_purchase   {"success":true}
//   POST players/:id/email_logout  {"success":true}
//   POST notifications             {"id":"<new uuid>","recipients":1}
//   PUT  notifications/:id         {"success":true}
//   GET  apps/:id/ios_params.js    the ios params (setIosParams), default {"fba":true}
// Anything else is recorded and answered 404 with {"errors":["not found"]}.
//
// Scripts (see ServiceStandIn): endpoints are named by method and pattern as listed above, e.g.
// "POST players/:id/on_session".
//
// Threads: answers run on the server's threads; every member is thread-safe.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "demo/ServiceStandIn.h"

namespace tesmar_demo {

class PushServiceStandIn : public ServiceStandIn {
public:
    static constexpr const char* kHostName = "api.vezeduduz.test";

    // Plain HTTP on 127.0.0.1.
    PushServiceStandIn() : PushServiceStandIn(std::string()) {}
    // HTTPS with certificates for kHostName made in `directory`.
    static std::unique_ptr<PushServiceStandIn> secure(const std::string& directory);
    ~PushServiceStandIn();

    // "http(s)://127.0.0.1:PORT/": the client's server URL ("api/v1/" follows).
    std::string serverURL() const { return server().baseURL() + "/"; }

    void setIosParams(std::string json);

    std::vector<RecordedRequest> requests() const { return server().requests(); }
    // Requests to one path under /api/v1/ ("players", "players/abc/on_session").
    std::vector<RecordedRequest> requestsTo(const std::string& apiPath) const;
    // Ids of the players created so far, in order.
    std::vector<std::string> createdPlayers() const;

private:
    explicit PushServiceStandIn(const std::string& directory);
    Reply defaultReply(const std::string& endpoint, const RecordedRequest& recorded);
    // Keeps the "tags" of a request body for the player ("" deletes a tag).
    void mergeTags(const std::string& playerId, const std::string& requestBody);

    mutable std::mutex mutex_;  // guards everything below
    std::string iosParams_ = R"({"fba":true})";
    std::vector<std::string> createdPlayers_;
    std::map<std::string, std::string> playerTags_;  // id -> tags JSON
};

}  // namespace tesmar_demo
