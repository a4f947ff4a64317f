#pragma once
// Interruption: Ctrl-C (SIGINT) and SIGTERM end a run in order instead of killing it. While one is held,
// the first such signal is noted and the main loop woken; the host then stops waiting (settle, 'wait', the
// next typed line), ends the run as at its end (the app terminates, lost writes are said) and prints its
// "exit" line with the status 128 + the signal's number (130, 143). Nothing is printed from the handler:
// it only writes the signal's number to a pipe, read by a thread of this object. The handler also puts
// the signals it caught back to their default at once, so a second one ends the process straight away,
// however the orderly end is going, and one that has not ended kGraceSeconds after the first (stuck in a
// call no loop looks past) is ended by that signal, with no "exit" line.
//
// A signal that was ignored when the host started (a shell's background job) stays ignored.
//
// One at a time; made and ended on the main thread.
#include <atomic>
#include <thread>

namespace tesmar_host {

class Interruption {
public:
    Interruption();   // installs the handlers (a run that cannot get its pipe keeps the default ones)
    ~Interruption();  // puts back what was installed before
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    static constexpr int kGraceSeconds = 10;

    // The signal that asked the run to end, or 0. Any thread.
    static int caught();

private:
    void watch();

    int wake_[2] = {-1, -1};
    std::thread watcher_;
};

}  // namespace tesmar_host
