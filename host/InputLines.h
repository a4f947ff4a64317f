#pragma once
// InputLines: the commands typed on stdin, read on a thread of their own one line at a time, so that the
// main loop keeps running while the host waits for the next line: timers fire, retries go out and answers
// are printed when they are due, not when the next line comes.
//
// The reader reads only when next() asks for a line, so it is never left inside a read when the run ends
// with lines still unread (after quit), and the stream may go with this object. The one exception is a
// wait that next() gave up (the run was interrupted): a read of a terminal cannot be called back, so the
// reader is left inside it, on state of its own, for the process's end; the stream must then outlive
// the process (std::cin does).
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace tesmar_host {

class InputLines {
public:
    explicit InputLines(std::istream& in);
    ~InputLines();
    InputLines(const InputLines&) = delete;
    InputLines& operator=(const InputLines&) = delete;

    // Main thread: runs the main loop until the next line has been read; nullopt at the end of the input,
    // or as soon as the loop's waits are ended (MainLoop::endWaits).
    std::optional<std::string> next();

private:
    struct Reader;
    std::shared_ptr<Reader> reader_;
    std::thread thread_;
};

}  // namespace tesmar_host
