#include "platform/foundation/Locale.h"

#include <cctype>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/ProcessInfo.h"

namespace platform {

namespace {

// "de_DE.UTF-8@euro" -> "de-DE"; "" for the C / POSIX locale or nonsense.
std::string tagFromPOSIX(std::string_view value) {
    size_t cut = value.find_first_of(".@");
    std::string base(value.substr(0, cut));
    if (base.empty() || base == "C" || base == "POSIX") return {};
    for (char& c : base) {
        if (c == '_')
            c = '-';
        else if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
            return {};
    }
    return base;
}

}  // namespace

std::vector<std::string> Locale::preferredLanguages() {
    std::vector<std::string> out;
    std::string configured = PlatformConfig::current().preferredLanguages;
    size_t i = 0;
    while (i <= configured.size()) {
        size_t j = configured.find(',', i);
        if (j == std::string::npos) j = configured.size();
        std::string tag(trimmingASCIIWhitespace(std::string_view(configured).substr(i, j - i)));
        if (!tag.empty()) out.push_back(tag);
        i = j + 1;
    }
    if (!out.empty()) return out;
    auto& info = ProcessInfo::processInfo();
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        auto value = info.environmentValue(name);
        if (!value || value->empty()) continue;
        std::string tag = tagFromPOSIX(*value);
        if (!tag.empty()) out.push_back(tag);
        break;  // the first one set decides, as for the C library
    }
    return out;
}

Locale Locale::current() {
    auto languages = preferredLanguages();
    return Locale(languages.empty() ? "en_US_POSIX" : languages.front());
}

Locale::Locale(std::string_view identifier) {
    size_t cut = identifier.find_first_of(".@");
    identifier_ = std::string(identifier.substr(0, cut));
    for (char& c : identifier_)
        if (c == '-') c = '_';
}

std::string Locale::languageCode() const { return identifier_.substr(0, identifier_.find('_')); }

std::string Locale::countryCode() const {
    // The region is the first later part of two letters or three digits ("zh_Hant_TW" -> "TW").
    size_t i = identifier_.find('_');
    while (i != std::string::npos) {
        size_t j = identifier_.find('_', i + 1);
        std::string part = identifier_.substr(i + 1, j == std::string::npos ? std::string::npos : j - i - 1);
        bool alpha2 = part.size() == 2 && std::isalpha(static_cast<unsigned char>(part[0])) &&
                      std::isalpha(static_cast<unsigned char>(part[1]));
        bool digit3 = part.size() == 3 && std::isdigit(static_cast<unsigned char>(part[0])) &&
                      std::isdigit(static_cast<unsigned char>(part[1])) &&
                      std::isdigit(static_cast<unsigned char>(part[2]));
        if (alpha2 || digit3) {
            return uppercasedASCII(part);
        }
        i = j;
    }
    return {};
}

}  // namespace platform
