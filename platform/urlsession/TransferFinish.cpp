// The end of a hop or of the task: curl's code turned into the task's error, metrics, the
// completion delivered; and what the engine does to a transfer (time-outs, pause, cancel).
#include <filesystem>

#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/internal/ResumeData.h"
#include "platform/urlsession/internal/StreamConnection.h"
#include "platform/urlsession/internal/Transfer.h"

namespace platform::urlsession_detail {

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
URLErrorCode Transfer::codeForFailedHop(CURLcode code) const {
    URLErrorCode byCurl = codeForCurl(code);
    bool connectionEnded =
        byCurl == URLErrorCode::NetworkConnectionLost || byCurl == URLErrorCode::SecureConnectionFailed;
    if (clientCertificateRequested_ && !response_ && connectionEnded) return URLErrorCode::ClientCertificateRejected;
    // Before a head we could read, curl's complaints about what came back (an HTTP/0.9-looking
    // answer, a weird reply, a header line too long for it) are all a server answering nonsense:
    // the scheme itself was checked before the hop started.
    if (!response_ &&
        (code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_OUT_OF_MEMORY))
        return URLErrorCode::BadServerResponse;
    return byCurl;
}

// ---------------------------------------------------------------- completion

Transfer::HopTimes Transfer::readHopTimes() const {
    HopTimes t;
    t.start = hopStart_;
    CURL* easy = this->easy();
    curl_easy_getinfo(easy, CURLINFO_NAMELOOKUP_TIME_T, &t.lookup);
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &t.connect);
    curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &t.tls);
    curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &t.request);
    curl_easy_getinfo(easy, CURLINFO_STARTTRANSFER_TIME_T, &t.firstByte);
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &t.httpVersion);
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &t.connects);
    return t;
}

URLSessionTaskTransactionMetrics Transfer::hopMetrics(URLRequest request,
                                                      std::shared_ptr<const HTTPURLResponse> response,
                                                      const HopTimes& t, const Date& end) {
    auto at = [&](curl_off_t us) -> std::optional<Date> {
        if (us <= 0) return std::nullopt;
        return t.start.addingTimeInterval(double(us) / 1e6);
    };
    URLSessionTaskTransactionMetrics m;
    m.request = std::move(request);
    m.response = std::move(response);
    m.resourceFetchType = URLSessionTaskMetricsResourceFetchType::NetworkLoad;
    m.fetchStartDate = t.start;
    m.domainLookupStartDate = t.start;
    m.domainLookupEndDate = at(t.lookup);
    m.connectStartDate = m.domainLookupEndDate;
    m.connectEndDate = at(t.connect);
    if (auto tls = at(t.tls)) {
        m.secureConnectionStartDate = m.connectEndDate;
        m.secureConnectionEndDate = tls;
        m.connectEndDate = tls;
    }
    m.requestStartDate = at(t.request);
    m.requestEndDate = m.requestStartDate;
    m.responseStartDate = at(t.firstByte);
    m.responseEndDate = end;
    m.networkProtocolName = t.httpVersion == CURL_HTTP_VERSION_2_0   ? "h2"
                            : t.httpVersion == CURL_HTTP_VERSION_1_0 ? "http/1.0"
                                                                     : "http/1.1";
    m.reusedConnection = t.connects == 0;
    if (m.reusedConnection) m.connectStartDate = m.connectEndDate = std::nullopt;
    return m;
}

void Transfer::recordHopMetrics() {
    if (hop_) metrics_.transactionMetrics.push_back(hopMetrics(request_, response_, readHopTimes(), Date::now()));
}

std::shared_ptr<const URLSessionTaskMetrics> Transfer::EndRecords::taskMetrics() {
    if (lastHop)
        metrics.transactionMetrics.push_back(
            hopMetrics(std::move(lastHop->request), std::move(lastHop->response), lastHop->times, end));
    lastHop.reset();
    return std::make_shared<const URLSessionTaskMetrics>(std::move(metrics));
}

