#include "platform/urlsession/URLSessionTask.h"

#include <algorithm>

#include "platform/urlsession/URLError.h"
#include "platform/urlsession/URLSession.h"
#include "platform/urlsession/internal/Engine.h"
#include "platform/urlsession/internal/StreamConnection.h"
#include "platform/urlsession/internal/TaskKey.h"
#include "platform/urlsession/internal/Transfer.h"

namespace platform {

using urlsession_detail::Engine;
using urlsession_detail::kTaskKey;

URLSessionTask::URLSessionTask(const Key&, Kind kind, uint64_t identifier, std::weak_ptr<URLSession> session,
                               std::optional<URLRequest> request)
    : kind_(kind), identifier_(identifier), session_(std::move(session)), originalRequest_(request),
      currentRequest_(std::move(request)) {}

namespace {
std::atomic<int64_t> gTasksInFlight{0};
}  // namespace

size_t URLSession::tasksInFlight() { return size_t(std::max<int64_t>(0, gTasksInFlight.load())); }

URLSessionTask::~URLSessionTask() { leaveInFlight(kTaskKey); }

void URLSessionTask::enterInFlight() {
    dispatch::MutexLock lock(mutex_);
    if (inFlight_) return;
    inFlight_ = true;
    gTasksInFlight.fetch_add(1);
}

void URLSessionTask::leaveInFlight(const Key&) {
    dispatch::MutexLock lock(mutex_);
    if (!inFlight_) return;
    inFlight_ = false;
    gTasksInFlight.fetch_sub(1);
}

std::optional<URLRequest> URLSessionTask::originalRequest() const { return originalRequest_; }
std::optional<URLRequest> URLSessionTask::currentRequest() const {
    dispatch::MutexLock lock(mutex_);
    return currentRequest_;
}
std::shared_ptr<const URLResponse> URLSessionTask::response() const {
    dispatch::MutexLock lock(mutex_);
    return response_;
}
URLSessionTaskState URLSessionTask::state() const {
    dispatch::MutexLock lock(mutex_);
    return state_;
}
std::optional<Error> URLSessionTask::error() const {
    dispatch::MutexLock lock(mutex_);
    return error_;
}
float URLSessionTask::priority() const {
    dispatch::MutexLock lock(mutex_);
    return priority_;
}
int64_t URLSessionTask::countOfBytesReceived() const {
    dispatch::MutexLock lock(mutex_);
    return received_;
}
int64_t URLSessionTask::countOfBytesSent() const {
    dispatch::MutexLock lock(mutex_);
    return sent_;
}

// ---------------------------------------------------------------- what the engine does

bool URLSessionTask::complete(const Key&, std::optional<Error> error) {
    dispatch::MutexLock lock(mutex_);
    if (state_ == URLSessionTaskState::Completed) return false;
    state_ = URLSessionTaskState::Completed;
    error_ = std::move(error);
    return true;
}

void URLSessionTask::setCurrentRequest(const Key&, URLRequest request) {
    dispatch::MutexLock lock(mutex_);
    currentRequest_ = std::move(request);
}

void URLSessionTask::setResponse(const Key&, std::shared_ptr<const URLResponse> response) {
    const int64_t expected = response ? response->expectedContentLength() : kURLSessionTransferSizeUnknown;
    dispatch::MutexLock lock(mutex_);
    response_ = std::move(response);
    expectedToReceive_ = expected;
}

void URLSessionTask::addBytesReceived(const Key&, int64_t bytes) {
    dispatch::MutexLock lock(mutex_);
    received_ += bytes;
}

void URLSessionTask::setBytesSent(const Key&, int64_t total) {
    dispatch::MutexLock lock(mutex_);
    sent_ = total;
}

void URLSessionTask::setBytesExpectedToSend(const Key&, int64_t total) {
    dispatch::MutexLock lock(mutex_);
    expectedToSend_ = total;
}

void URLSessionTask::carryOn(const Key&, URLRequest currentRequest, std::shared_ptr<const URLResponse> response) {
    {
        dispatch::MutexLock lock(mutex_);
        currentRequest_ = std::move(currentRequest);
        response_ = std::move(response);
        state_ = URLSessionTaskState::Running;
        everResumed_ = true;
    }
    enterInFlight();
}

bool URLSessionTask::beginCanceling() {
    dispatch::MutexLock lock(mutex_);
    if (state_ == URLSessionTaskState::Completed || state_ == URLSessionTaskState::Canceling) return false;
    state_ = URLSessionTaskState::Canceling;
    return true;
}

// ---------------------------------------------------------------- commands

void URLSessionTask::resume() {
    bool first = false;
    {
        dispatch::MutexLock lock(mutex_);
        if (state_ != URLSessionTaskState::Suspended) return;
        state_ = URLSessionTaskState::Running;
        first = !everResumed_;
        everResumed_ = true;
    }
    auto session = session_.lock();
    if (!session) return;
    if (first) enterInFlight();
    auto engine = session->engines(kTaskKey).engineFor(*this);
    auto self = shared_from_this();
    // The first transfer may be made here, on the caller's thread (see Engine::prepareStart).
    std::shared_ptr<std::unique_ptr<urlsession_detail::Transfer>> prepared;
    if (first && kind_ != Kind::Stream && !engine->isInvalidated())
        if (auto t = engine->prepareStart(self))
            prepared = std::make_shared<std::unique_ptr<urlsession_detail::Transfer>>(std::move(t));
    // The command holds the session until the engine has the task (which then holds it while it runs),
    // so a session dropped right after resume() still completes it.
    engine->post([engine, self, first, prepared, session] {
        if (first && engine->isInvalidated()) return engine->cancelTask(self, nullptr);
        if (prepared)
            engine->installPrepared(std::move(*prepared));
        else if (first)
            engine->startTask(self);
        else
            engine->resumeTask(self);
    });
}

void URLSessionTask::suspend() {
    {
        dispatch::MutexLock lock(mutex_);
        if (state_ != URLSessionTaskState::Running) return;
        state_ = URLSessionTaskState::Suspended;
    }
    auto session = session_.lock();
    if (!session) return;
    auto engine = session->engines(kTaskKey).engineFor(*this);
    auto self = shared_from_this();
    engine->post([engine, self] { engine->suspendTask(self); });
}

void URLSessionTask::cancel() {
    if (!beginCanceling()) return;
    auto session = session_.lock();
    if (!session) return;
    auto engine = session->engines(kTaskKey).engineFor(*this);
    auto self = shared_from_this();
    engine->post([engine, self] { engine->cancelTask(self, nullptr); });
}

void URLSessionDownloadTask::cancelByProducingResumeData(std::function<void(std::optional<Bytes>)> handler) {
    auto session = this->session();
    if (!session) return;
    auto engine = session->engines(kTaskKey).engineFor(*this);
    if (!beginCanceling()) {
        if (handler) engine->post([engine, handler] { engine->deliver([handler] { handler(std::nullopt); }); });
        return;
    }
    auto self = shared_from_this();
    engine->post([engine, self, handler] { engine->cancelTask(self, handler); });
}

URLSessionStreamTask::URLSessionStreamTask(const Key& key, uint64_t id, std::weak_ptr<URLSession> s, std::string host,
                                           int port)
    : URLSessionTask(key, Kind::Stream, id, std::move(s), std::nullopt), host_(std::move(host)), port_(port) {}

URLSessionStreamTask::URLSessionStreamTask(const Key& key, uint64_t id, std::weak_ptr<URLSession> s,
                                           std::shared_ptr<NetService> service)
    : URLSessionTask(key, Kind::Stream, id, std::move(s), std::nullopt), netService_(std::move(service)) {}

void URLSessionStreamTask::post(
    std::function<void(urlsession_detail::StreamConnections&, const std::shared_ptr<URLSessionStreamTask>&)> command) {
    auto session = this->session();
    if (!session) return;
    auto engine = session->engines(kTaskKey).engineFor(*this);
    auto self = std::static_pointer_cast<URLSessionStreamTask>(shared_from_this());
    engine->post([engine, self, command = std::move(command)] { command(engine->streams(), self); });
}

void URLSessionStreamTask::readDataOfMinLength(size_t minBytes, size_t maxBytes, double timeout,
                                               ReadCompletion handler) {
    urlsession_detail::StreamRead op{minBytes, maxBytes, urlsession_detail::streamDeadline(timeout),
                                     std::move(handler)};
    post([op = std::move(op)](auto& streams, auto& self) mutable { streams.read(self, std::move(op)); });
}

void URLSessionStreamTask::writeData(Bytes data, double timeout, WriteCompletion handler) {
    urlsession_detail::StreamWrite op{std::move(data), 0, urlsession_detail::streamDeadline(timeout),
                                      std::move(handler)};
    post([op = std::move(op)](auto& streams, auto& self) mutable { streams.write(self, std::move(op)); });
}

void URLSessionStreamTask::closeRead() {
    post([](auto& streams, auto& self) { streams.closeRead(self); });
}

void URLSessionStreamTask::closeWrite() {
    post([](auto& streams, auto& self) { streams.closeWrite(self); });
}

void URLSessionStreamTask::captureStreams() {
    post([](auto& streams, auto& self) { streams.captureStreams(self); });
}

}  // namespace platform
