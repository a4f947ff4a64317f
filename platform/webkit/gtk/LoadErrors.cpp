#include <gio/gio.h>
#include <webkit2/webkit2.h>

#include "platform/security/Certificate.h"
#include "platform/urlsession/URLError.h"
#include "platform/webkit/WebKitTypes.h"
#include "platform/webkit/gtk/internal/LoadErrors.h"

namespace platform::webkit::gtk {

namespace {

bool is(const std::string& domain, GQuark quark) { return domain == g_quark_to_string(quark); }

std::optional<URLErrorCode> ioErrorCode(int code) {
    switch (code) {
    case G_IO_ERROR_CANCELLED:
        return URLErrorCode::Cancelled;
    case G_IO_ERROR_TIMED_OUT:
        return URLErrorCode::TimedOut;
    case G_IO_ERROR_CONNECTION_REFUSED:
    case G_IO_ERROR_HOST_UNREACHABLE:
    // The loopback proxy refuses a tunnel it cannot or may not open: the host could not be reached.
    case G_IO_ERROR_PROXY_FAILED:
    case G_IO_ERROR_PROXY_NOT_ALLOWED:
    case G_IO_ERROR_CONNECTION_CLOSED:
    case G_IO_ERROR_PARTIAL_INPUT:
        return URLErrorCode::CannotConnectToHost;
    case G_IO_ERROR_NETWORK_UNREACHABLE:
        return URLErrorCode::NotConnectedToInternet;
    case G_IO_ERROR_HOST_NOT_FOUND:
        return URLErrorCode::CannotFindHost;
    default:
        return std::nullopt;
    }
}

std::optional<URLErrorCode> networkErrorCode(int code) {
    switch (code) {
    case WEBKIT_NETWORK_ERROR_CANCELLED:
        return URLErrorCode::Cancelled;
    case WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL:
        return URLErrorCode::UnsupportedURL;
    case WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST:
        return URLErrorCode::FileDoesNotExist;
    case WEBKIT_NETWORK_ERROR_TRANSPORT:
        return URLErrorCode::CannotConnectToHost;
    default:
        return std::nullopt;
    }
}

}  // namespace

Error loadError(const std::string& domain, int code, const std::string& message, const std::optional<URL>& url,
                int redirects) {
    std::optional<URLErrorCode> mapped;
    if (domain.empty() && redirects >= kEngineRedirectLimit)
        mapped = URLErrorCode::HTTPTooManyRedirects;
    else if (is(domain, G_IO_ERROR))
        mapped = ioErrorCode(code);
    else if (is(domain, G_RESOLVER_ERROR))
        mapped = URLErrorCode::CannotFindHost;
    else if (is(domain, G_TLS_ERROR))
        mapped = URLErrorCode::ServerCertificateUntrusted;
    else if (is(domain, WEBKIT_NETWORK_ERROR))
        mapped = networkErrorCode(code);
    else if (is(domain, WEBKIT_POLICY_ERROR)) {
        // A URL the engine will not show (another scheme) is what URL loading calls unsupported; the
        // rest keep the engine's own domain and codes, as the headless engine reports them.
        if (code == WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI) {
            mapped = URLErrorCode::UnsupportedURL;
        } else {
            auto error = Error::withDescription(kWebKitEngineErrorDomain, code,
                                                message.empty() ? "Frame load interrupted" : message);
            return error;
        }
    }
    auto error = makeURLError(mapped.value_or(URLErrorCode::Unknown), url);
    if (!mapped && !message.empty()) error = Error::withDescription(error.domain, error.code, message);
    return error;
}

std::optional<Error> certificateNameError(GTlsCertificate* certificate, GTlsCertificateFlags errors,
                                          const std::optional<URL>& url) {
    auto host = url ? url->host() : std::nullopt;
    if (!certificate || !(errors & G_TLS_CERTIFICATE_BAD_IDENTITY) || !host) return std::nullopt;
    GByteArray* der = nullptr;
    g_object_get(certificate, "certificate", &der, nullptr);
    if (!der) return std::nullopt;
    auto leaf = security::Certificate::fromDER(der->data, der->len);
    g_byte_array_unref(der);
    if (!leaf) return std::nullopt;
    return makeCertificateNameError(*host, leaf.value(), url);
}

}  // namespace platform::webkit::gtk
