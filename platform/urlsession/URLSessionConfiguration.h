#pragma once
// URLSessionConfiguration: the settings a session copies when it is made (later changes to the
// caller's configuration do not reach a running session). A plain value type.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"
#include "platform/urlsession/HTTPCookieStorage.h"

namespace platform {

class URLCache;
class URLCredentialStorage;

class URLSessionConfiguration {
public:
    // Shared cookie and credential storage and the shared URL cache, cookies on.
    static URLSessionConfiguration defaultSessionConfiguration();
    // Its own in-memory cookie storage, credential storage and URL cache, nothing shared with other
    // sessions.
    static URLSessionConfiguration ephemeralSessionConfiguration();
    // Like the default one, with an identifier. Transfers do not outlive the process here; each time
    // the session's running transfers have all ended and their callbacks were delivered, the delegate
    // hears didFinishEventsForBackgroundURLSession.
    static URLSessionConfiguration backgroundSessionConfiguration(std::string identifier);

    const std::optional<std::string>& identifier() const { return identifier_; }

    // Added to every request that does not set the same field itself.
    Value HTTPAdditionalHeaders;  // dictionary name -> string (other value types use their description)
    // Given to requests that ask for UseProtocolCachePolicy (see "Caching" in URLSession.h).
    URLRequestCachePolicy requestCachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;
    double timeoutIntervalForRequest = 60;       // idle time allowed between bytes
    double timeoutIntervalForResource = 604800;  // whole transfer, redirects included
    // A data or upload task's response body (after content decoding) may not grow past this many
    // bytes: past it the task fails with DataLengthExceedsMaximum (-1103), keeping what was delivered.
    // Downloads go to disk and are not capped. Zero or less: no cap (for callers that stream the body).
    int64_t maximumDataTaskBodyLength = int64_t(64) << 20;
    int HTTPMaximumConnectionsPerHost = 6;
    // Redirects a task follows; the answer that would be one more fails it with HTTPTooManyRedirects (-1007).
    int HTTPMaximumRedirects = 16;
    // A URL's user and password go with its first request. Off (a web view's way), they only answer the
    // server's challenge for it; once the server took a credential it challenged for (Basic), requests within
    // that URL's folder on the server send it at once, and challenges of its protection space are answered
    // with it.
    bool sendsURLCredentialsPreemptively = true;
    bool HTTPShouldSetCookies = true;
    platform::HTTPCookieAcceptPolicy HTTPCookieAcceptPolicy =
        platform::HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain;
    std::shared_ptr<platform::HTTPCookieStorage> HTTPCookieStorage;        // none: no cookies at all
    std::shared_ptr<platform::URLCredentialStorage> URLCredentialStorage;  // none: no stored credentials
    std::shared_ptr<platform::URLCache> URLCache;                          // none: nothing cached or read
    bool allowsCellularAccess = true;
    bool sessionSendsLaunchEvents = true;
    bool discretionary = false;

private:
    std::optional<std::string> identifier_;
};

}  // namespace platform
