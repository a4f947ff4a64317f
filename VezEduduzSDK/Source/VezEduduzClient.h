#pragma once
// VezEduduzClient: the push client's only HTTP client. Every call to the push service goes through the
// shared instance: it refuses a request locally when privacy consent is missing (non-GET) or the app id
// is absent, sends it on one of two long-lived URL sessions, turns the answer into a JSON value or an
// Error, re-attempts it after 5xx answers and transport failures, and reports the outcome once.
//
// Errors (two domains that differ by a blank):
//   "VezEduduz Error", 0     consent missing ("error": text naming the request's class), group time-out
//                            ("error": "The request timed out"), request that could not be built
//   "VezEduduz Error", status   body is not JSON ("returned": the parser's error)
//   "VezEduduzError", -1     no app id ("error": "HTTP Request (<class>) must contain app_id parameter")
//   "VezEduduzError", status status other than 200: "returned" = parsed body; or "error" = the transport
//                            error when there was no answer (status 0); or no user info
// Only 200 is success. A success hands over the parsed answer; a null Value when the body was empty.
// The answer is whatever JSON the service sent (normally an object): read it with Value's checked
// lookups (find() answers nullptr on a non-object).
//
// Re-attempts: status 0 or >= 500 is sent again 30 s later (on the shared Clock, from the main loop),
// at most twice; the caller hears only of the last attempt. A non-JSON body is never re-attempted.
//
// Threads: any thread may call. Every outcome is delivered on the main loop (the push client keeps
// all its state there), except that executeSynchronousRequest delivers on its calling thread. Immediate
// refusals run before the call returns when called on the main thread, else they are posted to it.
// The client lives for the process; its sessions are made once and never replaced.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "VezEduduzSDK/Source/VezEduduzRequest.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {
class URLSession;
}

namespace vezeduduz {

inline constexpr const char* kVezEduduzErrorDomain = "VezEduduzError";
inline constexpr const char* kVezEduduzSpacedErrorDomain = "VezEduduz Error";

using VEResultSuccessBlock = std::function<void(const platform::Value& result)>;  // null: no body
using VEFailureBlock = std::function<void(const platform::Error& error)>;
using VEMultipleSuccessBlock = std::function<void(const std::map<std::string, platform::Value>& results)>;
using VEMultipleFailureBlock = std::function<void(const std::map<std::string, platform::Error>& errors)>;
using VERequestGroup = std::map<std::string, std::shared_ptr<VezEduduzRequest>>;

class VezEduduzClient {
public:
    static constexpr double kRequestTimeout = 120.0;  // per request and per resource
    static constexpr double kReattemptDelay = 30.0;
    static constexpr int32_t kMaxReattempts = 2;
    static constexpr double kGroupTimeout = 450.0;

    static VezEduduzClient& sharedClient();

    // Answers true while the application requires privacy consent and has not given it. Installed by
    // the facade; none means consent is not required. Called on the sending thread.
    static void setPrivacyConsentCheck(std::function<bool()> consentMissing);

    // Sends asynchronously and returns at once. Either block may be empty.
    void executeRequest(std::shared_ptr<VezEduduzRequest> request, VEResultSuccessBlock onSuccess,
                        VEFailureBlock onFailure);

    // Sends and waits up to 120 s (real time), then delivers on the calling thread. Not for the main
    // thread. When the wait runs out, an asynchronous re-attempt follows and neither block is called here.
    void executeSynchronousRequest(std::shared_ptr<VezEduduzRequest> request, VEResultSuccessBlock onSuccess,
                                   VEFailureBlock onFailure);

    // Sends every request of the group at once and reports once on the main loop: the failure block
    // with the error of each request that failed when any did, else the success block with each
    // request's answer (requests answered with an empty body are left out). When the group has not
    // finished 450 s (shared Clock) after the call, it reports then: with the time-out error under every
    // key when nothing had failed yet. Answers arriving after the report change nothing. An empty group
    // reports nothing.
    void executeSimultaneousRequests(const VERequestGroup& requests, VEMultipleSuccessBlock onSuccess,
                                     VEMultipleFailureBlock onFailure);

    // What an answer means for a request (pure; the fuzz target and tests drive it directly).
    struct AnswerOutcome {
        enum class Kind { success, failure, reattempt };
        Kind kind = Kind::failure;
        platform::Value result;                // success: the parsed body (null when empty)
        std::optional<platform::Error> error;  // failure
    };
    static AnswerOutcome interpretAnswer(const VezEduduzRequest& request, int statusCode, const platform::Bytes& body,
                                         const std::optional<platform::Error>& transportError);

    // Errors the client makes.
    static platform::Error privacyConsentErrorWithRequestType(const std::string& className);
    static platform::Error missingAppIdError(const std::string& className);
    static platform::Error genericTimedOutError();

    const std::shared_ptr<platform::URLSession>& sharedSession() const { return sharedSession_; }
    const std::shared_ptr<platform::URLSession>& noCacheSession() const { return noCacheSession_; }

private:
    VezEduduzClient();
    // Consent gate and app id check; true when the request may go out (else the failure is delivered).
    bool admit(const std::shared_ptr<VezEduduzRequest>& request, bool consentGate, const VEFailureBlock& onFailure);
    void deliverAnswer(const std::shared_ptr<VezEduduzRequest>& request, int statusCode, const platform::Bytes& body,
                       const std::optional<platform::Error>& transportError, bool isAsync,
                       const VEResultSuccessBlock& onSuccess, const VEFailureBlock& onFailure);
    void reattemptRequest(std::shared_ptr<VezEduduzRequest> request, VEResultSuccessBlock onSuccess,
                          VEFailureBlock onFailure);

    std::shared_ptr<platform::URLSession> sharedSession_;
    std::shared_ptr<platform::URLSession> noCacheSession_;
};

}  // namespace vezeduduz
