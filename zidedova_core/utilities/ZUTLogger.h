#pragma once
// The coded logger: every line of the app core, its utilities, the instance-identity client and the
// measurement engine's console goes through here as "<version> - <service>[<code>] <message>".
//
// Levels are the system log's: 3 error, 4 warning, 5 notice (the default threshold), 6 info, 7 debug.
// The level test runs on the caller's thread before anything is formatted, so a dropped message costs
// no formatting. Accepted lines are written in order on the serial queue "ZUTLoggingClientQueue" to the
// system-log client: each line that passes the client's filter is posted as the device event "syslog"
// ({"facility", "level", "text"}) and, when standard error is enabled, written there too.
//
// Level, forced-debug flag and version are atomics / lock-guarded; the client (its filter and outputs)
// lives on the logger queue only. Any thread may log.
#include <string>
#include <string_view>

#include "zidedova_core/utilities/ZUTFormat.h"

namespace zidedova {

enum ZUTLoggerLevel : int {
    ZUTLoggerLevelError = 3,
    ZUTLoggerLevelWarning = 4,
    ZUTLoggerLevelNotice = 5,
    ZUTLoggerLevelInfo = 6,
    ZUTLoggerLevelDebug = 7,
};

inline constexpr const char* kZUTLoggerFacility = "com.vodezu.utilities.logger";
inline constexpr const char* kZUTLoggerQueueLabel = "ZUTLoggingClientQueue";

void ZUTLoggerInitialize();
void ZUTLoggerEnableStderr();
// Outside App Store installs: debug lines from now on.
void ZUTLoggerForceDebug();
// 3..7; other values are logged as an error and ignored. 5 and above are ignored in App Store installs.
void ZUTLoggerSetLevel(int level);
bool ZUTLoggerIsLoggableLevel(int level);
void ZUTLoggerSetVersion(const char* version);

// True when a message at this level would be formatted and handed to the client.
bool ZUTLoggerShouldLog(int level, bool forceLog);
// Writes an already formatted message (no level test: callers test first).
void ZUTLoggerWriteMessage(int level, std::string_view service, std::string_view messageCode,
                           const std::string& message);

// The core entry: drops the message before formatting when the level does not pass.
template <class... Args>
void ZUTLoggerLog(int level, std::string_view service, bool forceLog, std::string_view messageCode,
                  std::string_view format, const Args&... args) {
    ZUTLoggerInitialize();
    if (!ZUTLoggerShouldLog(level, forceLog)) return;
    ZUTLoggerWriteMessage(level, service, messageCode, ZUTFormat(format, {ZUTFormatArg(args)...}));
}

template <class... Args>
void ZUTLoggerLogError(std::string_view service, bool forceLog, std::string_view code, std::string_view format,
                       const Args&... args) {
    ZUTLoggerLog(ZUTLoggerLevelError, service, forceLog, code, format, args...);
}
template <class... Args>
void ZUTLoggerLogWarning(std::string_view service, bool forceLog, std::string_view code, std::string_view format,
                         const Args&... args) {
    ZUTLoggerLog(ZUTLoggerLevelWarning, service, forceLog, code, format, args...);
}
template <class... Args>
void ZUTLoggerLogNotice(std::string_view service, bool forceLog, std::string_view code, std::string_view format,
                        const Args&... args) {
    ZUTLoggerLog(ZUTLoggerLevelNotice, service, forceLog, code, format, args...);
}
template <class... Args>
void ZUTLoggerLogInfo(std::string_view service, bool forceLog, std::string_view code, std::string_view format,
                      const Args&... args) {
    ZUTLoggerLog(ZUTLoggerLevelInfo, service, forceLog, code, format, args...);
}
template <class... Args>
void ZUTLoggerLogDebug(std::string_view service, bool forceLog, std::string_view code, std::string_view format,
                       const Args&... args) {
    ZUTLoggerLog(ZUTLoggerLevelDebug, service, forceLog, code, format, args...);
}

// Class-style entry for callers that hold a message and its arguments apart.
struct ZUTLoggerWrapper {
    static void logWithLevel(int level, std::string_view service, std::string_view code, std::string_view message,
                             std::initializer_list<ZUTFormatArg> args);
};

// Waits until every line accepted so far has been written (or dropped by the client's filter).
void ZUTLoggerFlush();

}  // namespace zidedova
