#pragma once
// The server trust policy manager a SessionManager keeps with its URL session, and the one answer to a
// server-trust challenge that the session delegate and the task delegates share.
//
// The association lives as long as the session; it is read on the session's delegate queue and set
// once when the manager is made. Thread-safe.
#include <memory>
#include <optional>
#include <utility>

#include "Rivulet/Source/ServerTrustPolicy.h"
#include "platform/urlsession/URLAuthenticationChallenge.h"
#include "platform/urlsession/URLSession.h"

namespace rivulet {

void attachServerTrustPolicyManager(const std::shared_ptr<platform::URLSession>& session,
                                    std::shared_ptr<ServerTrustPolicyManager> manager);
// The manager attached to `session`, or nullptr.
std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager(const platform::URLSession* session);

using ChallengeAnswer = std::pair<platform::URLSessionAuthChallengeDisposition, std::optional<platform::URLCredential>>;

// A server-trust challenge for a host with a policy: useCredential (from the trust) when the policy
// accepts it, cancel otherwise. No manager, no policy or no trust: performDefaultHandling. Any other
// authentication method: performDefaultHandling.
ChallengeAnswer answerServerTrustChallenge(const platform::URLSession* session,
                                           const platform::URLAuthenticationChallenge& challenge);

}  // namespace rivulet
