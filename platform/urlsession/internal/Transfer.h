#pragma once
// Internal: one task's transfer on the engine thread (one curl easy handle per request hop).
//
// A transfer is a small state machine. Its state is its own: the engine starts it, hands it curl's
// end of a hop, pauses, resumes, cancels and times it out, and asks nothing else of it. Each state
// has one step that leaves it:
//   Headers           takeHeaderLine: the answer's head, then onHead decides what follows
//   AwaitingRedirect  redirectAnswered: the delegate follows (a new hop) or refuses the redirect
//   AwaitingAuth      authAnswered: a credential starts a new hop, none makes the 401/407 the answer
//   AwaitingResponse  responseAnswered: the delegate lets the body flow, cancels, or makes a download
//                     (an allowed answer that is whole already ends on the delegate queue: finishAllowed)
//   Body              takeBody: the answer's body to memory, the delegate or a file; curlFinished ends it
//   AwaitingCache     cacheAnswered: the delegate's willCacheResponse answer completes the task
// The steps live by part of the transfer's life:
//   Transfer.cpp        start: the request's body, the easy handle of each hop, joining the engine
//   TransferHead.cpp    Headers, AwaitingRedirect, AwaitingAuth, AwaitingResponse
//   TransferBody.cpp    Body: the request body out, the answer's body in, progress and back-pressure
//   TransferTrust.cpp   the TLS handshake's server-trust decision
//   TransferCache.cpp   answers from the URL cache, and AwaitingCache
//   TransferFinish.cpp  the end of a hop or of the task: errors, metrics, completion
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/Stream.h"
#include "platform/urlsession/URLAuthenticationChallenge.h"
#include "platform/urlsession/URLCache.h"
#include "platform/urlsession/URLError.h"
#include "platform/urlsession/URLSessionTaskMetrics.h"
#include "platform/urlsession/internal/CurlResources.h"
#include "platform/urlsession/internal/Engine.h"
#include "platform/urlsession/internal/ResponseHead.h"

namespace platform::urlsession_detail {

using SteadyTime = std::chrono::steady_clock::time_point;
inline SteadyTime steadyNow() { return std::chrono::steady_clock::now(); }

class Transfer {
public:
    Transfer(Engine& engine, std::shared_ptr<URLSessionTask> task, TaskExtras extras, URLRequest request);
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    const std::shared_ptr<URLSessionTask>& task() const {
        owner_.assertOnThread();
        return task_;
    }
    const URLRequest& request() const {
        owner_.assertOnThread();
        return request_;
    }

    // Start. applyResumeData continues a download from its resume data (an error when they are
    // unusable). prepareFirstHop makes the first hop's easy handle without touching the engine (any
    // thread); false when the start needs the engine thread. join adds a prepared hop to the engine;
    // begin starts from the cache's answer or from the network. Engine thread, except prepareFirstHop.
    std::optional<URLErrorCode> applyResumeData(const Bytes& resumeData);
    bool prepareFirstHop();
    void join();
    void begin(std::optional<CachedURLResponse> cached);

    // curl ended the current hop (engine thread).
    void curlFinished(CURLcode code);
    // True when the idle or resource time-out has passed at `now`; timeOut then ends the task.
    bool expired(SteadyTime now) const;
    void timeOut();
    // The task was suspended or resumed by its owner.
    void setUserPaused(bool paused);
    // The owner cancelled; `resumeData` (if any) gets what a download could go on from.
    void cancel(std::function<void(std::optional<Bytes>)> resumeData);
    // The engine stops: the transfer ends without a word to anyone.
    void abandon() {
        owner_.assertOnThread();
        releaseEasy();
    }

private:
    enum class State {
        Headers,           // waiting for the response head
        AwaitingRedirect,  // the delegate decides on a redirect; body paused
        AwaitingAuth,      // the delegate answers an HTTP authentication challenge; body paused
        AwaitingResponse,  // the delegate decides on the response; body paused
        Body,              // body flows to the delegate / file
        AwaitingCache,     // the body is in; the delegate decides what the cache keeps (willCacheResponse)
    };
    // A Digest credential the next hop hands curl: curl reads the server's challenge on that hop (its
    // first 401 or 407 is curl's to answer, not the task's) and sends the digest.
    struct CurlAuth {
        bool proxy = false;
        std::string user, password;
    };

    bool decisionPending() const REQUIRES(owner_) { return state_ != State::Body && state_ != State::Headers; }
    CURL* easy() const REQUIRES(owner_) { return hop_ ? hop_->easy.get() : nullptr; }
    uint64_t taskId() const REQUIRES(owner_);

