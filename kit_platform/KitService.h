#pragma once
// KitServiceClient: the kit service's JSON-over-HTTPS API, as the kits use it.
//
//   settings      GET  /v1/apps/<bundle id>/settings?installation_id=<id>   -> the settings document
//   registration  POST /v1/apps   {"bundle_id", "installation_id", "display_version", "build_version"}
//   report upload POST /v1/apps/<bundle id>/reports   (the crash reporter's report JSON)
//
// Every request carries the API key in "X-Kit-API-Key". The host is a deployment constant
// (kKitServiceHost), reached through URL loading like every other host; tests and the demo map it to a
// local stand-in with connect-to.
//
// Threads: calls may come from any thread; completions run on the client's own URL session delegate
// queue, never on the caller's. Callers hop to their own queue.
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {
class URLSession;
}

namespace verira {

inline constexpr const char* kKitServiceHost = "kits.tesmar.invalid";
inline constexpr const char* kAPIKeyHeader = "X-Kit-API-Key";
inline constexpr const char* kKitServiceErrorDomain = "io.verira.KitService";
// Error codes besides HTTP statuses (which are used as codes as they are).
inline constexpr int64_t kKitServiceTransportError = -1;    // no answer (user info: "underlying")
inline constexpr int64_t kKitServiceBadAnswerError = -2;    // 2xx whose body is not the JSON object asked for
inline constexpr int64_t kKitServiceBadArgumentError = -3;  // a request that cannot be built
inline constexpr double kKitServiceTimeout = 30;

class KitServiceClient {
public:
    using ValueCompletion = std::function<void(platform::Result<platform::Value>)>;
    using DoneCompletion = std::function<void(platform::Result<void>)>;

    // `baseURL` is "https://<kKitServiceHost>" unless a test gives another.
    explicit KitServiceClient(std::string apiKey, std::string baseURL = std::string("https://") + kKitServiceHost);
    ~KitServiceClient();
    KitServiceClient(const KitServiceClient&) = delete;
    KitServiceClient& operator=(const KitServiceClient&) = delete;

    // The settings document: a JSON object, else an error.
    void fetchSettings(const std::string& bundleIdentifier, const std::string& installationIdentifier,
                       ValueCompletion completion);
    // `body` is the registration object; any 2xx is success.
    void registerApp(const platform::Value& body, DoneCompletion completion);
    // Any 2xx means the service accepted the report.
    void uploadReport(const std::string& bundleIdentifier, const platform::Value& report, DoneCompletion completion);

private:
    void send(const std::string& method, const std::string& pathAndQuery, const platform::Value* body,
              std::function<void(platform::Result<platform::Bytes>)> completion);

    std::string apiKey_;
    std::string baseURL_;
    std::shared_ptr<platform::URLSession> session_;
};

// The bundle identifier as one percent-encoded path segment.
std::string pathSegment(const std::string& text);

}  // namespace verira
