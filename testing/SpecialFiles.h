#pragma once
// What may stand where a device file should be, for tests of the code that reads and writes it: a FIFO
// (whose open waits for the other end) and a socket. And a bounded wait for code that may be stuck in
// the open of such a FIFO, which lets it go before answering, so nothing is left running.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace tesmar_testing {

inline bool makeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

// A socket file at `path`, left there when its socket is closed.
inline bool makeSocketFile(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// Runs `work` on a thread of its own and answers whether it came back within `patience`. Work that did
// not waits in an open of the FIFO at `fifo` (a reader for a writer, a writer for a reader): its other end
// is opened, without waiting, until the work comes back, so it has ended when this answers.
inline bool finishesWithoutWaiting(const std::string& fifo, const std::function<void()>& work,
                                   std::chrono::seconds patience = std::chrono::seconds(5)) {
    std::promise<void> done;
    auto finished = done.get_future();
    std::thread worker([&] {
        work();
        done.set_value();
    });
    const bool inTime = finished.wait_for(patience) == std::future_status::ready;
    int reader = -1;  // held until the end: what a waiting writer then writes stays in the pipe
    while (finished.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (reader < 0) reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // Opened and closed: a waiting reader goes on, and reads the end of the file.
        if (int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); writer >= 0) ::close(writer);
    }
    worker.join();
    if (reader >= 0) ::close(reader);
    return inTime;
}

}  // namespace tesmar_testing
