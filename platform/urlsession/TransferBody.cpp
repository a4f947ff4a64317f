// The bodies: the request's out through curl's read callback, the answer's in through its write
// callback, with progress reports and back-pressure from the delegate queue.
#include <utility>

#include "platform/urlsession/internal/Transfer.h"

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
void Transfer::reportProgress() {
    auto d = engine_->delegate();
    if (unreportedBytes_ == 0 || extras_.downloadCompletion || !d ||
        !d->implements(URLSessionDelegateMethod::DownloadTaskDidWriteData) || progressInFlight_->exchange(true))
        return;
    auto session = engine_->sessionRef();
    auto dl = std::static_pointer_cast<URLSessionDownloadTask>(task_);
    int64_t bytes = unreportedBytes_, total = written_;
    int64_t expected = response_ ? response_->expectedContentLength() : -1;
    if (expected >= 0) expected += resumeOffset_;
    unreportedBytes_ = 0;
    auto flag = progressInFlight_;
    engine_->deliver([d, session, dl, bytes, total, expected, flag, engine = engine_->weak_from_this()] {
        if (session) d->didWriteData(session, dl, bytes, total, expected);
        flag->store(false);
        postToTransfer(engine, dl->taskIdentifier(), [](Transfer& t) REQUIRES(t.owner_) { t.reportProgress(); });
    });
}

size_t Transfer::onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->owner_.assertOnThread();
    return t->readBody(buffer, size * count);
}

size_t Transfer::readBody(char* buffer, size_t len) {
    lastActivity_ = steadyNow();
    if (!bodyStream_) return 0;
    ssize_t n = bodyStream_->read(reinterpret_cast<uint8_t*>(buffer), len);
    if (n < 0) {
        bodyFailed_ = true;
        return CURL_READFUNC_ABORT;
    }
    bodySent_ += n;
    int64_t total = bodySent_, expected = bodyLength_ >= 0 ? bodyLength_ : kURLSessionTransferSizeUnknown;
    task_->setBytesSent(kTaskKey, total);
    auto d = engine_->delegate();
    if (n > 0 && d && d->implements(URLSessionDelegateMethod::TaskDidSendBodyData)) {
        auto session = engine_->sessionRef();
        auto task = task_;
        engine_->deliver([d, session, task, n, total, expected] {
            if (session) d->didSendBodyData(session, task, n, total, expected);
        });
    }
    return size_t(n);
}

// The body may flow (the delegate has decided, or caught up): first what was held, then the rest (or
// the end, when curl finished meanwhile). While the delegate is behind, the held bytes wait for it.
void Transfer::bodyMayFlow() {
    if (!held_.empty()) {
        Bytes held = std::move(held_);
        held_.clear();
        const size_t size = held.size();
        const size_t taken = takeBody(reinterpret_cast<const char*>(held.data()), size, &held);
        if (taken == CURL_WRITEFUNC_PAUSE) {
            held_ = std::move(held);
            return;
        }
        if (taken != size) return curlDone(CURLE_WRITE_ERROR);
    }
    if (auto done = std::exchange(doneWhileWaiting_, std::nullopt)) return curlDone(*done);
    unpauseIfClear();
}

void Transfer::noteBytesHandedOver() {
    // The answer's status line, read before any of its body, says whether its connection is multiplexed.
    if (httpVersion_ == "HTTP/2") engine_->readAgain();
}

size_t Transfer::onWrite(char* ptr, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->owner_.assertOnThread();
    t->noteBytesHandedOver();
    if (t->discarding_) return size * count;
    return t->takeBody(ptr, size * count);
}

