#include "platform/urlsession/internal/Engine.h"

#include <curl/curl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/URLError.h"
#include "platform/urlsession/internal/CacheGlue.h"
#include "platform/urlsession/internal/StreamConnection.h"
#include "platform/urlsession/internal/Transfer.h"

namespace platform::urlsession_detail {

namespace {
struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};
void ensureCurl() { static CurlGlobal g; }
thread_local Engine* tCurrentEngine = nullptr;
constexpr auto kTimeoutCheckInterval = std::chrono::milliseconds(5);
}  // namespace

Engine::Engine(EngineGroup& group, size_t index, long connectionsPerHost)
    : group_(&group), index_(index), connectionsPerHost_(connectionsPerHost) {
    ensureCurl();
    multi_ = curl_multi_init();
    // Transfers beyond the limit wait in curl's queue until a connection to their host is free. Idle
    // kept-alive connections stay open for later requests, whether or not transfers are running (by
    // default curl keeps only as many as four times the transfers it has at that moment).
    if (connectionsPerHost_ > 0) curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, connectionsPerHost_);
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, std::max(4 * connectionsPerHost_, 16L));
    // curl names the sockets it waits on and the engine's poll hands it only those that are ready:
    // a turn costs what is ready, not a look at every transfer's socket.
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, onSocket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    streams_ = std::make_unique<StreamConnections>(*this);
}

// Transfers and connections go before the spare handles they may give back, and all of them before
// the multi handle.
Engine::~Engine() {
    // Off the engine thread now: what curl closes from here on is no longer waited on.
    if (multi_) curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, nullptr);
    ended_.clear();
    transfers_.clear();
    streams_.reset();
    spareEasy_.clear();
    spareBuffers_.clear();
    if (multi_) curl_multi_cleanup(multi_);
    if (wakeFd_ >= 0) close(wakeFd_);
}

Engine* Engine::current() { return tCurrentEngine; }

// The thread holds the engine and its group while it runs.
void Engine::start() {
    started_ = true;
    thread_ = std::thread([self = shared_from_this(), group = group_->shared_from_this()] { self->run(); });
}

void Engine::stop() {
    stop_ = true;
    wake();
}

