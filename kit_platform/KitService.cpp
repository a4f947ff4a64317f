#include "kit_platform/KitService.h"

#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/URLSession.h"
#include "platform/urlsession/URLSessionConfiguration.h"

namespace verira {

using platform::Bytes;
using platform::Error;
using platform::Result;
using platform::Value;

namespace {

Error serviceError(int64_t code, const std::string& message) {
    return Error::withDescription(kKitServiceErrorDomain, code, message);
}

// Answers are small JSON documents; anything bigger is not one of ours.
constexpr size_t kMaxAnswerBytes = 1024 * 1024;

}  // namespace

std::string pathSegment(const std::string& text) {
    auto allowed = platform::CharacterSet::alphanumerics().adding("-._~");
    return platform::addingPercentEncoding(text, allowed).value_or("");
}

KitServiceClient::KitServiceClient(std::string apiKey, std::string baseURL)
    : apiKey_(std::move(apiKey)), baseURL_(std::move(baseURL)) {
    auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.timeoutIntervalForRequest = kKitServiceTimeout;
    configuration.timeoutIntervalForResource = kKitServiceTimeout;
    // Settings have their own cache with its own expiry; answers are never reused by URL loading.
    configuration.URLCache = nullptr;
    session_ = platform::URLSession::sessionWithConfiguration(configuration);
}

KitServiceClient::~KitServiceClient() { session_->finishTasksAndInvalidate(); }

void KitServiceClient::send(const std::string& method, const std::string& pathAndQuery, const Value* body,
                            std::function<void(Result<Bytes>)> completion) {
    auto url = platform::URL::string(baseURL_ + pathAndQuery);
    if (!url) {
        completion(serviceError(kKitServiceBadArgumentError, "cannot make a URL of " + pathAndQuery));
        return;
    }
    platform::URLRequest request(*url, platform::URLRequestCachePolicy::ReloadIgnoringLocalCacheData,
                                 kKitServiceTimeout);
    request.setHTTPMethod(method);
    request.setValue(apiKey_, kAPIKeyHeader);
    request.setValue("application/json", "Accept");
    if (body) {
        auto text = platform::json::write(*body);
        if (!text) {
            completion(serviceError(kKitServiceBadArgumentError,
                                    "the request body is not JSON: " + text.error().localizedDescription()));
            return;
        }
        request.setValue("application/json", "Content-Type");
        request.setHTTPBody(Bytes(text->begin(), text->end()));
    }
    auto task = session_->dataTaskWithRequest(
        request,
        [completion = std::move(completion)](const Bytes& data, std::shared_ptr<const platform::URLResponse> response,
                                             std::optional<Error> error) {
            if (error) {
                completion(Error(kKitServiceErrorDomain, kKitServiceTransportError,
                                 Value::dictionary({{"NSLocalizedDescription", error->localizedDescription()},
                                                    {"underlying", Value::dictionary({{"domain", error->domain},
                                                                                      {"code", error->code}})}})));
                return;
            }
            auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(response);
            int status = http ? http->statusCode() : 0;
            if (status < 200 || status > 299) {
                completion(serviceError(status, "the kit service answered " + std::to_string(status)));
                return;
            }
            completion(data);
        });
    task->resume();
}

void KitServiceClient::fetchSettings(const std::string& bundleIdentifier, const std::string& installationIdentifier,
                                     ValueCompletion completion) {
    std::string path = "/v1/apps/" + pathSegment(bundleIdentifier) +
                       "/settings?installation_id=" + pathSegment(installationIdentifier);
    send("GET", path, nullptr, [completion = std::move(completion)](Result<Bytes> answer) {
        if (!answer) return completion(answer.error());
        if (answer->size() > kMaxAnswerBytes)
            return completion(serviceError(kKitServiceBadAnswerError, "the settings are larger than 1 MB"));
        auto settings = platform::json::read(*answer);
        if (!settings || !settings->isDictionary())
            return completion(serviceError(kKitServiceBadAnswerError, "the settings are not a JSON object"));
        completion(std::move(settings).value());
    });
}

void KitServiceClient::registerApp(const Value& body, DoneCompletion completion) {
    send("POST", "/v1/apps", &body, [completion = std::move(completion)](Result<Bytes> answer) {
        if (!answer) return completion(answer.error());
        completion(Result<void>());
    });
}

void KitServiceClient::uploadReport(const std::string& bundleIdentifier, const Value& report,
                                    DoneCompletion completion) {
    send("POST", "/v1/apps/" + pathSegment(bundleIdentifier) + "/reports", &report,
         [completion = std::move(completion)](Result<Bytes> answer) {
             if (!answer) return completion(answer.error());
             completion(Result<void>());
         });
}

}  // namespace verira
