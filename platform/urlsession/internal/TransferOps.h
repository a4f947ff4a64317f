#pragma once
// Internal: the steps of a transfer, run on the engine thread, and what they share. A transfer moves
// through the states of Transfer::Phase; each file holds the steps of one part of its life:
//   Transfer.cpp        start: the request's body, the easy handle of each hop, joining the engine
//   TransferHead.cpp    Headers: the answer's head; AwaitingRedirect, AwaitingAuth, AwaitingResponse
//   TransferBody.cpp    Body: the request body out, the answer's body in, progress and back-pressure
//   TransferTrust.cpp   the TLS handshake's server-trust decision
//   TransferCache.cpp   answers from the URL cache, and AwaitingCache
//   TransferFinish.cpp  the end of a hop or of the task: errors, metrics, completion; task commands
#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>

#include "platform/urlsession/URLCache.h"
#include "platform/urlsession/URLError.h"
#include "platform/urlsession/internal/Engine.h"
#include "platform/urlsession/internal/Transfer.h"

namespace platform::urlsession_detail {

class TransferOps {
public:
    // Start (Transfer.cpp).
    static void startHop(Engine* e, Transfer* t);
    static void configureHop(const URLSessionConfiguration& config, Transfer* t);
    static void addHop(Engine* e, Transfer* t);
    static bool chooseBody(Transfer* t);
    static void prepareBodyThenStart(Engine* e, Transfer* t);
    static void bodyStreamAnswered(Engine* e, Transfer* t, std::shared_ptr<InputStream> stream);
    // Head and the decisions it leads to (TransferHead.cpp).
    static size_t onHeader(char* buffer, size_t size, size_t count, void* user);
    static void onHead(Transfer* t);
    static void redirectAnswered(Engine* e, Transfer* t, std::optional<URLRequest> answer);
    static void authAnswered(Engine* e, Transfer* t, URLSessionAuthChallengeDisposition disposition,
                             std::optional<URLCredential> credential);
    static void handleResponse(Transfer* t);
    static void responseAnswered(Engine* e, Transfer* t, URLSessionResponseDisposition disposition);
    static void becomeDownload(Engine* e, Transfer* t);
    // Body (TransferBody.cpp).
    static size_t onWrite(char* ptr, size_t size, size_t count, void* user);
    static size_t onRead(char* buffer, size_t size, size_t count, void* user);
    static void reportProgress(Transfer* t);
    static void bodyMayFlow(Engine* e, Transfer* t);
    // Trust (TransferTrust.cpp).
    static CURLcode onSSLContext(CURL*, void* sslctx, void* user);
    static int verifyCallback(X509_STORE_CTX* ctx, void* arg);
    static bool verifyTrust(Transfer* t, X509_STORE_CTX* ctx);
    // Cache (TransferCache.cpp).
    static void answerFromCache(Engine* e, Transfer* t, CachedURLResponse cached);
    static void keepForCache(Transfer* t, const char* ptr, size_t len);
    static bool offerToCache(Engine* e, Transfer* t);
    static void cacheAnswered(Engine* e, Transfer* t, std::optional<CachedURLResponse> answer);
    // End (TransferFinish.cpp).
    static void curlDone(Engine* e, Transfer* t, CURLcode code);
    static void recordHopMetrics(Transfer* t);
};

inline SteadyTime steadyNow() { return std::chrono::steady_clock::now(); }

// The URL error for a hop curl ended with `code`, corrected by what the hop showed.
URLErrorCode codeForFailedHop(const Transfer& t, CURLcode code);
URLErrorCode codeForVerifyError(int verifyError);

// Asks the delegate once on its queue and brings the answer back to the engine thread. `ask` runs on
// the delegate queue with a reply function; the first reply counts (later ones are dropped), and
// `answered` runs on the engine thread with the task's transfer, unless that transfer has ended
// meanwhile. Every delegate decision a transfer waits for goes through here.
template <class... Answer>
void askDelegateOnce(Engine* e, uint64_t id,
                     std::type_identity_t<std::function<void(std::function<void(Answer...)>)>> ask,
                     std::type_identity_t<std::function<void(Engine*, Transfer*, Answer...)>> answered) {
    auto weakEngine = e->weak_from_this();
    auto once = std::make_shared<std::atomic<bool>>(false);
    std::function<void(Answer...)> reply = [weakEngine, e, id, once, answered](Answer... answer) {
        if (once->exchange(true)) return;
        auto engine = weakEngine.lock();
        if (!engine) return;
        engine->post([e, id, answered, answer = std::make_tuple(std::move(answer)...)]() mutable {
            if (Transfer* t = e->transferFor(id))
                std::apply([&](auto&&... a) { answered(e, t, std::forward<decltype(a)>(a)...); }, std::move(answer));
        });
    };
    e->deliver([ask = std::move(ask), reply = std::move(reply)] { ask(reply); });
}

}  // namespace platform::urlsession_detail