void Engine::wake() {
    const uint64_t one = 1;
    // Fails only when the counter is full, when the thread has a wake-up waiting already.
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void Engine::join() {
    if (!thread_.joinable()) return;
    if (onEngineThread()) {
        thread_.detach();
    } else {
        thread_.join();
        dropCommands();
    }
}

// Commands capture the engine; left queued after the thread stopped, they would keep it (and its
// multi handle, delegate and connections) alive for good.
void Engine::dropCommands() {
    std::vector<std::function<void()>> dropped;
    dispatch::MutexLock lock(commandMutex_);
    dropped.swap(commands_);
}

void Engine::post(std::function<void()> command, bool wake) {
    {
        dispatch::MutexLock lock(commandMutex_);
        commands_.push_back(std::move(command));
    }
    // Only a thread that waits in poll needs waking (once): an awake one takes the command on its next
    // turn. The mutex orders this against the loop's look at the commands after it said it would wait.
    if (wake && waiting_.exchange(false)) this->wake();
}

bool Engine::commandsWaiting() {
    dispatch::MutexLock lock(commandMutex_);
    return !commands_.empty();
}

void Engine::deferDrain() {
    engineThread_.assertOnThread();
    drainWanted_ = true;
}

void Engine::flushDeliveries() {
    engineThread_.assertOnThread();
    if (std::exchange(drainWanted_, false)) group_->flushMailbox();
}

void Engine::run() {
    // Set here, not by the starting thread, which gets to it only after this one may have run.
    threadId_ = std::this_thread::get_id();
    engineThread_.bindToCurrentThread();
    engineThread_.assertOnThread();
    tCurrentEngine = this;
    // At most 15 characters: "url-session", then the engine's number after the first.
    const std::string name = index_ == 0 ? "url-session" : "url-session-" + std::to_string(index_);
    pthread_setname_np(pthread_self(), name.c_str());
    while (!stop_) {
        runCommands();
        if (stop_) break;
        driveCurl();
        readInfo();
        checkTimeouts();
        streams_->pump();
        ended_.clear();
        noteWork();
        group_->maybeFinishInvalidation();
        if (keepAlive_ && transfers_.empty() && !streams_->hasStarted()) {
            if (configuration().identifier()) deliverBackgroundEventsFinished();
            // Released on the delegate queue: the last reference must not die on this thread, which
            // could then not be joined.
            deliver([last = std::move(keepAlive_)] {});
        }
        long curlTimeout = -1;
        curl_multi_timeout(multi_, &curlTimeout);
        int wait = transfers_.empty() ? 1000 : 50;  // 50 ms: short idle time-outs need a fine check
        if (curlTimeout >= 0 && curlTimeout < wait) wait = int(curlTimeout);
        flushDeliveries();
        waiting_ = true;
        // Among the commands perhaps some posted without a wake-up; a connection to read again
        // does not wait either.
        if (commandsWaiting() || readAgain_) wait = 0;
        waitForWork(streams_->waitMillis(wait));
        waiting_ = false;
    }
    // Shutting down: transfers and stream connections end without callbacks (the session is going away).
    for (auto& [id, t] : transfers_) t->abandon();
    transfers_.clear();
    ended_.clear();
    streams_->dropAll();
    abandonTasks();
    dropCommands();
    flushDeliveries();
    tCurrentEngine = nullptr;
}

int Engine::onSocket(CURL*, curl_socket_t socket, int what, void* user, void*) {
    auto* engine = static_cast<Engine*>(user);
    engine->engineThread_.assertOnThread();
    auto& sockets = engine->sockets_;
    auto it = std::find_if(sockets.begin(), sockets.end(), [&](const pollfd& p) { return p.fd == socket; });
    if (what == CURL_POLL_REMOVE) {
        if (it != sockets.end()) {
            *it = sockets.back();
            sockets.pop_back();
        }
        return 0;
    }
    short events = 0;
    if (what & CURL_POLL_IN) events |= POLLIN;
    if (what & CURL_POLL_OUT) events |= POLLOUT;
    if (it != sockets.end())
        it->events = events;
    else
        sockets.push_back(pollfd{socket, events, 0});
    return 0;
}

// Waits up to `millis` for a command, one of curl's sockets or a stream connection's; curl's ready
// sockets are kept for driveCurl.
void Engine::waitForWork(int millis) {
    // Without a wake-up descriptor (none could be made: the process is out of them) commands wait
    // for the next short look instead.
    if (wakeFd_ < 0) millis = std::min(millis, 5);
    pollSet_.clear();
    pollSet_.push_back(pollfd{wakeFd_, POLLIN, 0});
    pollSet_.insert(pollSet_.end(), sockets_.begin(), sockets_.end());
    const size_t curlEnd = pollSet_.size();
    streams_->pollFds(pollSet_);
    const int polled = poll(pollSet_.data(), nfds_t(pollSet_.size()), millis);
    if (polled <= 0)
        for (auto& p : pollSet_) p.revents = 0;
    if (pollSet_[0].revents) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
    }
    for (size_t i = 1; i < curlEnd; ++i) {
        const short r = pollSet_[i].revents;
        int mask = 0;
        if (r & (POLLIN | POLLHUP)) mask |= CURL_CSELECT_IN;
        if (r & POLLOUT) mask |= CURL_CSELECT_OUT;
        if (r & (POLLERR | POLLNVAL)) mask |= CURL_CSELECT_ERR;
        // Read again, a connection counts as readable whatever its socket says.
        if (readAgain_ && (pollSet_[i].events & POLLIN)) mask |= CURL_CSELECT_IN;
        if (mask) ready_.emplace_back(pollSet_[i].fd, mask);
    }
    readAgain_ = false;
}

void Engine::readAgain() {
    engineThread_.assertOnThread();
    readAgain_ = true;
}

