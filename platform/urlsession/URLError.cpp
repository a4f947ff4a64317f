#include "platform/urlsession/URLError.h"

#include "platform/security/Certificate.h"

namespace platform {

std::string URLErrorDescription(URLErrorCode code) {
    switch (code) {
    case URLErrorCode::Cancelled:
        return "cancelled";
    case URLErrorCode::BadURL:
        return "bad URL";
    case URLErrorCode::TimedOut:
        return "The request timed out.";
    case URLErrorCode::UnsupportedURL:
        return "unsupported URL";
    case URLErrorCode::CannotFindHost:
        return "A server with the specified hostname could not be found.";
    case URLErrorCode::CannotConnectToHost:
        return "Could not connect to the server.";
    case URLErrorCode::NetworkConnectionLost:
        return "The network connection was lost.";
    case URLErrorCode::DNSLookupFailed:
        return "A server with the specified hostname could not be found.";
    case URLErrorCode::HTTPTooManyRedirects:
        return "too many HTTP redirects";
    case URLErrorCode::ResourceUnavailable:
        return "resource unavailable";
    case URLErrorCode::NotConnectedToInternet:
        return "The Internet connection appears to be offline.";
    case URLErrorCode::BadServerResponse:
        return "bad server response";
    case URLErrorCode::UserCancelledAuthentication:
        return "cancelled";
    case URLErrorCode::UserAuthenticationRequired:
        return "The user name or password is incorrect.";
    case URLErrorCode::ZeroByteResource:
        return "zero byte resource";
    case URLErrorCode::DataLengthExceedsMaximum:
        return "resource exceeds maximum size";
    case URLErrorCode::CannotDecodeRawData:
        return "cannot decode raw data";
    case URLErrorCode::CannotDecodeContentData:
        return "cannot decode content data";
    case URLErrorCode::CannotParseResponse:
        return "cannot parse response";
    case URLErrorCode::FileDoesNotExist:
        return "The requested URL was not found on this server.";
    case URLErrorCode::SecureConnectionFailed:
        return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case URLErrorCode::ServerCertificateHasBadDate:
        return "The certificate for this server has expired.";
    case URLErrorCode::ServerCertificateUntrusted:
        return "The certificate for this server is invalid.";
    case URLErrorCode::ServerCertificateHasUnknownRoot:
        return "The certificate for this server was signed by an unknown certifying authority.";
    case URLErrorCode::ServerCertificateNotYetValid:
        return "The certificate for this server is not yet valid.";
    case URLErrorCode::ClientCertificateRejected:
        return "The server did not accept the certificate.";
    case URLErrorCode::CannotCreateFile:
        return "cannot create file";
    case URLErrorCode::CannotOpenFile:
        return "cannot open file";
    case URLErrorCode::CannotWriteToFile:
        return "cannot write file";
    case URLErrorCode::CannotMoveFile:
        return "cannot move file";
    case URLErrorCode::DownloadDecodingFailedMidStream:
        return "download decoding failed";
    case URLErrorCode::DownloadDecodingFailedToComplete:
        return "download decoding failed";
    case URLErrorCode::Unknown:
        break;
    }
    return "unknown error";
}

Error makeURLError(URLErrorCode code, const std::optional<URL>& failingURL) {
    Value info = Value::dictionary();
    info.set(kLocalizedDescriptionKey, URLErrorDescription(code));
    if (failingURL && !failingURL->isEmpty()) {
        info.set(kURLErrorFailingURLErrorKey, failingURL->absoluteString());
        info.set(kURLErrorFailingURLStringErrorKey, failingURL->absoluteString());
    }
    return Error(kURLErrorDomain, static_cast<int64_t>(code), std::move(info));
}

Error makeCertificateNameError(const std::string& host, const security::Certificate& leaf,
                               const std::optional<URL>& failingURL) {
    std::vector<std::string> names = leaf.dnsNames();
    if (names.empty()) names.push_back(leaf.subjectSummary());
    std::string listed;
    for (const auto& name : names)
        if (!name.empty()) listed += (listed.empty() ? "" : ", ") + name;
    auto error = makeURLError(URLErrorCode::ServerCertificateUntrusted, failingURL);
    error.userInfo.set(kLocalizedDescriptionKey,
                       "The certificate for this server is invalid: its name does not match " + host +
                           (listed.empty() ? "; it names no server." : "; it is made out to " + listed + "."));
    return error;
}

}  // namespace platform
