#include "platform/foundation/Bundle.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StringsFile.h"

namespace platform {

namespace {

struct MainState {
    dispatch::Mutex mutex;
    std::string explicitPath GUARDED_BY(mutex);
    std::shared_ptr<Bundle> bundle GUARDED_BY(mutex);
};

MainState& mainState() {
    static MainState* s = new MainState;  // read from threads that may outlive static teardown
    return *s;
}

bool isDirectoryPath(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// One path component: no separators, not "." or "..".
bool isPlainComponent(std::string_view s) { return s.find('/') == std::string_view::npos && s != "." && s != ".."; }

// "de-CH" is looked for as "de-CH", "de_CH", then "de".
std::vector<std::string> localizationNames(const std::string& language) {
    std::vector<std::string> names = {language};
    std::string underscored = language;
    std::replace(underscored.begin(), underscored.end(), '-', '_');
    if (underscored != language) names.push_back(underscored);
    if (auto cut = language.find_first_of("-_"); cut != std::string::npos) names.push_back(language.substr(0, cut));
    return names;
}

std::optional<std::string> stringValue(const Value* v) {
    if (!v) return std::nullopt;
    if (const std::string* s = v->asString()) return *s;
    return std::nullopt;
}

}  // namespace

std::shared_ptr<Bundle> Bundle::mainBundle() {
    auto& s = mainState();
    dispatch::MutexLock lock(s.mutex);
    std::string path = s.explicitPath;
    if (path.empty()) {
        auto dir = FileManager::defaultManager().directory(SearchPathDirectory::Bundle);
        path = dir ? *dir : std::string("Bundle");
    }
    if (!s.bundle || s.bundle->bundlePath() != path) s.bundle = std::make_shared<Bundle>(path);
    return s.bundle;
}

void Bundle::setMainBundlePath(std::string path) {
    auto& s = mainState();
    dispatch::MutexLock lock(s.mutex);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    s.explicitPath = std::move(path);
    s.bundle.reset();
}

std::shared_ptr<Bundle> Bundle::bundleWithPath(const std::string& path) {
    if (!isDirectoryPath(path)) return nullptr;
    return std::make_shared<Bundle>(path);
}

Bundle::Bundle(std::string path) : path_(std::move(path)) {
    while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
}

const Value& Bundle::infoDictionary() const {
    std::call_once(loadOnce_, [this] {
        auto read = plist::readFile(path_ + "/Info.plist", kMaxInfoPlistBytes);
        hasInfo_ = read && read->isDictionary();
        info_ = hasInfo_ ? std::move(*read) : Value::dictionary();
    });
    return info_;
}

bool Bundle::hasInfoDictionary() const {
    infoDictionary();
    return hasInfo_;
}

const Value* Bundle::objectForInfoDictionaryKey(std::string_view key) const { return infoDictionary().find(key); }

std::optional<std::string> Bundle::bundleIdentifier() const {
    return stringValue(objectForInfoDictionaryKey(kCFBundleIdentifierKey));
}

std::optional<std::string> Bundle::shortVersionString() const {
    return stringValue(objectForInfoDictionaryKey(kCFBundleShortVersionStringKey));
}

std::optional<std::string> Bundle::bundleVersion() const {
    return stringValue(objectForInfoDictionaryKey(kCFBundleVersionKey));
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type,
                                                   std::string_view subdirectory) const {
    if (name.empty() || !isPlainComponent(name) || !isPlainComponent(type)) return std::nullopt;
    std::string path = path_;
    if (!subdirectory.empty()) {
        size_t i = 0;
        while (i <= subdirectory.size()) {
            size_t j = subdirectory.find('/', i);
            if (j == std::string_view::npos) j = subdirectory.size();
            std::string_view part = subdirectory.substr(i, j - i);
            if (part == "..") return std::nullopt;
            if (!part.empty() && part != ".") path += "/" + std::string(part);
            i = j + 1;
        }
    }
    path += "/" + std::string(name);
    if (!type.empty()) {
        if (type.front() != '.') path += ".";
        path += type;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return path;
}

std::shared_ptr<const strings::Table> Bundle::localizationTable(const std::string& language) const {
    dispatch::MutexLock lock(tablesMutex_);
    auto& table = tables_[language];
    if (!table) {
        auto bytes = FileManager::defaultManager().contentsOfFile(path_ + "/" + language + ".lproj/Localizable.strings",
                                                                  kMaxInfoPlistBytes);
        Result<strings::Table> read = strings::Table();
        if (bytes) read = strings::read(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        table = std::make_shared<const strings::Table>(read ? std::move(*read) : strings::Table());
    }
    return table;
}

std::string Bundle::localizedStringForKey(std::string_view key) const {
    for (const std::string& language : Locale::preferredLanguages())
        for (const std::string& name : localizationNames(language)) {
            if (name.empty() || !isPlainComponent(name)) continue;
            auto table = localizationTable(name);
            if (auto it = table->find(key); it != table->end()) return it->second;
        }
    return std::string(key);
}

}  // namespace platform
