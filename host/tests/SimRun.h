#pragma once
// Runs the built tesmar-sim as a child process and reads the event lines it prints.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/JSON.h"

namespace host_test {

struct SimRun {
    int status = -1;
    int signal = 0;                  // the signal that ended it, if one did
    std::vector<std::string> lines;  // stdout, one per event
    std::string err;
};

// Hears each line tesmar-sim prints as it comes; what it answers goes to tesmar-sim's stdin.
using SimAnswer = std::function<std::string(const std::string& line)>;

// The tesmar-sim that runSim runs on this thread (0 when none), for an answer that signals it.
inline thread_local pid_t runningSim = 0;

// What a run needs beyond its stdin.
struct SimSetup {
    std::function<void()> started;  // called once it runs (runningSim names it), before its output is read
    bool fullStderr = false;        // stderr is a pipe already full that nobody reads (run.err stays empty)
};

// Runs tesmar-sim with `args`, feeding `input` on stdin; kills it after `timeout`. With `answer`, stdin
// stays open for its answers until the run ends.
inline SimRun runSim(const std::vector<std::string>& args, const std::string& input = "",
                     std::chrono::seconds timeout = std::chrono::seconds(120), const SimAnswer& answer = nullptr,
                     const SimSetup& setup = {}) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return {};
    if (setup.fullStderr) {
        // Filled through a file description of its own, so the run's own still waits when it writes.
        int filler = open(("/proc/self/fd/" + std::to_string(err[1])).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const std::string page(4096, 'x');
        while (filler >= 0 && write(filler, page.data(), page.size()) > 0) {
        }
        if (filler >= 0) close(filler);
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        std::vector<char*> argv;
        std::string path = TESMAR_SIM_PATH;
        argv.push_back(path.data());
        std::vector<std::string> copies = args;
        for (auto& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    runningSim = pid;
    signal(SIGPIPE, SIG_IGN);
    auto feed = [&](const std::string& text) {
        if (!text.empty() && write(in[1], text.data(), text.size()) < 0) ADD_FAILURE() << "cannot feed stdin";
    };
    feed(input);
    if (!answer) close(in[1]);
    if (setup.started) setup.started();
    size_t answered = 0;  // the length of stdout whose lines were answered

    std::string outText, errText;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool outOpen = true, errOpen = !setup.fullStderr;
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "tesmar-sim did not finish in time";
            break;
        }
        pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0)
                (i == 0 ? outOpen : errOpen) = false;
            else
                (i == 0 ? outText : errText).append(buffer, static_cast<size_t>(n));
        }
        for (size_t end; answer && (end = outText.find('\n', answered)) != std::string::npos; answered = end + 1)
            feed(answer(outText.substr(answered, end - answered)));
    }
    if (answer) close(in[1]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    runningSim = 0;
    SimRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.err = errText;
    std::istringstream lines(outText);
    for (std::string line; std::getline(lines, line);) run.lines.push_back(line);
    return run;
}

// The parsed event lines.
inline std::vector<platform::Value> simEvents(const SimRun& run) {
    std::vector<platform::Value> out;
    for (const auto& line : run.lines) {
        auto value = platform::json::read(line);
        EXPECT_TRUE(value.ok() && value.value()["event"].isString()) << "not an event line: " << line;
        if (value.ok()) out.push_back(value.value());
    }
    return out;
}

inline std::string allOutput(const SimRun& run) {
    std::string all;
    for (const auto& line : run.lines) all += line + "\n";
    return all + "stderr:\n" + run.err;
}

}  // namespace host_test
