// The server-trust decision, taken inside each hop's TLS handshake on the engine thread.
#include <openssl/ssl.h>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/security/Trust.h"
#include "platform/urlsession/internal/Transfer.h"

namespace platform::urlsession_detail {

namespace {

// --- Shared state of a delegate decision the engine thread waits for (server trust). ---
struct TrustAnswer {
    dispatch::Mutex m;
    dispatch::ConditionVariable cv;
    bool answered GUARDED_BY(m) = false;
    URLSessionAuthChallengeDisposition
        disposition GUARDED_BY(m) = URLSessionAuthChallengeDisposition::PerformDefaultHandling;
    std::optional<URLCredential> credential GUARDED_BY(m);
};

}  // namespace

// ---------------------------------------------------------------- server trust

int Transfer::verifyCallback(X509_STORE_CTX* ctx, void* arg) {
    auto* t = static_cast<Transfer*>(arg);
    t->owner_.assertOnThread();
    bool ok = t->verifyTrust(ctx);
    X509_STORE_CTX_set_error(ctx, ok ? X509_V_OK : X509_V_ERR_APPLICATION_VERIFICATION);
    return ok ? 1 : 0;
}

namespace {

// The transfer whose hop made a TLS context, for callbacks that run only inside that hop's handshake.
int transferIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The OCSP answer the server stapled, when the handshake has carried it by the time the certificate
// is judged: with TLS 1.3 it travels with the certificate. (Under TLS 1.2 it follows the certificate,
// too late for this decision; revocation policies then ask the certificate's own sources.)
std::optional<Bytes> stapledOCSPResponse(X509_STORE_CTX* ctx) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (!ssl) return std::nullopt;
    const unsigned char* der = nullptr;
    long length = SSL_get_tlsext_status_ocsp_resp(ssl, &der);
    if (!der || length <= 0) return std::nullopt;
    return Bytes(der, der + length);
}

}  // namespace

// The app holds no client identities: note that the server asked, and answer with no certificate.
int Transfer::onClientCertificateRequest(SSL* ssl, X509**, EVP_PKEY**) {
    if (auto* t = static_cast<Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), transferIndex()))) {
        t->owner_.assertOnThread();
        t->clientCertificateRequested_ = true;
    }
    return 0;
}

// Called for every new TLS connection, on the engine thread, before its handshake.
CURLcode Transfer::onSSLContext(CURL*, void* sslctx, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(sslctx);
    if (transferIndex() < 0 || SSL_CTX_set_ex_data(ctx, transferIndex(), user) != 1) return CURLE_OUT_OF_MEMORY;
    SSL_CTX_set_client_cert_cb(ctx, onClientCertificateRequest);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verifyCallback, user);
    // Ask the server to staple its certificate's OCSP answer, for revocation policies to read.
    SSL_CTX_set_tlsext_status_type(ctx, TLSEXT_STATUSTYPE_ocsp);
    return CURLE_OK;
}

// Runs inside the TLS handshake on the engine thread: nothing has been sent yet. Waits for the
// delegate (bounded by the request time-out, cut short by a cancel or shutdown).
bool Transfer::verifyTrust(X509_STORE_CTX* ctx) {
    const URL url = *request_.url();
    auto made = security::Trust::fromStoreContext(ctx, {security::Policy::ssl(true, host_)});
    if (!made) {
        overrideError_ = makeURLError(URLErrorCode::SecureConnectionFailed, url);
        return false;
    }
    auto trust = std::make_shared<security::Trust>(made.value());
    if (auto stapled = stapledOCSPResponse(ctx)) trust->setOCSPResponses({std::move(*stapled)});
    auto defaultHandling = [&]() REQUIRES(owner_) {
        auto result = trust->evaluate();
        if (result.isValid()) return true;
        auto leaf = trust->certificateAt(0);
        overrideError_ = result.verifyError == X509_V_ERR_HOSTNAME_MISMATCH && leaf
                             ? makeCertificateNameError(host_, *leaf, url)
                             : makeURLError(codeForVerifyError(result.verifyError), url);
        return false;
    };
    auto d = engine_->delegate();
    auto session = engine_->sessionRef();
    // Server trust is a session-wide question: the session-level method answers it when the delegate
    // has one, the task-level method only when it has not.
    const bool sessionLevel = d && d->implements(URLSessionDelegateMethod::DidReceiveChallenge);
    const bool taskLevel = d && d->implements(URLSessionDelegateMethod::TaskDidReceiveChallenge);
    if (!session || (!taskLevel && !sessionLevel)) return defaultHandling();

    int port = url.port().value_or(443);
    URLProtectionSpace space(host_, port, std::string(kURLProtectionSpaceHTTPS), std::nullopt,
                             kURLAuthenticationMethodServerTrust);
    space.setServerTrust(trust);
    URLAuthenticationChallenge challenge{space, std::nullopt, 0, nullptr};
    auto answer = std::make_shared<TrustAnswer>();
    auto task = task_;
    engine_->deliver([d, session, task, challenge, answer, sessionLevel] {
        auto reply = [answer](URLSessionAuthChallengeDisposition disp, std::optional<URLCredential> cred) {
            dispatch::MutexLock lock(answer->m);
            if (answer->answered) return;
            answer->answered = true;
            answer->disposition = disp;
            answer->credential = std::move(cred);
            answer->cv.notify_all();
        };
        if (sessionLevel)
            d->didReceiveChallenge(session, challenge, reply);
        else
            d->didReceiveTaskChallenge(session, task, challenge, reply);
    });
    engine_->flushDeliveries();  // the engine thread waits for this answer below
    auto deadline = steadyNow() + std::chrono::milliseconds(int64_t(idleTimeout_ * 1000));
    dispatch::MutexLock lock(answer->m);
    while (!answer->answered) {
        if (task->state() == URLSessionTaskState::Canceling) {
            overrideError_ = makeURLError(URLErrorCode::Cancelled, url);
            return false;
        }
        if (steadyNow() > deadline) {
            overrideError_ = makeURLError(URLErrorCode::TimedOut, url);
            return false;
        }
        answer->cv.wait_for(answer->m, std::chrono::milliseconds(20),
                            [&]() REQUIRES(answer->m) { return answer->answered; });
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
        overrideError_ = makeURLError(URLErrorCode::Cancelled, url);
        return false;
    case URLSessionAuthChallengeDisposition::RejectProtectionSpace:
        overrideError_ = makeURLError(URLErrorCode::ServerCertificateUntrusted, url);
        return false;
    }
    return false;
}
}  // namespace platform::urlsession_detail
