#pragma once
// RVError: every failure the client itself detects. Errors handed up by URL loading are not wrapped:
// they travel as platform errors in AnyError. Each case has a fixed message (errorDescription());
// building one never fails. Bridged to a platform::Error in domain "Rivulet.RVError" with the case
// index as code and the message as localized description.
//
// Plain immutable value; safe to copy between threads.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Rivulet/Source/AnyError.h"
#include "Rivulet/Source/StringEncoding.h"
#include "platform/foundation/URL.h"

namespace rivulet {

inline constexpr const char* kRVErrorDomain = "Rivulet.RVError";

class RVError final : public ErrorType {
public:
    enum class Case {
        invalidURL = 0,
        parameterEncodingFailed = 1,
        multipartEncodingFailed = 2,
        responseValidationFailed = 3,
        responseSerializationFailed = 4,
    };

    // What did not convert to a URL: a string or URL components.
    using InvalidURLPayload = std::variant<std::string, platform::URLComponents>;

    struct ParameterEncodingFailureReason {
        enum class Kind { missingURL, jsonEncodingFailed, propertyListEncodingFailed };
        Kind kind = Kind::missingURL;
        std::optional<AnyError> error;  // the writer's error

        static ParameterEncodingFailureReason missingURL() { return {Kind::missingURL, std::nullopt}; }
        static ParameterEncodingFailureReason jsonEncodingFailed(AnyError e) { return {Kind::jsonEncodingFailed, e}; }
        static ParameterEncodingFailureReason propertyListEncodingFailed(AnyError e) {
            return {Kind::propertyListEncodingFailed, e};
        }
        std::string localizedDescription() const;
    };

    struct MultipartEncodingFailureReason {
        enum class Kind {
            bodyPartURLInvalid,
            bodyPartFilenameInvalid,
            bodyPartFileNotReachable,
            bodyPartFileNotReachableWithError,
            bodyPartFileIsDirectory,
            bodyPartFileSizeNotAvailable,
            bodyPartFileSizeQueryFailedWithError,
            bodyPartInputStreamCreationFailed,
            outputStreamCreationFailed,
            outputStreamFileAlreadyExists,
            outputStreamURLInvalid,
            outputStreamWriteFailed,
            inputStreamReadFailed,
        };
        Kind kind = Kind::bodyPartURLInvalid;
        std::optional<platform::URL> url;
        std::optional<AnyError> error;

        static MultipartEncodingFailureReason bodyPartURLInvalid(platform::URL u) {
            return {Kind::bodyPartURLInvalid, u, {}};
        }
        static MultipartEncodingFailureReason bodyPartFilenameInvalid(platform::URL u) {
            return {Kind::bodyPartFilenameInvalid, u, {}};
        }
        static MultipartEncodingFailureReason bodyPartFileNotReachable(platform::URL u) {
            return {Kind::bodyPartFileNotReachable, u, {}};
        }
        static MultipartEncodingFailureReason bodyPartFileNotReachableWithError(platform::URL u, AnyError e) {
            return {Kind::bodyPartFileNotReachableWithError, u, e};
        }
        static MultipartEncodingFailureReason bodyPartFileIsDirectory(platform::URL u) {
            return {Kind::bodyPartFileIsDirectory, u, {}};
        }
        static MultipartEncodingFailureReason bodyPartFileSizeNotAvailable(platform::URL u) {
            return {Kind::bodyPartFileSizeNotAvailable, u, {}};
        }
        static MultipartEncodingFailureReason bodyPartFileSizeQueryFailedWithError(platform::URL u, AnyError e) {
            return {Kind::bodyPartFileSizeQueryFailedWithError, u, e};
        }
        static MultipartEncodingFailureReason bodyPartInputStreamCreationFailed(platform::URL u) {
            return {Kind::bodyPartInputStreamCreationFailed, u, {}};
        }
        static MultipartEncodingFailureReason outputStreamCreationFailed(platform::URL u) {
            return {Kind::outputStreamCreationFailed, u, {}};
        }
        static MultipartEncodingFailureReason outputStreamFileAlreadyExists(platform::URL u) {
            return {Kind::outputStreamFileAlreadyExists, u, {}};
        }
        static MultipartEncodingFailureReason outputStreamURLInvalid(platform::URL u) {
            return {Kind::outputStreamURLInvalid, u, {}};
        }
        static MultipartEncodingFailureReason outputStreamWriteFailed(AnyError e) {
            return {Kind::outputStreamWriteFailed, std::nullopt, e};
        }
        static MultipartEncodingFailureReason inputStreamReadFailed(AnyError e) {
            return {Kind::inputStreamReadFailed, std::nullopt, e};
        }
        std::string localizedDescription() const;
    };

