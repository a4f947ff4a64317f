#pragma once
// Internal: one task's transfer on the engine thread (one curl easy handle per request hop).
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/Stream.h"
#include "platform/urlsession/URLAuthenticationChallenge.h"
#include "platform/urlsession/URLSessionTaskMetrics.h"
#include "platform/urlsession/internal/Engine.h"
#include "platform/urlsession/internal/ResponseHead.h"

namespace platform::urlsession_detail {

using SteadyTime = std::chrono::steady_clock::time_point;

struct Transfer {
    enum class Phase {
        Headers,           // waiting for the response head
        AwaitingRedirect,  // the delegate decides on a redirect; body paused
        AwaitingAuth,      // the delegate answers an HTTP authentication challenge; body paused
        AwaitingResponse,  // the delegate decides on the response; body paused
        Body,              // body flows to the delegate / file
        AwaitingCache,     // the body is in; the delegate decides what the cache keeps (willCacheResponse)
    };

    Engine* engine = nullptr;
    std::shared_ptr<URLSessionTask> task;
    Engine::TaskExtras extras;
    CURL* easy = nullptr;
    bool inMulti = false;  // easy has been added to the engine's multi handle
    curl_slist* headerList = nullptr;
    curl_slist* connectTo = nullptr;
    URLRequest request;  // current hop
    std::string host;    // of the current hop, for trust and challenges
    int redirects = 0;
    int authFailures = 0;
    // The HTTP challenge being answered (AwaitingAuth): its space and the stored credential for it.
    std::optional<URLProtectionSpace> protectionSpace;
    std::optional<URLCredential> proposedCredential;
    // A Digest credential the next hop hands curl: curl reads the server's challenge on that hop (its
    // first 401 or 407 is curl's to answer, not the task's) and sends the digest.
    struct CurlAuth {
        bool proxy = false;
        std::string user, password;
    };
    std::optional<CurlAuth> curlAuth;
    bool curlAnswersChallenge = false;  // this hop's first challenge answer is curl's
    Phase phase = Phase::Headers;

    // Request body.
    std::shared_ptr<InputStream> bodyStream;
    int64_t bodyLength = -1;
    int64_t bodySent = 0;
    bool bodyFailed = false;

    // Response head being read.
    int status = 0;
    std::string httpVersion;
    HTTPHeaderFields headers;
    ResponseHead head;  // the lines as they come
    std::shared_ptr<const HTTPURLResponse> response;
    std::optional<CURLcode> doneWhileWaiting;  // curl finished while a decision was pending

    // Pauses: the receive side is paused while any reason holds.
    bool userPaused = false;
    bool decisionPaused = false;  // write callback answered PAUSE for a pending decision
    Bytes held;                   // body that arrived while a decision was pending (bounded)
    std::atomic<bool> pressurePaused{false};
    std::shared_ptr<std::atomic<int64_t>> pendingBytes = std::make_shared<std::atomic<int64_t>>(0);

    // Download.
    FILE* file = nullptr;
    std::string filePath;
    int64_t written = 0;
    int64_t resumeOffset = 0;
    std::string etag, lastModified;
    bool fileFailed = false;
    int64_t unreportedBytes = 0;
    std::shared_ptr<std::atomic<bool>> progressInFlight = std::make_shared<std::atomic<bool>>(false);
    bool becameDownload = false;

    // Data collected for a completion handler.
    Bytes collected;
    // Decoded body bytes of a data task so far, held against the session's maximum.
    int64_t bodyBytes = 0;

    // The URL cache. A network answer that may be stored keeps its body in cacheBody for the proposal,
    // while it stays within cacheBodyLimit (beyond it, nullopt: nothing is proposed). An answer from
    // the cache has no easy handle; its body waits in cachedBody until it flows as a network one would.
    std::optional<Bytes> cacheBody;
    size_t cacheBodyLimit = 0;
    bool cacheSettled = false;  // nothing (more) to offer the cache: offered already, or came from it
    std::optional<Bytes> cachedBody;

    // Time-outs and metrics.
    SteadyTime lastActivity;
    double idleTimeout = 60;
    std::optional<SteadyTime> resourceDeadline;
    Date taskStart;
    Date hopStart;
    URLSessionTaskMetrics metrics;
    // An error decided by us (trust refusal, cancel) that outranks curl's code.
    std::optional<Error> overrideError;
    // The server of this hop's TLS handshake asked for a client certificate (we have none to give).
    bool clientCertificateRequested = false;
    std::function<void(std::optional<Bytes>)> resumeDataHandler;

    ~Transfer();
    void releaseEasy();
    void startClocks(const URLSessionConfiguration& config);
};

}  // namespace platform::urlsession_detail
