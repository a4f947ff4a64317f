#include <memory>

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "platform/dispatch/ThreadChecks.h"

namespace vezeduduz {
namespace {
struct SinkSlot {
    platform::dispatch::Mutex mutex;
    std::shared_ptr<const VezEduduzLogSink::Sink> sink GUARDED_BY(mutex);
};
// Never destroyed: a URL session's thread may still log an answer while the process exits.
SinkSlot& slot() {
    static SinkSlot* const instance = new SinkSlot;
    return *instance;
}
}  // namespace

void VezEduduzLogSink::setSink(Sink sink) {
    platform::dispatch::MutexLock lock(slot().mutex);
    slot().sink = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
}

void VezEduduzLogSink::log(VELogLevel level, const std::string& message) {
    std::shared_ptr<const Sink> sink;
    {
        platform::dispatch::MutexLock lock(slot().mutex);
        sink = slot().sink;
    }
    // Called outside the lock: a sink may log again or swap sinks.
    if (sink) (*sink)(level, message);
}

}  // namespace vezeduduz
