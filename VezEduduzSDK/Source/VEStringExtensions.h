#pragma once
// Text helpers of the push client: SDK version formatting and media-file extensions (used by the
// media download of local notifications). Pure functions; any thread.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vezeduduz {

// The part after the first occurrence of `search`; the text itself when it does not occur (or when
// `search` is empty).
std::string one_substringAfter(std::string_view text, std::string_view search);
// The two characters at [location, location + 2), without a leading "0" ("05" -> "5", "00" -> "0",
// "10" -> "10"). A range that is not two characters long or not inside the text answers nullopt.
std::optional<std::string> one_getVersionForRange(std::string_view text, size_t location, size_t length);
// "020809" -> "2.8.9". Text shorter than six characters is returned unchanged.
std::string one_getSemanticVersion(std::string_view text);
// The last "."-separated part when there are at least two parts and it is a supported extension
// (exact, case-sensitive); else nullopt.
std::optional<std::string> supportedFileExtension(std::string_view fileName);
// The extension for a MIME type of the supported media types; else nullopt.
std::optional<std::string> fileExtensionForMimeType(std::string_view mimeType);

}  // namespace vezeduduz