// curl's turn: the sockets the last wait found ready, then its timers that are due (among them a
// transfer just added or unpaused).
void Engine::driveCurl() {
    int running = 0;
    for (const auto& [socket, mask] : ready_) curl_multi_socket_action(multi_, socket, mask, &running);
    ready_.clear();
    long due = -1;
    curl_multi_timeout(multi_, &due);
    if (due == 0) curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running);
}

void Engine::noteWork() { busy_ = !transfers_.empty() || streams_->hasStarted(); }

// Tasks the stopped engine will never complete must not hold the in-flight count up.
void Engine::abandonTasks() {
    for (auto& t : group_->liveTasks()) t->leaveInFlight(kTaskKey);
}

// The commands taken run from a list kept from turn to turn: the two lists trade places, so neither
// is allocated again once it has grown to the engine's usual batch.
void Engine::runCommands() {
    for (;;) {
        {
            dispatch::MutexLock lock(commandMutex_);
            running_.swap(commands_);
        }
        if (running_.empty()) return;
        for (auto& c : running_) {
            if (stop_) break;
            dispatch::detail::runGuarded("URLSession engine", c);
        }
        running_.clear();
        if (stop_) return;
    }
}

// A background session has delivered everything its transfers had to say (their completions are
// ahead in the mailbox): the app may now call the system's completion block for the session.
void Engine::deliverBackgroundEventsFinished() {
    auto session = sessionRef();
    auto d = delegate();
    if (!session || !d || !d->implements(URLSessionDelegateMethod::DidFinishEventsForBackgroundURLSession)) return;
    deliver([d, session] { d->didFinishEventsForBackgroundURLSession(session); });
}

void Engine::completeWithoutTransfer(const std::shared_ptr<URLSessionTask>& task, std::optional<Error> error) {
    engineThread_.assertOnThread();
    if (!task->complete(kTaskKey, error)) return;
    const uint64_t id = task->taskIdentifier();
    auto session = sessionRef();
    deliver([group = group_->shared_from_this(), session, task, error, extras = group_->takeExtras(id)] {
        InFlightScope leaving(task);
        if (extras.dataCompletion) {
            extras.dataCompletion({}, nullptr, error);
        } else if (extras.downloadCompletion) {
            extras.downloadCompletion(std::nullopt, nullptr, error);
        } else if (auto d = group->delegate();
                   d && session && d->implements(URLSessionDelegateMethod::TaskDidCompleteWithError)) {
            d->didCompleteWithError(session, task, error);
        }
    });
    group_->forgetTask(id);
}

void Engine::startTask(std::shared_ptr<URLSessionTask> task) {
    engineThread_.assertOnThread();
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->start(std::static_pointer_cast<URLSessionStreamTask>(task));
    auto extras = group_->extrasFor(task->taskIdentifier());
    beginTransfer(std::move(task), std::move(extras));
}

void Engine::holdSession() {
    engineThread_.assertOnThread();
    if (!keepAlive_) keepAlive_ = sessionRef();
}

void Engine::moveTransfer(uint64_t fromTaskId, const std::shared_ptr<URLSessionTask>& to) {
    engineThread_.assertOnThread();
    group_->replaceTask(fromTaskId, to);
    auto node = transfers_.extract(fromTaskId);
    if (node.empty()) return;
    node.key() = to->taskIdentifier();
    transfers_.insert(std::move(node));
}

namespace {
constexpr size_t kSpareEasyHandles = 64;
// Body buffers kept for reuse: enough for a busy engine's small answers, none larger than curl's
// receive buffer (so at most a megabyte waits here).
constexpr size_t kSpareBuffers = 64;
constexpr size_t kLargestSpareBuffer = 16 << 10;
}  // namespace

Bytes Engine::bodyBuffer() {
    engineThread_.assertOnThread();
    if (spareBuffers_.empty()) {
        dispatch::MutexLock lock(returnedMutex_);
        spareBuffers_.swap(returned_);
    }
    if (spareBuffers_.empty()) return {};
    Bytes buffer = std::move(spareBuffers_.back());
    spareBuffers_.pop_back();
    buffer.clear();
    return buffer;
}

