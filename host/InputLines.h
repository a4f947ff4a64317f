#pragma once
// InputLines: the commands typed on stdin, read on a thread of their own one line at a time, so that the
// main loop keeps running while the host waits for the next line: timers fire, retries go out and answers
// are printed when they are due, not when the next line comes.
//
// The reader reads only when next() asks for a line, so it is never left inside a read when the run ends
// with lines still unread (after quit), and the stream may go with this object.
#include <istream>
#include <optional>
#include <string>
#include <thread>

#include "platform/dispatch/ThreadChecks.h"

namespace tesmar_host {

class InputLines {
public:
    explicit InputLines(std::istream& in);
    ~InputLines();
    InputLines(const InputLines&) = delete;
    InputLines& operator=(const InputLines&) = delete;

    // Main thread: runs the main loop until the next line has been read; nullopt at the end of the input.
    std::optional<std::string> next();

private:
    void read();

    std::istream& in_;
    platform::dispatch::Mutex mutex_;
    platform::dispatch::ConditionVariable asked_;
    bool wanted_ GUARDED_BY(mutex_) = false;
    bool closing_ GUARDED_BY(mutex_) = false;
    std::optional<std::string> line_ GUARDED_BY(mutex_);
    bool ended_ GUARDED_BY(mutex_) = false;
    std::thread reader_;
};

}  // namespace tesmar_host
