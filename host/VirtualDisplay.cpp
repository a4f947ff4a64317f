#include "host/VirtualDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "host/Interruption.h"

namespace tesmar_host {

namespace {

std::optional<std::string> findOnPath(const std::string& name) {
    const char* path = ::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

// Waits up to `ms` for `pid` to end; true when it has (not yet reaped).
bool waitForExit(pid_t pid, int ms) {
    // glibc's own pidfd_open declaration lacks C linkage for C++; the system call is the same.
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) return false;
    pollfd p{pidfd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&p, 1, ms);
    } while (n < 0 && errno == EINTR);
    ::close(pidfd);
    return n > 0;
}

void endAndReap(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (!waitForExit(pid, VirtualDisplay::kStopTimeoutMs)) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

bool VirtualDisplay::available() {
    const char* display = ::getenv("DISPLAY");
    return (display && *display) || findOnPath("Xvfb");
}

std::unique_ptr<VirtualDisplay> VirtualDisplay::startIfNeeded(std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    why.clear();
    if (const char* display = ::getenv("DISPLAY"); display && *display) return nullptr;

    auto xvfb = findOnPath("Xvfb");
    if (!xvfb) {
        why = "no display and no Xvfb to start one (install the package xvfb, or set DISPLAY)";
        return nullptr;
    }
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        why = std::string("cannot start Xvfb: pipe: ") + std::strerror(errno);
        return nullptr;
    }
    int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    // Everything the child needs is made before fork: between fork and exec only async-signal-safe calls.
    std::vector<std::string> args = {
        *xvfb, "-displayfd", std::to_string(ready[1]), "-nolisten", "tcp", "-noreset", "-screen", "0", "1280x1024x24"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();

    pid_t pid = ::fork();
    if (pid == 0) {
        // Xvfb must not outlive a host that dies without running destructors.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::fcntl(ready[1], F_SETFD, 0);  // the one descriptor it inherits on purpose
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
            ::dup2(devNull, STDOUT_FILENO);
            ::dup2(devNull, STDERR_FILENO);
        }
        ::setpgid(0, 0);  // a Ctrl-C meant for the host is the host's to pass on
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const int forkErrno = errno;
    ::close(ready[1]);
    if (devNull >= 0) ::close(devNull);
    if (pid < 0) {
        ::close(ready[0]);
        why = std::string("cannot start Xvfb: fork: ") + std::strerror(forkErrno);
        return nullptr;
    }

    // Xvfb writes its display number once it accepts clients; end of file means it gave up.
    std::string number;
    bool complete = false, timedOut = false, interrupted = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
    while (!complete) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{ready[0], POLLIN, 0};
        int n = left <= 0 ? 0 : Interruption::poll(&p, 1, static_cast<int>(left));
        if (n == 0) timedOut = true;
        if (n < 0) interrupted = Interruption::caught() != 0;
        if (n <= 0) break;
        char buffer[32];
        ssize_t got = ::read(ready[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t i = 0; i < got && !complete; ++i) {
            if (buffer[i] == '\n')
                complete = true;
            else if (buffer[i] >= '0' && buffer[i] <= '9' && number.size() < 6)
                number += buffer[i];
        }
    }
    ::close(ready[0]);
    if (!complete || number.empty()) {
        if (!timedOut && !interrupted && waitForExit(pid, kStopTimeoutMs)) {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            why = WIFEXITED(status)
                      ? "Xvfb ended before it was ready (exit status " + std::to_string(WEXITSTATUS(status)) + ")"
                      : "Xvfb ended before it was ready (signal " + std::to_string(WTERMSIG(status)) + ")";
        } else {
            endAndReap(pid);
            why = timedOut      ? "Xvfb was not ready within " + std::to_string(kReadyTimeoutMs / 1000) + " s"
                  : interrupted ? "the run was interrupted before Xvfb was ready"
                                : "Xvfb gave no display number";
        }
        return nullptr;
    }
    std::string display = ":" + number;
    ::setenv("DISPLAY", display.c_str(), 1);
    return std::unique_ptr<VirtualDisplay>(new VirtualDisplay(pid, std::move(display)));
}

VirtualDisplay::~VirtualDisplay() {
    endAndReap(pid_);
    if (const char* current = ::getenv("DISPLAY"); current && display_ == current) ::unsetenv("DISPLAY");
}

}  // namespace tesmar_host
