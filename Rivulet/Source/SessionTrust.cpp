#include "Rivulet/Source/SessionTrust.h"
#include "platform/dispatch/ThreadChecks.h"

#include <map>

namespace rivulet {

namespace {
struct Attachment {
    std::weak_ptr<platform::URLSession> session;
    std::shared_ptr<ServerTrustPolicyManager> manager;
};
platform::dispatch::Mutex gMutex;
std::map<const platform::URLSession*, Attachment>& attachments() {
    static auto* m = new std::map<const platform::URLSession*, Attachment>();
    return *m;
}
}  // namespace

void attachServerTrustPolicyManager(const std::shared_ptr<platform::URLSession>& session,
                                    std::shared_ptr<ServerTrustPolicyManager> manager) {
    if (!session) return;
    platform::dispatch::MutexLock lock(gMutex);
    auto& map = attachments();
    // Sessions that are gone leave their slot behind; a new session may reuse the address.
    for (auto it = map.begin(); it != map.end();) it = it->second.session.expired() ? map.erase(it) : std::next(it);
    if (manager)
        map[session.get()] = Attachment{session, std::move(manager)};
    else
        map.erase(session.get());
}

std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager(const platform::URLSession* session) {
    platform::dispatch::MutexLock lock(gMutex);
    auto it = attachments().find(session);
    if (it == attachments().end() || it->second.session.expired()) return nullptr;
    return it->second.manager;
}

ChallengeAnswer answerServerTrustChallenge(const platform::URLSession* session,
                                           const platform::URLAuthenticationChallenge& challenge) {
    ChallengeAnswer answer{platform::URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt};
    const auto& space = challenge.protectionSpace;
    if (space.authenticationMethod() != platform::kURLAuthenticationMethodServerTrust) return answer;
    auto manager = serverTrustPolicyManager(session);
    if (!manager) return answer;
    auto policy = manager->serverTrustPolicy(space.host());
    auto trust = space.serverTrust();
    if (!policy || !trust) return answer;
    if (policy->evaluate(*trust, space.host()))
        return {platform::URLSessionAuthChallengeDisposition::UseCredential, platform::URLCredential(trust)};
    return {platform::URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt};
}

}  // namespace rivulet
