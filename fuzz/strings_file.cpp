// Localisation tables: any input either is refused with Cocoa error 3840 or reads to a table whose keys
// and values are all valid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/StringsFile.h"
#include "platform/foundation/TextEncoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto table = platform::strings::read(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!table) {
        if (table.error().code != 3840) std::abort();
        return 0;
    }
    for (const auto& [key, value] : *table)
        if (!platform::text::isValidUTF8(key) || !platform::text::isValidUTF8(value)) std::abort();
    return 0;
}
