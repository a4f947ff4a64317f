// The start of a transfer: the request's body, the easy handle of each hop, joining the engine.
#include "platform/urlsession/internal/Transfer.h"

#include <filesystem>

#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/internal/CacheGlue.h"
#include "platform/urlsession/internal/CookieGlue.h"
#include "platform/urlsession/internal/ResumeData.h"
#include "platform/urlsession/internal/TransferOps.h"

namespace platform::urlsession_detail {

Transfer::~Transfer() { releaseEasy(); }

void Transfer::releaseEasy() {
    if (easy) {
        if (inMulti) curl_multi_remove_handle(engine->multi(), easy);
        inMulti = false;
        curl_easy_cleanup(easy);
        easy = nullptr;
    }
    if (headerList) curl_slist_free_all(headerList);
    if (connectTo) curl_slist_free_all(connectTo);
    headerList = connectTo = nullptr;
    if (file) {
        fclose(file);
        file = nullptr;
    }
}

// The task's time-outs: idle time between bytes (the request's own when it set one, else the
// session's), and the whole resource, redirects included, kept here rather than by curl (a curl
// time-out per transfer costs timer work on every request and would restart at each redirect).
void Transfer::startClocks(const URLSessionConfiguration& config) {
    taskStart = Date::now();
    idleTimeout = request.timeoutInterval() != 60.0 ? request.timeoutInterval() : config.timeoutIntervalForRequest;
    if (!(idleTimeout > 0)) idleTimeout = 60;
    const double resource = config.timeoutIntervalForResource;
    if (resource > 0 && resource < 1e9)
        resourceDeadline = steadyNow() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                             std::chrono::duration<double>(resource));
}

void Engine::beginTransfer(std::shared_ptr<URLSessionTask> task, TaskExtras extras) {
    auto request = task->currentRequest();
    std::optional<URL> url = request ? request->url() : std::nullopt;
    auto cached = request ? lookUpCache(config_, *request, !extras.resumeData) : CacheLookup{};
    if (!cached.answer && !cached.unavailable && !PlatformConfig::networkUp())
        return completeWithoutTransfer(task, makeURLError(URLErrorCode::NotConnectedToInternet, url));
    if (extras.resumeData && !request) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL));
    if (!url || url->isEmpty()) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL, url));
    auto scheme = url->scheme().value_or("");
    if (scheme != "http" && scheme != "https")
        return completeWithoutTransfer(task, makeURLError(URLErrorCode::UnsupportedURL, url));
    if (url->host().value_or("").empty()) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL, url));
    if (cached.unavailable) return completeWithoutTransfer(task, makeURLError(URLErrorCode::ResourceUnavailable, url));

    auto t = std::make_unique<Transfer>();
    t->engine = this;
    t->task = task;
    t->extras = std::move(extras);
    t->request = *request;
    if (t->extras.resumeData) {
        auto info = ResumeInfo::decode(*t->extras.resumeData);
        if (!info) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL, url));
        std::error_code ec;
        auto size = std::filesystem::file_size(info->tempPath, ec);
        if (ec) return completeWithoutTransfer(task, makeURLError(URLErrorCode::CannotOpenFile, url));
        t->filePath = info->tempPath;
        t->resumeOffset = int64_t(size);
        t->etag = info->etag;
        t->lastModified = info->lastModified;
        t->request.setValue("bytes=" + std::to_string(size) + "-", "Range");
        if (!info->etag.empty())
            t->request.setValue(info->etag, "If-Range");
        else if (!info->lastModified.empty())
            t->request.setValue(info->lastModified, "If-Range");
    }
    t->startClocks(config_);
    Transfer* raw = t.get();
    transfers_[task->taskIdentifier()] = std::move(t);
    if (!keepAlive_) keepAlive_ = sessionRef();
    if (cached.answer) return TransferOps::answerFromCache(this, raw, std::move(*cached.answer));
    TransferOps::prepareBodyThenStart(this, raw);
}

