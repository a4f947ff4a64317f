#pragma once
// Shared fixture bits of the push client's REST, facts and helper tests: a fresh device root per
// test, a manual clock driving the main loop, and a recording log sink.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/PlatformConfig.h"
#include "testing/TemporaryDeviceRoot.h"

namespace vezeduduz::testsupport {

struct DeviceRoot : tesmar_testing::TemporaryDeviceRoot {
    DeviceRoot() : TemporaryDeviceRoot("vezeduduz-test", {"Bundle", "tmp"}) {}
};

struct LogLine {
    VELogLevel level;
    std::string message;
};

class RecordingLog {
public:
    RecordingLog() {
        VezEduduzLogSink::setSink([this](VELogLevel level, const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back({level, message});
        });
    }
    ~RecordingLog() { VezEduduzLogSink::setSink(nullptr); }
    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t count(VELogLevel level, const std::string& containing) const {
        size_t n = 0;
        for (const auto& line : lines()) n += line.level == level && line.message.find(containing) != std::string::npos;
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// A manual clock for the test's scope; the main loop is drained on the way out so no delayed block
// of one test fires in the next.
class ManualTime {
public:
    ManualTime() : clock_(std::make_shared<platform::dispatch::ManualClock>(1000.0)), scope_(clock_) {}
    ~ManualTime() {
        auto& loop = platform::dispatch::MainLoop::shared();
        loop.runUntilIdle();
        while (loop.nextDeadline()) loop.advance(1000.0);
    }
    void advance(double seconds) { platform::dispatch::MainLoop::shared().advance(seconds); }

private:
    std::shared_ptr<platform::dispatch::ManualClock> clock_;
    platform::dispatch::ScopedClock scope_;
};

inline bool runUntil(const std::function<bool()>& predicate, double seconds = 10.0) {
    return platform::dispatch::MainLoop::shared().runUntil(predicate, seconds);
}

}  // namespace vezeduduz::testsupport