    struct ResponseValidationFailureReason {
        enum class Kind {
            dataFileNil,
            dataFileReadFailed,
            missingContentType,
            unacceptableContentType,
            unacceptableStatusCode
        };
        Kind kind = Kind::dataFileNil;
        std::optional<platform::URL> url;
        std::vector<std::string> acceptableContentTypes;
        std::string responseContentType;
        int64_t statusCode = 0;

        static ResponseValidationFailureReason dataFileNil() { return {Kind::dataFileNil, {}, {}, {}, 0}; }
        static ResponseValidationFailureReason dataFileReadFailed(platform::URL u) {
            return {Kind::dataFileReadFailed, u, {}, {}, 0};
        }
        static ResponseValidationFailureReason missingContentType(std::vector<std::string> acceptable) {
            return {Kind::missingContentType, {}, std::move(acceptable), {}, 0};
        }
        static ResponseValidationFailureReason unacceptableContentType(std::vector<std::string> acceptable,
                                                                       std::string responseContentType) {
            return {Kind::unacceptableContentType, {}, std::move(acceptable), std::move(responseContentType), 0};
        }
        static ResponseValidationFailureReason unacceptableStatusCode(int64_t code) {
            return {Kind::unacceptableStatusCode, {}, {}, {}, code};
        }
        std::string localizedDescription() const;
    };

    struct ResponseSerializationFailureReason {
        enum class Kind {
            inputDataNil,
            inputDataNilOrZeroLength,
            inputFileNil,
            inputFileReadFailed,
            stringSerializationFailed,
            jsonSerializationFailed,
            propertyListSerializationFailed,
        };
        Kind kind = Kind::inputDataNil;
        std::optional<platform::URL> url;
        std::optional<StringEncoding> encoding;
        std::optional<AnyError> error;  // the reader's error

        static ResponseSerializationFailureReason inputDataNil() { return {Kind::inputDataNil, {}, {}, {}}; }
        static ResponseSerializationFailureReason inputDataNilOrZeroLength() {
            return {Kind::inputDataNilOrZeroLength, {}, {}, {}};
        }
        static ResponseSerializationFailureReason inputFileNil() { return {Kind::inputFileNil, {}, {}, {}}; }
        static ResponseSerializationFailureReason inputFileReadFailed(platform::URL u) {
            return {Kind::inputFileReadFailed, u, {}, {}};
        }
        static ResponseSerializationFailureReason stringSerializationFailed(StringEncoding enc) {
            return {Kind::stringSerializationFailed, {}, enc, {}};
        }
        static ResponseSerializationFailureReason jsonSerializationFailed(AnyError e) {
            return {Kind::jsonSerializationFailed, {}, {}, e};
        }
        static ResponseSerializationFailureReason propertyListSerializationFailed(AnyError e) {
            return {Kind::propertyListSerializationFailed, {}, {}, e};
        }
        std::string localizedDescription() const;
    };

    static RVError invalidURL(InvalidURLPayload url) { return RVError(std::move(url)); }
    static RVError parameterEncodingFailed(ParameterEncodingFailureReason r) { return RVError(std::move(r)); }
    static RVError multipartEncodingFailed(MultipartEncodingFailureReason r) { return RVError(std::move(r)); }
    static RVError responseValidationFailed(ResponseValidationFailureReason r) { return RVError(std::move(r)); }
    static RVError responseSerializationFailed(ResponseSerializationFailureReason r) { return RVError(std::move(r)); }

    Case kind() const { return static_cast<Case>(v_.index()); }

    // The payload of the case, or nullptr for another case.
    const InvalidURLPayload* invalidURLPayload() const { return std::get_if<0>(&v_); }
    const ParameterEncodingFailureReason* parameterEncodingReason() const { return std::get_if<1>(&v_); }
    const MultipartEncodingFailureReason* multipartEncodingReason() const { return std::get_if<2>(&v_); }
    const ResponseValidationFailureReason* responseValidationReason() const { return std::get_if<3>(&v_); }
    const ResponseSerializationFailureReason* responseSerializationReason() const { return std::get_if<4>(&v_); }

    // The fixed message of the case; always present.
    std::string errorDescription() const;

    // ErrorType
    std::string localizedDescription() const override { return errorDescription(); }
    std::string description() const override;  // e.g. "RVError.responseSerializationFailed(inputDataNil)"
    platform::Error bridged() const override;

private:
    using Storage = std::variant<InvalidURLPayload, ParameterEncodingFailureReason, MultipartEncodingFailureReason,
                                 ResponseValidationFailureReason, ResponseSerializationFailureReason>;
    template <class T>
    explicit RVError(T payload) : v_(std::move(payload)) {}
    Storage v_;
};

// The standard textual form of an invalid-URL payload (a string is itself).
std::string describe(const RVError::InvalidURLPayload& payload);

}  // namespace rivulet
