#pragma once
// Internal: what the engine's pages share, and the page backend itself.
#include <webkit2/webkit2.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/HTTPCookie.h"
#include "platform/webkit/PageBackend.h"

namespace platform::webkit::gtk {

// The running engine's context; null when stopped.
WebKitWebContext* engineContext();
// Whether `certificate` (with its issuers) for `host` chains to a CA the device trusts for the engine
// (the PEM files of PlatformConfig::extraTrustedRootsPEM); when it does, the engine is told to accept it
// for that host.
bool allowCertificateIfTrusted(GTlsCertificate* certificate, const std::string& host);
// The cookie as the engine's jar keeps it (free with soup_cookie_free).
SoupCookie* soupCookieOf(const HTTPCookie& cookie);
// A new page; made while another page asks for a window, it is that page's related view.
std::shared_ptr<webkit_detail::PageBackend> makePage(const webkit_detail::BackendRequest& request);
// Ends every live page (the engine stops).
void closeAllPages();

}  // namespace platform::webkit::gtk
