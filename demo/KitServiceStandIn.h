#pragma once
// KitServiceStandIn: the kit service's JSON API on an HttpServer, for tests and the demo.
//
// Endpoints (every request must carry a non-empty "X-Kit-API-Key", or the answer is 401):
//   GET  /v1/apps/:bundle/settings?installation_id=ID   {"app_status": "new"|"known", "cache_duration": N,
//                                                        "features": {"crash_reporting": true}}
//        ("known" once the bundle was registered here, or after setKnown)
//   POST /v1/apps             {"bundle_id", "installation_id", "display_version", "build_version"}
//                             (strings; the first two non-empty) -> 201 {"status": "registered"}, else 400
//   POST /v1/apps/:bundle/reports   a JSON object with a non-empty "report_id" string -> 202
//                             {"status": "accepted"} and the report is kept (acceptedReports()), else 400
// Anything else is recorded and answered 404.
//
// Scripts: script(endpoint, replies) makes an endpoint answer from HttpServer replies (failures,
// dropped connections, ...), each used in turn, the last repeating, until clearScript(). A scripted
// answer does not register an app or accept a report. Endpoints: "GET settings", "POST apps",
// "POST reports".
//
// Threads: answers run on the server's threads; every member is thread-safe. The destructor stops the
// server before its handlers' state goes away.
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "demo/HttpServer.h"
#include "platform/foundation/Value.h"

namespace tesmar_demo {

class KitServiceStandIn {
public:
    static constexpr const char* kHostName = "kits.tesmar.invalid";

    // Plain HTTP on 127.0.0.1.
    KitServiceStandIn();
    // HTTPS with certificates for kHostName made in `directory`; rootCertificatePath() is the root to
    // trust. connectToEntry() maps "kits.tesmar.invalid:443" to this server.
    static std::unique_ptr<KitServiceStandIn> secure(const std::string& directory);
    ~KitServiceStandIn();
    KitServiceStandIn(const KitServiceStandIn&) = delete;
    KitServiceStandIn& operator=(const KitServiceStandIn&) = delete;

    HttpServer& server() { return *server_; }
    // "http(s)://127.0.0.1:PORT" (no trailing slash).
    std::string baseURL() const { return server_->baseURL(); }
    const std::string& rootCertificatePath() const { return rootPath_; }
    std::pair<std::string, std::string> connectToEntry() const;

    void script(const std::string& endpoint, std::vector<Reply> replies);
    void clearScript(const std::string& endpoint);
    void setCacheDuration(int64_t seconds);
    void setKnown(const std::string& bundleIdentifier);

    std::vector<RecordedRequest> settingsRequests() const;
    std::vector<RecordedRequest> registrations() const;
    std::vector<RecordedRequest> reportUploads() const;
    // Bodies of the reports accepted, in order.
    std::vector<platform::Value> acceptedReports() const;

private:
    KitServiceStandIn(std::unique_ptr<HttpServer> server, std::string rootPath);
    void install();
    std::vector<RecordedRequest> requestsFor(const std::string& endpoint) const;
    void handle(const std::string& endpoint, const RecordedRequest& recorded, const httplib::Request& req,
                httplib::Response& res);
    Reply defaultReply(const std::string& endpoint, const RecordedRequest& recorded);

    std::unique_ptr<HttpServer> server_;
    std::string rootPath_;
    mutable std::mutex mutex_;  // guards everything below
    struct Script {
        std::vector<Reply> replies;
        size_t next = 0;
    };
    std::map<std::string, Script> scripts_;
    int64_t cacheDuration_ = 3600;
    std::set<std::string> known_;
    std::vector<platform::Value> reports_;
};

}  // namespace tesmar_demo
