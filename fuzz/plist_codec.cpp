// Property-list codec: any input either fails cleanly or reads to a Value that, where the format can
// carry it, writes and reads back equal in both formats.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "platform/foundation/PropertyList.h"

using namespace platform;

namespace {

// XML keeps dates to the second; compare them that way and everything else exactly.
bool sameIgnoringSubsecondDates(const Value& a, const Value& b) {
    if (a.isDate() && b.isDate())
        return std::fabs(a.asDate()->timeIntervalSinceReferenceDate - b.asDate()->timeIntervalSinceReferenceDate) < 1.0;
    if (a.isArray() && b.isArray()) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (!sameIgnoringSubsecondDates(a.at(i), b.at(i))) return false;
        return true;
    }
    if (a.isDictionary() && b.isDictionary()) {
        if (a.size() != b.size()) return false;
        for (const auto& [key, item] : *a.asDictionary()) {
            const Value* other = b.find(key);
            if (!other || !sameIgnoringSubsecondDates(item, *other)) return false;
        }
        return true;
    }
    return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes input(data, data + size);
    auto value = plist::read(input, 1 << 20);
    if (!value) {
        if (value.error().code != 3840) std::abort();
        return 0;
    }
    for (plist::Format format : {plist::Format::Binary, plist::Format::XML}) {
        // Reading can yield what writing refuses (NaN, strings that are not UTF-8, NULs): fine, as long
        // as it is refused cleanly.
        auto written = plist::write(*value, format);
        if (!written) {
            if (written.error().code != platform::plist::kWriteInvalidError) std::abort();
            continue;
        }
        auto again = plist::read(*written, 1 << 22);
        if (!again) std::abort();
        if (!sameIgnoringSubsecondDates(*again, *value)) std::abort();
    }
    return 0;
}
