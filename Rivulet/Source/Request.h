#pragma once
// Request: the handle the client gives back for every network task. It owns the task's delegate (and
// through it the task), remembers the recipe that made the task so a retry can make it again, times
// the task, carries the credential for authentication challenges, and resumes, suspends and cancels
// the task with a notification each (Notifications.h).
//
// Requests are shared (std::shared_ptr): the session delegate holds a request while its task runs,
// every queued response handler holds it until it has run. Made only by the SessionManager.
//
// Threads: any thread may use a request. Its fields (delegate, times, retry count, validations) are
// guarded by the request's own lock, which is never held while anything outside it runs.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Rivulet/Source/AnyError.h"
#include "Rivulet/Source/Response.h"
#include "Rivulet/Source/Result.h"
#include "Rivulet/Source/TaskDelegate.h"
#include "Rivulet/Source/Timeline.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/URLSession.h"

namespace rivulet {

// Rewrites each URL request when its task is made (also on retry). A failure stops the task from
// being made; the request then carries the adapter's error.
class RequestAdapter {
public:
    virtual ~RequestAdapter() = default;
    virtual Result<platform::URLRequest> adapt(platform::URLRequest urlRequest) = 0;
};

// The wrapper of an adapter's error, so the manager can tell adapter failures (which may be retried)
// from the others.
class AdaptError final : public ErrorType {
public:
    explicit AdaptError(AnyError error) : error(std::move(error)) {}
    const AnyError error;
    std::string localizedDescription() const override { return error.localizedDescription(); }
    std::string description() const override { return "AdaptError(" + error.description() + ")"; }
    platform::Error bridged() const override { return error.bridged(); }
};
// The adapter's own error when `error` is an AdaptError, else nothing.
std::optional<AnyError> underlyingAdaptError(const AnyError& error);

// The recipe that makes a request's task, and makes it again on retry. The URL request goes through
// the adapter on the calling thread; the task itself is made inside a synchronous dispatch onto the
// manager's serial queue. The only failure is an AdaptError.
class TaskConvertible {
public:
    virtual ~TaskConvertible() = default;
    virtual Result<TaskPtr> task(const SessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                                 const platform::dispatch::DispatchQueue& queue) const = 0;
};

// What a new request is made from: its kind, its recipe (none when not even the URL request could be
// built) and its task (none when making it failed).
struct RequestTask {
    enum class Kind { data, download, upload, stream };
    Kind kind;
    std::shared_ptr<const TaskConvertible> recipe;
    TaskPtr task;
};

class Request : public std::enable_shared_from_this<Request> {
public:
    // Makes a request of kind T (DataRequest, ...) with the task delegate its kind needs and `error`
    // recorded in it, and queues the end-time stamp as the first operation of its handler queue.
    template <class T>
    static std::shared_ptr<T> make(SessionPtr session, RequestTask requestTask, std::optional<AnyError> error) {
        auto request = std::shared_ptr<T>(new T(std::move(session), std::move(requestTask), std::move(error)));
        request->queueEndTime();
        return request;
    }
    virtual ~Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    const SessionPtr& session() const { return session_; }
    std::shared_ptr<TaskDelegate> delegate() const;
    TaskPtr task() const;
    // The task's original request; the kinds fall back to their recipe's request.
    virtual std::optional<platform::URLRequest> request() const;
    // The task's response when it is an HTTP response.
    HTTPResponsePtr response() const;
    uint64_t retryCount() const;
    const std::shared_ptr<const TaskConvertible>& originalTask() const { return originalTask_; }
    RequestTask::Kind kind() const { return kind_; }
    std::optional<double> startTime() const;
    std::optional<double> endTime() const;

    // Closures run in order by the session delegate when the task completes.
    void addValidation(std::function<void()> validation);
    std::vector<std::function<void()>> validations() const;

    std::shared_ptr<Request>
    authenticate(const std::string& user, const std::string& password,
                 platform::URLCredentialPersistence persistence = platform::URLCredentialPersistence::ForSession);
    std::shared_ptr<Request> authenticate(platform::URLCredential credential);
    // ("Authorization", "Basic " + base64(user:password)).
    static std::optional<std::pair<std::string, std::string>> authorizationHeader(const std::string& user,
                                                                                  const std::string& password);

    // Without a task, resume() releases the handlers (they see the recorded error) and posts nothing;
    // suspend() and cancel() do nothing.
    virtual void resume();
    virtual void suspend();
    virtual void cancel();

    // "METHOD URL (status)", parts left out when unknown.
    std::string description() const;
    // The curl command line.
    std::string debugDescription() const { return cURLRepresentation(); }
    std::string cURLRepresentation() const;

    // The request's timing as it stands now (serialization time: now).
    Timeline timeline() const;

protected:
    Request(SessionPtr session, RequestTask requestTask, std::optional<AnyError> error);
    // The delegate as its kind's class (the constructor guarantees the class).
    template <class D>
    std::shared_ptr<D> delegateAs() const {
        return std::static_pointer_cast<D>(delegate());
    }
    // The task delegate when it is of class D, else null: a data request's delegate becomes a
    // download delegate when its task becomes a download task.
    template <class D>
    std::shared_ptr<D> delegateIf() const {
        return std::dynamic_pointer_cast<D>(delegate());
    }

private:
    // Written only by the manager and the session delegate: a retry made a new task, or a data task
    // became a download task.
    friend class SessionManager;
    friend class SessionDelegate;
    void noteRetry();
    void setDelegate(std::shared_ptr<TaskDelegate> delegate);

    void queueEndTime();
    void postTaskNotification(const std::string& name, const TaskPtr& task);

    const SessionPtr session_;
    const std::shared_ptr<const TaskConvertible> originalTask_;
    const RequestTask::Kind kind_;

    mutable platform::dispatch::Mutex mutex_;
    std::shared_ptr<TaskDelegate> taskDelegate_ GUARDED_BY(mutex_);
    uint64_t retryCount_ GUARDED_BY(mutex_) = 0;
    std::optional<double> startTime_ GUARDED_BY(mutex_);
    std::optional<double> endTime_ GUARDED_BY(mutex_);
    std::vector<std::function<void()>> validations_ GUARDED_BY(mutex_);
};

}  // namespace rivulet
