#include "Rivulet/Source/RVError.h"

namespace rivulet {

namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ",";
        out += items[i];
    }
    return out;
}

std::string urlText(const std::optional<platform::URL>& url) { return url ? url->absoluteString() : std::string(); }
std::string errorText(const std::optional<AnyError>& e) { return e ? e->description() : std::string(); }
std::string errorLocalized(const std::optional<AnyError>& e) { return e ? e->localizedDescription() : std::string(); }

}  // namespace

std::string describe(const RVError::InvalidURLPayload& payload) {
    if (auto s = std::get_if<std::string>(&payload)) return *s;
    return std::get<platform::URLComponents>(payload).description();
}

std::string RVError::ParameterEncodingFailureReason::localizedDescription() const {
    switch (kind) {
    case Kind::missingURL:
        return "URL request to encode was missing a URL";
    case Kind::jsonEncodingFailed:
        return "JSON could not be encoded because of error:\n" + errorLocalized(error);
    case Kind::propertyListEncodingFailed:
        return "PropertyList could not be encoded because of error:\n" + errorLocalized(error);
    }
    return {};
}

std::string RVError::MultipartEncodingFailureReason::localizedDescription() const {
    const std::string u = urlText(url);
    switch (kind) {
    case Kind::bodyPartURLInvalid:
        return "The URL provided is not a file URL: " + u;
    case Kind::bodyPartFilenameInvalid:
        return "The URL provided does not have a valid filename: " + u;
    case Kind::bodyPartFileNotReachable:
        return "The URL provided is not reachable: " + u;
    case Kind::bodyPartFileNotReachableWithError:
        return "The system returned an error while checking the provided URL for reachability.\nURL: " + u +
               "\nError: " + errorText(error);
    case Kind::bodyPartFileIsDirectory:
        return "The URL provided is a directory: " + u;
    case Kind::bodyPartFileSizeNotAvailable:
        return "Could not fetch the file size from the provided URL: " + u;
    case Kind::bodyPartFileSizeQueryFailedWithError:
        return "The system returned an error while attempting to fetch the file size from the provided URL.\nURL: " +
               u + "\nError: " + errorText(error);
    case Kind::bodyPartInputStreamCreationFailed:
        return "Failed to create an InputStream for the provided URL: " + u;
    case Kind::outputStreamCreationFailed:
        return "Failed to create an OutputStream for URL: " + u;
    case Kind::outputStreamFileAlreadyExists:
        return "A file already exists at the provided URL: " + u;
    case Kind::outputStreamURLInvalid:
        return "The provided OutputStream URL is invalid: " + u;
    case Kind::outputStreamWriteFailed:
        return "OutputStream write failed with error: " + errorText(error);
    case Kind::inputStreamReadFailed:
        return "InputStream read failed with error: " + errorText(error);
    }
    return {};
}

std::string RVError::ResponseValidationFailureReason::localizedDescription() const {
    switch (kind) {
    case Kind::dataFileNil:
        return "Response could not be validated, data file was nil.";
    case Kind::dataFileReadFailed:
        return "Response could not be validated, data file could not be read: " + urlText(url) + ".";
    case Kind::missingContentType:
        return "Response Content-Type was missing and acceptable content types (" + joined(acceptableContentTypes) +
               ") do not match \"*/*\".";
    case Kind::unacceptableContentType:
        return "Response Content-Type \"" + responseContentType +
               "\" does not match any acceptable types: " + joined(acceptableContentTypes) + ".";
    case Kind::unacceptableStatusCode:
        return "Response status code was unacceptable: " + std::to_string(statusCode) + ".";
    }
    return {};
}

std::string RVError::ResponseSerializationFailureReason::localizedDescription() const {
    switch (kind) {
    case Kind::inputDataNil:
        return "Response could not be serialized, input data was nil.";
    case Kind::inputDataNilOrZeroLength:
        return "Response could not be serialized, input data was nil or zero length.";
    case Kind::inputFileNil:
        return "Response could not be serialized, input file was nil.";
    case Kind::inputFileReadFailed:
        return "Response could not be serialized, input file could not be read: " + urlText(url) + ".";
    case Kind::stringSerializationFailed:
        return "String could not be serialized with encoding: " + (encoding ? encoding->description() : std::string()) +
               ".";
    case Kind::jsonSerializationFailed:
        return "JSON could not be serialized because of error:\n" + errorLocalized(error);
    case Kind::propertyListSerializationFailed:
        return "PropertyList could not be serialized because of error:\n" + errorLocalized(error);
    }
    return {};
}

std::string RVError::errorDescription() const {
    return std::visit(
        [](const auto& payload) -> std::string {
            using P = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<P, InvalidURLPayload>) {
                return "URL is not valid: " + describe(payload);
            } else {
                return payload.localizedDescription();
            }
        },
        v_);
}

namespace {

const char* caseName(RVError::Case c) {
    switch (c) {
    case RVError::Case::invalidURL:
        return "invalidURL";
    case RVError::Case::parameterEncodingFailed:
        return "parameterEncodingFailed";
    case RVError::Case::multipartEncodingFailed:
        return "multipartEncodingFailed";
    case RVError::Case::responseValidationFailed:
        return "responseValidationFailed";
    case RVError::Case::responseSerializationFailed:
        return "responseSerializationFailed";
    }
    return "";
}

}  // namespace

std::string RVError::description() const {
    return std::string("RVError.") + caseName(kind()) + "(" + errorDescription() + ")";
}

platform::Error RVError::bridged() const {
    return platform::Error::withDescription(kRVErrorDomain, static_cast<int64_t>(kind()), errorDescription());
}

}  // namespace rivulet
