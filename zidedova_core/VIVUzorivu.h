#pragma once
// VIVUzorivu: the values that identify the application to its services, read from the options
// resource "ZazeraDazudud-Uvoz"."plist" or set by code.
//
// Options are editable until an app is configured with them: the app keeps its own copy with the
// editing lock set, and every setter of a locked object raises "com.zidedova.core". A copy is a real
// copy: it shares nothing with the original, so editing the caller's object never changes what a
// configured app sees. Every member is safe from any thread (one lock per object); the class-wide
// default-options cache has its own lock.
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Value.h"

namespace zidedova {

inline constexpr const char* kZDVOptionsResourceName = "ZazeraDazudud-Uvoz";
inline constexpr const char* kZDVOptionsResourceType = "plist";
inline constexpr const char* kZDVLibraryVersionID = "50107000";

class VIVUzorivu {
public:
    // The options of the default resource (cached once read), or nullptr when it is missing or not a
    // dictionary (logged each time; a failed read is retried at the next call).
    static std::shared_ptr<VIVUzorivu> defaultOptions();
    // The default resource as a dictionary, or nullopt.
    static std::optional<platform::ValueDictionary> defaultOptionsDictionary();
    static void resetDefaultOptions();

    // Options from a property-list file; nullptr (logged) for a missing path or a file that is not a
    // dictionary.
    static std::shared_ptr<VIVUzorivu> withContentsOfFile(const std::optional<std::string>& path);
    // Options made by code: app id, sender id and the main bundle's identifier (absent values left out).
    static std::shared_ptr<VIVUzorivu> withVodezuAppID(const std::optional<std::string>& appID,
                                                       const std::optional<std::string>& senderID);

    explicit VIVUzorivu(platform::ValueDictionary dictionary, bool fromDefaultPlist = false);

    // A deep copy with the same lock state and origin; its analytics dictionary is computed afresh.
    std::shared_ptr<VIVUzorivu> copy() const;

    std::optional<std::string> APIKey() const { return stringFor("API_KEY"); }
    std::optional<std::string> clientID() const { return stringFor("CLIENT_ID"); }
    std::optional<std::string> trackingID() const { return stringFor("TRACKING_ID"); }
    std::optional<std::string> VEVSenderID() const { return stringFor("VEV_SENDER_ID"); }
    std::optional<std::string> projectID() const { return stringFor("PROJECT_ID"); }
    std::optional<std::string> androidClientID() const { return stringFor("ANDROID_CLIENT_ID"); }
    std::optional<std::string> vodezuAppID() const { return stringFor("VODEZU_APP_ID"); }
    std::optional<std::string> databaseURL() const { return stringFor("DATABASE_URL"); }
    std::optional<std::string> storageBucket() const { return stringFor("STORAGE_BUCKET"); }
    std::optional<std::string> bundleID() const { return stringFor("BUNDLE_ID"); }
    bool isAnalyticsEnabled() const { return boolFor("IS_ANALYTICS_ENABLED"); }
    bool isSignInEnabled() const { return boolFor("IS_SIGNIN_ENABLED"); }

    // Setters raise "com.zidedova.core" once the options are locked; nullopt removes the key.
    void setAPIKey(std::optional<std::string> v) { setString("API_KEY", std::move(v)); }
    void setClientID(std::optional<std::string> v) { setString("CLIENT_ID", std::move(v)); }
    void setTrackingID(std::optional<std::string> v) { setString("TRACKING_ID", std::move(v)); }
    void setVEVSenderID(std::optional<std::string> v) { setString("VEV_SENDER_ID", std::move(v)); }
    void setProjectID(std::optional<std::string> v) { setString("PROJECT_ID", std::move(v)); }
    void setAndroidClientID(std::optional<std::string> v) { setString("ANDROID_CLIENT_ID", std::move(v)); }
    void setVodezuAppID(std::optional<std::string> v) { setString("VODEZU_APP_ID", std::move(v)); }
    void setDatabaseURL(std::optional<std::string> v) { setString("DATABASE_URL", std::move(v)); }
    void setStorageBucket(std::optional<std::string> v) { setString("STORAGE_BUCKET", std::move(v)); }
    void setBundleID(std::optional<std::string> v) { setString("BUNDLE_ID", std::move(v)); }

    std::optional<std::string> deepLinkURLScheme() const;
    void setDeepLinkURLScheme(std::optional<std::string> scheme);

    static std::string libraryVersionID() { return kZDVLibraryVersionID; }
    // Stored under the key "50107000"; allowed on locked options too, and read by nobody.
    void setLibraryVersionID(const std::string& value);

    bool isEditingLocked() const;
    void setEditingLocked(bool locked);
    bool usingOptionsFromDefaultPlist() const;

    // A snapshot of the dictionary.
    platform::ValueDictionary optionsDictionary() const;

    // The three analytics keys, each from the Info.plist when present, else from these options;
    // computed once per object.
    platform::ValueDictionary analyticsOptionsDictionary() const;
    bool isMeasurementEnabled() const;
    bool isAnalyticsCollectionEnabled() const;
    bool isAnalyticsCollectionDeactivated() const;
    bool isAnalyticsCollectionExpicitlySet() const;

    // Registers the core libraries with the app registry once (first use of the class).
    static void ensureClassInitialized();

private:
    std::optional<std::string> stringFor(const char* key) const;
    bool boolFor(const char* key) const;
    void setString(const char* key, std::optional<std::string> value);
    void checkLock() const REQUIRES(mutex_);

    mutable platform::dispatch::Mutex mutex_;
    platform::ValueDictionary dictionary_ GUARDED_BY(mutex_);
    std::optional<std::string> deepLinkURLScheme_ GUARDED_BY(mutex_);
    bool editingLocked_ GUARDED_BY(mutex_) = false;
    bool usingOptionsFromDefaultPlist_ GUARDED_BY(mutex_) = false;
    mutable std::optional<platform::ValueDictionary> analyticsOptions_ GUARDED_BY(mutex_);
};

}  // namespace zidedova
