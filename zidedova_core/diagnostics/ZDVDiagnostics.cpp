#include "zidedova_core/diagnostics/ZDVDiagnostics.h"

#include <map>
#include <mutex>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/UUID.h"
#include "platform/objc/Runtime.h"
#include "zidedova_core/ZDVErrorValue.h"
#include "zidedova_core/ZDVLogger.h"
#include "zidedova_core/ZODOzi.h"
#include "zidedova_core/diagnostics/ZDVLoglaneLogger.h"
#include "zidedova_core/utilities/ZUTAppEnvironmentUtil.h"

namespace zidedova {

namespace {

constexpr int32_t kCoreConfigurationReportVersion = 2;  // slot 0 (field 16)
constexpr int32_t kCoreConfigurationSlot30Value = 1;    // slot 28 (field 30)

std::recursive_mutex& classLock() {
    static std::recursive_mutex m;
    return m;
}

struct ClassState {
    std::optional<std::optional<std::string>> deviceModel;
    bool serviceURLSet = false;
    // State files whose write the disk refused, with their text: answered from here, and written again
    // until it lands.
    std::map<std::string, std::string> unwritten;
};
ClassState& state() {
    static ClassState s;
    // A fresh process knows no device model and has not yet pointed the logger at the service.
    static const bool registered = [] {
        platform::ResetRegistry::add("zidedova.diagnostics", [] {
            std::lock_guard lock(classLock());
            s = ClassState{};
        });
        return true;
    }();
    (void)registered;
    return s;
}

// Rows of classes that together mean a service is linked into the app.
struct InstalledServiceRow {
    std::vector<const char*> classes;
    const char* service;
};
const InstalledServiceRow kInstalledServices[] = {
    {{"ADNBannerView"}, "AdNetwork"},
    {{"ZDVInvitations"}, "Invitations"},
    {{"DURIdaredura"}, "Messaging"},
    {{"ZDVRemoteSettings"}, "RemoteSettings"},
    {{"ZCRClient"}, "Crash"},
    {{"DOREdozadedo"}, "Measurement"},
    {{"ZDVVisionFaceDetector", "VMVFaceDetector"}, "VisionOnDeviceFace"},
    {{"ZDVVisionBarcodeDetector", "VMVBarcodeDetector"}, "VisionOnDeviceBarcode"},
    {{"ZDVVisionTextDetector", "VMVTextDetector"}, "VisionOnDeviceText"},
    {{"ZDVVisionLabelDetector", "VMVLabelDetector"}, "VisionOnDeviceLabel"},
    {{"ZDVCustomModelInterpreter"}, "ModelInterpreter"},
    {{"ZDVDatabase"}, "Database"},
    {{"ZDVDeepLinks"}, "DeepLinks"},
    {{"ZDVAuth"}, "Auth"},
    {{"ZUIAuth"}, "AuthUI"},
    {{"ZDVDocumentStore"}, "DocumentStore"},
    {{"ZDVFunctions"}, "Functions"},
    {{"ZDVPerformance"}, "Performance"},
    {{"ZDVStorage"}, "Storage"},
    {{"VIDSignIn", "VGLContext"}, "SignIn"},
    {{"VAI", "VGLContext"}, "Analytics"},
    {{"ZDVInAppMessages"}, "InAppMessages"},
};

void setNonEmptyString(NANOMessage& message, int32_t slot, const std::optional<std::string>& value) {
    if (value && !value->empty()) NANOSetString(message, slot, *value);
}

// Written once, on the first launch: not flushed, so the start does not wait for the disk. A power cut
// can only leave the file empty or absent, and either is made anew. Kept out of backups once it lands.
platform::Result<void> writeStateFile(const std::string& text, const std::string& path) {
    auto written = platform::FileManager::defaultManager().writeAtomically(path, text, 0644,
                                                                           platform::FileManager::Flush::Deferred);
    if (written) ZDVDiagnostics::excludeFromBackup(path);
    return written;
}

// Writes what the disk refused for `path` again (the retry timer, the app leaving the foreground).
std::function<void()> retryOfUnwritten(const std::string& path) {
    return [path] {
        std::lock_guard lock(classLock());
        auto it = state().unwritten.find(path);
        if (it == state().unwritten.end()) return;  // written since
        auto written = writeStateFile(it->second, path);
        if (written) state().unwritten.erase(it);
        platform::PendingWrites::report(path, written, written ? nullptr : retryOfUnwritten(path));
    };
}

}  // namespace

void ZDVDiagnostics::registerObserver() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Observes for the whole process, as a class would.
        static platform::NotificationCenter::ObserverToken token =
            platform::NotificationCenter::defaultCenter().addObserver(
                std::string(kZODOziDiagnosticsNotification), nullptr,
                [](const platform::Notification& notification) { logDiagnostics(notification); });
    });
}

