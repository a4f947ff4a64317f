// The server-trust decision, taken inside each hop's TLS handshake on the engine thread.
#include <openssl/ssl.h>

#include <condition_variable>
#include <mutex>

#include "platform/security/Trust.h"
#include "platform/urlsession/internal/TransferOps.h"

namespace platform::urlsession_detail {

namespace {

// --- Shared state of a delegate decision the engine thread waits for (server trust). ---
struct TrustAnswer {
    std::mutex m;
    std::condition_variable cv;
    bool answered = false;
    URLSessionAuthChallengeDisposition disposition = URLSessionAuthChallengeDisposition::PerformDefaultHandling;
    std::optional<URLCredential> credential;
};

}  // namespace

// ---------------------------------------------------------------- server trust

int TransferOps::verifyCallback(X509_STORE_CTX* ctx, void* arg) {
    auto* t = static_cast<Transfer*>(arg);
    bool ok = TransferOps::verifyTrust(t, ctx);
    X509_STORE_CTX_set_error(ctx, ok ? X509_V_OK : X509_V_ERR_APPLICATION_VERIFICATION);
    return ok ? 1 : 0;
}

namespace {

// The transfer whose hop made a TLS context, for callbacks that run only inside that hop's handshake.
int transferIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The app holds no client identities: note that the server asked, and answer with no certificate.
int onClientCertificateRequest(SSL* ssl, X509**, EVP_PKEY**) {
    if (auto* t = static_cast<Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), transferIndex())))
        t->clientCertificateRequested = true;
    return 0;
}

}  // namespace

// Called for every new TLS connection, on the engine thread, before its handshake.
CURLcode TransferOps::onSSLContext(CURL*, void* sslctx, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(sslctx);
    if (transferIndex() < 0 || SSL_CTX_set_ex_data(ctx, transferIndex(), user) != 1) return CURLE_OUT_OF_MEMORY;
    SSL_CTX_set_client_cert_cb(ctx, onClientCertificateRequest);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verifyCallback, user);
    return CURLE_OK;
}

// Runs inside the TLS handshake on the engine thread: nothing has been sent yet. Waits for the
// delegate (bounded by the request time-out, cut short by a cancel or shutdown).
bool TransferOps::verifyTrust(Transfer* t, X509_STORE_CTX* ctx) {
    Engine* e = t->engine;
    const URL url = *t->request.url();
    auto made = security::Trust::fromStoreContext(ctx, {security::Policy::ssl(true, t->host)});
    if (!made) {
        t->overrideError = makeURLError(URLErrorCode::SecureConnectionFailed, url);
        return false;
    }
    auto trust = std::make_shared<security::Trust>(made.value());
    auto defaultHandling = [&] {
        auto result = trust->evaluate();
        if (result.isValid()) return true;
        t->overrideError = makeURLError(codeForVerifyError(result.verifyError), url);
        return false;
    };
    auto d = e->delegate();
    auto session = e->sessionRef();
    bool taskLevel = d && d->implements(URLSessionDelegateMethod::TaskDidReceiveChallenge);
    bool sessionLevel = d && d->implements(URLSessionDelegateMethod::DidReceiveChallenge);
    if (!session || (!taskLevel && !sessionLevel)) return defaultHandling();

    int port = url.port().value_or(443);
    URLProtectionSpace space(t->host, port, std::string(kURLProtectionSpaceHTTPS), std::nullopt,
                             kURLAuthenticationMethodServerTrust);
    space.setServerTrust(trust);
    URLAuthenticationChallenge challenge{space, std::nullopt, 0, nullptr};
    auto answer = std::make_shared<TrustAnswer>();
    auto task = t->task;
    e->deliver([d, session, task, challenge, answer, taskLevel] {
        auto reply = [answer](URLSessionAuthChallengeDisposition disp, std::optional<URLCredential> cred) {
            std::lock_guard lock(answer->m);
            if (answer->answered) return;
            answer->answered = true;
            answer->disposition = disp;
            answer->credential = std::move(cred);
            answer->cv.notify_all();
        };
        if (taskLevel)
            d->didReceiveTaskChallenge(session, task, challenge, reply);
        else
            d->didReceiveChallenge(session, challenge, reply);
    });
    e->flushDeliveries();  // the engine thread waits for this answer below
    auto deadline = steadyNow() + std::chrono::milliseconds(int64_t(t->idleTimeout * 1000));
    std::unique_lock lock(answer->m);
    while (!answer->answered) {
        if (task->state() == URLSessionTaskState::Canceling) {
            t->overrideError = makeURLError(URLErrorCode::Cancelled, url);
            return false;
        }
        if (steadyNow() > deadline) {
            t->overrideError = makeURLError(URLErrorCode::TimedOut, url);
            return false;
        }
        answer->cv.wait_for(lock, std::chrono::milliseconds(20));
    }
    switch (answer->disposition) {
    case URLSessionAuthChallengeDisposition::UseCredential:
        if (answer->credential && answer->credential->trust()) return true;
        lock.unlock();
        return defaultHandling();
    case URLSessionAuthChallengeDisposition::PerformDefaultHandling:
        lock.unlock();
        return defaultHandling();
    case URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
        t->overrideError = makeURLError(URLErrorCode::Cancelled, url);
        return false;
    case URLSessionAuthChallengeDisposition::RejectProtectionSpace:
        t->overrideError = makeURLError(URLErrorCode::ServerCertificateUntrusted, url);
        return false;
    }
    return false;
}
}  // namespace platform::urlsession_detail
