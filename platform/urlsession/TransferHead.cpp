// The answer's head, and the delegate decisions it leads to: a redirect, an HTTP authentication
// challenge, the response itself.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <utility>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/URLCredentialStorage.h"
#include "platform/urlsession/internal/AuthChallenges.h"
#include "platform/urlsession/internal/CacheGlue.h"
#include "platform/urlsession/internal/CookieGlue.h"
#include "platform/urlsession/internal/RedirectRules.h"
#include "platform/urlsession/internal/Transfer.h"

namespace platform::urlsession_detail {

namespace {

std::string temporaryPath() {
    auto dir = FileManager::defaultManager().temporaryDirectory();
    if (dir.empty()) dir = std::filesystem::temp_directory_path().string() + "/";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    static std::atomic<uint64_t> counter{0};
    std::random_device rd;
    return dir + "URLSessionDownload_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
           std::to_string(rd()) + ".tmp";
}

}  // namespace

// curl hands over one line a call, except lines that came in while the transfer was paused: an HTTP/2
// stream's answer read for another transfer on the connection meanwhile comes as one call, once the
// pause ends.
size_t Transfer::onHeader(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->owner_.assertOnThread();
    if (t->discarding_) return size * count;
    std::string_view lines(buffer, size * count);
    while (!lines.empty()) {
        const size_t end = std::min(lines.find('\n'), lines.size() - 1) + 1;
        if (t->takeHeaderLine(lines.substr(0, end)) != end) return 0;
        lines.remove_prefix(end);
    }
    t->noteBytesHandedOver();  // after the lines: the status line among them names the version
    return size * count;
}

// Headers: one line of the answer's head at a time; the blank line ends it.
size_t Transfer::takeHeaderLine(std::string_view line) {
    const size_t len = line.size();
    lastActivity_ = steadyNow();
    switch (head_.take(line)) {
    case ResponseHead::Line::Status:
        status_ = head_.status();
        httpVersion_ = head_.version();
        return len;
    case ResponseHead::Line::End:
        if (status_ < 200) return len;  // interim answer; the real one follows
        if (curlAnswersChallenge_) {
            curlAnswersChallenge_ = false;
            // curl answers this challenge itself with the hop's Digest credential and asks again.
            if (status_ == (curlAuth_->proxy ? 407 : 401)) return len;
        }
        if (state_ == State::Headers) onHead(head_.takeFields());
        return len;
    case ResponseHead::Line::Field:
    case ResponseHead::Line::Ignored:
        return len;
    case ResponseHead::Line::Malformed:
        if (!response_) {
            overrideError_ = makeURLError(URLErrorCode::BadServerResponse, request_.url());
            return 0;  // ends the transfer
        }
        return len;  // a bad trailer after the body changes nothing we delivered
    }
    return len;
}

void Transfer::onHead(HTTPHeaderFields fields) {
    const auto& config = engine_->configuration();
    const URL& url = *request_.url();
    // The fields move into the response; the decisions below read them there.
    response_ = std::make_shared<HTTPURLResponse>(url, status_, httpVersion_, std::move(fields));
    const HTTPHeaderFields& headers = response_->allHeaderFields();
    storeCookies(config, request_, url, head_.setCookies());
    if (auto tried = std::exchange(credentialOnTrial_, std::nullopt);
        tried && status_ != 401 && config.URLCredentialStorage) {
        config.URLCredentialStorage->setCredential(*tried, *protectionSpace_);
        config.URLCredentialStorage->setCredentialForFolderOfURL(*tried, *protectionSpace_, url);
    }
    // Only a redirect or a challenge asks the delegate here; a plain answer goes on to handleResponse.
    auto task = task_;

    const auto* location = headers.find("Location");
    std::optional<URL> target = location ? URL::string(*location, url) : std::nullopt;
    if (isRedirectStatus(status_) && target) {
        auto d = engine_->delegate();
        auto session = engine_->sessionRef();
        state_ = State::AwaitingRedirect;
        if (redirects_ >= config.HTTPMaximumRedirects) {
            onLaterTurn([](Transfer& t) REQUIRES(t.owner_) {
                t.finish(makeURLError(URLErrorCode::HTTPTooManyRedirects, t.request_.url()));
            });
            return;
        }
        URLRequest next = redirectedRequest(request_, status_, *target);
        if (!d || !session || !d->implements(URLSessionDelegateMethod::TaskWillPerformHTTPRedirection)) {
            onLaterTurn([next](Transfer& t) REQUIRES(t.owner_) { t.redirectAnswered(next); });
            return;
        }
        auto response = response_;
        askDelegate<std::optional<URLRequest>>(
            [d, session, task, response, next](std::function<void(std::optional<URLRequest>)> reply) {
                d->willPerformHTTPRedirection(session, task, response, next, reply);
            },
            &Transfer::redirectAnswered);
        return;
    }

    if (status_ == 401 || status_ == 407) {
        const auto* challengeHeader = headers.find(status_ == 401 ? "WWW-Authenticate" : "Proxy-Authenticate");
        // Digest keeps the password off the wire: it wins over Basic when the server offers both.
        std::optional<AuthChallengeHeader> chosen;
        if (challengeHeader)
            for (auto& c : parseAuthChallenges(*challengeHeader)) {
                if (c.isScheme("Digest")) {
                    chosen = std::move(c);
                    break;
                }
                if (c.isScheme("Basic") && !chosen) chosen = std::move(c);
            }
        if (chosen) {
            std::optional<std::string> realm = chosen->param("realm");
            const bool digest = chosen->isScheme("Digest");
            int port = url.port().value_or(url.scheme() == "https" ? 443 : 80);
            URLProtectionSpace space(host_, port, url.scheme(), realm,
                                     digest ? kURLAuthenticationMethodHTTPDigest : kURLAuthenticationMethodHTTPBasic);
            auto storage = config.URLCredentialStorage;
            proposedCredential_ = storage ? storage->defaultCredentialForProtectionSpace(space) : std::nullopt;
            // The URL's own user and password answer its server's first challenge, when they did not go with it.
            if (!config.sendsURLCredentialsPreemptively && status_ == 401 && url.user() && url.password())
                proposedCredential_ = URLCredential(*url.user(), *url.password(), URLCredentialPersistence::ForSession);
            protectionSpace_ = space;
            state_ = State::AwaitingAuth;
            auto d = engine_->delegate();
            auto session = engine_->sessionRef();
            if (!d || !session || !d->implements(URLSessionDelegateMethod::TaskDidReceiveChallenge)) {
                onLaterTurn([](Transfer& t) REQUIRES(t.owner_) {
                    t.authAnswered(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
                });
                return;
            }
            URLAuthenticationChallenge challenge{space, proposedCredential_, authFailures_, response_};
            askDelegate<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>(
                [d, session, task, challenge](
                    std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)> reply) {
                    d->didReceiveTaskChallenge(session, task, challenge, reply);
                },
                &Transfer::authAnswered);
            return;
        }
    }
    handleResponse();
}

// AwaitingRedirect: the delegate's answer (none refuses the redirect).
void Transfer::redirectAnswered(std::optional<URLRequest> answer) {
    if (state_ != State::AwaitingRedirect) return;
    if (!answer || !answer->url()) {
        // Refused: the 3xx answer is the task's response.
        handleResponse();
        if (state_ == State::Body) bodyMayFlow();
        return;
    }
    // Nothing but http(s) is fetched, whatever the delegate answered: a file: or data: target is
    // refused before anything is sent.
    if (!isFollowableScheme(*answer->url())) return finish(makeURLError(URLErrorCode::UnsupportedURL, answer->url()));
    recordHopMetrics();
    releaseEasy();
    redirects_++;
    curlAuth_.reset();  // a credential answers one server's challenge
    request_ = *answer;
    task_->setCurrentRequest(kTaskKey, *answer);
    if (!PlatformConfig::networkUp()) return finish(makeURLError(URLErrorCode::NotConnectedToInternet, answer->url()));
    prepareBodyThenStart();
}

// AwaitingAuth: the delegate's disposition. Default handling offers the stored credential on the
// first try only; without a credential the 401 (or 407) is the answer.
void Transfer::authAnswered(URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential) {
    if (state_ != State::AwaitingAuth) return;
    std::optional<URLCredential> use;
    if (disposition == URLSessionAuthChallengeDisposition::UseCredential) use = std::move(credential);
    if (disposition == URLSessionAuthChallengeDisposition::PerformDefaultHandling && authFailures_ == 0)
        use = proposedCredential_;
    if (disposition == URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge)
        return finish(makeURLError(URLErrorCode::Cancelled, request_.url()));
    if (!use || !use->user() || !use->password()) {
        handleResponse();
        if (state_ == State::Body) bodyMayFlow();
        return;
    }
    auto storage = engine_->configuration().URLCredentialStorage;
    if (storage && protectionSpace_ && use->persistence() != URLCredentialPersistence::None) {
        if (status_ == 401 && !engine_->configuration().sendsURLCredentialsPreemptively)
            credentialOnTrial_ = use;
        else
            storage->setCredential(*use, *protectionSpace_);
    }
    recordHopMetrics();
    releaseEasy();
    authFailures_++;
    const bool proxy = status_ == 407;
    if (protectionSpace_ && protectionSpace_->authenticationMethod() == kURLAuthenticationMethodHTTPDigest)
        curlAuth_ = CurlAuth{proxy, *use->user(), *use->password()};
    else
        request_.setValue(basicAuthorization(*use), proxy ? "Proxy-Authorization" : "Authorization");
    prepareBodyThenStart();
}

// The response is final: record it, prepare the download file, ask the delegate for a disposition.
void Transfer::handleResponse() {
    auto response = response_;
    auto task = task_;
    task->setResponse(kTaskKey, response);
    state_ = State::Body;
    auto d = engine_->delegate();
    auto session = engine_->sessionRef();
    if (task->kind() == URLSessionTask::Kind::Download || becameDownload_) {
        int64_t expected = response->expectedContentLength();
        bool append = resumeOffset_ > 0 && status_ == 206;
        if (filePath_.empty()) filePath_ = temporaryPath();
        file_.reset(fopen(filePath_.c_str(), append ? "ab" : "wb"));
        if (!file_) {
            fileFailed_ = true;
            return;  // the write callback fails the transfer
        }
        if (!append) resumeOffset_ = 0;
        written_ = resumeOffset_;
        const HTTPHeaderFields& headers = response->allHeaderFields();
        etag_ = headers.find("ETag") ? *headers.find("ETag") : "";
        lastModified_ = headers.find("Last-Modified") ? *headers.find("Last-Modified") : "";
        if (extras_.resumeData && d && session && !extras_.downloadCompletion &&
            d->implements(URLSessionDelegateMethod::DownloadTaskDidResumeAtOffset)) {
            auto dl = std::static_pointer_cast<URLSessionDownloadTask>(task);
            int64_t offset = resumeOffset_, total = expected >= 0 ? expected + offset : expected;
            engine_->deliver([d, session, dl, offset, total] { d->didResumeAtOffset(session, dl, offset, total); });
        }
        return;
    }
    if (task->kind() == URLSessionTask::Kind::Data && !cacheSettled_)
        if (auto limit = cacheableBodyLimit(engine_->configuration(), request_, *response)) {
            cacheBody_.emplace();
            cacheBodyLimit_ = *limit;
        }
    if (extras_.dataCompletion || !d || !session ||
        !d->implements(URLSessionDelegateMethod::DataTaskDidReceiveResponse))
        return;
    state_ = State::AwaitingResponse;
    auto decision = decision_ =
        std::make_shared<ResponseDecision>(taskId(), engine_->weak_from_this(), engine_->group().weak_from_this());
    dispatch::OnceHandler<URLSessionResponseDisposition> reply(
        "URLSession delegate decision",
        [decision](URLSessionResponseDisposition disposition) { responseReplied(decision, disposition); },
        dispatch::OnceHandlerPolicy::IgnoreExtraCalls);
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    engine_->deliver(
        [d, session, dataTask, response, reply] { d->didReceiveResponse(session, dataTask, response, reply); });
    if (doneWhileWaiting_) publishAnswer();  // an answer from the cache is whole already
}

// The delegate's disposition, on whatever thread it comes: an allowed answer that is whole already ends
// the task from the delegate queue; every other one goes to the engine.
void Transfer::responseReplied(const std::shared_ptr<ResponseDecision>& decision,
                               URLSessionResponseDisposition disposition) {
    std::optional<HeldAnswer> whole;
    {
        dispatch::MutexLock lock(decision->mutex);
        if (decision->settled) return;  // the transfer has ended meanwhile
        decision->settled = true;
        if (disposition == URLSessionResponseDisposition::Allow) whole = std::exchange(decision->answer, std::nullopt);
    }
    if (!whole) {
        postToTransfer(decision->engine, decision->taskId,
                       [disposition](Transfer& t) REQUIRES(t.owner_) { t.responseAnswered(disposition); });
        return;
    }
    auto group = decision->group.lock();
    if (!group) return;  // the session went away; its tasks with it
    // Through the mailbox: after the decision's callback has returned, in order with the session's other callbacks.
    group->deliver(
        [decision, answer = std::make_shared<HeldAnswer>(std::move(*whole))] { finishAllowed(*decision, *answer); });
}

// On the delegate queue: the task ends as the engine would have ended it (body, metrics, completion),
// unless the engine ended it first (a cancel or a time-out meanwhile).
void Transfer::finishAllowed(const ResponseDecision& decision, HeldAnswer& answer) {
    const auto& task = answer.task;
    if (!task->complete(kTaskKey, std::nullopt)) return;
    InFlightScope leaving(task);
    task->addBytesReceived(kTaskKey, int64_t(answer.body.size()));
    auto group = decision.group.lock();
    auto d = group ? group->delegate() : nullptr;
    auto session = group ? group->sessionRef() : nullptr;
    if (d && session) {
        if (!answer.body.empty() && d->implements(URLSessionDelegateMethod::DataTaskDidReceiveData))
            d->didReceiveData(session, task, answer.body);
        if (d->implements(URLSessionDelegateMethod::TaskDidFinishCollectingMetrics))
            d->didFinishCollectingSharedMetrics(session, task, answer.records.taskMetrics());
        if (d->implements(URLSessionDelegateMethod::TaskDidCompleteWithError))
            d->didCompleteWithError(session, task, std::nullopt);
    }
    if (auto engine = decision.engine.lock()) engine->giveBack(std::move(answer.body));
    if (group) group->forgetTask(task->taskIdentifier());
    // Nothing waits on the transfer's going: the engine's next turn does it.
    postToTransfer(
        decision.engine, task->taskIdentifier(), [](Transfer& t) REQUIRES(t.owner_) { t.forgetAllowed(); }, false);
}

// AwaitingResponse: the delegate's disposition; the body flows unless it cancelled.
void Transfer::responseAnswered(URLSessionResponseDisposition disposition) {
    if (state_ != State::AwaitingResponse) return;
    settleDecision();
    if (disposition == URLSessionResponseDisposition::Cancel)
        return finish(makeURLError(URLErrorCode::Cancelled, request_.url()));
    if (disposition == URLSessionResponseDisposition::BecomeDownload) becomeDownload();
    state_ = State::Body;
    bodyMayFlow();
}

// The transfer goes on as a new download task; the data task ends without callbacks.
void Transfer::becomeDownload() {
    auto session = engine_->sessionRef();
    auto old = task_;
    auto dl =
        std::make_shared<URLSessionDownloadTask>(kTaskKey, engine_->nextIdentifier(), session, old->originalRequest());
    // The task in flight is now the download (the data task's count would otherwise last as long as
    // its caller holds it).
    dl->carryOn(kTaskKey, request_, response_);
    old->complete(kTaskKey, std::nullopt);
    old->leaveInFlight(kTaskKey);
    task_ = dl;
    becameDownload_ = true;
    engine_->moveTransfer(old->taskIdentifier(), dl);
    auto d = engine_->delegate();
    if (d && session && d->implements(URLSessionDelegateMethod::DataTaskDidBecomeDownloadTask)) {
        auto dataTask = std::static_pointer_cast<URLSessionDataTask>(old);
        engine_->deliver([d, session, dataTask, dl] { d->didBecomeDownloadTask(session, dataTask, dl); });
    }
    handleResponse();
}

}  // namespace platform::urlsession_detail
