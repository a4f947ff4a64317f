// The end of a hop or of the task: curl's code turned into the task's error, metrics, the
// completion delivered; and the task commands (suspend, resume, cancel) that act on a transfer.
#include <filesystem>

#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/internal/ResumeData.h"
#include "platform/urlsession/internal/StreamConnection.h"
#include "platform/urlsession/internal/TransferOps.h"

namespace platform::urlsession_detail {

namespace {

std::optional<Date> dateAt(const Date& start, CURL* easy, CURLINFO info) {
    curl_off_t us = 0;
    if (curl_easy_getinfo(easy, info, &us) != CURLE_OK || us <= 0) return std::nullopt;
    return start.addingTimeInterval(double(us) / 1e6);
}

}  // namespace

namespace {

URLErrorCode codeForCurl(CURLcode c) {
    switch (c) {
    case CURLE_UNSUPPORTED_PROTOCOL:
        return URLErrorCode::UnsupportedURL;
    case CURLE_URL_MALFORMAT:
        return URLErrorCode::BadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return URLErrorCode::CannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return URLErrorCode::CannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
        return URLErrorCode::TimedOut;
    case CURLE_TOO_MANY_REDIRECTS:
        return URLErrorCode::HTTPTooManyRedirects;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return URLErrorCode::NetworkConnectionLost;
    case CURLE_GOT_NOTHING:
        return URLErrorCode::NetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
        return URLErrorCode::BadServerResponse;
    case CURLE_BAD_CONTENT_ENCODING:
        return URLErrorCode::CannotDecodeContentData;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    // A client certificate of our own that could not be used: the server never saw it.
    case CURLE_SSL_CERTPROBLEM:
        return URLErrorCode::SecureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return URLErrorCode::ServerCertificateUntrusted;
    case CURLE_SSL_CLIENTCERT:
        return URLErrorCode::ClientCertificateRejected;
    case CURLE_ABORTED_BY_CALLBACK:
        return URLErrorCode::Cancelled;
    case CURLE_WRITE_ERROR:
        return URLErrorCode::CannotWriteToFile;
    case CURLE_READ_ERROR:
        return URLErrorCode::CannotOpenFile;
    default:
        return URLErrorCode::Unknown;
    }
}

}  // namespace

URLErrorCode codeForVerifyError(int v) {
    switch (v) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return URLErrorCode::ServerCertificateHasBadDate;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return URLErrorCode::ServerCertificateNotYetValid;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return URLErrorCode::ServerCertificateHasUnknownRoot;
    default:
        return URLErrorCode::ServerCertificateUntrusted;
    }
}

// curl's code, corrected by what the TLS handshake showed. A server that asked for a client
// certificate and then ended the connection before answering refused us for lacking one: under TLS 1.2
// the handshake fails; under TLS 1.3 our side of the handshake is already done and curl reports a
// failed read or write (the server's alert is often lost to the reset of the connection).
URLErrorCode codeForFailedHop(const Transfer& t, CURLcode code) {
    URLErrorCode byCurl = codeForCurl(code);
    bool connectionEnded =
        byCurl == URLErrorCode::NetworkConnectionLost || byCurl == URLErrorCode::SecureConnectionFailed;
    if (t.clientCertificateRequested && !t.response && connectionEnded) return URLErrorCode::ClientCertificateRejected;
    // Before a head we could read, curl's complaints about what came back (an HTTP/0.9-looking
    // answer, a weird reply, a header line too long for it) are all a server answering nonsense:
    // the scheme itself was checked before the hop started.
    if (!t.response &&
        (code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_OUT_OF_MEMORY))
        return URLErrorCode::BadServerResponse;
    return byCurl;
}

// ---------------------------------------------------------------- completion

