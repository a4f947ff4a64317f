#include "app/Network.h"

#include "VezEduduzSDK/Source/VezEduduzSDK.h"
#include "app/Console.h"
#include "app/Strings.h"
#include "app/internal/NetworkRegistrationSink.h"
#include "platform/dispatch/ThreadChecks.h"

namespace Tesmar {

namespace {
platform::dispatch::Mutex sinkMutex;
NetworkRegistrationSink registrationSink GUARDED_BY(sinkMutex);
}  // namespace

void setNetworkRegistrationSink(NetworkRegistrationSink sink) {
    platform::dispatch::MutexLock lock(sinkMutex);
    registrationSink = std::move(sink);
}

void Network::registerDevice(const std::vector<platform::HTTPCookie>& cookies) {
    {
        platform::dispatch::MutexLock lock(sinkMutex);
        if (registrationSink) {
            auto sink = registrationSink;
            lock.unlock();
            sink(cookies);
            return;
        }
    }
    auto state = vezeduduz::VezEduduz::getPermissionSubscriptionState();
    if (!state || !state->subscriptionStatus) return;
    std::optional<std::string> playerId = state->subscriptionStatus->userId();
    if (!playerId) return;

    rivulet::Parameters parameters{{"player-id", platform::Value(*playerId)}};
    auto url = platform::URL::string(Strings::Endpoint::registerDevice);
    if (!url) return;

    if (auto storage = rivulet::SessionManager::defaultManager()->session->configuration().HTTPCookieStorage)
        storage->setCookies(cookies, *url, std::nullopt);

    rivulet::request(*url, rivulet::HTTPMethod::post, parameters, rivulet::JSONEncoding::Default())
        ->responseJSON(
            std::nullopt, rivulet::JSONReadingOptions{rivulet::JSONReadingOptions::allowFragments},
            [](rivulet::DataResponse<platform::Value> response) { registerDeviceResponseHandler(response); });
}

void Network::registerDeviceResponseHandler(const rivulet::DataResponse<platform::Value>& response) {
    const auto& result = response.result();
    if (const auto* error = result.error()) plainPrint(error->description());
}

}  // namespace Tesmar