// Sets up the request body the hop sends, when it is at hand (none, data, a file, the request's
// stream on the first hop). False when the file is missing or the delegate must supply a stream.
bool TransferOps::chooseBody(Transfer* t) {
    t->bodyStream.reset();
    t->bodyLength = -1;
    t->bodySent = 0;
    const auto& req = t->request;
    if (req.HTTPMethod() == "GET" || req.HTTPMethod() == "HEAD") return true;
    if (t->extras.uploadData) {
        t->bodyStream = InputStream::withData(*t->extras.uploadData);
        t->bodyLength = int64_t(t->extras.uploadData->size());
    } else if (t->extras.uploadFile) {
        std::error_code ec;
        auto size = std::filesystem::file_size(*t->extras.uploadFile, ec);
        if (ec) return false;
        t->bodyStream = InputStream::withFileAtPath(*t->extras.uploadFile);
        t->bodyLength = int64_t(size);
    } else if (req.HTTPBody()) {
        t->bodyStream = InputStream::withData(*req.HTTPBody());
        t->bodyLength = int64_t(req.HTTPBody()->size());
    } else if (req.HTTPBodyStream() && t->redirects == 0) {
        t->bodyStream = req.HTTPBodyStream();
    } else if (t->extras.streamedUpload || req.HTTPBodyStream()) {
        return false;
    } else {
        t->bodyLength = 0;
    }
    return true;
}

// Any thread. A plain first hop (valid http(s) URL, network up, nothing from the cache, no resume
// data, a body at hand) is made here, easy handle included, so the engine thread only has to add it.
// Null when the start needs the engine; startTask then does all of it there.
std::unique_ptr<Transfer> Engine::prepareStart(const std::shared_ptr<URLSessionTask>& task) {
    auto request = task->currentRequest();
    if (!request || !request->url() || !PlatformConfig::networkUp()) return nullptr;
    const URL& url = *request->url();
    auto scheme = url.scheme().value_or("");
    if ((scheme != "http" && scheme != "https") || url.host().value_or("").empty()) return nullptr;
    auto extras = extrasFor(task->taskIdentifier());
    if (extras.resumeData) return nullptr;
    auto cached = lookUpCache(config_, *request, true);
    if (cached.answer || cached.unavailable) return nullptr;
    auto t = std::make_unique<Transfer>();
    t->engine = this;
    t->task = task;
    t->extras = std::move(extras);
    t->request = std::move(*request);
    t->startClocks(config_);
    if (!TransferOps::chooseBody(t.get())) return nullptr;
    TransferOps::configureHop(config_, t.get());
    return t;
}

// Engine thread: a transfer prepareStart made joins the engine, unless its task ended meanwhile (a
// cancel may overtake the start it was made for).
void Engine::installPrepared(std::unique_ptr<Transfer> t) {
    auto state = t->task->state();
    if (state == URLSessionTaskState::Completed) return;
    if (state == URLSessionTaskState::Canceling)
        return completeWithoutTransfer(t->task, makeURLError(URLErrorCode::Cancelled, t->request.url()));
    Transfer* raw = t.get();
    transfers_[raw->task->taskIdentifier()] = std::move(t);
    if (!keepAlive_) keepAlive_ = sessionRef();
    TransferOps::addHop(this, raw);
}

void TransferOps::prepareBodyThenStart(Engine* e, Transfer* t) {
    if (chooseBody(t)) return startHop(e, t);
    auto url = t->request.url();
    if (t->extras.uploadFile) return e->finish(t, makeURLError(URLErrorCode::FileDoesNotExist, url));
    // Ask the delegate for a stream; the transfer waits (no easy handle yet) until it answers.
    auto d = e->delegate();
    auto session = e->sessionRef();
    if (!d || !session || !d->implements(URLSessionDelegateMethod::TaskNeedNewBodyStream))
        return e->finish(t, makeURLError(URLErrorCode::CannotOpenFile, url));
    auto task = t->task;
    askDelegateOnce<std::shared_ptr<InputStream>>(
        e, task->taskIdentifier(),
        [d, session, task](std::function<void(std::shared_ptr<InputStream>)> reply) {
            d->needNewBodyStream(session, task, reply);
        },
        bodyStreamAnswered);
}

// Waiting for a body stream (no easy handle yet): the delegate's stream starts the hop.
void TransferOps::bodyStreamAnswered(Engine* e, Transfer* t, std::shared_ptr<InputStream> stream) {
    if (t->easy) return;
    if (!stream) return e->finish(t, makeURLError(URLErrorCode::CannotOpenFile, t->request.url()));
    t->bodyStream = std::move(stream);
    startHop(e, t);
}

