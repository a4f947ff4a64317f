#include "host/DemoServers.h"

#include "host/Modules.h"

namespace tesmar_host {

namespace {

// Opened on first use and kept open: the servers' library starts threads that may outlive a run.
StartDemoServers loadModule(std::string* error) {
    static StartDemoServers start = nullptr;
    if (!start)
        start = reinterpret_cast<StartDemoServers>(
            moduleEntry(kDemoServersModuleFileName, kStartDemoServersEntry, "the demo servers' module", error));
    return start;
}

}  // namespace

std::unique_ptr<DemoServers> startDemoServers(const std::string& siteHost, const std::string& directory,
                                              std::string* error) {
    StartDemoServers start = loadModule(error);
    if (!start) return nullptr;
    std::unique_ptr<DemoServers> servers(start(siteHost.c_str(), directory.c_str(), error));
    if (!servers && error->empty()) *error = "the demo servers did not start";
    return servers;
}

}  // namespace tesmar_host
