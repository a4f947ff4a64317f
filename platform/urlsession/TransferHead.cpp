// The answer's head, and the delegate decisions it leads to: a redirect, an HTTP authentication
// challenge, the response itself.
#include <openssl/evp.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/URLCredentialStorage.h"
#include "platform/urlsession/internal/AuthChallenges.h"
#include "platform/urlsession/internal/CacheGlue.h"
#include "platform/urlsession/internal/CookieGlue.h"
#include "platform/urlsession/internal/RedirectRules.h"
#include "platform/urlsession/internal/TransferOps.h"

namespace platform::urlsession_detail {

namespace {

constexpr int kMaxRedirects = 16;

std::string base64(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(in.data()), int(in.size()));
    out.resize(size_t(n));
    return out;
}

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

size_t TransferOps::onHeader(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t len = size * count;
    t->lastActivity = steadyNow();
    switch (t->head.take(std::string_view(buffer, len))) {
    case ResponseHead::Line::Status:
        t->status = t->head.status();
        t->httpVersion = t->head.version();
        return len;
    case ResponseHead::Line::End:
        if (t->status < 200) return len;  // interim answer; the real one follows
        if (t->curlAnswersChallenge) {
            t->curlAnswersChallenge = false;
            // curl answers this challenge itself with the hop's Digest credential and asks again.
            if (t->status == (t->curlAuth->proxy ? 407 : 401)) return len;
        }
        if (t->phase == Transfer::Phase::Headers) {
            t->headers = t->head.fields();
            TransferOps::onHead(t);
        }
        return len;
    case ResponseHead::Line::Field:
    case ResponseHead::Line::Ignored:
        return len;
    case ResponseHead::Line::Malformed:
        if (!t->response) {
            t->overrideError = makeURLError(URLErrorCode::BadServerResponse, t->request.url());
            return 0;  // ends the transfer
        }
        return len;  // a bad trailer after the body changes nothing we delivered
    }
    return len;
}

void TransferOps::onHead(Transfer* t) {
    Engine* e = t->engine;
    const auto& config = e->configuration();
    const URL url = *t->request.url();
    t->response = std::make_shared<HTTPURLResponse>(url, t->status, t->httpVersion, t->headers);
    storeCookies(config, t->request, url, t->head.setCookies());
    auto d = e->delegate();
    auto session = e->sessionRef();
    auto task = t->task;
    auto id = task->taskIdentifier();

    const auto* location = t->headers.find("Location");
    std::optional<URL> target = location ? URL::string(*location, url) : std::nullopt;
    if (isRedirectStatus(t->status) && target) {
        t->phase = Transfer::Phase::AwaitingRedirect;
        if (t->redirects >= kMaxRedirects) {
            e->post([e, id] {
                if (Transfer* t = e->transferFor(id))
                    e->finish(t, makeURLError(URLErrorCode::HTTPTooManyRedirects, t->request.url()));
            });
            return;
        }
        URLRequest next = redirectedRequest(t->request, t->status, *target);
        if (!d || !session || !d->implements(URLSessionDelegateMethod::TaskWillPerformHTTPRedirection)) {
            e->post([e, id, next] {
                if (Transfer* t = e->transferFor(id)) redirectAnswered(e, t, next);
            });
            return;
        }
        auto response = t->response;
        askDelegateOnce<std::optional<URLRequest>>(
            e, id,
            [d, session, task, response, next](std::function<void(std::optional<URLRequest>)> reply) {
                d->willPerformHTTPRedirection(session, task, response, next, reply);
            },
            redirectAnswered);
        return;
    }

    if (t->status == 401 || t->status == 407) {
        const auto* challengeHeader = t->headers.find(t->status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate");
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
            URLProtectionSpace space(t->host, port, url.scheme(), realm,
                                     digest ? kURLAuthenticationMethodHTTPDigest : kURLAuthenticationMethodHTTPBasic);
            auto storage = config.URLCredentialStorage;
            t->proposedCredential = storage ? storage->defaultCredentialForProtectionSpace(space) : std::nullopt;
            t->protectionSpace = space;
            t->phase = Transfer::Phase::AwaitingAuth;
            if (!d || !session || !d->implements(URLSessionDelegateMethod::TaskDidReceiveChallenge)) {
                e->post([e, id] {
                    if (Transfer* t = e->transferFor(id))
                        authAnswered(e, t, URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
                });
                return;
            }
            URLAuthenticationChallenge challenge{space, t->proposedCredential, t->authFailures, t->response};
            askDelegateOnce<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>(
                e, id,
                [d, session, task, challenge](
                    std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)> reply) {
                    d->didReceiveTaskChallenge(session, task, challenge, reply);
                },
                authAnswered);
            return;
        }
    }
    handleResponse(t);
}

// AwaitingRedirect: the delegate's answer (none refuses the redirect).
void TransferOps::redirectAnswered(Engine* e, Transfer* t, std::optional<URLRequest> answer) {
    if (t->phase != Transfer::Phase::AwaitingRedirect) return;
    if (!answer || !answer->url()) {
        // Refused: the 3xx answer is the task's response.
        handleResponse(t);
        if (t->phase == Transfer::Phase::Body) bodyMayFlow(e, t);
        return;
    }
    // Nothing but http(s) is fetched, whatever the delegate answered: a file: or data: target is
    // refused before anything is sent.
    if (!isFollowableScheme(*answer->url()))
        return e->finish(t, makeURLError(URLErrorCode::UnsupportedURL, answer->url()));
    recordHopMetrics(t);
    t->releaseEasy();
    t->redirects++;
    t->curlAuth.reset();  // a credential answers one server's challenge
    t->request = *answer;
    {
        std::lock_guard lock(t->task->mutex_);
        t->task->currentRequest_ = *answer;
    }
    if (!PlatformConfig::networkUp())
        return e->finish(t, makeURLError(URLErrorCode::NotConnectedToInternet, answer->url()));
    prepareBodyThenStart(e, t);
}

// AwaitingAuth: the delegate's disposition. Default handling offers the stored credential on the
// first try only; without a credential the 401 (or 407) is the answer.
void TransferOps::authAnswered(Engine* e, Transfer* t, URLSessionAuthChallengeDisposition disposition,
                               std::optional<URLCredential> credential) {
    if (t->phase != Transfer::Phase::AwaitingAuth) return;
    std::optional<URLCredential> use;
    if (disposition == URLSessionAuthChallengeDisposition::UseCredential) use = std::move(credential);
    if (disposition == URLSessionAuthChallengeDisposition::PerformDefaultHandling && t->authFailures == 0)
        use = t->proposedCredential;
    if (disposition == URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge)
        return e->finish(t, makeURLError(URLErrorCode::Cancelled, t->request.url()));
    if (!use || !use->user() || !use->password()) {
        handleResponse(t);
        if (t->phase == Transfer::Phase::Body) bodyMayFlow(e, t);
        return;
    }
    auto storage = e->configuration().URLCredentialStorage;
    if (storage && t->protectionSpace && use->persistence() != URLCredentialPersistence::None)
        storage->setCredential(*use, *t->protectionSpace);
    recordHopMetrics(t);
    t->releaseEasy();
    t->authFailures++;
    const bool proxy = t->status == 407;
    if (t->protectionSpace && t->protectionSpace->authenticationMethod() == kURLAuthenticationMethodHTTPDigest)
        t->curlAuth = Transfer::CurlAuth{proxy, *use->user(), *use->password()};
    else
        t->request.setValue("Basic " + base64(*use->user() + ":" + *use->password()),
                            proxy ? "Proxy-Authorization" : "Authorization");
    prepareBodyThenStart(e, t);
}

// The response is final: record it, prepare the download file, ask the delegate for a disposition.
void TransferOps::handleResponse(Transfer* t) {
    Engine* e = t->engine;
    auto response = t->response;
    auto task = t->task;
    {
        std::lock_guard lock(task->mutex_);
        task->response_ = response;
        task->expectedToReceive_ = response->expectedContentLength();
    }
    t->phase = Transfer::Phase::Body;
    auto d = e->delegate();
    auto session = e->sessionRef();
    if (task->kind() == URLSessionTask::Kind::Download || t->becameDownload) {
        int64_t expected = response->expectedContentLength();
        bool append = t->resumeOffset > 0 && t->status == 206;
        if (t->filePath.empty()) t->filePath = temporaryPath();
        t->file = fopen(t->filePath.c_str(), append ? "ab" : "wb");
        if (!t->file) {
            t->fileFailed = true;
            return;  // the write callback fails the transfer
        }
        if (!append) t->resumeOffset = 0;
        t->written = t->resumeOffset;
        t->etag = t->headers.find("ETag") ? *t->headers.find("ETag") : "";
        t->lastModified = t->headers.find("Last-Modified") ? *t->headers.find("Last-Modified") : "";
        if (t->extras.resumeData && d && session && !t->extras.downloadCompletion &&
            d->implements(URLSessionDelegateMethod::DownloadTaskDidResumeAtOffset)) {
            auto dl = std::static_pointer_cast<URLSessionDownloadTask>(task);
            int64_t offset = t->resumeOffset, total = expected >= 0 ? expected + offset : expected;
            e->deliver([d, session, dl, offset, total] { d->didResumeAtOffset(session, dl, offset, total); });
        }
        return;
    }
    if (task->kind() == URLSessionTask::Kind::Data && !t->cacheSettled)
        if (auto limit = cacheableBodyLimit(e->configuration(), t->request, *response)) {
            t->cacheBody.emplace();
            t->cacheBodyLimit = *limit;
        }
    if (t->extras.dataCompletion || !d || !session ||
        !d->implements(URLSessionDelegateMethod::DataTaskDidReceiveResponse))
        return;
    t->phase = Transfer::Phase::AwaitingResponse;
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    askDelegateOnce<URLSessionResponseDisposition>(
        e, task->taskIdentifier(),
        [d, session, dataTask, response](std::function<void(URLSessionResponseDisposition)> reply) {
            d->didReceiveResponse(session, dataTask, response, reply);
        },
        responseAnswered);
}

// AwaitingResponse: the delegate's disposition; the body flows unless it cancelled.
void TransferOps::responseAnswered(Engine* e, Transfer* t, URLSessionResponseDisposition disposition) {
    if (t->phase != Transfer::Phase::AwaitingResponse) return;
    if (disposition == URLSessionResponseDisposition::Cancel)
        return e->finish(t, makeURLError(URLErrorCode::Cancelled, t->request.url()));
    if (disposition == URLSessionResponseDisposition::BecomeDownload) becomeDownload(e, t);
    t->phase = Transfer::Phase::Body;
    bodyMayFlow(e, t);
}

// The transfer goes on as a new download task; the data task ends without callbacks.
void TransferOps::becomeDownload(Engine* e, Transfer* t) {
    auto session = e->sessionRef();
    auto old = t->task;
    auto dl = std::make_shared<URLSessionDownloadTask>(e->nextIdentifier(), session, old->originalRequest());
    {
        std::lock_guard lock(dl->mutex_);
        dl->currentRequest_ = t->request;
        dl->response_ = t->response;
        dl->state_ = URLSessionTaskState::Running;
        dl->everResumed_ = true;
    }
    {
        std::lock_guard lock(old->mutex_);
        old->state_ = URLSessionTaskState::Completed;
    }
    e->registerTask(dl);
    t->task = dl;
    t->becameDownload = true;
    e->moveTransfer(old->taskIdentifier(), dl->taskIdentifier());
    auto d = e->delegate();
    if (d && session && d->implements(URLSessionDelegateMethod::DataTaskDidBecomeDownloadTask)) {
        auto dataTask = std::static_pointer_cast<URLSessionDataTask>(old);
        e->deliver([d, session, dataTask, dl] { d->didBecomeDownloadTask(session, dataTask, dl); });
    }
    handleResponse(t);
}

}  // namespace platform::urlsession_detail
