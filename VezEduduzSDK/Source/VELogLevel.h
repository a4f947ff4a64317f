#pragma once
// VELogLevel and the push client's log sink hook.
//
// The REST layer, the device facts and the helper log through VezEduduzLogSink::log(). The facade
// installs its own sink (level filtering, console and visual alert) at start-up with setSink(); until
// then lines are dropped. Tests install a recording sink.
//
// Threads: log() may be called from any thread; the sink is called on the logging thread, so a sink
// must be thread-safe. setSink() is thread-safe.
#include <functional>
#include <string>

namespace vezeduduz {

enum class VELogLevel : int { none = 0, fatal = 1, error = 2, warn = 3, info = 4, debug = 5, verbose = 6 };

class VezEduduzLogSink {
public:
    using Sink = std::function<void(VELogLevel level, const std::string& message)>;
    // An empty function drops every line.
    static void setSink(Sink sink);
    static void log(VELogLevel level, const std::string& message);
};

}  // namespace vezeduduz
