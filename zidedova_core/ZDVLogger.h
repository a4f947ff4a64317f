#pragma once
// The app core's layer over the coded logger: sets the version text "5.12.0" and applies the debug
// switches once, at the first ZDVLoggerSetLevel or ZDVLoggerLog:
// - launch argument "-ZDVDebugDisabled": debug mode off, and the persisted flag
//   "/vodezu/zidedova/debug_mode" is removed (it wins over "-ZDVDebugEnabled");
// - else the persisted flag or "-ZDVDebugEnabled": debug mode on and persisted;
// - "-ZDVLoggerForceSTDERR": lines also go to standard error.
// Safe from any thread.
#include <string_view>

#include "zidedova_core/utilities/ZUTLogger.h"

namespace zidedova {

inline constexpr const char* kZDVLoggerService = "[Zidedova/Core]";
inline constexpr const char* kZDVLoggerVersion = "5.12.0";
inline constexpr const char* kZDVDebugModeKey = "/vodezu/zidedova/debug_mode";

void ZDVLoggerInitialize();
void ZDVLoggerSetLevel(int level);

template <class... Args>
void ZDVLoggerLog(int level, std::string_view service, std::string_view code, std::string_view format,
                  const Args&... args) {
    ZDVLoggerInitialize();
    ZUTLoggerLog(level, service, false, code, format, args...);
}
template <class... Args>
void ZDVLoggerLogError(std::string_view service, std::string_view code, std::string_view format, const Args&... args) {
    ZDVLoggerLog(ZUTLoggerLevelError, service, code, format, args...);
}
template <class... Args>
void ZDVLoggerLogWarning(std::string_view service, std::string_view code, std::string_view format,
                         const Args&... args) {
    ZDVLoggerLog(ZUTLoggerLevelWarning, service, code, format, args...);
}
template <class... Args>
void ZDVLoggerLogDebug(std::string_view service, std::string_view code, std::string_view format, const Args&... args) {
    ZDVLoggerLog(ZUTLoggerLevelDebug, service, code, format, args...);
}

struct ZDVLoggerWrapper {
    static void logWithLevel(int level, std::string_view service, std::string_view code, std::string_view message,
                             std::initializer_list<ZUTFormatArg> args);
};

}  // namespace zidedova