void Engine::giveBack(Bytes buffer) {
    // A large one, or one beyond the bound (a delegate far behind), is simply freed.
    if (buffer.capacity() == 0 || buffer.capacity() > kLargestSpareBuffer) return;
    dispatch::MutexLock lock(returnedMutex_);
    if (returned_.size() < kSpareBuffers) returned_.push_back(std::move(buffer));
}

CurlEasy Engine::newEasy() {
    if (!onEngineThread()) return CurlEasy(curl_easy_init());
    engineThread_.assertOnThread();
    if (spareEasy_.empty()) return CurlEasy(curl_easy_init());
    CurlEasy easy = std::move(spareEasy_.back());
    spareEasy_.pop_back();
    return easy;
}

// A handle not kept is freed as `easy` goes.
void Engine::recycleEasy(CurlEasy easy) {
    if (!onEngineThread() || stop_) return;
    engineThread_.assertOnThread();
    if (spareEasy_.size() >= kSpareEasyHandles) return;
    curl_easy_reset(easy.get());
    spareEasy_.push_back(std::move(easy));
}

EasyHandle::EasyHandle(Engine& engine, CurlEasy easy, bool pooled)
    : engine_(engine), easy_(std::move(easy)), pooled_(pooled) {}

EasyHandle::~EasyHandle() {
    leave();
    if (pooled_ && easy_) engine_.recycleEasy(std::move(easy_));
}

bool EasyHandle::join() {
    engine_.engineThread().assertOnThread();
    inMulti_ = curl_multi_add_handle(engine_.multi(), easy_.get()) == CURLM_OK;
    return inMulti_;
}

void EasyHandle::leave() {
    if (inMulti_) curl_multi_remove_handle(engine_.multi(), easy_.get());
    inMulti_ = false;
}

void Engine::bury(std::unique_ptr<Transfer> transfer) {
    engineThread_.assertOnThread();
    if (transfer) ended_.push_back(std::move(transfer));
}

// The registry forgets the task once its completion is delivered (see Transfer::finish).
std::unique_ptr<Transfer> Engine::release(uint64_t taskId) {
    engineThread_.assertOnThread();
    auto node = transfers_.extract(taskId);
    return node.empty() ? nullptr : std::move(node.mapped());
}

void Engine::beginTransfer(std::shared_ptr<URLSessionTask> task, TaskExtras extras) {
    auto request = task->currentRequest();
    static const std::optional<URL> none;
    const std::optional<URL>& url = request ? request->url() : none;  // not read once the request has moved on
    auto cached = request ? lookUpCache(configuration(), *request, !extras.resumeData) : CacheLookup{};
    if (!cached.answer && !cached.unavailable && !PlatformConfig::networkUp())
        return completeWithoutTransfer(task, makeURLError(URLErrorCode::NotConnectedToInternet, url));
    if (extras.resumeData && !request) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL));
    if (!url || url->isEmpty()) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL, url));
    auto scheme = url->scheme().value_or("");
    if (scheme != "http" && scheme != "https")
        return completeWithoutTransfer(task, makeURLError(URLErrorCode::UnsupportedURL, url));
    if (url->host().value_or("").empty()) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL, url));
    if (cached.unavailable) return completeWithoutTransfer(task, makeURLError(URLErrorCode::ResourceUnavailable, url));

    auto resumeData = extras.resumeData;
    auto t = std::make_unique<Transfer>(*this, task, std::move(extras), std::move(*request));
    if (resumeData)
        if (auto failure = t->applyResumeData(*resumeData))
            return completeWithoutTransfer(task, makeURLError(*failure, t->request().url()));
    Transfer* raw = t.get();
    transfers_[task->taskIdentifier()] = std::move(t);
    busy_ = true;
    holdSession();
    raw->begin(std::move(cached.answer));
}

