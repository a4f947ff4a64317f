#include "host/InputLines.h"

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"

namespace tesmar_host {

using platform::dispatch::MutexLock;

// Shared by the object and its thread, so the thread may outlive the object (see the header).
struct InputLines::Reader {
    explicit Reader(std::istream& in) : in(in) {}
    void read();

    std::istream& in;
    platform::dispatch::Mutex mutex;
    platform::dispatch::ConditionVariable asked;
    bool wanted GUARDED_BY(mutex) = false;
    bool reading GUARDED_BY(mutex) = false;
    bool closing GUARDED_BY(mutex) = false;
    std::optional<std::string> line GUARDED_BY(mutex);
    bool ended GUARDED_BY(mutex) = false;
};

InputLines::InputLines(std::istream& in)
    : reader_(std::make_shared<Reader>(in)), thread_([reader = reader_] { reader->read(); }) {}

InputLines::~InputLines() {
    bool reading;
    {
        MutexLock lock(reader_->mutex);
        reader_->closing = true;
        reading = reader_->reading;
    }
    reader_->asked.notify_one();
    if (reading)
        thread_.detach();
    else
        thread_.join();
}

void InputLines::Reader::read() {
    for (;;) {
        {
            MutexLock lock(mutex);
            asked.wait(mutex, [this]() REQUIRES(mutex) { return wanted || closing; });
            if (closing) return;
            wanted = false;
            reading = true;
        }
        std::string text;
        const bool got = static_cast<bool>(std::getline(in, text));
        {
            MutexLock lock(mutex);
            reading = false;
            if (closing) return;
            if (got)
                line = std::move(text);
            else
                ended = true;
        }
        // An empty block wakes the loop, which then finds the line.
        platform::dispatch::MainLoop::shared().post([] {});
        if (!got) return;
    }
}

std::optional<std::string> InputLines::next() {
    Reader& reader = *reader_;
    {
        MutexLock lock(reader.mutex);
        if (reader.ended) return std::nullopt;
        if (!reader.line) reader.wanted = true;
    }
    reader.asked.notify_one();
    auto arrived = [&] {
        MutexLock lock(reader.mutex);
        return reader.line.has_value() || reader.ended;
    };
    // A person may think for a long while: the wait is only bounded so the loop can ask again.
    auto& loop = platform::dispatch::MainLoop::shared();
    while (!loop.runUntil(arrived, 3600) && !loop.waitsEnded()) {
    }
    MutexLock lock(reader.mutex);
    std::optional<std::string> line = std::move(reader.line);
    reader.line.reset();
    return line;
}

}  // namespace tesmar_host
