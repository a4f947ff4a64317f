// The process's loaded images in the device's own form (see ProcessInfo.h).
#include <link.h>

#include <filesystem>
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

}  // namespace

std::string deviceBundlePath() {
    return "/private/var/containers/Bundle/Application/" + ProcessInfo::processInfo().processName() + ".app";
}

std::optional<std::string> deviceImageName(const std::string& path, const std::string& bundlePath) {
    if (path.empty() || path.front() != '/') return std::nullopt;  // no file behind it (the kernel's vDSO)
    if (!bundlePath.empty()) {
        std::string bundle = resolved(bundlePath);
        std::string image = resolved(path);
        if (image.size() > bundle.size() + 1 && image.compare(0, bundle.size(), bundle) == 0 &&
            image[bundle.size()] == '/')
            return deviceBundlePath() + image.substr(bundle.size());
    }
    return "/usr/lib/" + std::filesystem::path(path).filename().string();
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
    for (size_t i = 1; i < paths.size(); ++i)
        if (auto name = deviceImageName(paths[i], bundlePath)) names.push_back(*name);
    for (const char* framework : kPlatformFrameworks) names.push_back(frameworkPath(framework));
    for (const auto& framework : PlatformConfig::current().optionalFrameworks)
        names.push_back(frameworkPath(framework));
    return names;
}

}  // namespace platform