    // Start (Transfer.cpp).
    void startClocks() REQUIRES(owner_);
    bool chooseBody() REQUIRES(owner_);
    void configureHop() REQUIRES(owner_);
    void startHop() REQUIRES(owner_);
    void prepareBodyThenStart() REQUIRES(owner_);
    void bodyStreamAnswered(std::shared_ptr<InputStream> stream) REQUIRES(owner_);
    void releaseEasy() REQUIRES(owner_);
    void leaveMulti() REQUIRES(owner_);
    // Head and the decisions it leads to (TransferHead.cpp).
    static size_t onHeader(char* buffer, size_t size, size_t count, void* user);
    size_t takeHeaderLine(std::string_view line) REQUIRES(owner_);
    void onHead(HTTPHeaderFields fields) REQUIRES(owner_);
    void redirectAnswered(std::optional<URLRequest> answer) REQUIRES(owner_);
    void authAnswered(URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential)
        REQUIRES(owner_);
    void handleResponse() REQUIRES(owner_);
    void responseAnswered(URLSessionResponseDisposition disposition) REQUIRES(owner_);
    void becomeDownload() REQUIRES(owner_);
    // Body (TransferBody.cpp).
    static size_t onWrite(char* ptr, size_t size, size_t count, void* user);
    static size_t onRead(char* buffer, size_t size, size_t count, void* user);
    size_t takeBody(const char* ptr, size_t len, Bytes* owned = nullptr) REQUIRES(owner_);
    size_t readBody(char* buffer, size_t len) REQUIRES(owner_);
    void reportProgress() REQUIRES(owner_);
    void bodyMayFlow() REQUIRES(owner_);
    void unpauseIfClear() REQUIRES(owner_);
    // curl handed over bytes of the answer (its head or body); see Engine::readAgain.
    void noteBytesHandedOver() REQUIRES(owner_);
    // Trust (TransferTrust.cpp).
    static CURLcode onSSLContext(CURL*, void* sslctx, void* user);
    static int verifyCallback(X509_STORE_CTX* ctx, void* arg);
    static int onClientCertificateRequest(SSL* ssl, X509**, EVP_PKEY**);
    bool verifyTrust(X509_STORE_CTX* ctx) REQUIRES(owner_);
    // Cache (TransferCache.cpp).
    void answerFromCache(CachedURLResponse cached) REQUIRES(owner_);
    void keepForCache(const char* ptr, size_t len) REQUIRES(owner_);
    bool offerToCache() REQUIRES(owner_);
    void cacheAnswered(std::optional<CachedURLResponse> answer) REQUIRES(owner_);
    // End (TransferFinish.cpp). finish ends the task: the engine has let go of the transfer when it
    // returns. A hop's timings are read from its easy handle (in or out of the multi) before the
    // handle goes; recordHopMetrics turns them into the hop's metrics at once, while the task's last
    // hop becomes metrics on the delegate queue (EndRecords::taskMetrics).
    struct HopTimes {
        Date start;
        curl_off_t lookup = 0, connect = 0, tls = 0, request = 0, firstByte = 0;  // µs after start
        long httpVersion = 0;
        long connects = 0;
    };
    struct LastHop {
        URLRequest request;
        std::shared_ptr<const HTTPURLResponse> response;
        HopTimes times;
    };
    struct EndRecords {
        URLSessionTaskMetrics metrics;  // the hops before the last
        std::optional<LastHop> lastHop;
        Date end;
        std::shared_ptr<const HTTPURLResponse> response;
        Bytes collected;
        std::string filePath;
        std::function<void(std::optional<Bytes>)> resumeHandler;
        std::shared_ptr<const URLSessionTaskMetrics> taskMetrics();
    };
    // A response decision that is out, between the engine and the delegate's reply. A whole answer
    // waits in `answer`, its end made ready (publishAnswer), and an allowing reply takes it and ends the
    // task on the delegate queue; any other reply, or the end of the transfer, settles the decision and
    // the engine takes the answer back.
    struct HeldAnswer {
        std::shared_ptr<URLSessionDataTask> task;
        Bytes body;
        EndRecords records;
    };
    // Between the engine and the reply. The reply holds it (and the delegate may hold the reply), so it
    // holds neither the delegate nor the session, and reaches the engine weakly.
    struct ResponseDecision {
        ResponseDecision(uint64_t id, std::weak_ptr<Engine> e, std::weak_ptr<EngineGroup> g)
            : taskId(id), engine(std::move(e)), group(std::move(g)) {}
        const uint64_t taskId;
        const std::weak_ptr<Engine> engine;
        const std::weak_ptr<EngineGroup> group;
        dispatch::Mutex mutex;
        std::optional<HeldAnswer> answer GUARDED_BY(mutex);
        bool settled GUARDED_BY(mutex) = false;  // answered, or the transfer ended
    };
    void publishAnswer() REQUIRES(owner_);
    void settleDecision() REQUIRES(owner_);
    static void responseReplied(const std::shared_ptr<ResponseDecision>& decision,
                                URLSessionResponseDisposition disposition);
    static void finishAllowed(const ResponseDecision& decision, HeldAnswer& answer);
    // The delegate queue ended the task: the transfer goes without a word.
    void forgetAllowed() REQUIRES(owner_);
    // The hop's answer is whole: its timings are kept (endedHop_) and its easy handle goes.
    void endHop() REQUIRES(owner_);
    HopTimes readHopTimes() const REQUIRES(owner_);
    static URLSessionTaskTransactionMetrics hopMetrics(URLRequest request,
                                                       std::shared_ptr<const HTTPURLResponse> response,
                                                       const HopTimes& times, const Date& end);
    void recordHopMetrics() REQUIRES(owner_);
    EndRecords takeEndRecords(const Date& end) REQUIRES(owner_);
    void curlDone(CURLcode code) REQUIRES(owner_);
    void finish(std::optional<Error> error) REQUIRES(owner_);
    URLErrorCode codeForFailedHop(CURLcode code) const REQUIRES(owner_);

