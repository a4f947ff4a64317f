#pragma once
// Collects the coded logger's system-log lines for a test.
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/DeviceEvents.h"
#include "zidedova_core/utilities/ZUTLogger.h"

namespace zidedova::testing {

struct LogLine {
    int level;
    std::string text;
};

class LogCapture {
public:
    LogCapture()
        : token_(platform::DeviceEvents::addListener([this](const std::string& event, const platform::Value& f) {
              if (event != "syslog") return;
              std::lock_guard lock(mutex_);
              lines_.push_back({int(f["level"].integerOr(-1)), f["text"].stringOr("")});
          })) {}

    // Every line written so far (waits for the logger queue first).
    std::vector<LogLine> lines() {
        ZUTLoggerFlush();
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& fragment) {
        for (const auto& l : lines())
            if (l.text.find(fragment) != std::string::npos) return true;
        return false;
    }
    size_t count(const std::string& fragment) {
        size_t n = 0;
        for (const auto& l : lines())
            if (l.text.find(fragment) != std::string::npos) ++n;
        return n;
    }
    void clear() {
        ZUTLoggerFlush();
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<LogLine> lines_;
    platform::DeviceEvents::Token token_;
};

}  // namespace zidedova::testing
