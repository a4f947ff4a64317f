// The session manager's multipart uploads.
#include "Rivulet/Source/MultipartUpload.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "Rivulet/Source/SessionManager.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/UUID.h"

namespace rivulet {

using platform::dispatch::DispatchQueue;
using platform::dispatch::QualityOfService;

namespace {

void report(const MultipartFormDataEncodingCompletion& completion, MultipartFormDataEncodingResult result) {
    if (!completion) return;
    DispatchQueue::main().async([completion, result = std::move(result)] { completion(result); });
}

platform::Error fileError(int err, const std::string& path) {
    platform::Value info = platform::Value::dictionary();
    info.set(platform::kLocalizedDescriptionKey, std::string(std::strerror(err)));
    info.set(platform::kFilePathErrorKey, path);
    return platform::Error(platform::kPOSIXErrorDomain, err, std::move(info));
}

// Makes the directory (0700) and makes sure it is a real directory of ours that nobody else can
// enter, so no one can plant or read a body file in it.
std::optional<platform::Error> prepareDirectory(const std::string& directory) {
    if (directory.empty()) return fileError(ENOENT, directory);
    auto made = platform::FileManager::defaultManager().createDirectory(directory, true, 0700);
    if (!made) return made.error();
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0) return fileError(errno, directory);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return fileError(EPERM, directory);
    if ((st.st_mode & 0077) != 0 && ::chmod(directory.c_str(), 0700) != 0) return fileError(errno, directory);
    return std::nullopt;
}

// Removes the chosen body file on every road out of the work item that does not hand it to a request.
class TemporaryFileGuard {
public:
    void choose(std::string path) { path_ = std::move(path); }
    void release() { path_.clear(); }
    // Removal errors are of no use to anyone: a file never written is simply not there.
    void remove() {
        if (!path_.empty()) (void)platform::FileManager::defaultManager().removeItem(path_);
        path_.clear();
    }
    ~TemporaryFileGuard() { remove(); }

private:
    std::string path_;
};

}  // namespace

namespace {

constexpr const char* kRivuletMultipartErrorDomain = "Rivulet.MultipartFormDataFill";

// What a closure threw that is not one of our errors, as an error the caller can read.
platform::Error thrownAsError(std::exception_ptr thrown) {
    std::string what = "an unknown exception";
    try {
        std::rethrow_exception(std::move(thrown));
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    return platform::Error::withDescription(kRivuletMultipartErrorDomain, 1,
                                            "The multipart form data could not be built: " + what);
}

}  // namespace

std::string multipartFormDataTemporaryDirectory() {
    auto tmp = platform::FileManager::defaultManager().temporaryDirectory();
    if (tmp.empty()) return {};
    return tmp + "org.rivulet.manager/multipart.form.data";
}

void SessionManager::upload(MultipartFormDataFill multipartFormData, uint64_t encodingMemoryThreshold,
                            const URLConvertible& url, HTTPMethod method, const std::optional<HTTPHeaders>& headers,
                            MultipartFormDataEncodingCompletion encodingCompletion) {
    auto built = makeURLRequest(url, method, headers);
    if (auto* e = built.error()) return report(encodingCompletion, MultipartFormDataEncodingResult::failure(*e));
    upload(std::move(multipartFormData), encodingMemoryThreshold, URLRequestConvertible(*built.value()),
           std::move(encodingCompletion));
}

void SessionManager::upload(MultipartFormDataFill multipartFormData, uint64_t encodingMemoryThreshold,
                            const URLRequestConvertible& urlRequest,
                            MultipartFormDataEncodingCompletion encodingCompletion) {
    auto self = shared_from_this();
    DispatchQueue::global(QualityOfService::Utility)
        .async([self, fill = std::move(multipartFormData), urlRequest, threshold = encodingMemoryThreshold,
                completion = std::move(encodingCompletion)] {
            MultipartFormData formData;
            TemporaryFileGuard temporaryFile;
            try {
                if (fill) fill(formData);
                platform::URLRequest request = urlRequest.asURLRequest().unwrap();
                request.setValue(formData.contentType(), "Content-Type");

                const bool isBackgroundSession = self->session->configuration().identifier().has_value();
                if (formData.contentLength() < threshold && !isBackgroundSession) {
                    auto data = formData.encode();
                    auto made = self->upload(data, URLRequestConvertible(request));
                    return report(completion, MultipartFormDataEncodingResult::success(made, false, std::nullopt));
                }

                const std::string directory = multipartFormDataTemporaryDirectory();
                const auto fileURL = platform::URL::fileURL(directory + "/" + platform::UUID::random().uuidString());
                temporaryFile.choose(fileURL.path());
                std::optional<platform::Error> directoryError;
                self->queue.sync([&] { directoryError = prepareDirectory(directory); });
                if (directoryError) throw ThrownError(AnyError(*directoryError));

                formData.writeEncodedData(fileURL);
                auto made = self->upload(fileURL, URLRequestConvertible(request));
                temporaryFile.release();
                // Runs once the task has completed: after a retry's last attempt, before handlers
                // the caller adds in the completion.
                made->delegate()->queue.addOperation([path = fileURL.path()] {
                    // The body file is done with; a removal error helps no one.
                    (void)platform::FileManager::defaultManager().removeItem(path);
                });
                report(completion, MultipartFormDataEncodingResult::success(made, true, fileURL));
            } catch (const ThrownError& thrown) {
                temporaryFile.remove();  // before the caller hears of the failure
                report(completion, MultipartFormDataEncodingResult::failure(thrown.error()));
            } catch (...) {
                // The caller's fill closure may throw anything; the caller still hears once.
                temporaryFile.remove();
                report(completion,
                       MultipartFormDataEncodingResult::failure(AnyError(thrownAsError(std::current_exception()))));
            }
        });
}

}  // namespace rivulet
