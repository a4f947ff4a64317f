// The bodies: the request's out through curl's read callback, the answer's in through its write
// callback, with progress reports and back-pressure from the delegate queue.
#include "platform/urlsession/internal/TransferOps.h"

namespace platform::urlsession_detail {

namespace {

// Body bytes waiting on the delegate queue: pause the transfer above the high mark, continue below the low.
constexpr int64_t kHighWater = 8 << 20;
constexpr int64_t kLowWater = 2 << 20;
// Body bytes kept while the delegate decides on a response, a redirect or a challenge.
constexpr size_t kHeldWhileDeciding = 64 << 10;

}  // namespace

// One progress report in flight at a time, carrying every byte written since the last; when it has
// been delivered, whatever was written meanwhile is reported next.
void TransferOps::reportProgress(Transfer* t) {
    Engine* e = t->engine;
    auto d = e->delegate();
    if (t->unreportedBytes == 0 || t->extras.downloadCompletion || !d ||
        !d->implements(URLSessionDelegateMethod::DownloadTaskDidWriteData) || t->progressInFlight->exchange(true))
        return;
    auto session = e->sessionRef();
    auto dl = std::static_pointer_cast<URLSessionDownloadTask>(t->task);
    int64_t bytes = t->unreportedBytes, total = t->written;
    int64_t expected = t->response ? t->response->expectedContentLength() : -1;
    if (expected >= 0) expected += t->resumeOffset;
    t->unreportedBytes = 0;
    auto flag = t->progressInFlight;
    auto weakEngine = e->weak_from_this();
    auto id = dl->taskIdentifier();
    e->deliver([d, session, dl, bytes, total, expected, flag, weakEngine, e, id] {
        if (session) d->didWriteData(session, dl, bytes, total, expected);
        flag->store(false);
        if (auto eng = weakEngine.lock())
            eng->post([e, id] {
                if (Transfer* t = e->transferFor(id)) reportProgress(t);
            });
    });
}

size_t TransferOps::onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->lastActivity = steadyNow();
    if (!t->bodyStream) return 0;
    ssize_t n = t->bodyStream->read(reinterpret_cast<uint8_t*>(buffer), size * count);
    if (n < 0) {
        t->bodyFailed = true;
        return CURL_READFUNC_ABORT;
    }
    t->bodySent += n;
    int64_t total = t->bodySent, expected = t->bodyLength >= 0 ? t->bodyLength : kURLSessionTransferSizeUnknown;
    {
        std::lock_guard lock(t->task->mutex_);
        t->task->sent_ = total;
    }
    auto d = t->engine->delegate();
    if (n > 0 && d && d->implements(URLSessionDelegateMethod::TaskDidSendBodyData)) {
        auto session = t->engine->sessionRef();
        auto task = t->task;
        t->engine->deliver([d, session, task, n, total, expected] {
            if (session) d->didSendBodyData(session, task, n, total, expected);
        });
    }
    return size_t(n);
}

// The delegate has decided and the body may flow: first what arrived while it decided, then the
// rest (or the end, when curl finished meanwhile).
void TransferOps::bodyMayFlow(Engine* e, Transfer* t) {
    if (!t->held.empty()) {
        Bytes held = std::move(t->held);
        t->held.clear();
        if (onWrite(reinterpret_cast<char*>(held.data()), 1, held.size(), t) != held.size())
            return curlDone(e, t, CURLE_WRITE_ERROR);
    }
    if (t->doneWhileWaiting) return curlDone(e, t, *t->doneWhileWaiting);
    e->unpauseIfClear(t);
}

size_t TransferOps::onWrite(char* ptr, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t len = size * count;
    t->lastActivity = steadyNow();
    if (t->phase != Transfer::Phase::Body) {
        // While the delegate decides, a little of the body is kept here: a small answer completes at
        // once and its connection serves the next request. More than that waits in curl (paused).
        if (!t->decisionPaused && t->held.size() + len <= kHeldWhileDeciding) {
            t->held.insert(t->held.end(), ptr, ptr + len);
            return len;
        }
        t->decisionPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (t->pendingBytes->load() > kHighWater) {
        t->pressurePaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    Engine* e = t->engine;
    auto task = t->task;
    int64_t received;
    {
        std::lock_guard lock(task->mutex_);
        task->received_ += int64_t(len);
        received = task->received_;
    }
    if (task->kind() == URLSessionTask::Kind::Download || t->becameDownload) {
        if (t->fileFailed || !t->file || fwrite(ptr, 1, len, t->file) != len) {
            t->fileFailed = true;
            return 0;  // CURLE_WRITE_ERROR
        }
        t->written += int64_t(len);
        t->unreportedBytes += int64_t(len);
        reportProgress(t);
        return len;
    }
    (void)received;
    // A data task's body lands in memory somewhere (here, or in the delegate): a small compressed
    // answer that inflates without end must not take the process down with it.
    const int64_t cap = e->configuration().maximumDataTaskBodyLength;
    t->bodyBytes += int64_t(len);
    if (cap > 0 && t->bodyBytes > cap) {
        t->overrideError = makeURLError(URLErrorCode::DataLengthExceedsMaximum, t->request.url());
        return 0;  // ends the transfer; what was delivered stays delivered
    }
    keepForCache(t, ptr, len);
    if (t->extras.dataCompletion) {
        t->collected.insert(t->collected.end(), ptr, ptr + len);
        return len;
    }
    auto d = e->delegate();
    auto session = e->sessionRef();
    if (!d || !session || !d->implements(URLSessionDelegateMethod::DataTaskDidReceiveData)) return len;
    auto pending = t->pendingBytes;
    pending->fetch_add(int64_t(len));
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    auto weakEngine = e->weak_from_this();
    auto id = task->taskIdentifier();
    e->deliver([d, session, dataTask, bytes = Bytes(ptr, ptr + len), pending, weakEngine, e, id] {
        d->didReceiveData(session, dataTask, bytes);
        int64_t before = pending->fetch_sub(int64_t(bytes.size()));
        if (before >= kLowWater && before - int64_t(bytes.size()) < kLowWater) {
            if (auto eng = weakEngine.lock())
                eng->post([e, id] {
                    Transfer* t = e->transferFor(id);
                    if (t && t->pressurePaused) {
                        t->pressurePaused = false;
                        e->unpauseIfClear(t);
                    }
                });
        }
    });
    return len;
}

void Engine::unpauseIfClear(Transfer* t) {
    if (!t->easy) return;
    bool decisionPending = t->phase != Transfer::Phase::Body && t->phase != Transfer::Phase::Headers;
    if (t->userPaused) {
        curl_easy_pause(t->easy, CURLPAUSE_ALL);
        return;
    }
    if (decisionPending || t->pressurePaused) return;
    t->decisionPaused = false;
    t->lastActivity = steadyNow();
    curl_easy_pause(t->easy, CURLPAUSE_CONT);
}
}  // namespace platform::urlsession_detail
