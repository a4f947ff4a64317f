// The demo servers' module (see host/DemoServers.h): built into libtesmar_demo_servers.so only, never into
// the host library. Its platform symbols bind to the executable that opens it.
#include <exception>

#include "demo/DemoSite.h"
#include "demo/KitServiceStandIn.h"
#include "demo/LoglaneServiceStandIn.h"
#include "demo/PushServiceStandIn.h"
#include "host/DemoServers.h"

namespace tesmar_host {
namespace {

template <class Server>
DemoEndpoint endpointOf(const Server& server) {
    auto [from, to] = server.connectToEntry();
    return {from, to, server.rootCertificatePath()};
}

class Servers final : public DemoServers {
public:
    Servers(const std::string& siteHost, const std::string& directory)
        : site_(std::make_unique<tesmar_demo::DemoSite>(siteHost, directory)),
          push_(tesmar_demo::PushServiceStandIn::secure(directory)),
          kits_(tesmar_demo::KitServiceStandIn::secure(directory)),
          loglane_(tesmar_demo::LoglaneServiceStandIn::secure(directory)) {}

    DemoEndpoint site() const override { return endpointOf(*site_); }
    DemoEndpoint push() const override { return endpointOf(*push_); }
    DemoEndpoint kits() const override { return endpointOf(*kits_); }
    DemoEndpoint loglane() const override { return endpointOf(*loglane_); }
    size_t loglaneUploads() const override { return loglane_->uploads().size(); }

private:
    std::unique_ptr<tesmar_demo::DemoSite> site_;
    std::unique_ptr<tesmar_demo::PushServiceStandIn> push_;
    std::unique_ptr<tesmar_demo::KitServiceStandIn> kits_;
    std::unique_ptr<tesmar_demo::LoglaneServiceStandIn> loglane_;
};

}  // namespace
}  // namespace tesmar_host

extern "C" __attribute__((visibility("default"))) tesmar_host::DemoServers*
tesmar_start_demo_servers(const char* siteHost, const char* directory, std::string* error) {
    try {
        return new tesmar_host::Servers(siteHost, directory);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
    } catch (...) {
        if (error) *error = "unknown error";
    }
    return nullptr;
}
