// Answers from the URL cache, and what a finished answer offers the cache.
#include "platform/urlsession/internal/CacheGlue.h"
#include "platform/urlsession/internal/TransferOps.h"

namespace platform::urlsession_detail {

// ---------------------------------------------------------------- the URL cache

// A cached answer takes the same road as one from the network (response and the delegate's
// disposition, body, metrics, completion), without an easy handle: nothing is sent, no request is
// announced. The body flows when the answer "finishes" (curlDone), once the disposition allows it.
void TransferOps::answerFromCache(Engine* e, Transfer* t, CachedURLResponse cached) {
    auto response = std::dynamic_pointer_cast<const HTTPURLResponse>(cached.response);  // lookUpCache: HTTP only
    t->cacheSettled = true;
    t->response = response;
    t->status = response->statusCode();
    t->httpVersion = response->HTTPVersion();
    t->headers = response->allHeaderFields();
    t->cachedBody = std::move(cached.data);
    t->doneWhileWaiting = CURLE_OK;  // the whole answer is here
    URLSessionTaskTransactionMetrics m;
    m.request = t->request;
    m.response = response;
    m.resourceFetchType = URLSessionTaskMetricsResourceFetchType::LocalCache;
    m.fetchStartDate = m.responseStartDate = m.responseEndDate = Date::now();
    t->metrics.transactionMetrics.push_back(std::move(m));
    handleResponse(t);
    if (t->phase == Transfer::Phase::Body) curlDone(e, t, CURLE_OK);
}

// Keeps the body for the cache proposal only while the cache would take it: a large answer stops
// being kept (and is not proposed) instead of growing memory.
void TransferOps::keepForCache(Transfer* t, const char* ptr, size_t len) {
    if (!t->cacheBody) return;
    if (t->cacheBody->size() + len > t->cacheBodyLimit) return t->cacheBody.reset();
    t->cacheBody->insert(t->cacheBody->end(), ptr, ptr + len);
}

// A network answer that finished without error changes the cache: a successful unsafe method
// outdates the stored answer for its URL; a data task's GET 200 replaces it with itself when it can
// be kept (as the delegate's willCacheResponse answers, when asked), else just outdates it.
// True when the delegate was asked: the task then finishes after its answer.
bool TransferOps::offerToCache(Engine* e, Transfer* t) {
    const auto& cache = e->configuration().URLCache;
    if (t->cacheSettled || !cache || !t->response) return false;
    t->cacheSettled = true;
    forgetAfterUnsafeMethod(*cache, t->request, t->status);
    auto task = t->task;
    if (task->kind() != URLSessionTask::Kind::Data || t->becameDownload || t->request.HTTPMethod() != "GET" ||
        t->status != 200)
        return false;
    if (!t->cacheBody) {
        cache->removeCachedResponseForRequest(t->request);
        return false;
    }
    CachedURLResponse proposal{t->response, std::move(*t->cacheBody), URLCacheStoragePolicy::Allowed};
    t->cacheBody.reset();
    auto d = e->delegate();
    auto session = e->sessionRef();
    if (t->extras.dataCompletion || !d || !session ||
        !d->implements(URLSessionDelegateMethod::DataTaskWillCacheResponse)) {
        cache->storeCachedResponse(std::move(proposal), t->request);
        return false;
    }
    // The connection goes back to the pool while the delegate decides.
    recordHopMetrics(t);
    t->releaseEasy();
    t->phase = Transfer::Phase::AwaitingCache;
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    auto offered = std::make_shared<CachedURLResponse>(std::move(proposal));
    askDelegateOnce<std::optional<CachedURLResponse>>(
        e, task->taskIdentifier(),
        [d, session, dataTask, offered](std::function<void(std::optional<CachedURLResponse>)> reply) {
            d->willCacheResponse(session, dataTask, std::move(*offered), reply);
        },
        cacheAnswered);
    return true;
}

// AwaitingCache: the delegate's willCacheResponse answer; the task completes now.
void TransferOps::cacheAnswered(Engine* e, Transfer* t, std::optional<CachedURLResponse> answer) {
    if (t->phase != Transfer::Phase::AwaitingCache) return;
    const auto& cache = e->configuration().URLCache;
    if (answer)
        cache->storeCachedResponse(std::move(*answer), t->request);
    else
        cache->removeCachedResponseForRequest(t->request);
    t->phase = Transfer::Phase::Body;
    e->finish(t, std::nullopt);
}
}  // namespace platform::urlsession_detail
