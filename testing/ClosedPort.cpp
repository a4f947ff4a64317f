#include "testing/ClosedPort.h"

#include <sys/socket.h>
#include <unistd.h>

#include "testing/LoopbackSocket.h"

namespace tesmar_testing {

ClosedPort::ClosedPort() {
    auto bound = bindLoopback(SOCK_STREAM | SOCK_CLOEXEC, "ClosedPort");
    fd_ = bound.fd;
    port_ = bound.port;
}

ClosedPort::~ClosedPort() { ::close(fd_); }

}  // namespace tesmar_testing
