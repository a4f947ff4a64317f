#pragma once
// Shared body of the message decoding targets: whatever decodes must re-encode, and its encoding must
// be stable (decode -> encode -> decode -> encode gives the same bytes).
#include <cstdint>
#include <cstdlib>

#include "zidedova_core/diagnostics/ZDVDiagnosticsMessages.h"

namespace nano_fuzz {

inline int decodeMessage(const zidedova::NANOMessageSchema& schema, const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        zidedova::NANOSetLogSink([](bool, const std::string&) {});
        return true;
    }();
    (void)quiet;
    auto message = zidedova::NANOMessage::withBuffer(schema, data, size);
    if (!message) return 0;
    auto first = message->protoBuffer();
    if (!first) std::abort();
    auto again = zidedova::NANOMessage::withBuffer(schema, first->data(), first->size());
    if (!again) std::abort();
    auto second = again->protoBuffer();
    if (!second || *second != *first) std::abort();
    return 0;
}

}  // namespace nano_fuzz
