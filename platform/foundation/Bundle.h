#pragma once
// Bundle: an app bundle is a directory holding Info.plist and resources. The main bundle is
// <deviceRoot>/Bundle unless the host set a path explicitly (--bundle).
//
// A Bundle is immutable once made; Info.plist is read once, on first use, through the property-list
// codec. A missing or unreadable Info.plist reads as an empty dictionary. Each localisation table is
// read once too, on first use (StringsFile.h). Safe from any thread.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/StringsFile.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace platform {

inline constexpr const char* kCFBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kCFBundleVersionKey = "CFBundleVersion";
inline constexpr const char* kCFBundleShortVersionStringKey = "CFBundleShortVersionString";
inline constexpr const char* kCFBundleNameKey = "CFBundleName";
inline constexpr const char* kCFBundleExecutableKey = "CFBundleExecutable";

class Bundle {
public:
    // Info.plist above this size is not read.
    static constexpr size_t kMaxInfoPlistBytes = 4 * 1024 * 1024;

    // The main bundle for the current device root (or the explicit path). The same object is answered
    // while the path stays the same.
    static std::shared_ptr<Bundle> mainBundle();
    // Sets the main bundle's directory; "" returns to <deviceRoot>/Bundle.
    static void setMainBundlePath(std::string path);
    // A bundle over a directory; nullptr when `path` is not a directory.
    static std::shared_ptr<Bundle> bundleWithPath(const std::string& path);

    explicit Bundle(std::string path);

    const std::string& bundlePath() const { return path_; }
    const std::string& resourcePath() const { return path_; }

    // The Info.plist dictionary (an empty dictionary when there is none or it is not a dictionary).
    const Value& infoDictionary() const;
    // True when Info.plist was read as a dictionary, also an empty one.
    bool hasInfoDictionary() const;
    // nullptr when absent.
    const Value* objectForInfoDictionaryKey(std::string_view key) const;
    // Strings from Info.plist; nullopt when absent or not a string.
    std::optional<std::string> bundleIdentifier() const;
    std::optional<std::string> shortVersionString() const;
    std::optional<std::string> bundleVersion() const;

    // "<bundle>/[subdirectory/]name[.type]" when that is an existing regular file; nullopt otherwise.
    // Names with '/' or ".." segments are refused: a resource never lies outside the bundle.
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                               std::string_view subdirectory = {}) const;
    std::optional<URL> urlForResource(std::string_view name, std::string_view type,
                                      std::string_view subdirectory = {}) const {
        auto p = pathForResource(name, type, subdirectory);
        if (!p) return std::nullopt;
        return URL::fileURL(*p);
    }
    // The text for `key` in "<language>.lproj/Localizable.strings" of the first of the device's languages
    // (Locale::preferredLanguages, each tried as "de-CH", "de_CH", then "de") whose table has it; the
    // key itself when none has. A missing, oversized or malformed table counts as one without the key.
    std::string localizedStringForKey(std::string_view key) const;

    // Where the store receipt would be: <bundle>/StoreKit/receipt (it need not exist).
    std::string appStoreReceiptPath() const { return path_ + "/StoreKit/receipt"; }

private:
    std::shared_ptr<const strings::Table> localizationTable(const std::string& language) const;

    std::string path_;
    mutable std::once_flag loadOnce_;
    mutable Value info_;
    mutable bool hasInfo_ = false;
    mutable dispatch::Mutex tablesMutex_;
    // "<language>" -> the entries of its .lproj/Localizable.strings (none when it cannot be read).
    mutable std::map<std::string, std::shared_ptr<const strings::Table>, std::less<>> tables_ GUARDED_BY(tablesMutex_);
};

}  // namespace platform