    // Runs `step` with the transfer of task `id` on the engine thread, unless it has ended meanwhile;
    // `wake`: at once, else at the engine's next turn.
    static void postToTransfer(const std::weak_ptr<Engine>& engine, uint64_t id, std::function<void(Transfer&)> step,
                               bool wake = true);
    void onLaterTurn(std::function<void(Transfer&)> step) REQUIRES(owner_);
    // Asks the delegate once on its queue and brings the answer back to the engine thread: `ask` runs on
    // the delegate queue with a reply function; the first reply counts (later ones are dropped), and
    // `answered` runs with the answer, unless the transfer has ended meanwhile. Every delegate decision
    // a transfer waits for goes through here.
    template <class... Answer>
    void askDelegate(std::type_identity_t<std::function<void(std::function<void(Answer...)>)>> ask,
                     void (Transfer::*answered)(Answer...)) REQUIRES(owner_) {
        dispatch::OnceHandler<Answer...> reply(
            "URLSession delegate decision",
            [engine = engine_->weak_from_this(), id = taskId(), answered](Answer... answer) {
                postToTransfer(engine, id,
                               [answered, answer = std::make_tuple(std::move(answer)...)](Transfer& t) REQUIRES(
                                   t.owner_) { std::apply([&](const auto&... a) { (t.*answered)(a...); }, answer); });
            },
            dispatch::OnceHandlerPolicy::IgnoreExtraCalls);
        engine_->deliver([ask = std::move(ask), reply] { ask(std::function<void(Answer...)>(reply)); });
    }

    Engine* const engine_;
    // The transfer belongs to one thread at a time: the one that prepares its first hop, if any, then
    // its engine's. Each way in asserts it (a debug build aborts elsewhere); the steps require it.
    dispatch::ThreadChecker owner_{"URLSession transfer"};
    std::shared_ptr<URLSessionTask> task_ GUARDED_BY(owner_);
    TaskExtras extras_ GUARDED_BY(owner_);
    State state_ GUARDED_BY(owner_) = State::Headers;
    URLRequest request_ GUARDED_BY(owner_);  // current hop
    std::string host_ GUARDED_BY(owner_);    // of the current hop, for trust and challenges
    int redirects_ GUARDED_BY(owner_) = 0;
    int authFailures_ GUARDED_BY(owner_) = 0;
    // The HTTP challenge being answered (AwaitingAuth): its space and the stored credential for it.
    std::optional<URLProtectionSpace> protectionSpace_ GUARDED_BY(owner_);
    std::optional<URLCredential> proposedCredential_ GUARDED_BY(owner_);
    // A web view's session keeps the credential it answered a challenge with only once the server took it.
    std::optional<URLCredential> credentialOnTrial_ GUARDED_BY(owner_);
    std::optional<CurlAuth> curlAuth_ GUARDED_BY(owner_);
    bool curlAnswersChallenge_ GUARDED_BY(owner_) = false;  // this hop's first challenge answer is curl's

