#pragma once
// A socket bound to a free port on 127.0.0.1, for the test servers and ports.
namespace tesmar_testing {

struct LoopbackSocket {
    int fd = -1;
    int port = 0;
};

// A new socket of `type` (SOCK_STREAM or SOCK_DGRAM, with SOCK_CLOEXEC and the like) bound to a free
// loopback port, listening when `backlog` is given. Throws std::runtime_error, naming `owner`, when it
// cannot be made.
LoopbackSocket bindLoopback(int type, const char* owner, int backlog = -1);

}  // namespace tesmar_testing
