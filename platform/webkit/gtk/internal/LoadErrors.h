#pragma once
// Internal: the engine's load errors as the URL errors web-view delegates expect.
#include <gio/gio.h>

#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

namespace platform::webkit::gtk {

// `domain` is the GError domain's name ("g-io-error-quark", "WebKitNetworkError", ...). Connection
// failures become cannot-connect (-1004), time-outs -1001, cancellations -999, certificate failures
// -1202, host lookups -1003; the engine's policy errors keep their own domain and codes (102: a
// navigation stopped by a decision). `redirects` is how many redirects the failed load followed: the engine
// ends a load past its limit of kEngineRedirectLimit with an error of no domain, which becomes -1007.
constexpr int kEngineRedirectLimit = 20;
Error loadError(const std::string& domain, int code, const std::string& message, const std::optional<URL>& url,
                int redirects = 0);

// The -1202 a page whose certificate the engine refused (`errors`) fails with when the certificate is not made
// out to the page's host: it says so and names the certificate's names, as URL loading does. None for other
// refusals, which keep the plain text, and for a certificate that cannot be read.
std::optional<Error> certificateNameError(GTlsCertificate* certificate, GTlsCertificateFlags errors,
                                          const std::optional<URL>& url);

}  // namespace platform::webkit::gtk
