#include "demo/internal/ByteRange.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "platform/foundation/URLRequest.h"

namespace tesmar_demo {
namespace {

std::optional<uint64_t> parseNumber(std::string_view s) {
    if (s.empty()) return std::nullopt;
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

}  // namespace

std::string ByteRangeAnswer::contentRange(uint64_t total) const {
    return "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(total);
}

ByteRangeAnswer answerRange(const std::string& rangeHeader, uint64_t total) {
    ByteRangeAnswer whole;
    std::string_view spec = platform::trimmingHTTPWhitespace(rangeHeader);
    constexpr std::string_view unit = "bytes=";
    if (spec.substr(0, unit.size()) != unit) return whole;
    spec = platform::trimmingHTTPWhitespace(spec.substr(unit.size()));
    if (spec.find(',') != std::string_view::npos) return whole;
    size_t dash = spec.find('-');
    if (dash == std::string_view::npos) return whole;
    std::string_view firstText = platform::trimmingHTTPWhitespace(spec.substr(0, dash));
    std::string_view lastText = platform::trimmingHTTPWhitespace(spec.substr(dash + 1));

    ByteRangeAnswer answer;
    answer.kind = ByteRangeAnswer::Kind::Partial;
    if (firstText.empty()) {
        auto suffix = parseNumber(lastText);
        if (!suffix) return whole;
        if (*suffix == 0 || total == 0) return {ByteRangeAnswer::Kind::Unsatisfiable, 0, 0};
        answer.first = *suffix >= total ? 0 : total - *suffix;
        answer.last = total - 1;
        return answer;
    }
    auto first = parseNumber(firstText);
    if (!first) return whole;
    std::optional<uint64_t> last;
    if (!lastText.empty()) {
        last = parseNumber(lastText);
        if (!last || *last < *first) return whole;
    }
    if (*first >= total) return {ByteRangeAnswer::Kind::Unsatisfiable, 0, 0};
    answer.first = *first;
    answer.last = last && *last < total ? *last : total - 1;
    return answer;
}

}  // namespace tesmar_demo
