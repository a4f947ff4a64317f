#pragma once
// Locale: the user's languages and the current locale identifier. The languages come from
// PlatformConfig's preferredLanguages (comma-separated, most preferred first); when that is empty, from
// LC_ALL / LC_MESSAGES / LANG of the (ProcessInfo) environment ("de_DE.UTF-8" reads as "de-DE"). A plain
// value; safe from any thread.
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Locale {
public:
    // BCP 47 tags ("en-US", "de"), most preferred first. May be empty when nothing is configured.
    static std::vector<std::string> preferredLanguages();
    // The locale of the first preferred language ("en_US"), "en_US_POSIX" when there is none.
    static Locale current();

    explicit Locale(std::string_view identifier);  // "en_US", "en-US", "de_DE.UTF-8@euro" all accepted

    const std::string& localeIdentifier() const { return identifier_; }  // "en_US"
    std::string languageCode() const;                                    // "en"
    std::string countryCode() const;                                     // "US", "" when none

private:
    std::string identifier_;
};

}  // namespace platform
