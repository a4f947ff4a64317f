#include "testing/ClosedPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tesmar_testing {

ClosedPort::ClosedPort() {
    // No SO_REUSEADDR: on Linux a second socket may share the port only if both set it.
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::string reason = std::strerror(errno);
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("ClosedPort: cannot bind a loopback port: " + reason);
    }
    port_ = ntohs(address.sin_port);
}

ClosedPort::~ClosedPort() { ::close(fd_); }

}  // namespace tesmar_testing
