#pragma once
// SessionManager: makes requests of every kind in one URL session, registers them with its
// SessionDelegate so the session's callbacks reach them, starts them, and retries them through an
// optional retrier. Factories never throw and never answer nothing: a failure (bad address, failed
// encoding, failed adapter) becomes a request of the asked-for kind that carries the error and hands it
// to its response handlers.
//
// The shared manager is SessionManager::defaultManager() ("default" is a keyword here): made once, on
// first use, from the default session configuration with defaultHTTPHeaders(); it lives for the process.
//
// Threads. Factories run on the caller's thread (the adapter too); only the making of the platform task
// runs inside a synchronous dispatch onto `queue` (re-entrant: a factory called from a block already on
// `queue` runs inline). The retrier is asked, and delayed retries run, on the global utility queue.
// startRequestsImmediately, the adapter, the retrier and the background handler may be changed from
// any thread at any time (each is guarded); a request reads them when it is made, retried or resumed.
//
// Ownership. Callers hold managers as std::shared_ptr; the delegate and every retry closure hold the
// manager weakly. Destroying the manager cancels its session's tasks; a request waiting on a retry
// then completes with its error (its handlers still run, once).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Rivulet/Source/Guarded.h"
#include "Rivulet/Source/HTTPMethod.h"
#include "Rivulet/Source/MultipartUpload.h"
#include "Rivulet/Source/ParameterEncoding.h"
#include "Rivulet/Source/RequestKinds.h"
#include "Rivulet/Source/ServerTrustPolicy.h"
#include "Rivulet/Source/SessionDelegate.h"
#include "Rivulet/Source/URLConvertible.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/urlsession/URLSessionConfiguration.h"

namespace rivulet {

class SessionManager : public std::enable_shared_from_this<SessionManager> {
public:
    static std::shared_ptr<SessionManager> defaultManager();
    // "Accept-Encoding", "Accept-Language" (up to six preferred languages with q-values) and
    // "User-Agent" (from the main bundle's information dictionary), built once.
    static const HTTPHeaders& defaultHTTPHeaders();
    // The same, built afresh from the current device settings.
    static HTTPHeaders makeDefaultHTTPHeaders();

    static std::shared_ptr<SessionManager>
    make(const platform::URLSessionConfiguration& configuration =
             platform::URLSessionConfiguration::defaultSessionConfiguration(),
         std::shared_ptr<SessionDelegate> delegate = std::make_shared<SessionDelegate>(),
         std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager = nullptr);
    // nullptr unless `session`'s delegate is that very `delegate`.
    static std::shared_ptr<SessionManager>
    make(SessionPtr session, std::shared_ptr<SessionDelegate> delegate,
         std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager = nullptr);
    virtual ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    const SessionPtr session;
    const std::shared_ptr<SessionDelegate> delegate;
    // Serial; label "org.rivulet.session-manager.<UUID>".
    const platform::dispatch::DispatchQueue queue;

    // Read only through these accessors (the factories, retries and the background report too), so a
    // subclass's versions are the ones used.
    virtual bool startRequestsImmediately() const { return startRequestsImmediately_.load(); }
    virtual void setStartRequestsImmediately(bool start) { startRequestsImmediately_.store(start); }
    virtual std::shared_ptr<RequestAdapter> adapter() const { return adapter_.get(); }
    virtual void setAdapter(std::shared_ptr<RequestAdapter> adapter) { adapter_.set(std::move(adapter)); }
    // Kept by the delegate, which asks it when a task fails.
    virtual std::shared_ptr<RequestRetrier> retrier() const { return delegate->retrier.get(); }
    virtual void setRetrier(std::shared_ptr<RequestRetrier> retrier) { delegate->retrier.set(std::move(retrier)); }
    // Called on the main queue when a background session has finished its events.
    virtual std::function<void()> backgroundCompletionHandler() const { return backgroundCompletionHandler_.get(); }
    virtual void setBackgroundCompletionHandler(std::function<void()> handler) {
        backgroundCompletionHandler_.set(std::move(handler));
    }

    // Data.
    virtual std::shared_ptr<DataRequest> request(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                                 const std::optional<Parameters>& parameters = std::nullopt,
                                                 const ParameterEncoding& encoding = URLEncoding::Default(),
                                                 const std::optional<HTTPHeaders>& headers = std::nullopt);
    virtual std::shared_ptr<DataRequest> request(const URLRequestConvertible& urlRequest);

    // Download.
    virtual std::shared_ptr<DownloadRequest> download(const URLConvertible& url, HTTPMethod method,
                                                      const std::optional<Parameters>& parameters,
                                                      const ParameterEncoding& encoding,
                                                      const std::optional<HTTPHeaders>& headers,
                                                      DownloadFileDestination to = nullptr);
    virtual std::shared_ptr<DownloadRequest> download(const URLRequestConvertible& urlRequest,
                                                      DownloadFileDestination to = nullptr);
    virtual std::shared_ptr<DownloadRequest> downloadResumingWith(const platform::Bytes& resumeData,
                                                                  DownloadFileDestination to = nullptr);

