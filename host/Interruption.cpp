#include "host/Interruption.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/dispatch/MainLoop.h"

namespace tesmar_host {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};

// Touched by the handler: lock-free, so safe there.
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> caughtSignal{0};
std::atomic<int> wakeFd{-1};
std::atomic<int> endedFd{-1};
std::atomic<int> handlersRunning{0};
std::atomic<bool> installed[2];
struct sigaction before[2];

void putBackDefaults() {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i)
        if (installed[i].load()) sigaction(kSignals[i], &fallback, nullptr);
}

// Async-signal-safe only: atomics, sigaction, write.
void onSignal(int signal) {
    ++handlersRunning;
    const int saved = errno;
    putBackDefaults();
    int expected = 0;
    caughtSignal.compare_exchange_strong(expected, signal);
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (int fd = wakeFd.load(); fd >= 0) (void)!::write(fd, &byte, 1);
    errno = saved;
    --handlersRunning;
}

bool ignored(const struct sigaction& action) { return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN; }

}  // namespace

Interruption::Interruption() {
    caughtSignal = 0;
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        wake_[0] = wake_[1] = -1;
        return;
    }
    ended_ = ::eventfd(0, EFD_CLOEXEC);
    if (ended_ < 0) {
        ::close(wake_[0]);
        ::close(wake_[1]);
        wake_[0] = wake_[1] = -1;
        return;
    }
    wakeFd = wake_[1];
    endedFd = ended_;
    watcher_ = std::thread([this] { watch(); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], nullptr, &before[i]);
        // Whoever started the host meant it not to hear that one (a shell's background job and Ctrl-C).
        installed[i] = !ignored(before[i]);
        if (installed[i]) sigaction(kSignals[i], &action, nullptr);
    }
}

Interruption::~Interruption() {
    if (wake_[1] < 0) return;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        if (installed[i]) sigaction(kSignals[i], &before[i], nullptr);
    wakeFd = -1;
    // A handler that read the pipe's number before it was taken back writes there before it goes.
    while (handlersRunning.load() > 0) std::this_thread::yield();
    // A zero byte is no signal: it ends the watcher.
    const unsigned char stop = 0;
    while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    watcher_.join();
    endedFd = -1;
    // The run it ended is over: later waits of the process (another run's, a test's) are not cut short.
    caughtSignal = 0;
    platform::dispatch::MainLoop::shared().resumeWaits();
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::close(ended_);
}

int Interruption::caught() { return caughtSignal.load(); }

int Interruption::poll(pollfd* fds, nfds_t count, int timeoutMs) {
    using namespace std::chrono;
    std::vector<pollfd> all(fds, fds + count);
    const int ended = endedFd.load();
    if (ended >= 0) all.push_back({ended, POLLIN, 0});
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        if (caught() != 0) return -1;
        int left = -1;
        if (timeoutMs >= 0)
            left = int(std::max<int64_t>(0, duration_cast<milliseconds>(deadline - steady_clock::now()).count()));
        int ready = ::poll(all.data(), all.size(), left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || (ended >= 0 && all.back().revents != 0)) return -1;
        for (nfds_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
        return ready;
    }
}

void Interruption::sayWithoutWaiting(int fd, const std::string& text) {
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) return;
    if (S_ISREG(status.st_mode)) {
        (void)!::write(fd, text.data(), text.size());
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        (void)!::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    }
    // A pipe, a terminal, a device: written through a file description of its own that does not wait, so
    // the process's own (shared with whoever started it) keeps waiting as it did. A pipe nobody reads
    // any more cannot be opened: the message is dropped rather than the process ended by SIGPIPE.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own < 0) return;
    (void)!::write(own, text.data(), text.size());
    ::close(own);
}

bool Interruption::endedWithinGrace() {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(kGraceSeconds);
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd stop{wake_[0], POLLIN, 0};
        int ready = ::poll(&stop, 1, int(std::max<int64_t>(0, left)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        // Only the destructor's zero byte ends the wait: another signal's, from a handler that ran on
        // another thread at the same moment as the first one's, leaves the grace running.
        unsigned char byte = 0;
        ssize_t n = ::read(wake_[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || byte == 0) return true;
    }
}

void Interruption::watch() {
    // Its own write to a pipe whose reader has just gone must not end the process by another signal.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    for (;;) {
        unsigned char byte = 0;
        ssize_t n = ::read(wake_[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || byte == 0) return;
        // Every wait of the host ends: the main loop's, and the blocking ones through poll().
        platform::dispatch::MainLoop::shared().endWaits();
        const uint64_t one = 1;
        (void)!::write(ended_, &one, sizeof one);
        // A run stuck where no wait looks (a blocking call, a write to a full pipe) would outlive the one
        // signal a supervisor sends: past the grace, the signal ends the process after all.
        if (endedWithinGrace()) return;
        sayWithoutWaiting(STDERR_FILENO, "tesmar-sim: the run did not end within " + std::to_string(kGraceSeconds) +
                                             " s of the signal; it ends by it\n");
        // Taken here, on this thread, with the signal's default action: no other thread's mask can hold it.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(byte, &fallback, nullptr);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, byte);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        ::raise(byte);
        return;
    }
}

}  // namespace tesmar_host
