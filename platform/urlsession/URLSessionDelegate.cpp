#include "platform/urlsession/URLSessionDelegate.h"

namespace platform {

void URLSessionDelegate::didReceiveTaskChallenge(const std::shared_ptr<URLSession>& session,
                                                 const std::shared_ptr<URLSessionTask>&,
                                                 const URLAuthenticationChallenge& challenge,
                                                 ChallengeCompletion completionHandler) {
    // Server trust is a session-wide question; the session-level method answers it.
    if (challenge.protectionSpace.authenticationMethod() == kURLAuthenticationMethodServerTrust &&
        implements(URLSessionDelegateMethod::DidReceiveChallenge)) {
        didReceiveChallenge(session, challenge, std::move(completionHandler));
        return;
    }
    completionHandler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
}

}  // namespace platform
