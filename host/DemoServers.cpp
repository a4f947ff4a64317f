#include "host/DemoServers.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

namespace tesmar_host {

namespace {

// Opened on first use and kept open: the servers' library starts threads that may outlive a run.
StartDemoServers loadModule(std::string* error) {
    static StartDemoServers start = nullptr;
    if (start) return start;
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) {
        *error = "the path of this executable, next to which the demo servers' module lies, is unknown";
        return nullptr;
    }
    std::string path = (exe.parent_path() / kDemoServersModuleFileName).string();
    if (access(path.c_str(), R_OK) != 0) {
        *error = "the demo servers' module '" + path + "' is missing";
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        *error = "the demo servers' module '" + path + "' does not load: " + (why ? why : "unknown error");
        return nullptr;
    }
    start = reinterpret_cast<StartDemoServers>(dlsym(handle, kStartDemoServersEntry));
    if (!start) *error = "the demo servers' module '" + path + "' has no entry '" + kStartDemoServersEntry + "'";
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
