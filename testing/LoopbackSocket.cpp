#include "testing/LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tesmar_testing {

LoopbackSocket bindLoopback(int type, const char* owner, int backlog) {
    // No SO_REUSEADDR: on Linux a second socket may share the port only if both set it.
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (backlog >= 0 && ::listen(fd, backlog) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        throw std::runtime_error(std::string(owner) + ": cannot bind a loopback port: " + reason);
    }
    return {fd, ntohs(address.sin_port)};
}

}  // namespace tesmar_testing
