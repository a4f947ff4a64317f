#include "Rivulet/Source/SessionManager.h"

#include <charconv>

#include "Rivulet/Source/SessionTrust.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/UUID.h"

namespace rivulet {

using platform::dispatch::DispatchQueue;
using platform::dispatch::QualityOfService;

// MARK: Default headers

namespace {
std::string quality(double q) {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, q);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.find('.') == std::string::npos && text.find('e') == std::string::npos) text += ".0";
    return text;
}

std::string acceptLanguage() {
    auto languages = platform::Locale::preferredLanguages();
    std::string out;
    for (size_t i = 0; i < languages.size() && i < 6; ++i) {
        if (i) out += ", ";
        out += languages[i] + ";q=" + quality(double(i) * -0.1 + 1.0);
    }
    return out;
}

std::string userAgent() {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle || !bundle->hasInfoDictionary()) return "Rivulet";
    const platform::Value& info = bundle->infoDictionary();
    auto text = [&](const char* key) {
        const platform::Value* v = info.find(key);
        return v && v->isString() ? *v->asString() : std::string("Unknown");
    };
    auto v = platform::ProcessInfo::processInfo().operatingSystemVersion();
    std::string os = "iOS " + std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
    // The client is built into the application, so its bundle is the main bundle.
    const platform::Value* clientVersion = info.find(platform::kCFBundleShortVersionStringKey);
    std::string client = clientVersion ? "Rivulet/" + (clientVersion->isString() ? *clientVersion->asString()
                                                                                 : clientVersion->description())
                                       : "Unknown";
    return text(platform::kCFBundleExecutableKey) + "/" + text(platform::kCFBundleShortVersionStringKey) + " (" +
           text(platform::kCFBundleIdentifierKey) + "; build:" + text(platform::kCFBundleVersionKey) + "; " + os +
           ") " + client;
}
}  // namespace

HTTPHeaders SessionManager::makeDefaultHTTPHeaders() {
    return HTTPHeaders{{"Accept-Encoding", "gzip;q=1.0, compress;q=0.5"},
                       {"Accept-Language", acceptLanguage()},
                       {"User-Agent", userAgent()}};
}

const HTTPHeaders& SessionManager::defaultHTTPHeaders() {
    static const HTTPHeaders headers = makeDefaultHTTPHeaders();
    return headers;
}

// MARK: Making managers

std::shared_ptr<SessionManager> SessionManager::defaultManager() {
    // Lives for the process: never torn down at exit, while its session's threads may still run.
    static const auto* manager = [] {
        auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
        platform::ValueDictionary headers;
        for (const auto& [name, value] : defaultHTTPHeaders()) headers[name] = value;
        configuration.HTTPAdditionalHeaders = platform::Value(std::move(headers));
        return new std::shared_ptr<SessionManager>(make(configuration, std::make_shared<SessionDelegate>(), nullptr));
    }();
    return *manager;
}

SessionManager::SessionManager(SessionPtr session, std::shared_ptr<SessionDelegate> delegate)
    : session(std::move(session)), delegate(std::move(delegate)),
      queue("org.rivulet.session-manager." + platform::UUID::random().uuidString()) {}

std::shared_ptr<SessionManager>
SessionManager::make(const platform::URLSessionConfiguration& configuration, std::shared_ptr<SessionDelegate> delegate,
                     std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
    if (!delegate) delegate = std::make_shared<SessionDelegate>();
    auto session = platform::URLSession::sessionWithConfiguration(configuration, delegate, nullptr);
    std::shared_ptr<SessionManager> manager(new SessionManager(std::move(session), std::move(delegate)));
    manager->attach(std::move(serverTrustPolicyManager));
    return manager;
}

std::shared_ptr<SessionManager>
SessionManager::make(SessionPtr session, std::shared_ptr<SessionDelegate> delegate,
                     std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
    if (!session || !delegate || session->delegate() != delegate) return nullptr;
    std::shared_ptr<SessionManager> manager(new SessionManager(std::move(session), std::move(delegate)));
    manager->attach(std::move(serverTrustPolicyManager));
    return manager;
}