void ZDVDiagnostics::logDiagnostics(const platform::Notification& notification) {
    std::lock_guard lock(classLock());
    ZDVPBICoreConfiguration config;
    const platform::Value& info = notification.userInfo;
    auto type = info[kZDVConfigTypeKey].asInteger();
    if (type == kZDVConfigTypeCore || type == kZDVConfigTypeSDK)
        NANOSetInt32(config, ZDVPBICoreConfiguration::configuration_type, int32_t(*type));
    if (const std::string* name = info[kZDVSDKNameKey].asString())
        NANOSetInt32(config, ZDVPBICoreConfiguration::sdk_name, mapFromServiceStringToTypeEnum(*name));
    if (const std::string* version = info[kZDVSDKVersionKey].asString())
        NANOSetString(config, ZDVPBICoreConfiguration::sdk_version, *version);
    if (auto error = errorFromValue(info[kZDVErrorKey])) {
        ZDVPBErrorInfo errorInfo;
        NANOSetBool(errorInfo, ZDVPBErrorInfo::error_flag, true);
        NANOSetInt32(errorInfo, ZDVPBErrorInfo::error_code, int32_t(error->code));
        NANOSetString(errorInfo, ZDVPBErrorInfo::error_domain, error->domain);
        NANOSetMessage(config, ZDVPBICoreConfiguration::error_info, &errorInfo);
    }
    auto app = std::dynamic_pointer_cast<ZODOzi>(info[kZDVAppKey].asObject());
    populateLogProtoWithCommonInfo(config, app);
    populateLogProtoWithInstalledServices(config);
    populateLogProtoWithNumberOfLinkedFrameworks(config);
    populateLogProtoWithInfoPlistValues(config);
    sendLogsToLoglane(config, nullptr);
    // A failed core configuration raises as soon as this returns, and nothing catches it: the report is
    // in its file before then, to go out at the next launch.
    if (type == kZDVConfigTypeCore && info.contains(kZDVErrorKey)) ZDVLoglaneLogger::sharedInstance()->waitForWrites();
}

void ZDVDiagnostics::populateLogProtoWithCommonInfo(ZDVPBICoreConfiguration& config,
                                                    const std::shared_ptr<ZODOzi>& app) {
    NANOSetInt32(config, 0, kCoreConfigurationReportVersion);
    NANOSetInt32(config, ZDVPBICoreConfiguration::app_count, int32_t(ZODOzi::allApps().size()));
    if (app) {
        if (auto options = app->options()) {
            setNonEmptyString(config, ZDVPBICoreConfiguration::app_id, options->vodezuAppID());
            setNonEmptyString(config, ZDVPBICoreConfiguration::bundle_id, options->bundleID());
            NANOSetBool(config, ZDVPBICoreConfiguration::using_options_from_default_plist,
                        options->usingOptionsFromDefaultPlist());
            NANOSetString(config, ZDVPBICoreConfiguration::library_version_id, VIVUzorivu::libraryVersionID());
        }
    }
    setNonEmptyString(config, ZDVPBICoreConfiguration::install_string, installString());
    setNonEmptyString(config, ZDVPBICoreConfiguration::device_model, deviceModel());
    setNonEmptyString(config, ZDVPBICoreConfiguration::os_version, ZUTAppEnvironmentUtil::systemVersion());
    NANOSetBool(config, 27, false);
    NANOSetInt32(config, 28, kCoreConfigurationSlot30Value);
    NANOSetBool(config, ZDVPBICoreConfiguration::is_from_app_store, ZUTAppEnvironmentUtil::isFromAppStore());
    if (app) setNonEmptyString(config, ZDVPBICoreConfiguration::user_agent, ZODOzi::zidedovaUserAgent());
}

void ZDVDiagnostics::populateLogProtoWithInstalledServices(ZDVPBICoreConfiguration& config) {
    std::vector<NANOElement> services;
    for (const auto& row : kInstalledServices) {
        bool present = true;
        for (const char* cls : row.classes) present = present && platform::objc::lookUpClass(cls) != nullptr;
        if (present) services.emplace_back(int64_t(mapFromServiceStringToTypeEnum(row.service)));
    }
    NANOSetArray(config, ZDVPBICoreConfiguration::sdk_service_installed, services);
}

void ZDVDiagnostics::populateLogProtoWithNumberOfLinkedFrameworks(ZDVPBICoreConfiguration& config) {
    int32_t count = 0;
    for (const auto& image : platform::ProcessInfo::processInfo().loadedImageNames()) {
        bool system = image.find("System/Library") != std::string::npos ||
                      image.find("Developer/Library") != std::string::npos ||
                      image.find("usr/lib") != std::string::npos;
        if (!system) ++count;
    }
    NANOSetInt32(config, ZDVPBICoreConfiguration::linked_framework_count, count - 1);
}

