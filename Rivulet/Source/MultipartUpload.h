#pragma once
// What a multipart upload reports once its body is encoded (SessionManager::upload with a filling
// closure): the UploadRequest made and where its body came from, or the error that stopped it.
//
// Bodies whose parts add up to less than the threshold are encoded in memory; the others, and every
// body of a background session, are written to a new file under the temporary directory's
// "org.rivulet.manager/multipart.form.data" (a directory only this user can enter; the file is
// created exclusively, mode 0600) and uploaded from there. The file is removed once the upload has
// completed, before the response handlers the caller adds in the completion run; on failure at once.
//
// The filling closure and the encoding run on the global utility queue; the completion always runs
// on the main queue, once per call.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "Rivulet/Source/AnyError.h"
#include "Rivulet/Source/MultipartFormData.h"
#include "Rivulet/Source/RequestKinds.h"
#include "platform/foundation/URL.h"

namespace rivulet {

class MultipartFormDataEncodingResult {
public:
    struct Success {
        std::shared_ptr<UploadRequest> request;
        bool streamingFromDisk = false;
        std::optional<platform::URL> streamFileURL;  // present only when streaming from disk
    };

    static MultipartFormDataEncodingResult success(std::shared_ptr<UploadRequest> request, bool streamingFromDisk,
                                                   std::optional<platform::URL> streamFileURL) {
        return MultipartFormDataEncodingResult(
            Success{std::move(request), streamingFromDisk, std::move(streamFileURL)});
    }
    static MultipartFormDataEncodingResult failure(AnyError error) {
        return MultipartFormDataEncodingResult(std::move(error));
    }

    bool isSuccess() const { return v_.index() == 0; }
    // The payload of the case, or nullptr.
    const Success* asSuccess() const { return std::get_if<Success>(&v_); }
    const AnyError* error() const { return std::get_if<AnyError>(&v_); }

private:
    explicit MultipartFormDataEncodingResult(Success s) : v_(std::move(s)) {}
    explicit MultipartFormDataEncodingResult(AnyError e) : v_(std::move(e)) {}
    std::variant<Success, AnyError> v_;
};

using MultipartFormDataFill = std::function<void(MultipartFormData&)>;
using MultipartFormDataEncodingCompletion = std::function<void(MultipartFormDataEncodingResult)>;

// "<temporary directory>/org.rivulet.manager/multipart.form.data"; empty when the device has no
// temporary directory.
std::string multipartFormDataTemporaryDirectory();

}  // namespace rivulet