// Builds the hop's easy handle; touches nothing of the engine's, so a first hop can be made on the
// thread that resumes the task.
void TransferOps::configureHop(const URLSessionConfiguration& config, Transfer* t) {
    const auto& req = t->request;
    const URL& url = *req.url();
    // A URL answers its parts by parsing its text: read them once per hop.
    t->host = url.host().value_or("");
    const bool secure = url.scheme() == "https";
    const int port = url.port().value_or(secure ? 443 : 80);
    t->phase = Transfer::Phase::Headers;
    t->status = 0;
    t->headers = {};
    t->head = {};
    t->response.reset();
    t->clientCertificateRequested = false;
    t->doneWhileWaiting.reset();
    t->decisionPaused = false;
    t->held.clear();
    t->hopStart = Date::now();
    t->lastActivity = steadyNow();

    CURL* c = curl_easy_init();
    t->easy = c;
    curl_easy_setopt(c, CURLOPT_URL, url.absoluteString().c_str());
    curl_easy_setopt(c, CURLOPT_PRIVATE, t);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, t);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // decode what we accept; a caller's header still wins
    t->curlAnswersChallenge = false;
    if (t->curlAuth) {
        curl_easy_setopt(c, t->curlAuth->proxy ? CURLOPT_PROXYAUTH : CURLOPT_HTTPAUTH, long(CURLAUTH_DIGEST));
        curl_easy_setopt(c, t->curlAuth->proxy ? CURLOPT_PROXYUSERNAME : CURLOPT_USERNAME, t->curlAuth->user.c_str());
        curl_easy_setopt(c, t->curlAuth->proxy ? CURLOPT_PROXYPASSWORD : CURLOPT_PASSWORD,
                         t->curlAuth->password.c_str());
        t->curlAnswersChallenge = true;
    }
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(t->idleTimeout * 1000));
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // Downloads go to disk in large writes: fewer callbacks and system calls per megabyte.
    if (t->task->kind() == URLSessionTask::Kind::Download) curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);

    const auto& method = req.HTTPMethod();
    if (t->bodyStream) {
        if (t->bodyStream->streamStatus() == StreamStatus::NotOpen) t->bodyStream->open();
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, onRead);
        curl_easy_setopt(c, CURLOPT_READDATA, t);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t->bodyLength));
        if (method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
        std::lock_guard lock(t->task->mutex_);
        t->task->expectedToSend_ = t->bodyLength >= 0 ? t->bodyLength : kURLSessionTransferSizeUnknown;
    } else if (method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (method == "GET") {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (method == "POST") {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(0));
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, "");
    } else {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    // Header fields: the request's own, then the session's additional ones it does not set.
    HTTPHeaderFields fields = req.allHTTPHeaderFields();
    if (const auto* extra = config.HTTPAdditionalHeaders.asDictionary())
        for (const auto& [name, value] : *extra)
            if (!fields.find(name)) fields.set(name, value.isString() ? *value.asString() : value.description());
    if (!fields.find("Cookie"))
        if (auto cookie = cookieHeaderFor(config, req)) fields.set("Cookie", *cookie);
    if (!fields.find("User-Agent")) fields.set("User-Agent", PlatformConfig::processName() + " (URLSession)");
    if (!fields.find("Accept")) fields.set("Accept", "*/*");
    for (const auto& [name, value] : fields.entries()) {
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        t->headerList = curl_slist_append(t->headerList, line.c_str());
    }
    // curl's own additions the platform does not make.
    t->headerList = curl_slist_append(t->headerList, "Expect:");
    if (!fields.find("Content-Type")) t->headerList = curl_slist_append(t->headerList, "Content-Type:");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, t->headerList);

    if (auto target = PlatformConfig::connectTarget(t->host + ":" + std::to_string(port))) {
        std::string mapping = t->host + ":" + std::to_string(port) + ":" + *target;
        t->connectTo = curl_slist_append(t->connectTo, mapping.c_str());
        curl_easy_setopt(c, CURLOPT_CONNECT_TO, t->connectTo);
    }
    if (secure) {
        // We verify in OpenSSL's verify callback (system store + extra roots + host, or the delegate).
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_SESSIONID_CACHE, 0L);  // a resumed session would skip the check
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, onSSLContext);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, t);
    }
    // Every request the process sends is observable on the device.
    DeviceEvents::post("http.request", Value::dictionary({{"method", method}, {"url", url.absoluteString()}}));
}

void TransferOps::addHop(Engine* e, Transfer* t) {
    {
        std::lock_guard lock(t->task->mutex_);
        if (t->task->state_ == URLSessionTaskState::Suspended) t->userPaused = true;
    }
    t->lastActivity = steadyNow();
    curl_multi_add_handle(e->multi(), t->easy);
    t->inMulti = true;
    if (t->userPaused) curl_easy_pause(t->easy, CURLPAUSE_ALL);
}

void TransferOps::startHop(Engine* e, Transfer* t) {
    configureHop(e->configuration(), t);
    addHop(e, t);
}
}  // namespace platform::urlsession_detail
