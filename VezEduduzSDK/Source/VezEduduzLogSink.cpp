#include <memory>
#include <mutex>

#include "VezEduduzSDK/Source/VELogLevel.h"

namespace vezeduduz {
namespace {
std::mutex sinkMutex;
std::shared_ptr<const VezEduduzLogSink::Sink> currentSink;
}  // namespace

void VezEduduzLogSink::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    currentSink = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
}

void VezEduduzLogSink::log(VELogLevel level, const std::string& message) {
    std::shared_ptr<const Sink> sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex);
        sink = currentSink;
    }
    // Called outside the lock: a sink may log again or swap sinks.
    if (sink) (*sink)(level, message);
}

}  // namespace vezeduduz