    // Request body.
    std::shared_ptr<InputStream> bodyStream_ GUARDED_BY(owner_);
    int64_t bodyLength_ GUARDED_BY(owner_) = -1;
    int64_t bodySent_ GUARDED_BY(owner_) = 0;
    bool bodyFailed_ GUARDED_BY(owner_) = false;

    // Response head being read.
    int status_ GUARDED_BY(owner_) = 0;
    std::string httpVersion_ GUARDED_BY(owner_);
    ResponseHead head_ GUARDED_BY(owner_);  // the lines as they come
    std::shared_ptr<const HTTPURLResponse> response_ GUARDED_BY(owner_);
    std::optional<CURLcode> doneWhileWaiting_ GUARDED_BY(owner_);  // curl finished while a decision or held body waited
    std::shared_ptr<ResponseDecision> decision_ GUARDED_BY(owner_);  // while the response decision is out
    std::optional<LastHop> endedHop_ GUARDED_BY(owner_);             // the last hop, ended before the task

    // Pauses: the receive side is paused while any reason holds.
    bool userPaused_ GUARDED_BY(owner_) = false;
    bool decisionPaused_ GUARDED_BY(owner_) = false;  // write callback answered PAUSE for a pending decision
    // Body not yet taken: what arrived while a decision was pending (bounded), or a cached answer's.
    // It flows before anything curl has; while the delegate is behind, it waits (pressurePaused_).
    Bytes held_ GUARDED_BY(owner_);
    bool pressurePaused_ GUARDED_BY(owner_) = false;
    // The hop is leaving: curl's callbacks drop what it hands over (see leaveMulti).
    bool discarding_ GUARDED_BY(owner_) = false;
    std::shared_ptr<std::atomic<int64_t>> pendingBytes_ GUARDED_BY(owner_) = std::make_shared<std::atomic<int64_t>>(0);

    // Download.
    File file_ GUARDED_BY(owner_);
    std::string filePath_ GUARDED_BY(owner_);
    int64_t written_ GUARDED_BY(owner_) = 0;
    int64_t resumeOffset_ GUARDED_BY(owner_) = 0;
    std::string etag_, lastModified_ GUARDED_BY(owner_);
    bool fileFailed_ GUARDED_BY(owner_) = false;
    int64_t unreportedBytes_ GUARDED_BY(owner_) = 0;
    std::shared_ptr<std::atomic<bool>>
        progressInFlight_ GUARDED_BY(owner_) = std::make_shared<std::atomic<bool>>(false);
    bool becameDownload_ GUARDED_BY(owner_) = false;

    // Data collected for a completion handler.
    Bytes collected_ GUARDED_BY(owner_);
    // Decoded body bytes of a data task so far, held against the session's maximum.
    int64_t bodyBytes_ GUARDED_BY(owner_) = 0;

    // The URL cache. A network answer that may be stored keeps its body in cacheBody_ for the proposal,
    // while it stays within cacheBodyLimit_ (beyond it, nullopt: nothing is proposed). An answer from
    // the cache has no easy handle; its body is held until it may flow.
    std::optional<Bytes> cacheBody_ GUARDED_BY(owner_);
    size_t cacheBodyLimit_ GUARDED_BY(owner_) = 0;
    bool cacheSettled_ GUARDED_BY(owner_) =
        false;  // nothing (more) to offer the cache: offered already, or came from it

    // Time-outs and metrics.
    SteadyTime lastActivity_ GUARDED_BY(owner_);
    double idleTimeout_ GUARDED_BY(owner_) = 60;
    std::optional<SteadyTime> resourceDeadline_ GUARDED_BY(owner_);
    Date taskStart_ GUARDED_BY(owner_);
    Date hopStart_ GUARDED_BY(owner_);
    URLSessionTaskMetrics metrics_ GUARDED_BY(owner_);
    // An error decided by us (trust refusal, cancel) that outranks curl's code.
    std::optional<Error> overrideError_ GUARDED_BY(owner_);
    // The server of this hop's TLS handshake asked for a client certificate (we have none to give).
    bool clientCertificateRequested_ GUARDED_BY(owner_) = false;
    std::function<void(std::optional<Bytes>)> resumeDataHandler_;

    // What curl holds of the current hop (none between hops, or for an answer from the cache).
    // Declared last, so gone first: curl lets go of the transfer before anything its callbacks read.
    std::optional<CurlRequest> hop_ GUARDED_BY(owner_);
};

URLErrorCode codeForVerifyError(int verifyError);

}  // namespace platform::urlsession_detail
