// Decodes arbitrary bytes as a LogEvent message (see NanoMessageFuzz.h).
#include "NanoMessageFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return nano_fuzz::decodeMessage(zidedova::LLNPBLogEvent::messageSchema(), data, size);
}
