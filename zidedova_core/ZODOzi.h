#pragma once
// ZODOzi: a configured, named app. The application calls ZODOzi::configure() once at launch; the
// app core then reads the options resource, checks the app name and app id, builds the app's component
// container, posts "ZODOziDiagnosticsNotification", starts measurement through the class named
// "DOREdozadedo" (default app only) and posts "ZODOziReadyToConfigureSDKNotification".
//
// Misuse raises zidedova::Exception named "com.zidedova.core" (see ZDVException.h).
//
// Apps are runtime objects of the class "ZODOzi" (so notifications can carry them); make them only
// through configure*. Threads: configuring an app (name test, creation, core configuration, ready
// notification, every configureWithApp:) and deleting one run under the class lock, one at a time, on
// the calling thread. The lookups, the library registry and the user agent never take that lock, so
// the observers, configurables and measurement start called under it may use them; they must not
// configure or delete an app themselves. A configuration that fails leaves no app behind: the name is
// free again and the default app is not recorded, so a corrected retry succeeds.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Error.h"
#include "platform/objc/Runtime.h"
#include "zidedova_core/VIVUzorivu.h"
#include "zidedova_core/ZDVComponentContainer.h"

namespace zidedova {

inline constexpr const char* kZODOziDefaultAppName = "__ZODOZI_DEFAULT";
inline constexpr const char* kZODOziReadyToConfigureSDKNotification = "ZODOziReadyToConfigureSDKNotification";
inline constexpr const char* kZODOziDiagnosticsNotification = "ZODOziDiagnosticsNotification";
inline constexpr const char* kZODOziDeleteNotification = "ZODOziDeleteNotification";
inline constexpr const char* kZODOziNameKey = "ZODOziNameKey";
inline constexpr const char* kZODOziIsDefaultAppKey = "ZODOziIsDefaultAppKey";
inline constexpr const char* kZDVVodezuAppIDKey = "ZDVVodezuAppIDKey";
// Diagnostics user-info keys.
inline constexpr const char* kZDVConfigTypeKey = "ConfigType";
inline constexpr const char* kZDVAppKey = "ZODOzi";
inline constexpr const char* kZDVErrorKey = "Error";
inline constexpr const char* kZDVSDKNameKey = "SDKName";
inline constexpr const char* kZDVSDKVersionKey = "SDKVersion";
inline constexpr int kZDVConfigTypeCore = 1;
inline constexpr int kZDVConfigTypeSDK = 2;
inline constexpr const char* kZDVDataCollectionPlistKey = "ZidedovaDataCollectionDefaultEnabled";
inline constexpr const char* kZDVDataCollectionDefaultsKeyPrefix = "/vodezu/zidedova/global_data_collection_enabled:";
inline constexpr const char* kZDVConsoleURL = "https://console.vodezu.com/";
inline constexpr const char* kZDVSetupDocsURL = "https://vodezu.com/docs/ios/setup";

class ZODOzi : public platform::objc::Object {
public:
    using TokenCallback = std::function<void(std::optional<std::string> token, std::optional<platform::Error>)>;
    using GetTokenImplementation = std::function<void(bool forceRefresh, TokenCallback callback)>;
    using GetUIDImplementation = std::function<std::optional<std::string>()>;

    // The runtime class "ZODOzi" (registered on first use); also the sender of the ready and delete
    // notifications.
    static platform::objc::Class* runtimeClass();

    static void configure();
    static void configureWithOptions(std::shared_ptr<VIVUzorivu> options);
    static void configureWithName(const std::optional<std::string>& name, std::shared_ptr<VIVUzorivu> options);

    static std::shared_ptr<ZODOzi> defaultApp();  // logs "I-COR000003" when none
    static std::shared_ptr<ZODOzi> appNamed(const std::string& name);
    static std::map<std::string, std::shared_ptr<ZODOzi>> allApps();
    static bool isDefaultAppConfigured();
    static void resetApps();

    // A runtime class answering "configureWithApp:" (std::shared_ptr<ZODOzi>) for every app made ready.
    static void registerAsConfigurable(platform::objc::Class* cls);

    static void registerLibrary(const std::string& name, const std::string& version);
    static std::string zidedovaUserAgent();

    static bool validateAppID(const std::optional<std::string>& appID);
    static std::optional<std::string> actualBundleID();
    static std::optional<bool> readDataCollectionSwitchFromPlist();
    static std::optional<bool> readDataCollectionSwitchFromUserDefaultsForApp(const ZODOzi& app);

    static platform::Error errorForMissingOptions();
    static platform::Error errorForInvalidAppID();
    static platform::Error errorForSubspecConfigurationFailure(const std::string& domain, int64_t code,
                                                               const std::string& service, const std::string& reason);

    // --- instance ---
    const std::string& name() const { return name_; }
    // A further copy of the app's locked options.
    std::shared_ptr<VIVUzorivu> options() const { return options_->copy(); }
    bool isDefaultApp() const { return isDefaultApp_; }
    ZDVComponentContainer& container() const { return *container_; }

    bool isDataCollectionDefaultEnabled() const;
    void setDataCollectionDefaultEnabled(bool enabled);

    // The completion hears whether the app was registered (and is now deleted).
    void deleteApp(const std::function<void(bool success)>& completion);

    void setGetTokenImplementation(GetTokenImplementation implementation);
    void setGetUIDImplementation(GetUIDImplementation implementation);
    void getTokenForcingRefresh(bool forceRefresh, const TokenCallback& callback) const;
    std::optional<std::string> getUID() const;

    void sendLogsWithServiceName(const std::string& service, const std::string& version,
                                 const std::optional<platform::Error>& error);

    ZODOzi(platform::objc::Class* cls, std::string name, std::shared_ptr<VIVUzorivu> options);

private:
    static std::shared_ptr<ZODOzi> create(const std::string& name, const std::shared_ptr<VIVUzorivu>& options);
    bool configureCore();
    void postDiagnostics(platform::Value userInfo) const;

    std::string name_;
    std::shared_ptr<VIVUzorivu> options_;  // locked; never handed out
    bool isDefaultApp_;
    std::unique_ptr<ZDVComponentContainer> container_;
    mutable platform::dispatch::Mutex implementationMutex_;
    GetTokenImplementation getTokenImplementation_ GUARDED_BY(implementationMutex_);
    GetUIDImplementation getUIDImplementation_ GUARDED_BY(implementationMutex_);
};

}  // namespace zidedova
