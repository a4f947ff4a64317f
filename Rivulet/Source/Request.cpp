#include "Rivulet/Source/Request.h"

#include <map>

#include "Rivulet/Source/Notifications.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/TextEncoding.h"
#include "platform/urlsession/URLCredentialStorage.h"

namespace rivulet {

std::optional<AnyError> underlyingAdaptError(const AnyError& error) {
    if (auto adapt = error.as<AdaptError>()) return adapt->error;
    return std::nullopt;
}

namespace {
std::shared_ptr<TaskDelegate> makeDelegate(RequestTask::Kind kind, TaskPtr task) {
    switch (kind) {
    case RequestTask::Kind::data:
        return std::make_shared<DataTaskDelegate>(std::move(task));
    case RequestTask::Kind::download:
        return std::make_shared<DownloadTaskDelegate>(std::move(task));
    case RequestTask::Kind::upload:
        return std::make_shared<UploadTaskDelegate>(std::move(task));
    case RequestTask::Kind::stream:
        break;
    }
    return std::make_shared<TaskDelegate>(std::move(task));
}

// One shell word that stands for `text` exactly: inside single quotes nothing is special ($(...),
// backticks, backslashes), and a quote itself is closed, escaped and reopened.
std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

}  // namespace

Request::Request(SessionPtr session, RequestTask requestTask, std::optional<AnyError> error)
    : session_(std::move(session)), originalTask_(std::move(requestTask.recipe)), kind_(requestTask.kind),
      taskDelegate_(makeDelegate(requestTask.kind, std::move(requestTask.task))) {
    taskDelegate_->setError(std::move(error));
}

void Request::queueEndTime() {
    // First on the suspended queue: it runs at completion, before every response handler.
    std::weak_ptr<Request> weak = shared_from_this();
    delegate()->queue.addOperation([weak] {
        if (auto self = weak.lock()) {
            platform::dispatch::MutexLock lock(self->mutex_);
            self->endTime_ = absoluteTimeGetCurrent();
        }
    });
}

std::shared_ptr<TaskDelegate> Request::delegate() const {
    platform::dispatch::MutexLock lock(mutex_);
    return taskDelegate_;
}
void Request::setDelegate(std::shared_ptr<TaskDelegate> delegate) {
    platform::dispatch::MutexLock lock(mutex_);
    taskDelegate_ = std::move(delegate);
}
TaskPtr Request::task() const { return delegate()->task(); }

std::optional<platform::URLRequest> Request::request() const {
    auto t = task();
    return t ? t->originalRequest() : std::nullopt;
}

HTTPResponsePtr Request::response() const {
    auto t = task();
    return t ? std::dynamic_pointer_cast<const platform::HTTPURLResponse>(t->response()) : nullptr;
}

uint64_t Request::retryCount() const {
    platform::dispatch::MutexLock lock(mutex_);
    return retryCount_;
}
std::optional<double> Request::startTime() const {
    platform::dispatch::MutexLock lock(mutex_);
    return startTime_;
}
std::optional<double> Request::endTime() const {
    platform::dispatch::MutexLock lock(mutex_);
    return endTime_;
}

void Request::noteRetry() {
    platform::dispatch::MutexLock lock(mutex_);
    ++retryCount_;
    startTime_ = absoluteTimeGetCurrent();
    endTime_.reset();
}

void Request::addValidation(std::function<void()> validation) {
    platform::dispatch::MutexLock lock(mutex_);
    validations_.push_back(std::move(validation));
}
std::vector<std::function<void()>> Request::validations() const {
    platform::dispatch::MutexLock lock(mutex_);
    return validations_;
}

std::shared_ptr<Request> Request::authenticate(const std::string& user, const std::string& password,
                                               platform::URLCredentialPersistence persistence) {
    return authenticate(platform::URLCredential(user, password, persistence));
}
std::shared_ptr<Request> Request::authenticate(platform::URLCredential credential) {
    delegate()->setCredential(std::move(credential));
    return shared_from_this();
}

std::optional<std::pair<std::string, std::string>> Request::authorizationHeader(const std::string& user,
                                                                                const std::string& password) {
    const std::string plain = user + ":" + password;  // std::string is already UTF-8 bytes
    return std::make_pair(std::string("Authorization"), "Basic " + platform::base64Encoded(plain));
}

void Request::postTaskNotification(const std::string& name, const TaskPtr& task) {
    rivulet::postTaskNotification(name, this, task);
}

void Request::resume() {
    auto d = delegate();
    auto t = d->task();
    if (!t) {
        d->queue.setSuspended(false);
        return;
    }
    {
        platform::dispatch::MutexLock lock(mutex_);
        if (!startTime_) startTime_ = absoluteTimeGetCurrent();
    }
    // Announced before the task moves: its completion, announced from the session's queue, may
    // otherwise come first.
    postTaskNotification(NotificationName::Task::DidResume, t);
    t->resume();
}

void Request::suspend() {
    auto t = task();
    if (!t) return;
    t->suspend();
    postTaskNotification(NotificationName::Task::DidSuspend, t);
}

void Request::cancel() {
    auto t = task();
    if (!t) return;
    postTaskNotification(NotificationName::Task::DidCancel, t);  // before the completion it brings
    t->cancel();
}

std::string Request::description() const {
    std::vector<std::string> parts;
    if (auto r = request(); r && !r->HTTPMethod().empty()) parts.push_back(r->HTTPMethod());
    if (auto r = request(); r && r->url()) parts.push_back(r->url()->absoluteString());
    if (auto resp = response()) parts.push_back("(" + std::to_string(resp->statusCode()) + ")");
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? " " : "") + parts[i];
    return out;
}