void SessionManager::attach(std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
    attachServerTrustPolicyManager(session, std::move(serverTrustPolicyManager));
    std::weak_ptr<SessionManager> weak = shared_from_this();
    delegate->sessionManager.set(weak);
    delegate->setSessionDidFinishEventsForBackgroundURLSession([weak](const SessionPtr&) {
        // Held until the block has run: the handler is called even when the manager's owner lets go
        // of it in the meantime.
        if (auto manager = weak.lock())
            DispatchQueue::main().async([manager] {
                if (auto handler = manager->backgroundCompletionHandler()) handler();
            });
    });
}

SessionManager::~SessionManager() { session->invalidateAndCancel(); }

// MARK: Common paths

void SessionManager::start(const std::shared_ptr<Request>& request, const TaskPtr& task) {
    delegate->setRequest(task, request);
    if (startRequestsImmediately()) request->resume();
}

void SessionManager::settleFailed(const std::shared_ptr<Request>& request, const AnyError& thrown) {
    auto retrierNow = retrier();
    if (retrierNow && thrown.as<AdaptError>()) {
        allowRetrier(std::move(retrierNow), request, underlyingAdaptError(thrown).value_or(thrown));
        return;
    }
    if (startRequestsImmediately()) request->resume();
}

void SessionManager::allowRetrier(std::shared_ptr<RequestRetrier> retrier, std::shared_ptr<Request> request,
                                  AnyError error) {
    std::weak_ptr<SessionManager> weak = shared_from_this();
    const auto utility = DispatchQueue::global(QualityOfService::Utility);
    utility.async([weak, retrier, request, error, utility] {
        auto manager = weak.lock();
        // A request nobody can retry any more still completes with its error.
        if (!manager) return request->resume();
        auto decided = [weak, request, utility](bool retry, double delay) {
            auto manager = weak.lock();
            if (!manager) return request->resume();
            if (!retry) {
                if (manager->startRequestsImmediately()) request->resume();
                return;
            }
            after(utility, delay, [weak, request] {
                auto manager = weak.lock();
                if (!manager) return request->resume();
                if (manager->retry(request) && request->task()) return;  // registered by retry()
                if (manager->startRequestsImmediately()) request->resume();
            });
        };
        retrier->should(manager, request, error,
                        platform::dispatch::OnceHandler<bool, double>(
                            "should", std::move(decided), platform::dispatch::OnceHandlerPolicy::IgnoreExtraCalls));
    });
}

bool SessionManager::retry(const std::shared_ptr<Request>& request) {
    const auto& recipe = request->originalTask();
    if (!recipe) return false;
    auto made = recipe->task(session, adapter(), queue);
    if (auto* e = made.error()) {
        request->delegate()->setError(underlyingAdaptError(*e).value_or(*e));
        return false;
    }
    TaskPtr newTask = *made.value();
    if (auto old = request->task()) delegate->setRequest(old, nullptr);
    request->delegate()->setTask(newTask);
    request->noteRetry();
    // Registered before it runs, so even an instant failure finds its request.
    delegate->setRequest(newTask, request);
    newTask->resume();
    return true;
}

// MARK: Data

std::shared_ptr<DataRequest> SessionManager::request(const URLConvertible& url, HTTPMethod method,
                                                     const std::optional<Parameters>& parameters,
                                                     const ParameterEncoding& encoding,
                                                     const std::optional<HTTPHeaders>& headers) {
    auto built = makeURLRequest(url, method, headers);
    if (auto* e = built.error()) return request(std::nullopt, *e);
    auto encoded = encoding.encode(*built.value(), parameters);
    if (auto* e = encoded.error()) return request(*built.value(), *e);
    return request(URLRequestConvertible(std::move(*encoded.value())));
}

std::shared_ptr<DataRequest> SessionManager::request(const URLRequestConvertible& urlRequest) {
    auto converted = urlRequest.asURLRequest();
    if (auto* e = converted.error()) return request(std::nullopt, *e);
    auto recipe = std::make_shared<const DataRequest::Requestable>(std::move(*converted.value()));
    auto task = recipe->task(session, adapter(), queue);
    if (auto* e = task.error()) return request(recipe->urlRequest, *e);
    auto made = Request::make<DataRequest>(session, {RequestTask::Kind::data, recipe, *task.value()}, std::nullopt);
    start(made, *task.value());
    return made;
}

