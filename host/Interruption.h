#pragma once
// Interruption: Ctrl-C (SIGINT) and SIGTERM end a run in order instead of killing it. While one is held,
// the first such signal is noted and every wait of the host ends: the main loop's (MainLoop::endWaits, so
// settle, 'wait', the next typed line, a form or snapshot the page has not answered) and the host's
// blocking ones, which all go through poll() below (a FIFO's writer, the device root's lock, Xvfb, the
// extension). The host then ends the run as at its end (the app terminates, lost writes are said) and
// prints its "exit" line with the status 128 + the signal's number (130, 143). Nothing is printed from the
// handler: it only writes the signal's number to a pipe, read by a thread of this object. The handler also
// puts the signals it caught back to their default at once, so a second one ends the process straight
// away, however the orderly end is going, and one that has not ended kGraceSeconds after the first (stuck
// in a call no wait looks past, such as a write to a full pipe) is ended by that signal, with no "exit"
// line. Two signals handled at the same moment on two threads (before either handler put the defaults
// back) count as the first: the grace still runs. That thread waits on no stream and no pipe on the way.
//
// A signal that was ignored when the host started (a shell's background job) stays ignored.
//
// One at a time; made and ended on the main thread.
#include <poll.h>

#include <atomic>
#include <string>
#include <thread>

namespace tesmar_host {

class Interruption {
public:
    Interruption();   // installs the handlers (a run that cannot get its pipe keeps the default ones)
    ~Interruption();  // puts back what was installed before
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    static constexpr int kGraceSeconds = 10;

    // The signal that asked the run to end, or 0 (also once this object has ended). Any thread.
    static int caught();

    // poll(2) for the host's blocking waits (none may wait otherwise): at most timeoutMs (-1: no bound),
    // retried on EINTR, and ended as soon as the run is interrupted (at once when it already was). Answers
    // how many of `fds` are ready, 0 when the time ran out, -1 when the run was interrupted (caught() tells)
    // or poll failed. With no fds it is an interruptible sleep.
    static int poll(pollfd* fds, nfds_t count, int timeoutMs);

    // Writes `text` to `fd` without waiting: not through stdio, whose lock a thread stuck in a write may
    // hold, and not into a full pipe or terminal (what does not fit is dropped). For the signal's messages.
    static void sayWithoutWaiting(int fd, const std::string& text);

private:
    void watch();
    // After a signal: whether the run ended (the destructor's zero byte) within kGraceSeconds.
    bool endedWithinGrace();

    int wake_[2] = {-1, -1};
    int ended_ = -1;  // an eventfd, readable once a signal was caught
    std::thread watcher_;
};

}  // namespace tesmar_host
