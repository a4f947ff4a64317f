#pragma once
// Helper: the one network question the web-view screen asks. Any thread.
namespace Tesmar {

class Helper {
public:
    // True when a request could leave the device now without first bringing a connection up: the
    // default route's flags have "reachable" set and "connection required" clear.
    static bool isConnectedToNetwork();
};

}  // namespace Tesmar