std::shared_ptr<DataRequest> SessionManager::request(std::optional<platform::URLRequest> urlRequest,
                                                     const AnyError& failedWith) {
    std::shared_ptr<const TaskConvertible> recipe;
    if (urlRequest) recipe = std::make_shared<const DataRequest::Requestable>(std::move(*urlRequest));
    auto made = Request::make<DataRequest>(session, {RequestTask::Kind::data, recipe, nullptr},
                                           underlyingAdaptError(failedWith).value_or(failedWith));
    settleFailed(made, failedWith);
    return made;
}

// MARK: Download

std::shared_ptr<DownloadRequest> SessionManager::download(const URLConvertible& url, HTTPMethod method,
                                                          const std::optional<Parameters>& parameters,
                                                          const ParameterEncoding& encoding,
                                                          const std::optional<HTTPHeaders>& headers,
                                                          DownloadFileDestination to) {
    auto built = makeURLRequest(url, method, headers);
    if (auto* e = built.error()) return download(std::nullopt, std::move(to), *e);
    auto encoded = encoding.encode(*built.value(), parameters);
    if (auto* e = encoded.error()) return download(std::nullopt, std::move(to), *e);
    return download(URLRequestConvertible(*encoded.value()), std::move(to));
}

std::shared_ptr<DownloadRequest> SessionManager::download(const URLRequestConvertible& urlRequest,
                                                          DownloadFileDestination to) {
    auto converted = urlRequest.asURLRequest();
    if (auto* e = converted.error()) return download(std::nullopt, std::move(to), *e);
    return download(DownloadRequest::Downloadable::request(*converted.value()), std::move(to));
}

std::shared_ptr<DownloadRequest> SessionManager::downloadResumingWith(const platform::Bytes& resumeData,
                                                                      DownloadFileDestination to) {
    return download(DownloadRequest::Downloadable::resumeData(resumeData), std::move(to));
}

std::shared_ptr<DownloadRequest> SessionManager::download(const DownloadRequest::Downloadable& downloadable,
                                                          DownloadFileDestination to) {
    auto recipe = std::make_shared<const DownloadRequest::Downloadable>(downloadable);
    auto task = recipe->task(session, adapter(), queue);
    if (auto* e = task.error()) return download(downloadable, std::move(to), *e);
    auto made =
        Request::make<DownloadRequest>(session, {RequestTask::Kind::download, recipe, *task.value()}, std::nullopt);
    std::static_pointer_cast<DownloadTaskDelegate>(made->delegate())->destination.set(std::move(to));
    start(made, *task.value());
    return made;
}

std::shared_ptr<DownloadRequest> SessionManager::download(std::optional<DownloadRequest::Downloadable> downloadable,
                                                          DownloadFileDestination to, const AnyError& failedWith) {
    std::shared_ptr<const TaskConvertible> recipe;
    if (downloadable) recipe = std::make_shared<const DownloadRequest::Downloadable>(std::move(*downloadable));
    auto made = Request::make<DownloadRequest>(session, {RequestTask::Kind::download, recipe, nullptr},
                                               underlyingAdaptError(failedWith).value_or(failedWith));
    std::static_pointer_cast<DownloadTaskDelegate>(made->delegate())->destination.set(std::move(to));
    settleFailed(made, failedWith);
    return made;
}

// MARK: Upload

namespace {
template <class Body>
std::shared_ptr<UploadRequest> uploadWith(SessionManager& manager, Body body, const URLConvertible& url,
                                          HTTPMethod method, const std::optional<HTTPHeaders>& headers) {
    auto built = makeURLRequest(url, method, headers);
    if (auto* e = built.error())
        return manager.upload(
            std::move(body), URLRequestConvertible::fromFunction([e = *e] { return Result<platform::URLRequest>(e); }));
    return manager.upload(std::move(body), URLRequestConvertible(*built.value()));
}
}  // namespace