void TransferOps::recordHopMetrics(Transfer* t) {
    if (!t->easy) return;
    URLSessionTaskTransactionMetrics m;
    m.request = t->request;
    m.response = t->response;
    m.resourceFetchType = URLSessionTaskMetricsResourceFetchType::NetworkLoad;
    const Date s = t->hopStart;
    m.fetchStartDate = s;
    m.domainLookupStartDate = s;
    m.domainLookupEndDate = dateAt(s, t->easy, CURLINFO_NAMELOOKUP_TIME_T);
    m.connectStartDate = m.domainLookupEndDate;
    m.connectEndDate = dateAt(s, t->easy, CURLINFO_CONNECT_TIME_T);
    if (auto tls = dateAt(s, t->easy, CURLINFO_APPCONNECT_TIME_T)) {
        m.secureConnectionStartDate = m.connectEndDate;
        m.secureConnectionEndDate = tls;
        m.connectEndDate = tls;
    }
    m.requestStartDate = dateAt(s, t->easy, CURLINFO_PRETRANSFER_TIME_T);
    m.requestEndDate = m.requestStartDate;
    m.responseStartDate = dateAt(s, t->easy, CURLINFO_STARTTRANSFER_TIME_T);
    m.responseEndDate = Date::now();
    long version = 0;
    curl_easy_getinfo(t->easy, CURLINFO_HTTP_VERSION, &version);
    m.networkProtocolName = version == CURL_HTTP_VERSION_2_0   ? "h2"
                            : version == CURL_HTTP_VERSION_1_0 ? "http/1.0"
                                                               : "http/1.1";
    long connects = 0;
    curl_easy_getinfo(t->easy, CURLINFO_NUM_CONNECTS, &connects);
    m.reusedConnection = connects == 0;
    if (m.reusedConnection) m.connectStartDate = m.connectEndDate = std::nullopt;
    t->metrics.transactionMetrics.push_back(std::move(m));
}

void TransferOps::curlDone(Engine* e, Transfer* t, CURLcode code) {
    if (t->cachedBody) {
        // An answer from the cache: its body flows now, as a network one's would have.
        Bytes body = std::move(*t->cachedBody);
        t->cachedBody.reset();
        if (code == CURLE_OK && !body.empty() &&
            onWrite(reinterpret_cast<char*>(body.data()), 1, body.size(), t) != body.size())
            code = CURLE_WRITE_ERROR;
    }
    std::optional<Error> error;
    if (t->overrideError) {
        error = t->overrideError;
    } else if (code == CURLE_OK) {
        if (!t->response) error = makeURLError(URLErrorCode::BadServerResponse, t->request.url());
    } else if (t->fileFailed) {
        error = makeURLError(URLErrorCode::CannotWriteToFile, t->request.url());
    } else if (t->bodyFailed) {
        error = makeURLError(URLErrorCode::CannotOpenFile, t->request.url());
    } else {
        error = makeURLError(codeForFailedHop(*t, code), t->request.url());
    }
    e->finish(t, error);
}

void Engine::readInfo() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        if (streams_->connectDone(msg->easy_handle, msg->data.result)) continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
        if (!t) continue;
        CURLcode code = msg->data.result;
        if (t->phase != Transfer::Phase::Body && t->phase != Transfer::Phase::Headers && code == CURLE_OK) {
            t->doneWhileWaiting = code;  // finish once the delegate has decided
            continue;
        }
        TransferOps::curlDone(this, t, code);
    }
}

void Engine::checkTimeouts() {
    auto at = steadyNow();
    std::vector<Transfer*> expired;
    for (auto& [id, t] : transfers_) {
        // The resource time-out counts every moment, suspended or waiting on the delegate, but not the
        // wait for willCacheResponse: the answer is complete then.
        if (t->resourceDeadline && at > *t->resourceDeadline && t->phase != Transfer::Phase::AwaitingCache) {
            expired.push_back(t.get());
            continue;
        }
        if (!t->easy || t->userPaused || t->pressurePaused) continue;
        if (t->phase != Transfer::Phase::Body && t->phase != Transfer::Phase::Headers) continue;
        if (std::chrono::duration<double>(at - t->lastActivity).count() > t->idleTimeout) expired.push_back(t.get());
    }
    for (auto* t : expired) finish(t, makeURLError(URLErrorCode::TimedOut, t->request.url()));
}