void Transfer::curlDone(CURLcode code) {
    std::optional<Error> error;
    if (overrideError_) {
        error = overrideError_;
    } else if (code == CURLE_OK) {
        if (!response_) error = makeURLError(URLErrorCode::BadServerResponse, request_.url());
    } else if (fileFailed_) {
        error = makeURLError(URLErrorCode::CannotWriteToFile, request_.url());
    } else if (bodyFailed_) {
        error = makeURLError(URLErrorCode::CannotOpenFile, request_.url());
    } else {
        error = makeURLError(codeForFailedHop(code), request_.url());
    }
    finish(error);
}

// curl ended the hop. While the delegate still decides, or has yet to take the body held for it, a
// complete answer waits.
void Transfer::curlFinished(CURLcode code) {
    owner_.assertOnThread();
    if ((decisionPending() || (state_ == State::Body && !held_.empty())) && code == CURLE_OK) {
        doneWhileWaiting_ = code;
        publishAnswer();
        return;
    }
    curlDone(code);
}

// The whole answer waits for the response decision: its end is made ready now, so that an allowing
// reply can end the task on the delegate queue without the engine taking the answer first. Not when
// the end has more to do here: an answer for the URL cache, or a body over the session's limit.
void Transfer::publishAnswer() {
    if (!decision_ || state_ != State::AwaitingResponse || doneWhileWaiting_ != CURLE_OK) return;
    const auto& config = engine_->configuration();
    if (config.URLCache && !cacheSettled_) return;
    if (config.maximumDataTaskBodyLength > 0 && bodyBytes_ + int64_t(held_.size()) > config.maximumDataTaskBodyLength)
        return;
    dispatch::MutexLock lock(decision_->mutex);
    if (decision_->settled) return;  // the reply is on its way to the engine
    endHop();
    decision_->answer = HeldAnswer{std::static_pointer_cast<URLSessionDataTask>(task_), std::exchange(held_, {}),
                                   takeEndRecords(Date::now())};
}

// The decision is over for the engine: nothing is published from now on, and an answer that was (and
// that no allowing reply took) is the transfer's again.
void Transfer::settleDecision() {
    auto decision = std::exchange(decision_, nullptr);
    if (!decision) return;
    std::optional<HeldAnswer> back;
    {
        dispatch::MutexLock lock(decision->mutex);
        decision->settled = true;
        back = std::exchange(decision->answer, std::nullopt);
    }
    if (!back) return;
    held_ = std::move(back->body);
    metrics_ = std::move(back->records.metrics);
    endedHop_ = std::move(back->records.lastHop);
}

void Transfer::forgetAllowed() { engine_->bury(engine_->release(taskId())); }

void Transfer::endHop() {
    if (!hop_) return;
    endedHop_ = LastHop{request_, response_, readHopTimes()};
    releaseEasy();
}

// The resource time-out counts every moment, suspended or waiting on the delegate, but not the wait
// for willCacheResponse: the answer is complete then. The idle time-out counts while bytes may flow.
bool Transfer::expired(SteadyTime now) const {
    owner_.assertOnThread();
    if (resourceDeadline_ && now > *resourceDeadline_ && state_ != State::AwaitingCache) return true;
    if (!hop_ || userPaused_ || pressurePaused_ || decisionPending()) return false;
    return std::chrono::duration<double>(now - lastActivity_).count() > idleTimeout_;
}

void Transfer::timeOut() {
    owner_.assertOnThread();
    finish(makeURLError(URLErrorCode::TimedOut, request_.url()));
}

void Transfer::setUserPaused(bool paused) {
    owner_.assertOnThread();
    userPaused_ = paused;
    unpauseIfClear();
}

void Transfer::cancel(std::function<void(std::optional<Bytes>)> resumeData) {
    owner_.assertOnThread();
    resumeDataHandler_ = std::move(resumeData);
    finish(makeURLError(URLErrorCode::Cancelled, request_.url()));
}

void Transfer::postToTransfer(const std::weak_ptr<Engine>& engine, uint64_t id, std::function<void(Transfer&)> step,
                              bool wake) {
    auto e = engine.lock();
    if (!e) return;
    Engine* raw = e.get();
    e->post(
        [raw, id, step = std::move(step)] {
            if (Transfer* t = raw->transferFor(id)) step(*t);
        },
        wake);
}

void Transfer::onLaterTurn(std::function<void(Transfer&)> step) {
    postToTransfer(engine_->weak_from_this(), taskId(), std::move(step));
}

