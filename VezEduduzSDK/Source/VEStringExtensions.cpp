#include "VezEduduzSDK/Source/VEStringExtensions.h"

#include <array>
#include <utility>

namespace vezeduduz {

namespace {
constexpr std::array<std::string_view, 13> kSupportedExtensions = {"aiff", "wav",  "mp3", "mp4", "jpg", "jpeg", "png",
                                                                   "gif",  "mpeg", "mpg", "avi", "m4a", "m4v"};

constexpr std::array<std::pair<std::string_view, std::string_view>, 13> kMimeTypes = {{
    {"audio/aiff", "aiff"},
    {"audio/x-wav", "wav"},
    {"audio/mpeg", "mp3"},
    {"video/mp4", "mp4"},
    {"image/jpeg", "jpeg"},
    {"image/jpg", "jpg"},
    {"image/png", "png"},
    {"image/gif", "gif"},
    {"video/mpeg", "mpeg"},
    {"video/mpg", "mpg"},
    {"video/avi", "avi"},
    {"sound/m4a", "m4a"},
    {"video/m4v", "m4v"},
}};
}  // namespace

std::string one_substringAfter(std::string_view text, std::string_view search) {
    if (search.empty()) return std::string(text);
    auto at = text.find(search);
    if (at == std::string_view::npos) return std::string(text);
    return std::string(text.substr(at + search.size()));
}

std::optional<std::string> one_getVersionForRange(std::string_view text, size_t location, size_t length) {
    if (length != 2 || location > text.size() || text.size() - location < length) return std::nullopt;
    std::string_view piece = text.substr(location, length);
    if (piece.front() == '0') piece.remove_prefix(1);
    return std::string(piece);
}

std::string one_getSemanticVersion(std::string_view text) {
    if (text.size() < 6) return std::string(text);
    std::string out;
    out.reserve(5);
    for (size_t location : {size_t(0), size_t(2), size_t(4)}) {
        if (!out.empty()) out += '.';
        out += *one_getVersionForRange(text, location, 2);
    }
    return out;
}

std::optional<std::string> supportedFileExtension(std::string_view fileName) {
    auto dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    std::string_view last = fileName.substr(dot + 1);
    for (auto ext : kSupportedExtensions)
        if (ext == last) return std::string(last);
    return std::nullopt;
}

std::optional<std::string> fileExtensionForMimeType(std::string_view mimeType) {
    for (const auto& [type, ext] : kMimeTypes)
        if (type == mimeType) return std::string(ext);
    return std::nullopt;
}

}  // namespace vezeduduz