std::string Request::cURLRepresentation() const {
    std::vector<std::string> components{"$ curl -v"};
    auto req = request();
    if (!req || !req->url() || !req->url()->host() || req->url()->host()->empty())
        return "$ curl command could not be created";
    const platform::URL& url = *req->url();
    const auto& configuration = session_->configuration();

    if (!req->HTTPMethod().empty() && req->HTTPMethod() != "GET")
        components.push_back("-X " + shellQuoted(req->HTTPMethod()));

    if (auto storage = configuration.URLCredentialStorage) {
        platform::URLProtectionSpace space(*url.host(), url.port().value_or(0), url.scheme(), *url.host(),
                                           platform::kURLAuthenticationMethodHTTPBasic);
        if (auto credentials = storage->credentialsForProtectionSpace(space)) {
            for (const auto& [name, credential] : *credentials)
                if (credential.user() && credential.password())
                    components.push_back("-u " + shellQuoted(*credential.user() + ":" + *credential.password()));
        } else if (auto credential = delegate()->credential();
                   credential && credential->user() && credential->password()) {
            components.push_back("-u " + shellQuoted(*credential->user() + ":" + *credential->password()));
        }
    }

    if (configuration.HTTPShouldSetCookies && configuration.HTTPCookieStorage) {
        auto cookies = configuration.HTTPCookieStorage->cookiesForURL(url);
        if (!cookies.empty()) {
            std::string text;
            for (const auto& c : cookies) text += c.name() + "=" + c.value() + ";";
            text.pop_back();
            components.push_back("-b " + shellQuoted(text));
        }
    }

    std::map<std::string, std::string> headers;
    if (auto extra = configuration.HTTPAdditionalHeaders.asDictionary())
        for (const auto& [name, value] : *extra)
            if (name != "Cookie") headers[name] = value.isString() ? *value.asString() : value.description();
    for (const auto& [name, value] : req->allHTTPHeaderFields().entries())
        if (name != "Cookie") headers[name] = value;
    for (const auto& [name, value] : headers)
        // curl drops a field written "Name:" but sends one written "Name;" with an empty value.
        components.push_back("-H " + shellQuoted(value.empty() ? name + ";" : name + ": " + value));

    const auto& body = req->HTTPBody();
    auto bodyText = [&] { return std::string_view(reinterpret_cast<const char*>(body->data()), body->size()); };
    if (body && platform::text::isValidUTF8(bodyText()))
        // --data-raw: a body starting with '@' is sent as it is, not read from a local file.
        components.push_back("--data-raw " + shellQuoted(std::string(bodyText())));

    components.push_back(shellQuoted(url.absoluteString()));
    std::string out;
    for (size_t i = 0; i < components.size(); ++i) out += (i ? " \\\n\t" : "") + components[i];
    return out;
}

Timeline Request::timeline() const {
    auto start = startTime();
    double requestStart = start ? *start : absoluteTimeGetCurrent();
    auto end = endTime();
    double completed = end ? *end : absoluteTimeGetCurrent();
    auto initial = delegate()->initialResponseTime();
    double initialResponse = initial ? *initial : completed;
    return Timeline(requestStart, initialResponse, completed, absoluteTimeGetCurrent());
}

}  // namespace rivulet
