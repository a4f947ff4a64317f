// Inflates arbitrary bytes as a gzip or zlib stream: no crash, no partial data with an error, and
// whatever inflates cleanly compresses and inflates back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "zidedova_core/utilities/ZUTGzip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto inflated = zidedova::ZUTDataByInflatingGzippedData(std::span<const uint8_t>(data, size));
    if (!inflated.ok()) {
        const auto code = inflated.error().code;
        if (code != zidedova::ZUTNSDataZlibErrorInternal && code != zidedova::ZUTNSDataZlibErrorDataRemaining)
            std::abort();
        return 0;
    }
    auto again = zidedova::ZUTDataByGzippingData(*inflated);
    if (!again.ok()) std::abort();
    auto back = zidedova::ZUTDataByInflatingGzippedData(*again);
    if (!back.ok() || *back != *inflated) std::abort();
    return 0;
}
