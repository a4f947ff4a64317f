#pragma once
// ClosedPort: a loopback port that refuses every connection for as long as the object lives. The port is
// bound but never listened on, so a connection to it is refused and no other socket (another test's
// server in a parallel run) can take it meanwhile.
namespace tesmar_testing {

class ClosedPort {
public:
    // Throws std::runtime_error when no socket can be bound.
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace tesmar_testing
