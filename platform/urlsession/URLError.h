#pragma once
// URL loading errors in the platform's form: domain "NSURLErrorDomain", the platform's codes, and
// user info with the failing URL and a localized description.
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

namespace platform {

namespace security {
class Certificate;
}

enum class URLErrorCode : int {
    Unknown = -1,
    Cancelled = -999,
    BadURL = -1000,
    TimedOut = -1001,
    UnsupportedURL = -1002,
    CannotFindHost = -1003,
    CannotConnectToHost = -1004,
    NetworkConnectionLost = -1005,
    DNSLookupFailed = -1006,
    HTTPTooManyRedirects = -1007,
    ResourceUnavailable = -1008,
    NotConnectedToInternet = -1009,
    BadServerResponse = -1011,
    UserCancelledAuthentication = -1012,
    UserAuthenticationRequired = -1013,
    ZeroByteResource = -1014,
    CannotDecodeRawData = -1015,
    CannotDecodeContentData = -1016,
    CannotParseResponse = -1017,
    FileDoesNotExist = -1100,
    DataLengthExceedsMaximum = -1103,
    SecureConnectionFailed = -1200,
    ServerCertificateHasBadDate = -1201,
    ServerCertificateUntrusted = -1202,
    ServerCertificateHasUnknownRoot = -1203,
    ServerCertificateNotYetValid = -1204,
    ClientCertificateRejected = -1205,
    CannotCreateFile = -3000,
    CannotOpenFile = -3001,
    CannotWriteToFile = -3003,
    CannotMoveFile = -3005,
    DownloadDecodingFailedMidStream = -3006,
    DownloadDecodingFailedToComplete = -3007,
};

// User-info key of the resume data a cancelled or failed download carries (Data).
inline constexpr const char* kURLSessionDownloadTaskResumeData = "NSURLSessionDownloadTaskResumeData";

// The platform's text for a code ("The request timed out.", "cancelled", ...).
std::string URLErrorDescription(URLErrorCode code);

// An error of NSURLErrorDomain with the description and, when given, the failing URL
// (NSErrorFailingURLKey / NSErrorFailingURLStringKey, both as the URL's absolute string).
Error makeURLError(URLErrorCode code, const std::optional<URL>& failingURL = std::nullopt);

// -1202 for a server whose certificate `leaf` is made out to other names than `host`: the description says
// the name does not match and which names the certificate is for (its DNS names, else its subject's name).
Error makeCertificateNameError(const std::string& host, const security::Certificate& leaf,
                               const std::optional<URL>& failingURL = std::nullopt);

}  // namespace platform
