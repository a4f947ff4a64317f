// The process's loaded images in the device's own form (see ProcessInfo.h).
#include <link.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/ProcessInfo.h"

namespace platform {

namespace {

// The system frameworks the platform plays. They are linked into the program here; on a device each is
// an image of its own, so the list names them as the device would.
constexpr const char* kPlatformFrameworks[] = {"Foundation", "Security",          "SystemConfiguration",
                                               "UIKit",      "UserNotifications", "WebKit"};

std::string frameworkPath(const std::string& name) {
    return "/System/Library/Frameworks/" + name + ".framework/" + name;
}

// An absolute path with symbolic links resolved where they exist, so a bundle reached by two spellings
// is recognised.
std::string resolved(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::weakly_canonical(std::filesystem::path(path), ec);
    return ec ? std::filesystem::path(path).lexically_normal().string() : p.string();
}

// The same resolution with one look-up per folder: the loader's images sit in a handful of folders, most
// of them reached through a link beside them (libz.so.1 -> libz.so.1.2.13), and resolving each whole
// path costs a system call per component, at every launch.
class Resolver {
public:
    std::string operator()(const std::string& path) {
        namespace fs = std::filesystem;
        fs::path p(path);
        for (int hops = 0; hops < 8; ++hops) {
            fs::path name = p.filename();
            if (name.empty() || name == "." || name == ".." || !p.has_parent_path()) break;
            std::error_code ec;
            auto status = fs::symlink_status(p, ec);
            if (ec) break;
            const std::string& folder = this->folder(p.parent_path().string());
            if (!fs::is_symlink(status)) return (fs::path(folder) / name).string();
            fs::path target = fs::read_symlink(p, ec);
            // Only a link to a neighbour is followed here; any other goes the long way.
            if (ec || target.empty() || target.has_parent_path()) break;
            p = fs::path(folder) / target;
        }
        return resolved(p.string());
    }

private:
    const std::string& folder(const std::string& path) {
        auto it = folders_.find(path);
        if (it == folders_.end()) it = folders_.emplace(path, resolved(path)).first;
        return it->second;
    }
    std::map<std::string, std::string> folders_;
};

// `bundle` is resolved already.
std::optional<std::string> imageName(const std::string& path, const std::string& bundle, Resolver& resolve) {
    if (path.empty() || path.front() != '/') return std::nullopt;  // no file behind it (the kernel's vDSO)
    if (!bundle.empty()) {
        std::string image = resolve(path);
        if (image.size() > bundle.size() + 1 && image.compare(0, bundle.size(), bundle) == 0 &&
            image[bundle.size()] == '/')
            return deviceBundlePath() + image.substr(bundle.size());
    }
    return "/usr/lib/" + std::filesystem::path(path).filename().string();
}

}  // namespace

std::string deviceBundlePath() {
    return "/private/var/containers/Bundle/Application/" + ProcessInfo::processInfo().processName() + ".app";
}

std::optional<std::string> deviceImageName(const std::string& path, const std::string& bundlePath) {
    Resolver resolve;
    return imageName(path, bundlePath.empty() ? std::string() : resolved(bundlePath), resolve);
}

std::vector<std::string> deviceLoadedImageNames() {
    auto bundle = Bundle::mainBundle();
    std::string bundlePath = bundle ? bundle->bundlePath() : std::string();
    std::string executable = ProcessInfo::processInfo().processName();
    if (const Value* v = bundle ? bundle->objectForInfoDictionaryKey(kCFBundleExecutableKey) : nullptr)
        if (v->asString() && !v->asString()->empty() && v->asString()->find('/') == std::string::npos)
            executable = *v->asString();

    std::vector<std::string> paths;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            static_cast<std::vector<std::string>*>(data)->emplace_back(info->dlpi_name ? info->dlpi_name : "");
            return 0;
        },
        &paths);

    std::vector<std::string> names;
    names.push_back(deviceBundlePath() + "/" + executable);  // the main program comes first
    Resolver resolve;
    const std::string bundleResolved = bundlePath.empty() ? std::string() : resolved(bundlePath);
    for (size_t i = 1; i < paths.size(); ++i)
        if (auto name = imageName(paths[i], bundleResolved, resolve)) names.push_back(*name);
    for (const char* framework : kPlatformFrameworks) names.push_back(frameworkPath(framework));
    for (const auto& framework : PlatformConfig::current().optionalFrameworks)
        names.push_back(frameworkPath(framework));
    return names;
}

}  // namespace platform