void Engine::finish(Transfer* t, std::optional<Error> error) {
    if (!error && TransferOps::offerToCache(this, t)) return;  // finishes once the delegate has answered
    TransferOps::recordHopMetrics(t);
    if (t->file) {
        fflush(t->file);
        fclose(t->file);
        t->file = nullptr;
    }
    t->releaseEasy();
    auto task = t->task;
    auto session = sessionRef();
    auto d = delegate();
    auto extras = std::move(t->extras);
    bool isDownload = task->kind() == URLSessionTask::Kind::Download || t->becameDownload;
    if (isDownload && t->unreportedBytes > 0 && d && session && !extras.downloadCompletion &&
        d->implements(URLSessionDelegateMethod::DownloadTaskDidWriteData)) {
        // The last bytes are reported before the download finishes.
        auto dl = std::static_pointer_cast<URLSessionDownloadTask>(task);
        int64_t bytes = t->unreportedBytes, total = t->written;
        int64_t expected = t->response ? t->response->expectedContentLength() : -1;
        if (expected >= 0) expected += t->resumeOffset;
        t->unreportedBytes = 0;
        deliver([d, session, dl, bytes, total, expected] { d->didWriteData(session, dl, bytes, total, expected); });
    }

    // A download that stopped early can go on later when the server can tell it is the same entity.
    std::optional<Bytes> resumeData;
    if (isDownload && error && !t->filePath.empty()) {
        if (t->written > 0 && (!t->etag.empty() || !t->lastModified.empty()) && t->request.url()) {
            ResumeInfo info{t->request.url()->absoluteString(), t->written, t->filePath, t->etag, t->lastModified};
            resumeData = info.encode();
        }
        if (resumeData) {
            error->userInfo.set(kURLSessionDownloadTaskResumeData, *resumeData);
        } else {
            std::error_code ec;
            std::filesystem::remove(t->filePath, ec);
        }
    }
    t->metrics.redirectCount = t->redirects;
    t->metrics.taskInterval = DateInterval{t->taskStart, Date::now().timeIntervalSince(t->taskStart)};
    auto metrics = std::move(t->metrics);
    auto response = t->response;
    auto collected = std::move(t->collected);
    auto filePath = t->filePath;
    auto resumeHandler = std::move(t->resumeDataHandler);
    {
        std::lock_guard lock(task->mutex_);
        task->state_ = URLSessionTaskState::Completed;
        task->error_ = error;
    }
    {
        std::lock_guard lock(registryMutex_);
        tasks_.erase(task->taskIdentifier());
        extras_.erase(task->taskIdentifier());
    }
    transfers_.erase(task->taskIdentifier());  // t is gone from here on

    auto self = shared_from_this();
    deliver([self, d, session, task, error, extras = std::move(extras), metrics = std::move(metrics), response,
             collected = std::move(collected), filePath, resumeHandler, resumeData, isDownload] {
        InFlightScope leaving(task);
        if (resumeHandler) resumeHandler(resumeData);
        bool delegateOK = d && session;
        if (isDownload && !error) {
            auto location = URL::fileURL(filePath);
            auto dl = std::static_pointer_cast<URLSessionDownloadTask>(task);
            if (extras.downloadCompletion)
                extras.downloadCompletion(location, response, std::nullopt);
            else if (delegateOK && d->implements(URLSessionDelegateMethod::DownloadTaskDidFinishDownloadingToURL))
                d->didFinishDownloadingToURL(session, dl, location);
            std::error_code ec;
            std::filesystem::remove(filePath, ec);  // unless it was moved away
        }
        if (delegateOK && d->implements(URLSessionDelegateMethod::TaskDidFinishCollectingMetrics))
            d->didFinishCollectingMetrics(session, task, metrics);
        if (extras.dataCompletion)
            extras.dataCompletion(collected, response, error);
        else if (extras.downloadCompletion && error)
            extras.downloadCompletion(std::nullopt, response, error);
        else if (delegateOK && d->implements(URLSessionDelegateMethod::TaskDidCompleteWithError))
            d->didCompleteWithError(session, task, error);
    });
}

// ---------------------------------------------------------------- task commands

void Engine::suspendTask(const std::shared_ptr<URLSessionTask>& task) {
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->setSuspended(std::static_pointer_cast<URLSessionStreamTask>(task), true);
    auto it = transfers_.find(task->taskIdentifier());
    if (it == transfers_.end()) return;
    it->second->userPaused = true;
    unpauseIfClear(it->second.get());
}

void Engine::resumeTask(const std::shared_ptr<URLSessionTask>& task) {
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->setSuspended(std::static_pointer_cast<URLSessionStreamTask>(task), false);
    auto it = transfers_.find(task->taskIdentifier());
    if (it == transfers_.end()) {
        if (task->state() == URLSessionTaskState::Running) startTask(task);
        return;
    }
    it->second->userPaused = false;
    unpauseIfClear(it->second.get());
}

void Engine::cancelTask(const std::shared_ptr<URLSessionTask>& task,
                        std::function<void(std::optional<Bytes>)> resumeData) {
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->cancel(std::static_pointer_cast<URLSessionStreamTask>(task));
    auto it = transfers_.find(task->taskIdentifier());
    if (it == transfers_.end()) {
        if (task->state() == URLSessionTaskState::Completed) return;
        if (resumeData) deliver([resumeData] { resumeData(std::nullopt); });
        auto req = task->currentRequest();
        return completeWithoutTransfer(task, makeURLError(URLErrorCode::Cancelled, req ? req->url() : std::nullopt));
    }
    Transfer* t = it->second.get();
    t->resumeDataHandler = std::move(resumeData);
    finish(t, makeURLError(URLErrorCode::Cancelled, t->request.url()));
}

}  // namespace platform::urlsession_detail
