#include "host/InputLines.h"

#include "platform/dispatch/MainLoop.h"

namespace tesmar_host {

using platform::dispatch::MutexLock;

InputLines::InputLines(std::istream& in) : in_(in), reader_([this] { read(); }) {}

InputLines::~InputLines() {
    {
        MutexLock lock(mutex_);
        closing_ = true;
    }
    asked_.notify_one();
    reader_.join();
}

void InputLines::read() {
    for (;;) {
        {
            MutexLock lock(mutex_);
            asked_.wait(mutex_, [this]() REQUIRES(mutex_) { return wanted_ || closing_; });
            if (closing_) return;
            wanted_ = false;
        }
        std::string line;
        const bool got = static_cast<bool>(std::getline(in_, line));
        {
            MutexLock lock(mutex_);
            if (got)
                line_ = std::move(line);
            else
                ended_ = true;
        }
        // An empty block wakes the loop, which then finds the line.
        platform::dispatch::MainLoop::shared().post([] {});
        if (!got) return;
    }
}

std::optional<std::string> InputLines::next() {
    {
        MutexLock lock(mutex_);
        if (ended_) return std::nullopt;
        wanted_ = true;
    }
    asked_.notify_one();
    auto arrived = [this] {
        MutexLock lock(mutex_);
        return line_.has_value() || ended_;
    };
    // A person may think for a long while: the wait is only bounded so the loop can ask again.
    while (!platform::dispatch::MainLoop::shared().runUntil(arrived, 3600)) {
    }
    MutexLock lock(mutex_);
    std::optional<std::string> line = std::move(line_);
    line_.reset();
    return line;
}

}  // namespace tesmar_host
