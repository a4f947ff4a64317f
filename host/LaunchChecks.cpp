#include "host/LaunchChecks.h"

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "app/Strings.h"
#include "host/Extension.h"
#include "host/MinimalApp.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/URL.h"
#include "platform/security/Certificate.h"

namespace tesmar_host {

namespace fs = std::filesystem;

namespace {

// Certificate files are small; anything far larger is not one.
constexpr uintmax_t kMaxCertificateFileBytes = 4 * 1024 * 1024;

std::optional<std::string> readSmallFile(const fs::path& path, uintmax_t limit) {
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (ec || size > limit) return std::nullopt;
    std::string text(size, '\0');
    std::ifstream file(path, std::ios::binary);
    if (!file.read(text.data(), static_cast<std::streamsize>(size))) return std::nullopt;
    return text;
}

// What the shell will make of the bundle's Config.json (it reads no other file for its site).
void checkShellConfig(const Options& options, std::vector<std::string>& warnings) {
    const fs::path path = fs::path(options.bundle) / "Config.json";
    const std::string named = path.string();
    const std::string site = std::string(Tesmar::Strings::Endpoint::baseUrl);
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (!fs::is_regular_file(status)) {
        warnings.push_back(named + (fs::exists(status) ? " " + notAFile(status) : " is missing") +
                           ": the shell has no base_url and shows no page");
        return;
    }
    auto text = readSmallFile(path, 1024 * 1024);
    if (!text) {
        warnings.push_back(named + " cannot be read (or is larger than 1 MB): the shell has no base_url and shows "
                                   "no page");
        return;
    }
    std::optional<platform::Value> parsed;
    if (auto read = platform::json::read(*text)) parsed = std::move(read).value();
    if (!parsed || !parsed->isDictionary()) {
        warnings.push_back(named + " is not a JSON object: the shell ignores it and shows no page");
        return;
    }
    for (const auto& [key, value] : *parsed->asDictionary())
        if (!value.isString()) {
            warnings.push_back(named + ": \"" + key +
                               "\" is not a string (write it in quotes, e.g. \"true\"): the shell ignores the whole "
                               "file and shows no page");
            return;
        }
    auto base = platform::URL::string((*parsed)["base_url"].stringOr(""));
    if (!base) {
        warnings.push_back(named + " has no base_url that is a URL: the shell shows no page");
        return;
    }
    // The first page is compiled in; base_url only lets it load.
    const std::string siteAuthority = std::string(Tesmar::Strings::Endpoint::siteHost) + ":443";
    if (base->host() != Tesmar::Strings::Endpoint::siteHost && !options.connectTo.count(siteAuthority))
        warnings.push_back("the shell opens " + site + " whatever base_url says (" + base->absoluteString() +
                           "); reach your server with --connect-to " + siteAuthority + "=ADDRESS:PORT");
}

}  // namespace

std::string notAFile(const fs::file_status& status) {
    switch (status.type()) {
    case fs::file_type::directory:
        return "is a folder, not a file";
    case fs::file_type::fifo:
        return "is a FIFO, not a file";
    case fs::file_type::socket:
        return "is a socket, not a file";
    case fs::file_type::block:
    case fs::file_type::character:
        return "is a device, not a file";
    default:
        return "is not a file";
    }
}

std::optional<std::string> checkCertificateFlags(const Options& options) {
    for (const auto& pem : options.trustedRootsPEM) {
        std::error_code ec;
        const std::string flag = "--ca '" + pem + "' ";
        const auto status = fs::status(pem, ec);
        if (!fs::exists(status)) return flag + "does not exist";
        if (!fs::is_regular_file(status)) return flag + notAFile(status);
        auto text = readSmallFile(pem, kMaxCertificateFileBytes);
        if (!text) return flag + "cannot be read (or is larger than 4 MB)";
        // The shape only: a worker parses the roots for good meanwhile (runSimulator).
        if (!platform::security::Certificate::hasPEMCertificates(*text))
            return flag + "holds no PEM certificate (-----BEGIN CERTIFICATE-----)";
    }
    return std::nullopt;
}

std::optional<std::string> checkStartURL(const Options& options) {
    std::error_code ec;
    if (options.delegateClass != kMinimalDelegateClass || !options.startURL.empty()) return std::nullopt;
    if (!fs::is_directory(options.bundle, ec)) return std::nullopt;  // boot says so
    auto info = platform::plist::readFile((fs::path(options.bundle) / "Info.plist").string(),
                                          platform::Bundle::kMaxInfoPlistBytes);
    if (info && !(*info)[kStartURLInfoKey].stringOr("").empty()) return std::nullopt;
    return "No start URL: set Info.plist " + std::string(kStartURLInfoKey) + " or pass --start-url";
}

std::vector<std::string> launchWarnings(const Options& options) {
    std::vector<std::string> warnings;
    std::error_code ec;
    if (!fs::is_directory(options.bundle, ec)) return warnings;  // boot says so
    const bool minimal = options.delegateClass == kMinimalDelegateClass;
    if (!options.startURL.empty() && !minimal)
        warnings.push_back("--start-url is the minimal app's first page; add --delegate " +
                           std::string(kMinimalDelegateClass) + " to open it (the shell opens " +
                           Tesmar::Strings::Endpoint::baseUrl + ")");
    for (auto& problem : serviceExtensionProblems(options.bundle)) warnings.push_back(std::move(problem));
    if (options.delegateClass != kDefaultDelegateClass) return warnings;
    checkShellConfig(options, warnings);
    const fs::path coreOptions = fs::path(options.bundle) / "ZazeraDazudud-Uvoz.plist";
    if (const auto status = fs::status(coreOptions, ec); !fs::is_regular_file(status))
        warnings.push_back(coreOptions.string() + (fs::exists(status) ? " " + notAFile(status) : " is missing") +
                           ": the app core refuses to start and the launch fails (see the README's "
                           "\"The app bundle\")");
    return warnings;
}

}  // namespace tesmar_host
