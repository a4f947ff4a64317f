#include "platform/foundation/Bundle.h"

#include <sys/stat.h>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"

namespace platform {

namespace {

struct MainState {
    std::mutex mutex;
    std::string explicitPath;
    std::shared_ptr<Bundle> bundle;
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

std::optional<std::string> stringValue(const Value* v) {
    if (!v) return std::nullopt;
    if (const std::string* s = v->asString()) return *s;
    return std::nullopt;
}

}  // namespace

std::shared_ptr<Bundle> Bundle::mainBundle() {
    auto& s = mainState();
    std::lock_guard lock(s.mutex);
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
    std::lock_guard lock(s.mutex);
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

}  // namespace platform