// Any thread. A plain first hop (valid http(s) URL, network up, nothing from the cache, no resume
// data, a body at hand) is made here, easy handle included, so a session's one engine thread only has
// to add it. Null when the start needs the engine; startTask then does all of it there.
std::unique_ptr<Transfer> Engine::prepareStart(const std::shared_ptr<URLSessionTask>& task) {
    // A session with several engines has the engine make it: the caller's thread (often the one
    // delegate queue) is then the narrow part, and the transfer's memory stays with the thread that frees it.
    if (group_->engineCount() > 1) return nullptr;
    auto request = task->currentRequest();
    if (!request || !request->url() || !PlatformConfig::networkUp()) return nullptr;
    const URL& url = *request->url();
    auto scheme = url.scheme().value_or("");
    if ((scheme != "http" && scheme != "https") || url.host().value_or("").empty()) return nullptr;
    auto extras = group_->extrasFor(task->taskIdentifier());
    if (extras.resumeData) return nullptr;
    auto cached = lookUpCache(configuration(), *request, true);
    if (cached.answer || cached.unavailable) return nullptr;
    auto t = std::make_unique<Transfer>(*this, task, std::move(extras), std::move(*request));
    if (!t->prepareFirstHop()) return nullptr;
    return t;
}

// Engine thread: a transfer prepareStart made joins the engine, unless its task ended meanwhile (a
// cancel may overtake the start it was made for).
void Engine::installPrepared(std::unique_ptr<Transfer> t) {
    engineThread_.assertOnThread();
    auto state = t->task()->state();
    if (state == URLSessionTaskState::Completed) return;
    if (state == URLSessionTaskState::Canceling)
        return completeWithoutTransfer(t->task(), makeURLError(URLErrorCode::Cancelled, t->request().url()));
    Transfer* raw = t.get();
    transfers_[raw->task()->taskIdentifier()] = std::move(t);
    busy_ = true;
    holdSession();
    raw->join();
}

void Engine::readInfo() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        if (streams_->connectDone(msg->easy_handle, msg->data.result)) continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
        if (t) t->curlFinished(msg->data.result);
    }
}

// Time-outs are whole seconds or tenths of them: a look every few milliseconds is enough, and a busy
// engine does not walk every transfer on each turn of its loop.
void Engine::checkTimeouts() {
    auto at = steadyNow();
    if (at < nextTimeoutCheck_) return;
    nextTimeoutCheck_ = at + kTimeoutCheckInterval;
    std::vector<uint64_t> expired;
    for (auto& [id, t] : transfers_)
        if (t->expired(at)) expired.push_back(id);
    for (auto id : expired)
        if (Transfer* t = transferFor(id)) t->timeOut();
}

// ---------------------------------------------------------------- task commands

Transfer* Engine::transferFor(uint64_t taskId) const {
    engineThread_.assertOnThread();
    auto it = transfers_.find(taskId);
    return it == transfers_.end() ? nullptr : it->second.get();
}

void Engine::suspendTask(const std::shared_ptr<URLSessionTask>& task) {
    engineThread_.assertOnThread();
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->setSuspended(std::static_pointer_cast<URLSessionStreamTask>(task), true);
    if (Transfer* t = transferFor(task->taskIdentifier())) t->setUserPaused(true);
}

void Engine::resumeTask(const std::shared_ptr<URLSessionTask>& task) {
    engineThread_.assertOnThread();
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->setSuspended(std::static_pointer_cast<URLSessionStreamTask>(task), false);
    if (Transfer* t = transferFor(task->taskIdentifier())) return t->setUserPaused(false);
    if (task->state() == URLSessionTaskState::Running) startTask(task);
}

void Engine::cancelTask(const std::shared_ptr<URLSessionTask>& task,
                        std::function<void(std::optional<Bytes>)> resumeData) {
    engineThread_.assertOnThread();
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->cancel(std::static_pointer_cast<URLSessionStreamTask>(task));
    if (Transfer* t = transferFor(task->taskIdentifier())) return t->cancel(std::move(resumeData));
    if (task->state() == URLSessionTaskState::Completed) return;
    if (resumeData) deliver([resumeData] { resumeData(std::nullopt); });
    auto req = task->currentRequest();
    completeWithoutTransfer(task, makeURLError(URLErrorCode::Cancelled, req ? req->url() : std::nullopt));
}

}  // namespace platform::urlsession_detail
