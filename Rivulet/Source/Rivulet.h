#pragma once
// The client's door: include this one header. The module-level functions make sure the shared manager
// (SessionManager::defaultManager()) exists and hand their arguments to its factory of the same shape;
// they add, check and change nothing.
//
//   rivulet::request("https://host/api", HTTPMethod::post, Parameters{{"k", "v"}}, JSONEncoding::Default())
//       ->responseJSON([](DataResponse<platform::Value> r) { ... });   // runs on the main queue
#include <memory>
#include <optional>
#include <string>

#include "Rivulet/Source/AnyError.h"
#include "Rivulet/Source/DownloadResponseHandlers.h"
#include "Rivulet/Source/HTTPMethod.h"
#include "Rivulet/Source/MultipartFormData.h"
#include "Rivulet/Source/MultipartUpload.h"
#include "Rivulet/Source/Notifications.h"
#include "Rivulet/Source/ParameterEncoding.h"
#include "Rivulet/Source/RVError.h"
#include "Rivulet/Source/Request.h"
#include "Rivulet/Source/RequestKinds.h"
#include "Rivulet/Source/Response.h"
#include "Rivulet/Source/ResponseSerializer.h"
#include "Rivulet/Source/Result.h"
#include "Rivulet/Source/ServerTrustPolicy.h"
#include "Rivulet/Source/SessionDelegate.h"
#include "Rivulet/Source/SessionManager.h"
#include "Rivulet/Source/TaskDelegate.h"
#include "Rivulet/Source/Timeline.h"
#include "Rivulet/Source/URLConvertible.h"

namespace rivulet {

inline std::shared_ptr<DataRequest> request(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                            const std::optional<Parameters>& parameters = std::nullopt,
                                            const ParameterEncoding& encoding = URLEncoding::Default(),
                                            const std::optional<HTTPHeaders>& headers = std::nullopt) {
    return SessionManager::defaultManager()->request(url, method, parameters, encoding, headers);
}
inline std::shared_ptr<DataRequest> request(const URLRequestConvertible& urlRequest) {
    return SessionManager::defaultManager()->request(urlRequest);
}

inline std::shared_ptr<DownloadRequest> download(const URLConvertible& url, HTTPMethod method,
                                                 const std::optional<Parameters>& parameters,
                                                 const ParameterEncoding& encoding,
                                                 const std::optional<HTTPHeaders>& headers,
                                                 DownloadFileDestination to = nullptr) {
    return SessionManager::defaultManager()->download(url, method, parameters, encoding, headers, std::move(to));
}
inline std::shared_ptr<DownloadRequest> download(const URLRequestConvertible& urlRequest,
                                                 DownloadFileDestination to = nullptr) {
    return SessionManager::defaultManager()->download(urlRequest, std::move(to));
}
inline std::shared_ptr<DownloadRequest> downloadResumingWith(const platform::Bytes& resumeData,
                                                             DownloadFileDestination to = nullptr) {
    return SessionManager::defaultManager()->downloadResumingWith(resumeData, std::move(to));
}

inline std::shared_ptr<UploadRequest> upload(const platform::URL& fileURL, const URLConvertible& url,
                                             HTTPMethod method = HTTPMethod::post,
                                             const std::optional<HTTPHeaders>& headers = std::nullopt) {
    return SessionManager::defaultManager()->upload(fileURL, url, method, headers);
}
inline std::shared_ptr<UploadRequest> upload(const platform::URL& fileURL, const URLRequestConvertible& urlRequest) {
    return SessionManager::defaultManager()->upload(fileURL, urlRequest);
}
inline std::shared_ptr<UploadRequest> upload(const platform::Bytes& data, const URLConvertible& url,
                                             HTTPMethod method = HTTPMethod::post,
                                             const std::optional<HTTPHeaders>& headers = std::nullopt) {
    return SessionManager::defaultManager()->upload(data, url, method, headers);
}
inline std::shared_ptr<UploadRequest> upload(const platform::Bytes& data, const URLRequestConvertible& urlRequest) {
    return SessionManager::defaultManager()->upload(data, urlRequest);
}
inline std::shared_ptr<UploadRequest> upload(std::shared_ptr<platform::InputStream> stream, const URLConvertible& url,
                                             HTTPMethod method = HTTPMethod::post,
                                             const std::optional<HTTPHeaders>& headers = std::nullopt) {
    return SessionManager::defaultManager()->upload(std::move(stream), url, method, headers);
}
inline std::shared_ptr<UploadRequest> upload(std::shared_ptr<platform::InputStream> stream,
                                             const URLRequestConvertible& urlRequest) {
    return SessionManager::defaultManager()->upload(std::move(stream), urlRequest);
}

// Multipart form data: the form is filled and encoded on the global utility queue; the completion
// gets the encoding result on the main queue.
inline void upload(MultipartFormDataFill multipartFormData, uint64_t encodingMemoryThreshold, const URLConvertible& url,
                   HTTPMethod method = HTTPMethod::post, const std::optional<HTTPHeaders>& headers = std::nullopt,
                   MultipartFormDataEncodingCompletion encodingCompletion = nullptr) {
    SessionManager::defaultManager()->upload(std::move(multipartFormData), encodingMemoryThreshold, url, method,
                                             headers, std::move(encodingCompletion));
}
inline void upload(MultipartFormDataFill multipartFormData, uint64_t encodingMemoryThreshold,
                   const URLRequestConvertible& urlRequest,
                   MultipartFormDataEncodingCompletion encodingCompletion = nullptr) {
    SessionManager::defaultManager()->upload(std::move(multipartFormData), encodingMemoryThreshold, urlRequest,
                                             std::move(encodingCompletion));
}

inline std::shared_ptr<StreamRequest> stream(const std::string& hostName, int port) {
    return SessionManager::defaultManager()->stream(hostName, port);
}
inline std::shared_ptr<StreamRequest> stream(std::shared_ptr<platform::NetService> netService) {
    return SessionManager::defaultManager()->stream(std::move(netService));
}

}  // namespace rivulet