void ZDVDiagnostics::populateLogProtoWithInfoPlistValues(ZDVPBICoreConfiguration& config) {
    auto bundle = platform::Bundle::mainBundle();
    auto text = [&](const char* key) -> std::optional<std::string> {
        const platform::Value* v = bundle ? bundle->objectForInfoDictionaryKey(key) : nullptr;
        if (v && v->asString()) return *v->asString();
        return std::nullopt;
    };
    NANOSetString(config, ZDVPBICoreConfiguration::build_tools_version,
                  text("DTXcodeBuild").value_or("") + "-" + text("DTSDKBuild").value_or(""));
    if (auto minimum = text("MinimumOSVersion"))
        NANOSetString(config, ZDVPBICoreConfiguration::minimum_os_version, *minimum);
    const platform::Value* proxy =
        bundle ? bundle->objectForInfoDictionaryKey("ZidedovaAppDelegateProxyEnabled") : nullptr;
    bool enabled = true;
    if (proxy && (proxy->isNumber() || proxy->isBool())) enabled = proxy->asBool().value_or(true);
    NANOSetBool(config, ZDVPBICoreConfiguration::app_delegate_proxy_enabled, enabled);
}

void ZDVDiagnostics::sendLogsToLoglane(const ZDVPBICoreConfiguration& config, std::function<void()> completion) {
    auto logger = ZDVLoglaneLogger::sharedInstance();
    std::lock_guard lock(classLock());
    if (!state().serviceURLSet) {
        state().serviceURLSet = true;
        logger->setServerURL(*platform::URL::string(kZDVLoglaneServiceURL));
    }
    LLNPBLogEvent event;
    if (auto bytes = config.protoBuffer()) NANOSetBytes(event, LLNPBLogEvent::source_extension, *bytes);
    logger->logEvent(event, kZDVDiagnosticsLogSource, kZDVDiagnosticsAccount);
    logger->flushWithCompletionHandler(std::move(completion));
}

int32_t ZDVDiagnostics::mapFromServiceStringToTypeEnum(const std::string& name) { return ZDVServiceTypeForName(name); }

std::optional<std::string> ZDVDiagnostics::deviceModel() {
    std::lock_guard lock(classLock());
    if (!state().deviceModel) state().deviceModel = ZUTAppEnvironmentUtil::deviceModel();
    return *state().deviceModel;
}

std::optional<std::string> ZDVDiagnostics::installString() {
    std::lock_guard lock(classLock());
    auto path = filePathWithName(kZDVInstallStringFileName);
    if (!path) return std::nullopt;
    // One made earlier in this run that the disk has not taken yet is kept, and is the one to answer.
    if (auto kept = state().unwritten.find(*path); kept != state().unwritten.end()) return kept->second;
    auto& fm = platform::FileManager::defaultManager();
    auto text = fm.stringWithContentsOfFile(*path, 4096);
    if (text.ok() && !text.value().empty()) return text.value();
    if (!text.ok()) {
        // Only a missing file is made anew: a file we cannot read now may still
        // hold this install's identifier, and overwriting it would make the device
        // look like a new install.
        const auto& error = text.error();
        bool missing = error.code == platform::kFileReadNoSuchFileError || error.code == platform::kFileNoSuchFileError;
        if (!missing) return std::nullopt;
    }
    std::string fresh = platform::UUID::random().uuidString();
    (void)writeString(fresh, *path);  // a write the disk refused is kept and tried again until it lands
    return fresh;
}

std::optional<std::string> ZDVDiagnostics::filePathWithName(const std::string& name) {
    std::lock_guard lock(classLock());
    auto& fm = platform::FileManager::defaultManager();
    auto support = fm.directory(platform::SearchPathDirectory::ApplicationSupport);
    if (!support.ok()) {
        ZDVLoggerLogWarning(kZDVLoggerService, "I-COR100001", "Unable to create internal state storage: %@",
                            support.error().description());
        return std::nullopt;
    }
    std::string directory = support.value() + "/Vodezu/ZODOzi";
    if (!fm.isDirectory(directory)) {
        if (auto made = fm.createDirectory(directory, true); !made.ok()) {
            ZDVLoggerLogWarning(kZDVLoggerService, "I-COR100001", "Unable to create internal state storage: %@",
                                made.error().description());
            return std::nullopt;
        }
    }
    return directory + "/" + name;
}

void ZDVDiagnostics::excludeFromBackup(const std::string& path) {
    if (auto excluded = platform::FileManager::defaultManager().setExcludedFromBackup(path, true); !excluded.ok())
        ZDVLoggerLogWarning(kZDVLoggerService, "I-COR100003", "Unable to update internal resource: %@",
                            excluded.error().description());
}

bool ZDVDiagnostics::writeString(const std::string& text, const std::string& path) {
    std::lock_guard lock(classLock());
    auto written = writeStateFile(text, path);
    if (written)
        state().unwritten.erase(path);
    else
        state().unwritten[path] = text;
    platform::PendingWrites::report(path, written, written ? nullptr : retryOfUnwritten(path));
    if (!written)
        ZDVLoggerLogWarning(kZDVLoggerService, "I-COR100004", "Unable to persist internal state: %@",
                            written.error().description());
    return bool(written);
}

}  // namespace zidedova
