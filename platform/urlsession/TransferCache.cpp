// Answers from the URL cache, and what a finished answer offers the cache.
#include "platform/urlsession/internal/CacheGlue.h"
#include "platform/urlsession/internal/Transfer.h"

namespace platform::urlsession_detail {

// ---------------------------------------------------------------- the URL cache

// A cached answer takes the same road as one from the network (response and the delegate's
// disposition, body, metrics, completion), without an easy handle: nothing is sent, no request is
// announced. Its whole body is held, and flows once the disposition allows it, as a network one's would.
void Transfer::answerFromCache(CachedURLResponse cached) {
    auto response = std::dynamic_pointer_cast<const HTTPURLResponse>(cached.response);  // lookUpCache: HTTP only
    cacheSettled_ = true;
    response_ = response;
    status_ = response->statusCode();
    httpVersion_ = response->HTTPVersion();
    held_ = std::move(cached.data);
    doneWhileWaiting_ = CURLE_OK;  // the whole answer is here
    URLSessionTaskTransactionMetrics m;
    m.request = request_;
    m.response = response;
    m.resourceFetchType = URLSessionTaskMetricsResourceFetchType::LocalCache;
    m.fetchStartDate = m.responseStartDate = m.responseEndDate = Date::now();
    metrics_.transactionMetrics.push_back(std::move(m));
    handleResponse();
    if (state_ == State::Body) bodyMayFlow();
}

// Keeps the body for the cache proposal only while the cache would take it: a large answer stops
// being kept (and is not proposed) instead of growing memory.
void Transfer::keepForCache(const char* ptr, size_t len) {
    if (!cacheBody_) return;
    if (cacheBody_->size() + len > cacheBodyLimit_) return cacheBody_.reset();
    const auto* bytes = reinterpret_cast<const uint8_t*>(ptr);
    cacheBody_->insert(cacheBody_->end(), bytes, bytes + len);
}

// A network answer that finished without error changes the cache: a successful unsafe method
// outdates the stored answer for its URL; a data task's GET 200 replaces it with itself when it can
// be kept (as the delegate's willCacheResponse answers, when asked), else just outdates it.
// True when the delegate was asked: the task then finishes after its answer.
bool Transfer::offerToCache() {
    const auto& cache = engine_->configuration().URLCache;
    if (cacheSettled_ || !cache || !response_) return false;
    cacheSettled_ = true;
    forgetAfterUnsafeMethod(*cache, request_, status_);
    auto task = task_;
    if (task->kind() != URLSessionTask::Kind::Data || becameDownload_ || request_.HTTPMethod() != "GET" ||
        status_ != 200)
        return false;
    if (!cacheBody_) {
        cache->removeCachedResponseForRequest(request_);
        return false;
    }
    CachedURLResponse proposal{response_, std::move(*cacheBody_), URLCacheStoragePolicy::Allowed};
    cacheBody_.reset();
    auto d = engine_->delegate();
    auto session = engine_->sessionRef();
    if (extras_.dataCompletion || !d || !session ||
        !d->implements(URLSessionDelegateMethod::DataTaskWillCacheResponse)) {
        cache->storeCachedResponse(std::move(proposal), request_);
        return false;
    }
    // The connection goes back to the pool while the delegate decides.
    recordHopMetrics();
    releaseEasy();
    state_ = State::AwaitingCache;
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    auto offered = std::make_shared<CachedURLResponse>(std::move(proposal));
    askDelegate<std::optional<CachedURLResponse>>(
        [d, session, dataTask, offered](std::function<void(std::optional<CachedURLResponse>)> reply) {
            d->willCacheResponse(session, dataTask, std::move(*offered), reply);
        },
        &Transfer::cacheAnswered);
    return true;
}

// AwaitingCache: the delegate's willCacheResponse answer; the task completes now.
void Transfer::cacheAnswered(std::optional<CachedURLResponse> answer) {
    if (state_ != State::AwaitingCache) return;
    const auto& cache = engine_->configuration().URLCache;
    if (answer)
        cache->storeCachedResponse(std::move(*answer), request_);
    else
        cache->removeCachedResponseForRequest(request_);
    state_ = State::Body;
    finish(std::nullopt);
}
}  // namespace platform::urlsession_detail
