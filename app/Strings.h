#pragma once
// The shell's constants. The site host and the outside site are this deployment's; the scheme and
// the registration path are fixed by the site.
#include <string>
#include <vector>

namespace Tesmar::Strings {

namespace File::Name {
inline constexpr const char* config = "Config";
}
namespace File::Extension {
inline constexpr const char* json = "json";
}
namespace AlertAction {
inline constexpr const char* ok = "OK";
inline constexpr const char* cancel = "Cancel";
}  // namespace AlertAction
namespace BoolValue {
inline constexpr const char* trueString = "true";
}
namespace Endpoint {
inline constexpr const char* siteHost = "intranet.tesmar.example";
inline constexpr const char* baseUrl = "https://intranet.tesmar.example";
inline constexpr const char* registerDevice = "https://intranet.tesmar.example/api/vezeduduz/register";
}  // namespace Endpoint
inline constexpr const char* sessionCookieName = "PHPSESSID";
namespace DictionaryKey {
inline constexpr const char* baseUrl = "base_url";
inline constexpr const char* pushNotificationsEnabled = "push_notifications_enabled";
inline constexpr const char* baseUrlHomeHost = "base_url_home_host";
}  // namespace DictionaryKey
namespace VezEduduz {
inline constexpr const char* appId = "1f4c8e2a-6b3d-4e7f-a905-c2d8b1e6f347";
}
namespace Storyboard {
inline constexpr const char* main = "Main";
}
namespace ViewController {
inline constexpr const char* viewControllerIdentifier = "ViewController";
}
namespace ExternalLinks {
inline constexpr const char* outsideSite = "https://benefits.partner-portal.example";
// Built once, never changed.
inline const std::vector<std::string>& list() {
    static const std::vector<std::string> links{outsideSite};
    return links;
}
}  // namespace ExternalLinks
namespace BaseUrls {
inline const std::vector<std::string>& list() {
    static const std::vector<std::string> urls{Endpoint::baseUrl};
    return urls;
}
}  // namespace BaseUrls

}  // namespace Tesmar::Strings

namespace Tesmar {
using Strings::sessionCookieName;
using Strings::ViewController::viewControllerIdentifier;
}  // namespace Tesmar