// What the completion hands out, taken from the ended transfer (its last hop's timings read from
// the easy handle before that goes back to the engine).
Transfer::EndRecords Transfer::takeEndRecords(const Date& end) {
    std::optional<LastHop> lastHop = std::exchange(endedHop_, std::nullopt);
    if (hop_) lastHop = LastHop{std::move(request_), response_, readHopTimes()};  // the transfer's last use of it
    releaseEasy();
    metrics_.redirectCount = redirects_;
    metrics_.taskInterval = DateInterval{taskStart_, end.timeIntervalSince(taskStart_)};
    return {std::move(metrics_), std::move(lastHop),           end, response_, std::move(collected_),
            filePath_,           std::move(resumeDataHandler_)};
}

// The hop leaves the multi handle (its connection is free for the next request at once), the task is
// marked completed and the records the delegate is owed go out with the completion. The transfer is
// destroyed at the end of the engine's turn, on the thread its memory came from: a session's many
// engines keep the delegate queue, which is one thread, free of clean-up.
void Transfer::finish(std::optional<Error> error) {
    if (!error && offerToCache()) return;  // finishes once the delegate has answered
    settleDecision();
    const Date end = Date::now();
    file_.reset();
    leaveMulti();
    auto task = task_;
    auto session = engine_->sessionRef();
    auto d = engine_->delegate();
    auto extras = std::move(extras_);
    bool isDownload = task->kind() == URLSessionTask::Kind::Download || becameDownload_;
    if (isDownload && unreportedBytes_ > 0 && d && session && !extras.downloadCompletion &&
        d->implements(URLSessionDelegateMethod::DownloadTaskDidWriteData)) {
        // The last bytes are reported before the download finishes.
        auto dl = std::static_pointer_cast<URLSessionDownloadTask>(task);
        int64_t bytes = unreportedBytes_, total = written_;
        int64_t expected = response_ ? response_->expectedContentLength() : -1;
        if (expected >= 0) expected += resumeOffset_;
        unreportedBytes_ = 0;
        engine_->deliver(
            [d, session, dl, bytes, total, expected] { d->didWriteData(session, dl, bytes, total, expected); });
    }

    // A download that stopped early can go on later when the server can tell it is the same entity.
    std::optional<Bytes> resumeData;
    if (isDownload && error && !filePath_.empty()) {
        if (written_ > 0 && (!etag_.empty() || !lastModified_.empty()) && request_.url()) {
            ResumeInfo info{request_.url()->absoluteString(), written_, filePath_, etag_, lastModified_};
            resumeData = info.encode();
        }
        if (resumeData) {
            error->userInfo.set(kURLSessionDownloadTaskResumeData, *resumeData);
        } else {
            std::error_code ec;
            std::filesystem::remove(filePath_, ec);
        }
    }
    Engine* engine = engine_;
    // False when the delegate queue ended it: the delegate allowed an answer that was whole already.
    const bool endsHere = task->complete(kTaskKey, error);
    // From here on the engine knows this transfer no more. (One that never joined the engine has
    // another owner.)
    engine->bury(engine->release(task->taskIdentifier()));
    if (!endsHere) return;
    engine->deliver([records = takeEndRecords(end), d, session, task, error, extras = std::move(extras), resumeData,
                     isDownload, weakEngine = engine->weak_from_this()]() mutable {
        InFlightScope leaving(task);
        const auto& response = records.response;
        const auto& filePath = records.filePath;
        if (records.resumeHandler) records.resumeHandler(resumeData);
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
            d->didFinishCollectingSharedMetrics(session, task, records.taskMetrics());
        if (extras.dataCompletion) {
            extras.dataCompletion(records.collected, response, error);
            if (auto e = weakEngine.lock()) e->giveBack(std::move(records.collected));
        } else if (extras.downloadCompletion && error)
            extras.downloadCompletion(std::nullopt, response, error);
        else if (delegateOK && d->implements(URLSessionDelegateMethod::TaskDidCompleteWithError))
            d->didCompleteWithError(session, task, error);
    });
    engine->group().forgetTask(task->taskIdentifier());
}

}  // namespace platform::urlsession_detail
