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
// Scripts (see ServiceStandIn): a scripted answer does not register an app or accept a report.
// Endpoints: "GET settings", "POST apps", "POST reports".
//
// Threads: answers run on the server's threads; every member is thread-safe.
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "demo/ServiceStandIn.h"
#include "platform/foundation/Value.h"

namespace tesmar_demo {

class KitServiceStandIn : public ServiceStandIn {
public:
    static constexpr const char* kHostName = "kits.tesmar.invalid";

    // Plain HTTP on 127.0.0.1.
    KitServiceStandIn() : KitServiceStandIn(std::string()) {}
    // HTTPS with certificates for kHostName made in `directory`.
    static std::unique_ptr<KitServiceStandIn> secure(const std::string& directory);
    ~KitServiceStandIn();

    // "http(s)://127.0.0.1:PORT" (no trailing slash).
    std::string baseURL() const { return server().baseURL(); }

    void setCacheDuration(int64_t seconds);
    void setKnown(const std::string& bundleIdentifier);

    std::vector<RecordedRequest> settingsRequests() const;
    std::vector<RecordedRequest> registrations() const;
    std::vector<RecordedRequest> reportUploads() const;
    // Bodies of the reports accepted, in order.
    std::vector<platform::Value> acceptedReports() const;

private:
    explicit KitServiceStandIn(const std::string& directory);
    std::vector<RecordedRequest> requestsFor(const std::string& endpoint) const;
    Reply defaultReply(const std::string& endpoint, const RecordedRequest& recorded);

    mutable std::mutex mutex_;  // guards everything below
    int64_t cacheDuration_ = 3600;
    std::set<std::string> known_;
    std::vector<platform::Value> reports_;
};

}  // namespace tesmar_demo
