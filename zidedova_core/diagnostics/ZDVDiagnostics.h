#pragma once
// ZDVDiagnostics: turns every "ZODOziDiagnosticsNotification" into one ZDVPBICoreConfiguration report
// (the app, the device, the SDKs present, the error), carried in a LLNPBLogEvent to the diagnostics
// logger (log source 137, account "orchard") with an immediate flush. It also keeps the install string,
// a random identifier at <Application Support>/Vodezu/ZODOzi/ZIDEDOVA_UNIQUE_INSTALL (atomic writes,
// excluded from backup), the same across launches; a write the disk refuses is kept, answered and tried
// again until it lands.
//
// Threads: reports are built on the posting thread. One recursive class lock is held while a report is
// built and handed to the logger and around every state-file operation. The report of a failed core
// configuration is in its file when logDiagnostics returns: the raise that follows ends the launch.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NotificationCenter.h"
#include "zidedova_core/diagnostics/ZDVDiagnosticsMessages.h"

namespace zidedova {

class ZODOzi;

inline constexpr int32_t kZDVDiagnosticsLogSource = 137;
inline constexpr const char* kZDVDiagnosticsAccount = "orchard";
inline constexpr const char* kZDVInstallStringFileName = "ZIDEDOVA_UNIQUE_INSTALL";

class ZDVDiagnostics {
public:
    // Starts observing the diagnostics notification (once per process; called at class registration).
    static void registerObserver();

    static void logDiagnostics(const platform::Notification& notification);
    static void populateLogProtoWithCommonInfo(ZDVPBICoreConfiguration& config, const std::shared_ptr<ZODOzi>& app);
    static void populateLogProtoWithInstalledServices(ZDVPBICoreConfiguration& config);
    static void populateLogProtoWithNumberOfLinkedFrameworks(ZDVPBICoreConfiguration& config);
    static void populateLogProtoWithInfoPlistValues(ZDVPBICoreConfiguration& config);
    static void sendLogsToLoglane(const ZDVPBICoreConfiguration& config, std::function<void()> completion);

    static int32_t mapFromServiceStringToTypeEnum(const std::string& name);
    static std::optional<std::string> deviceModel();
    // The install string; made (and persisted) when the state file is absent or empty. nullopt when the
    // state directory cannot be made or the file cannot be read for another reason. One the disk refused
    // is answered from memory until its write lands.
    static std::optional<std::string> installString();
    // <Application Support>/Vodezu/ZODOzi/<name>, the directory made when missing; nullopt on failure.
    static std::optional<std::string> filePathWithName(const std::string& name);
    // false when the disk refused it (kept and written again until it lands). The file is kept out of
    // backups as its write lands, a retry's too.
    static bool writeString(const std::string& text, const std::string& path);
    static void excludeFromBackup(const std::string& path);
};

}  // namespace zidedova
