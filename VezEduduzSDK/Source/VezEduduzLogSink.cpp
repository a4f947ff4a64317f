#include <memory>
#include <mutex>

#include "VezEduduzSDK/Source/VELogLevel.h"

namespace vezeduduz {
namespace {
struct SinkSlot {
    std::mutex mutex;
    std::shared_ptr<const VezEduduzLogSink::Sink> sink;
};
// Never destroyed: a URL session's thread may still log an answer while the process exits.
SinkSlot& slot() {
    static SinkSlot* const instance = new SinkSlot;
    return *instance;
}
}  // namespace

void VezEduduzLogSink::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(slot().mutex);
    slot().sink = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
}

void VezEduduzLogSink::log(VELogLevel level, const std::string& message) {
    std::shared_ptr<const Sink> sink;
    {
        std::lock_guard<std::mutex> lock(slot().mutex);
        sink = slot().sink;
    }
    // Called outside the lock: a sink may log again or swap sinks.
    if (sink) (*sink)(level, message);
}

}  // namespace vezeduduz
