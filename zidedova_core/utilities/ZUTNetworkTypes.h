#pragma once
// What the shared network utility (ZUTNetwork) and its per-request sessions (ZUTNetworkURLSession)
// share with their callers: the error domain and codes, the log levels and message codes, the logger
// delegate interface and the completion types.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/Value.h"

namespace zidedova {

inline constexpr const char* kZUTNetworkErrorDomain = "com.zut.network.ErrorDomain";
inline constexpr const char* kZUTNetworkErrorContext = "Context";
// Every session ID the utility makes starts with this, then "-" and a UUID.
inline constexpr const char* kZUTNetworkBackgroundSessionPrefix = "com.zut.network.background-upload";

enum ZUTNetworkErrorCode : int64_t {
    ZUTNetworkErrorCodeInvalidURL = 1,          // "Failed to create network request"
    ZUTNetworkErrorCodeSessionCreation = 2,     // "Cannot create network session"
    ZUTNetworkErrorCodePayloadCompression = 3,  // "Failed to create network request"
    ZUTNetworkErrorCodeRequestCreation = 4,     // "Failed to create network request"
    ZUTNetworkErrorCodeEmptyResponse = 5,       // "Network Error: Empty network response"
};

enum ZUTNetworkLogLevel : int64_t {
    kZUTNetworkLogLevelError = 3,
    kZUTNetworkLogLevelWarning = 4,
    kZUTNetworkLogLevelInfo = 6,
    kZUTNetworkLogLevelDebug = 7,
};

enum ZUTNetworkMessageCode : int64_t {
    kZUTNetworkMessageCodeUploadingData = 900000,
    kZUTNetworkMessageCodeDownloadingData = 900001,
    kZUTNetworkMessageCodeRequestCreation = 900002,  // also: a logger delegate refused
    kZUTNetworkMessageCodeRelaunchSessionMissing = 900003,
    kZUTNetworkMessageCodeWriteRequestFile = 901000,
    kZUTNetworkMessageCodeEmptyDownloadLocation = 901001,
    kZUTNetworkMessageCodeReadDownloadedData = 901002,
    kZUTNetworkMessageCodeBackgroundSessionFinished = 901003,
    kZUTNetworkMessageCodeEmptyServerTrust = 901004,
    kZUTNetworkMessageCodeNoTrustCredential = 901005,
    kZUTNetworkMessageCodeServerTrustChallenge = 901006,
    kZUTNetworkMessageCodeCancelChallenge = 901007,
    kZUTNetworkMessageCodeTrustEvaluation = 901008,
    kZUTNetworkMessageCodeNilSystemHandler = 901009,
    kZUTNetworkMessageCodeEmptySystemHandlerID = 901010,
    kZUTNetworkMessageCodeDuplicateSystemHandler = 901011,
    kZUTNetworkMessageCodeListTemporaryFolder = 901012,
    kZUTNetworkMessageCodeRemoveTemporaryFile = 901013,
    kZUTNetworkMessageCodeAccessTemporaryFolder = 901014,
    kZUTNetworkMessageCodeCreateTemporaryFolder = 901015,
    kZUTNetworkMessageCodeExcludeFromBackup = 901016,
    kZUTNetworkMessageCodeNetworkError = 901017,
    kZUTNetworkMessageCodeDiscardingSession = 901019,
};

// Receives every line the utility and its sessions write. Called on whichever thread the step runs on
// (the caller's for request set-up, the main loop for transfer callbacks): implementations must be
// thread-safe. Contexts are values; errors appear as their description, absent values as null.
class ZUTNetworkLoggerDelegate {
public:
    virtual ~ZUTNetworkLoggerDelegate() = default;
    virtual void ZUTNetwork_logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                                         const platform::ValueArray& contexts) = 0;
    virtual void ZUTNetwork_logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                                         const platform::Value& context) = 0;
    virtual void ZUTNetwork_logWithLevel(int64_t level, int64_t messageCode, const std::string& message) = 0;
};

// The caller's completion: the HTTP response (null when none came), the downloaded body (GET only) and
// the error. A transfer that failed after the response arrived has both a response and an error.
using ZUTNetworkCompletionHandler =
    std::function<void(std::shared_ptr<const platform::HTTPURLResponse> response,
                       std::optional<platform::Bytes> data, std::optional<platform::Error> error)>;
// The session layer's completion, with the session ID of the request; always on the main loop.
using ZUTNetworkURLSessionCompletionHandler = std::function<void(
    std::shared_ptr<const platform::HTTPURLResponse> response, std::optional<platform::Bytes> data,
    const std::string& sessionID, std::optional<platform::Error> error)>;
// The system's block for a background session's events.
using ZUTNetworkSystemCompletionHandler = std::function<void()>;

// An error of kZUTNetworkErrorDomain with its "Context" text.
platform::Error ZUTNetworkError(int64_t code, const std::string& context);

}  // namespace zidedova