std::shared_ptr<UploadRequest> SessionManager::upload(const platform::URL& fileURL, const URLConvertible& url,
                                                      HTTPMethod method, const std::optional<HTTPHeaders>& headers) {
    return uploadWith(*this, fileURL, url, method, headers);
}
std::shared_ptr<UploadRequest> SessionManager::upload(const platform::URL& fileURL,
                                                      const URLRequestConvertible& urlRequest) {
    auto converted = urlRequest.asURLRequest();
    if (auto* e = converted.error()) return upload(std::nullopt, *e);
    return upload(UploadRequest::Uploadable::file(fileURL, *converted.value()));
}
std::shared_ptr<UploadRequest> SessionManager::upload(const platform::Bytes& data, const URLConvertible& url,
                                                      HTTPMethod method, const std::optional<HTTPHeaders>& headers) {
    return uploadWith(*this, data, url, method, headers);
}
std::shared_ptr<UploadRequest> SessionManager::upload(const platform::Bytes& data,
                                                      const URLRequestConvertible& urlRequest) {
    auto converted = urlRequest.asURLRequest();
    if (auto* e = converted.error()) return upload(std::nullopt, *e);
    return upload(UploadRequest::Uploadable::data(data, *converted.value()));
}
std::shared_ptr<UploadRequest> SessionManager::upload(std::shared_ptr<platform::InputStream> stream,
                                                      const URLConvertible& url, HTTPMethod method,
                                                      const std::optional<HTTPHeaders>& headers) {
    return uploadWith(*this, std::move(stream), url, method, headers);
}
std::shared_ptr<UploadRequest> SessionManager::upload(std::shared_ptr<platform::InputStream> stream,
                                                      const URLRequestConvertible& urlRequest) {
    auto converted = urlRequest.asURLRequest();
    if (auto* e = converted.error()) return upload(std::nullopt, *e);
    return upload(UploadRequest::Uploadable::stream(std::move(stream), *converted.value()));
}

std::shared_ptr<UploadRequest> SessionManager::upload(const UploadRequest::Uploadable& uploadable) {
    auto recipe = std::make_shared<const UploadRequest::Uploadable>(uploadable);
    auto task = recipe->task(session, adapter(), queue);
    if (auto* e = task.error()) return upload(uploadable, *e);
    auto made = Request::make<UploadRequest>(session, {RequestTask::Kind::upload, recipe, *task.value()}, std::nullopt);
    if (uploadable.kind == UploadRequest::Uploadable::Kind::stream) {
        // The session asks for the body whenever it (re)starts the upload.
        made->delegate()->taskNeedNewBodyStream.set(
            [stream = uploadable.inputStream](const SessionPtr&, const TaskPtr&) { return stream; });
    }
    start(made, *task.value());
    return made;
}

std::shared_ptr<UploadRequest> SessionManager::upload(std::optional<UploadRequest::Uploadable> uploadable,
                                                      const AnyError& failedWith) {
    std::shared_ptr<const TaskConvertible> recipe;
    if (uploadable) recipe = std::make_shared<const UploadRequest::Uploadable>(std::move(*uploadable));
    auto made = Request::make<UploadRequest>(session, {RequestTask::Kind::upload, recipe, nullptr},
                                             underlyingAdaptError(failedWith).value_or(failedWith));
    settleFailed(made, failedWith);
    return made;
}

// MARK: Stream

std::shared_ptr<StreamRequest> SessionManager::stream(const std::string& hostName, int port) {
    return stream(StreamRequest::Streamable::stream(hostName, port));
}

std::shared_ptr<StreamRequest> SessionManager::stream(std::shared_ptr<platform::NetService> netService) {
    return stream(StreamRequest::Streamable::netService(std::move(netService)));
}

std::shared_ptr<StreamRequest> SessionManager::stream(const StreamRequest::Streamable& streamable) {
    auto recipe = std::make_shared<const StreamRequest::Streamable>(streamable);
    TaskPtr task = *recipe->task(session, adapter(), queue).value();
    auto made = Request::make<StreamRequest>(session, {RequestTask::Kind::stream, recipe, task}, std::nullopt);
    start(made, task);
    return made;
}

}  // namespace rivulet
