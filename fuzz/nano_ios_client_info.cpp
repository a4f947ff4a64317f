// Decodes arbitrary bytes as a IosClientInfo message (see NanoMessageFuzz.h).
#include "NanoMessageFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return nano_fuzz::decodeMessage(zidedova::LLNPBIosClientInfo::messageSchema(), data, size);
}