    // Upload from a file, bytes or a stream.
    virtual std::shared_ptr<UploadRequest> upload(const platform::URL& fileURL, const URLConvertible& url,
                                                  HTTPMethod method = HTTPMethod::post,
                                                  const std::optional<HTTPHeaders>& headers = std::nullopt);
    virtual std::shared_ptr<UploadRequest> upload(const platform::URL& fileURL,
                                                  const URLRequestConvertible& urlRequest);
    virtual std::shared_ptr<UploadRequest> upload(const platform::Bytes& data, const URLConvertible& url,
                                                  HTTPMethod method = HTTPMethod::post,
                                                  const std::optional<HTTPHeaders>& headers = std::nullopt);
    virtual std::shared_ptr<UploadRequest> upload(const platform::Bytes& data, const URLRequestConvertible& urlRequest);
    virtual std::shared_ptr<UploadRequest> upload(std::shared_ptr<platform::InputStream> stream,
                                                  const URLConvertible& url, HTTPMethod method = HTTPMethod::post,
                                                  const std::optional<HTTPHeaders>& headers = std::nullopt);
    virtual std::shared_ptr<UploadRequest> upload(std::shared_ptr<platform::InputStream> stream,
                                                  const URLRequestConvertible& urlRequest);
    // The common road of every upload; multipart uploads end here too.
    virtual std::shared_ptr<UploadRequest> upload(const UploadRequest::Uploadable& uploadable);

    // Multipart form data (MultipartUpload.h): `multipartFormData` fills the form on the global utility
    // queue; bodies of `encodingMemoryThreshold` bytes of part content or more go through a temporary
    // file. The completion gets the encoding result on the main queue. Implemented in MultipartUpload.cpp.
    static constexpr uint64_t multipartFormDataEncodingMemoryThreshold = 10'000'000;
    using MultipartFormDataEncodingResult = rivulet::MultipartFormDataEncodingResult;
    virtual void upload(MultipartFormDataFill multipartFormData, uint64_t encodingMemoryThreshold,
                        const URLConvertible& url, HTTPMethod method = HTTPMethod::post,
                        const std::optional<HTTPHeaders>& headers = std::nullopt,
                        MultipartFormDataEncodingCompletion encodingCompletion = nullptr);
    virtual void upload(MultipartFormDataFill multipartFormData, uint64_t encodingMemoryThreshold,
                        const URLRequestConvertible& urlRequest,
                        MultipartFormDataEncodingCompletion encodingCompletion = nullptr);

    // A TCP stream.
    virtual std::shared_ptr<StreamRequest> stream(const std::string& hostName, int port);
    // A TCP stream to a network service, resolved when the task starts.
    virtual std::shared_ptr<StreamRequest> stream(std::shared_ptr<platform::NetService> netService);

    // Makes a new task for `request` from its recipe, registers the request under it and resumes it.
    // False when the request has no recipe or the adapter failed (its error is then the request's).
    virtual bool retry(const std::shared_ptr<Request>& request);

protected:
    SessionManager(SessionPtr session, std::shared_ptr<SessionDelegate> delegate);
    void attach(std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager);

    virtual std::shared_ptr<DataRequest> request(std::optional<platform::URLRequest> urlRequest,
                                                 const AnyError& failedWith);
    virtual std::shared_ptr<DownloadRequest> download(const DownloadRequest::Downloadable& downloadable,
                                                      DownloadFileDestination to);
    virtual std::shared_ptr<DownloadRequest> download(std::optional<DownloadRequest::Downloadable> downloadable,
                                                      DownloadFileDestination to, const AnyError& failedWith);
    virtual std::shared_ptr<UploadRequest> upload(std::optional<UploadRequest::Uploadable> uploadable,
                                                  const AnyError& failedWith);
    virtual std::shared_ptr<StreamRequest> stream(const StreamRequest::Streamable& streamable);
    virtual void allowRetrier(std::shared_ptr<RequestRetrier> retrier, std::shared_ptr<Request> request,
                              AnyError error);

private:
    // Registers and (when asked) starts a request that has its task.
    void start(const std::shared_ptr<Request>& request, const TaskPtr& task);
    // What every failure path shares once its request is made.
    void settleFailed(const std::shared_ptr<Request>& request, const AnyError& thrown);

    std::atomic<bool> startRequestsImmediately_{true};
    Guarded<std::shared_ptr<RequestAdapter>> adapter_;
    Guarded<std::function<void()>> backgroundCompletionHandler_;
};

}  // namespace rivulet