// Body: the answer's bytes as curl decoded them, to a file, a completion's buffer or the delegate.
// `owned`, when given, holds exactly these bytes and may be taken rather than copied (a body kept
// while the delegate decided).
size_t Transfer::takeBody(const char* ptr, size_t len, Bytes* owned) {
    lastActivity_ = steadyNow();
    // As bytes: a copy between like types is one memmove, not a loop over chars.
    const auto* bytes = reinterpret_cast<const uint8_t*>(ptr);
    if (state_ != State::Body) {
        // While the delegate decides, a little of the body is kept here: a small answer completes at
        // once and its connection serves the next request. More than that waits in curl (paused).
        if (!decisionPaused_ && held_.size() + len <= kHeldWhileDeciding) {
            if (held_.capacity() == 0) held_ = engine_->bodyBuffer();
            held_.insert(held_.end(), bytes, bytes + len);
            return len;
        }
        decisionPaused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    // Until the delegate catches up nothing more is taken, so nothing overtakes bytes still held.
    if (pressurePaused_ || pendingBytes_->load() > kHighWater) {
        pressurePaused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    auto task = task_;
    task->addBytesReceived(kTaskKey, int64_t(len));
    if (task->kind() == URLSessionTask::Kind::Download || becameDownload_) {
        if (fileFailed_ || !file_ || fwrite(ptr, 1, len, file_.get()) != len) {
            fileFailed_ = true;
            return 0;  // CURLE_WRITE_ERROR
        }
        written_ += int64_t(len);
        unreportedBytes_ += int64_t(len);
        reportProgress();
        return len;
    }
    // A data task's body lands in memory somewhere (here, or in the delegate): a small compressed
    // answer that inflates without end must not take the process down with it.
    const int64_t cap = engine_->configuration().maximumDataTaskBodyLength;
    bodyBytes_ += int64_t(len);
    if (cap > 0 && bodyBytes_ > cap) {
        overrideError_ = makeURLError(URLErrorCode::DataLengthExceedsMaximum, request_.url());
        return 0;  // ends the transfer; what was delivered stays delivered
    }
    keepForCache(ptr, len);
    if (extras_.dataCompletion) {
        if (owned && collected_.empty())
            collected_ = std::move(*owned);
        else {
            if (collected_.capacity() == 0) collected_ = engine_->bodyBuffer();
            collected_.insert(collected_.end(), bytes, bytes + len);
        }
        return len;
    }
    auto d = engine_->delegate();
    auto session = engine_->sessionRef();
    if (!d || !session || !d->implements(URLSessionDelegateMethod::DataTaskDidReceiveData)) return len;
    auto pending = pendingBytes_;
    pending->fetch_add(int64_t(len));
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    Bytes data = owned ? std::move(*owned) : engine_->bodyBuffer();
    if (!owned) data.assign(bytes, bytes + len);
    engine_->deliver(
        [d, session, dataTask, data = std::move(data), pending, engine = engine_->weak_from_this()]() mutable {
            d->didReceiveData(session, dataTask, data);
            const auto size = int64_t(data.size());
            if (auto e = engine.lock()) e->giveBack(std::move(data));
            int64_t before = pending->fetch_sub(size);
            if (before >= kLowWater && before - size < kLowWater) {
                postToTransfer(engine, dataTask->taskIdentifier(), [](Transfer& t) REQUIRES(t.owner_) {
                    if (!t.pressurePaused_) return;
                    t.pressurePaused_ = false;
                    t.bodyMayFlow();
                });
            }
        });
    return len;
}

void Transfer::unpauseIfClear() {
    CURL* easy = this->easy();
    if (!easy) return;
    if (userPaused_) {
        curl_easy_pause(easy, CURLPAUSE_ALL);
        return;
    }
    if (decisionPending() || pressurePaused_) return;
    decisionPaused_ = false;
    lastActivity_ = steadyNow();
    // Resuming hands over at once what curl kept meanwhile. What that refuses ends the hop here: curl
    // says so only in its answer and does not run the transfer again. (A transfer not connected yet
    // has nothing to resume.)
    const CURLcode resumed = curl_easy_pause(easy, CURLPAUSE_CONT);
    if (resumed != CURLE_OK && resumed != CURLE_BAD_FUNCTION_ARGUMENT) curlDone(resumed);
}
}  // namespace platform::urlsession_detail
