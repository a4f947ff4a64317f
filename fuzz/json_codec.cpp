// JSON codec: any input either fails cleanly or reads to a Value that writes and reads back equal.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/JSON.h"

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks options so both fragment modes and a small depth cap get explored.
    if (size == 0) return 0;
    json::ReadOptions options;
    options.allowFragments = data[0] & 1;
    if (data[0] & 2) options.maxDepth = 8;
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    auto value = json::read(text, options);
    if (!value) {
        if (value.error().code != json::kJSONReadErrorCode) std::abort();
        return 0;
    }
    for (bool pretty : {false, true}) {
        json::WriteOptions writeOptions;
        writeOptions.prettyPrinted = pretty;
        writeOptions.allowFragments = options.allowFragments;
        // Everything read is writable: strings were valid UTF-8 and numbers finite.
        auto written = json::write(*value, writeOptions);
        if (!written) std::abort();
        auto again = json::read(std::string_view(*written), options);
        if (!again || !(*again == *value)) std::abort();
    }
    return 0;
}
