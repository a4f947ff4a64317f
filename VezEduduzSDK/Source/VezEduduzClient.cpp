#include "VezEduduzSDK/Source/VezEduduzClient.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/JSON.h"
#include "platform/urlsession/URLSession.h"
#include "platform/urlsession/URLSessionConfiguration.h"

namespace vezeduduz {
namespace {

using platform::Error;
using platform::Value;
using platform::dispatch::MainLoop;

platform::dispatch::Mutex consentMutex;
std::shared_ptr<const std::function<bool()>> consentCheck GUARDED_BY(consentMutex);

bool consentMissing() {
    std::shared_ptr<const std::function<bool()>> check;
    {
        platform::dispatch::MutexLock lock(consentMutex);
        check = consentCheck;
    }
    return check && (*check)();
}

// Errors carried inside user info ("returned", "error") as plain values, so callers read them with
// the same checked lookups as any answer.
Value errorValue(const Error& error) {
    return Value::dictionary({{"domain", error.domain}, {"code", error.code}, {"userInfo", error.userInfo}});
}

// Immediate outcomes: on the main thread before returning, else posted there.
void onMainNowOrLater(std::function<void()> block) {
    if (MainLoop::isMainThread()) {
        block();
    } else {
        MainLoop::shared().post(std::move(block));
    }
}

std::shared_ptr<platform::URLSession> makeSession(platform::URLRequestCachePolicy policy) {
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForRequest = VezEduduzClient::kRequestTimeout;
    configuration.timeoutIntervalForResource = VezEduduzClient::kRequestTimeout;
    configuration.requestCachePolicy = policy;
    return platform::URLSession::sessionWithConfiguration(configuration);
}

int statusOf(const std::shared_ptr<const platform::URLResponse>& response) {
    auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(response);
    return http ? http->statusCode() : 0;
}

void prettyPrintDebugStatement(const VezEduduzRequest& request, const platform::URLRequest& built) {
    if (!request.parameters || !platform::json::isValidJSONObject(*request.parameters)) return;
    platform::json::WriteOptions options;
    options.prettyPrinted = true;
    auto text = platform::json::write(*request.parameters, options);
    if (!text) return;
    VezEduduzLogSink::log(VELogLevel::verbose, "HTTP Request (" + request.className() + ") with URL: " +
                                                   (built.url() ? built.url()->absoluteString() : std::string()) +
                                                   ", with parameters: " + *text);
}

}  // namespace

VezEduduzClient& VezEduduzClient::sharedClient() {
    // Made once, never destroyed: outcomes may still arrive while the process exits.
    static VezEduduzClient* client = new VezEduduzClient();
    return *client;
}

VezEduduzClient::VezEduduzClient()
    : sharedSession_(makeSession(platform::URLRequestCachePolicy::UseProtocolCachePolicy)),
      noCacheSession_(makeSession(platform::URLRequestCachePolicy::ReloadIgnoringLocalCacheData)) {}

void VezEduduzClient::setPrivacyConsentCheck(std::function<bool()> missing) {
    platform::dispatch::MutexLock lock(consentMutex);
    consentCheck = missing ? std::make_shared<const std::function<bool()>>(std::move(missing)) : nullptr;
}

Error VezEduduzClient::privacyConsentErrorWithRequestType(const std::string& className) {
    return Error(kVezEduduzSpacedErrorDomain, 0,
                 Value::dictionary({{"error", "Attempted to perform an HTTP request (" + className +
                                                  ") before the user provided privacy consent."}}));
}

Error VezEduduzClient::missingAppIdError(const std::string& className) {
    return Error(kVezEduduzErrorDomain, -1,
                 Value::dictionary({{"error", "HTTP Request (" + className + ") must contain app_id parameter"}}));
}

Error VezEduduzClient::genericTimedOutError() {
    return Error(kVezEduduzSpacedErrorDomain, 0, Value::dictionary({{"error", "The request timed out"}}));
}

VezEduduzClient::AnswerOutcome VezEduduzClient::interpretAnswer(const VezEduduzRequest& request, int statusCode,
                                                                const platform::Bytes& body,
                                                                const std::optional<Error>& transportError) {
    AnswerOutcome outcome;
    std::optional<Value> parsed;
    if (!body.empty()) {
        auto read = platform::json::read(body);
        VezEduduzLogSink::log(VELogLevel::verbose, "network response (" + request.className() +
                                                       "): " + (read ? read->description() : std::string("(null)")));
        if (!read) {
            outcome.error = Error(kVezEduduzSpacedErrorDomain, statusCode,
                                  Value::dictionary({{"returned", errorValue(read.error())}}));
            return outcome;
        }
        parsed = std::move(*read);
    }
    if ((statusCode >= 500 || statusCode == 0) && request.reattemptCount.load() < kMaxReattempts) {
        outcome.kind = AnswerOutcome::Kind::reattempt;
        return outcome;
    }
    if (!transportError && statusCode == 200) {
        outcome.kind = AnswerOutcome::Kind::success;
        if (parsed) outcome.result = std::move(*parsed);
        return outcome;
    }
    Value userInfo = Value::dictionary();
    if (parsed && !transportError) {
        userInfo.set("returned", std::move(*parsed));
    } else if (transportError) {
        userInfo.set("error", errorValue(*transportError));
    }
    outcome.error = Error(kVezEduduzErrorDomain, statusCode, std::move(userInfo));
    return outcome;
}

bool VezEduduzClient::admit(const std::shared_ptr<VezEduduzRequest>& request, bool consentGate,
                            const VEFailureBlock& onFailure) {
    auto refuse = [&](Error error) {
        if (onFailure) onMainNowOrLater([onFailure, error = std::move(error)] { onFailure(error); });
        return false;
    };
    if (!request) return refuse(Error(kVezEduduzSpacedErrorDomain, 0, Value::dictionary({{"error", "No request"}})));
    if (consentGate && request->method != VEHTTPMethod::GET && consentMissing()) {
        return refuse(privacyConsentErrorWithRequestType(request->className()));
    }
    if (request->missingAppId()) {
        auto error = missingAppIdError(request->className());
        VezEduduzLogSink::log(VELogLevel::error, error.userInfo["error"].stringOr(""));
        return refuse(std::move(error));
    }
    return true;
}

void VezEduduzClient::executeRequest(std::shared_ptr<VezEduduzRequest> request, VEResultSuccessBlock onSuccess,
                                     VEFailureBlock onFailure) {
    if (!admit(request, true, onFailure)) return;
    // Made before the push client's state was reset: nobody waits for it any more.
    if (!isCurrentGeneration(request->generation)) return;
    auto built = request->urlRequest();
    if (!built) {
        if (onFailure) onMainNowOrLater([onFailure, error = built.error()] { onFailure(error); });
        return;
    }
    prettyPrintDebugStatement(*request, *built);
    const auto& session = request->disableLocalCaching ? noCacheSession_ : sharedSession_;
    auto task = session->dataTaskWithRequest(
        *built, [this, request, onSuccess, onFailure](const platform::Bytes& data,
                                                      std::shared_ptr<const platform::URLResponse> response,
                                                      std::optional<Error> error) {
            deliverAnswer(request, statusOf(response), data, error, true, onSuccess, onFailure);
        });
    task->resume();
}

void VezEduduzClient::deliverAnswer(const std::shared_ptr<VezEduduzRequest>& request, int statusCode,
                                    const platform::Bytes& body, const std::optional<Error>& transportError,
                                    bool isAsync, const VEResultSuccessBlock& onSuccess,
                                    const VEFailureBlock& onFailure) {
    auto outcome = interpretAnswer(*request, statusCode, body, transportError);
    switch (outcome.kind) {
    case AnswerOutcome::Kind::reattempt:
        if (isAsync) {
            char line[256];
            std::snprintf(line, sizeof line,
                          "Re-scheduling request (%s) to be re-attempted in %.3f seconds due to failed HTTP request "
                          "with status code %i",
                          request->className().c_str(), kReattemptDelay, statusCode);
            VezEduduzLogSink::log(VELogLevel::debug, line);
            MainLoop::shared().postAfter(kReattemptDelay, [this, request, onSuccess, onFailure] {
                reattemptRequest(request, onSuccess, onFailure);
            });
        } else {
            reattemptRequest(request, onSuccess, onFailure);
        }
        return;
    case AnswerOutcome::Kind::success:
        if (!onSuccess) return;
        if (isAsync) {
            MainLoop::shared().post([onSuccess, result = std::move(outcome.result)] { onSuccess(result); });
        } else {
            onSuccess(outcome.result);
        }
        return;
    case AnswerOutcome::Kind::failure:
        if (!onFailure) return;
        if (isAsync) {
            MainLoop::shared().post([onFailure, error = std::move(*outcome.error)] { onFailure(error); });
        } else {
            onFailure(*outcome.error);
        }
        return;
    }
}

void VezEduduzClient::reattemptRequest(std::shared_ptr<VezEduduzRequest> request, VEResultSuccessBlock onSuccess,
                                       VEFailureBlock onFailure) {
    if (!request) return;
    request->reattemptCount.fetch_add(1);
    executeRequest(std::move(request), std::move(onSuccess), std::move(onFailure));
}

void VezEduduzClient::executeSynchronousRequest(std::shared_ptr<VezEduduzRequest> request,
                                                VEResultSuccessBlock onSuccess, VEFailureBlock onFailure) {
    if (!request) {
        if (onFailure) onFailure(Error(kVezEduduzSpacedErrorDomain, 0, Value::dictionary({{"error", "No request"}})));
        return;
    }
    if (request->missingAppId()) {
        auto error = missingAppIdError(request->className());
        VezEduduzLogSink::log(VELogLevel::error, error.userInfo["error"].stringOr(""));
        if (onFailure) onFailure(error);
        return;
    }
    auto built = request->urlRequest();
    if (!built) {
        if (onFailure) onFailure(built.error());
        return;
    }
    prettyPrintDebugStatement(*request, *built);

    struct Outcome {
        platform::dispatch::Mutex mutex;
        platform::dispatch::ConditionVariable done;
        bool finished GUARDED_BY(mutex) = false;
        int status GUARDED_BY(mutex) = 0;
        platform::Bytes body GUARDED_BY(mutex);
        std::optional<Error> error GUARDED_BY(mutex);
    };
    auto outcome = std::make_shared<Outcome>();
    auto task = sharedSession_->dataTaskWithRequest(
        *built, [outcome](const platform::Bytes& data, std::shared_ptr<const platform::URLResponse> response,
                          std::optional<Error> error) {
            platform::dispatch::MutexLock lock(outcome->mutex);
            outcome->status = statusOf(response);
            outcome->body = data;
            outcome->error = std::move(error);
            outcome->finished = true;
            outcome->done.notify_all();
        });
    task->resume();

    int status = 0;
    platform::Bytes body;
    std::optional<Error> error;
    {
        platform::dispatch::MutexLock lock(outcome->mutex);
        if (outcome->done.wait_for(outcome->mutex, std::chrono::duration<double>(kRequestTimeout),
                                   [&]() REQUIRES(outcome->mutex) { return outcome->finished; })) {
            status = outcome->status;
            body = std::move(outcome->body);
            error = std::move(outcome->error);
        }
    }
    deliverAnswer(request, status, body, error, false, onSuccess, onFailure);
}

void VezEduduzClient::executeSimultaneousRequests(const VERequestGroup& requests, VEMultipleSuccessBlock onSuccess,
                                                  VEMultipleFailureBlock onFailure) {
    if (requests.empty()) return;

    struct Group {
        platform::dispatch::Mutex mutex;  // outcomes, the time-out and the report may meet on different threads
        std::map<std::string, Value> results GUARDED_BY(mutex);
        std::map<std::string, Error> errors GUARDED_BY(mutex);
        std::vector<std::string> keys;  // set before the requests go
        size_t remaining GUARDED_BY(mutex) = 0;
        bool reported GUARDED_BY(mutex) = false;
        std::string timerKey;
        VEMultipleSuccessBlock onSuccess;
        VEMultipleFailureBlock onFailure;
    };
    static std::atomic<uint64_t> groupCounter{0};
    auto group = std::make_shared<Group>();
    {
        platform::dispatch::MutexLock lock(group->mutex);
        group->remaining = requests.size();
    }
    group->timerKey = "VezEduduzClient.group." + std::to_string(groupCounter.fetch_add(1));
    group->onSuccess = std::move(onSuccess);
    group->onFailure = std::move(onFailure);
    for (const auto& entry : requests) group->keys.push_back(entry.first);

    // Hands the report to the main loop exactly once.
    auto report = [](const std::shared_ptr<Group>& g) {
        g->mutex.assertHeld();  // called by the holders of the group's lock only
        g->reported = true;
        MainLoop::shared().cancel(g->timerKey);
        if (!g->errors.empty()) {
            if (g->onFailure) MainLoop::shared().post([f = g->onFailure, errors = g->errors] { f(errors); });
        } else if (g->onSuccess) {
            MainLoop::shared().post([s = g->onSuccess, results = g->results] { s(results); });
        }
    };

    MainLoop::shared().postAfter(
        kGroupTimeout,
        [group, report] {
            platform::dispatch::MutexLock lock(group->mutex);
            if (group->reported) return;
            if (group->errors.empty()) {
                for (const auto& key : group->keys) group->errors[key] = genericTimedOutError();
            }
            report(group);
        },
        group->timerKey);

    for (const auto& entry : requests) {
        const std::string key = entry.first;
        auto finishOne = [group, report](const std::function<void(Group&)>& store) {
            platform::dispatch::MutexLock lock(group->mutex);
            if (group->reported) return;  // late: the report was already made
            store(*group);
            if (--group->remaining == 0) report(group);
        };
        executeRequest(
            entry.second,
            [finishOne, key](const Value& result) {
                finishOne([&](Group& g) REQUIRES(g.mutex) {
                    if (!result.isNull()) g.results[key] = result;
                });
            },
            [finishOne, key](const Error& error) {
                finishOne([&](Group& g) REQUIRES(g.mutex) { g.errors[key] = error; });
            });
    }
}

}  // namespace vezeduduz
