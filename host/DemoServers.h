#pragma once
// The demo's site and service stand-ins, as `tesmar-sim demo` sees them. They live in a module next to
// the executable (kDemoServersModuleFileName), opened only by `tesmar-sim demo`: their HTTP server
// library would otherwise be loaded, relocated and initialised at every launch of the app.
#include <cstddef>
#include <memory>
#include <string>

namespace tesmar_host {

struct DemoEndpoint {
    std::string from;  // HOST:443, the name the app asks for
    std::string to;    // 127.0.0.1:PORT
    std::string rootCertificatePath;
};

// Every server runs from start() until this object is destroyed. Any thread.
class DemoServers {
public:
    virtual ~DemoServers() = default;
    virtual DemoEndpoint site() const = 0;
    virtual DemoEndpoint push() const = 0;
    virtual DemoEndpoint kits() const = 0;
    virtual DemoEndpoint loglane() const = 0;
    // Diagnostics reports the log service stand-in took.
    virtual size_t loglaneUploads() const = 0;
};

inline constexpr const char* kDemoServersModuleFileName = "libtesmar_demo_servers.so";
// extern "C" DemoServers* tesmar_start_demo_servers(const char* siteHost, const char* directory,
//                                                   std::string* error): the servers, with their
// certificates made in `directory`; null with `error` set when they cannot start.
inline constexpr const char* kStartDemoServersEntry = "tesmar_start_demo_servers";
using StartDemoServers = DemoServers* (*)(const char* siteHost, const char* directory, std::string* error);

// Opens the module (once, kept open) and starts the servers; null with `error` set when it cannot.
std::unique_ptr<DemoServers> startDemoServers(const std::string& siteHost, const std::string& directory,
                                              std::string* error);

}  // namespace tesmar_host
